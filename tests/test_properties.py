"""Property-based tests of the three native entries on arbitrary input.

For every drawn call of ``remap_tensor``, ``remap_tensor_1d`` and
``clip_abs`` (random shapes including 0 and 1 along each axis, every dtype
family, non-contiguous / negative-stride / read-only / byte-swapped /
misaligned layouts, NaN, infinities, signed zeros, huge and subnormal
values, and border configurations built to be hostile):

* the call either returns an array of the documented shape and dtype whose
  values equal the scalar reference model (``oracle.py`` for the remaps, the
  element rule for ``clip_abs``) bit for bit, NaN payloads aside, or raises
  an ordinary Python exception with a non-empty message;
* which of the two happens is predicted from the documented order of checks:
  an input that passes every check must succeed, and a failing one must
  raise the exception class of the first check it fails;
* a failing call writes nothing (``clip_abs`` leaves ``arr`` and ``out``
  untouched) and the inputs of a remap are never written.

Inputs that could bring the interpreter down if the native layer misread
them (buffers placed against inaccessible guard pages, objects that lie about
their shape, direct calls of the C-level exports) run in a child interpreter
(``test_exports_fuzz.py``, started by ``test_crash_prone_part_in_child``), so
that a crash fails one test instead of ending the run.  Regression tests for
defects found this way stand at the end of this file.

Example counts are modest for the normal run; ``TESSARO_STRESS=1`` multiplies
them by 25 and draws a fresh random seed each run.
"""

import contextlib
import math
import operator
import os
import re
import subprocess
import sys
import textwrap
import warnings
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import oracle
import tessaro.core.border_config as border_config_module
from tessaro.core.border_config import BorderConfig
from tessaro.core.enums import BorderMode, DistanceMode, FeatheringMode, InterpMethod
from tessaro.cython._brisel import clip_abs
from tessaro.cython._tovik import remap_tensor
from tessaro.cython._tovik_1d import remap_tensor_1d
from tessaro.cython._zero_sign import ZERO_SIGN

TESTS_DIR = Path(__file__).resolve().parent
STRESS = os.environ.get("TESSARO_STRESS") == "1"
# The focused runs of the extra builds take a fraction of the examples.
EXAMPLES_SCALE = float(os.environ.get("TESSARO_EXAMPLES_SCALE", "1"))
# Set by tools/asan_env.sh: the extension modules carry ASan/UBSan.
SANITIZED = os.environ.get("TESSARO_SANITIZED") == "1"


def fuzz_settings(examples):
    """Hypothesis settings: deterministic in the normal run, 25x more and
    randomly seeded under TESSARO_STRESS=1, scaled by TESSARO_EXAMPLES_SCALE."""
    return settings(
        max_examples=examples * 25 if STRESS else max(1, round(examples * EXAMPLES_SCALE)),
        deadline=None,
        database=None,
        derandomize=not STRESS,
        suppress_health_check=list(HealthCheck),
        print_blob=True,
    )


# ---------------------------------------------------------------------------
# Values


def f64_from_bits(bits):
    return float(np.array(bits, dtype=np.uint64).view(np.float64))


SIGNALLING_NAN = f64_from_bits(0x7FF4000000000001)
PAYLOAD_NAN = f64_from_bits(0xFFF800000000BEEF)

HOSTILE_FLOATS = (
    math.nan, -math.nan, SIGNALLING_NAN, PAYLOAD_NAN,
    math.inf, -math.inf,
    0.0, -0.0,
    5e-324, -5e-324, 2.2250738585072014e-308, -2.225073858507201e-308,
    1e-300, -1e-300, 1e300, -1e300,
    1.7976931348623157e308, -1.7976931348623157e308,
    2.0**63, -(2.0**63), 2.0**53 + 2,
    0.5, 1.0, 1.0 + 2**-52, 1.0 - 2**-53, -(2**-53), 0.49999999999999994,
)

# Unit coordinates: mostly ordinary, often just outside [0, 1], now and then
# anything at all.
coords = st.one_of(
    st.floats(0.0, 1.0),
    st.floats(-0.3, 1.3),
    st.floats(-4.0, 5.0),
    st.sampled_from(HOSTILE_FLOATS),
    st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True),
)
pixels = st.one_of(st.floats(-8.0, 8.0), st.sampled_from(HOSTILE_FLOATS))
settings_floats = st.one_of(
    st.sampled_from((0.0, -0.0, 0.05, 0.1, 0.25, 1.0, 2.0, -1.0, -0.5)),
    st.sampled_from(HOSTILE_FLOATS),
    st.floats(-2.0, 2.0),
)


@st.composite
def f64_arrays(draw, shape, elements):
    n = int(np.prod(shape, dtype=np.int64))
    values = draw(st.lists(elements, min_size=n, max_size=n))
    return np.array(values, dtype=np.float64).reshape(shape)


def cast(values, dtype):
    """values (float64) as `dtype`, the way a caller would build such an array."""
    dtype = np.dtype(dtype)
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if dtype == object:
            return np.array(values.tolist(), dtype=object).reshape(values.shape)
        return values.astype(dtype)


def relayout(a, layout):
    """The same logical array under another memory layout."""
    # np.array keeps 0-d arrays 0-d (np.ascontiguousarray and
    # np.asfortranarray would make them 1-D)
    if layout == "C":
        return np.array(a, order="C")
    if layout == "F":
        return np.array(a, order="F")
    if layout == "strided":  # every other element of a larger buffer
        if a.ndim == 0:
            return a.copy()
        big = np.zeros(tuple(2 * s + 1 for s in a.shape), dtype=a.dtype)
        view = big[tuple(slice(1, None, 2) for _ in a.shape)]
        view[...] = a
        return view
    if layout == "reversed":  # negative strides on every axis
        if a.ndim == 0:
            return a.copy()
        flipped = np.ascontiguousarray(a[tuple(slice(None, None, -1) for _ in a.shape)])
        return flipped[tuple(slice(None, None, -1) for _ in a.shape)]
    if layout == "readonly":
        b = a.copy()
        b.flags.writeable = False
        return b
    if layout == "readonly_strided":
        b = relayout(a, "strided")
        b.flags.writeable = False
        return b
    if layout == "byteswapped":
        if a.dtype.kind in "biufc" and a.dtype.itemsize > 1:
            return a.astype(a.dtype.newbyteorder())
        return a.copy()
    if layout == "misaligned":  # element 0 one byte past an aligned address
        if a.dtype.kind not in "iufc" or a.dtype.itemsize == 1:
            return a.copy()
        raw = np.zeros(a.nbytes + 1, dtype=np.uint8)
        b = raw[1:].view(a.dtype).reshape(a.shape)
        b[...] = a
        return b
    if layout == "broadcast":  # zero strides: one value seen everywhere
        if a.size == 0:
            return a.copy()
        return np.broadcast_to(a.reshape(-1)[:1].reshape((1,) * a.ndim), a.shape)
    raise AssertionError(layout)


REMAP_LAYOUTS = ("C", "C", "C", "F", "strided", "reversed", "readonly", "byteswapped",
                 "misaligned", "broadcast")
# Every dtype np.ascontiguousarray(x, dtype=np.float64) converts (complex ones
# lose their imaginary part, with NumPy's ComplexWarning).
REMAP_DTYPES = ("float64", "float64", "float64", "float32", "float16", "int8", "int32",
                "int64", "uint8", "uint64", "bool", "object", "longdouble", "complex128")


def to_f64(a):
    """np.ascontiguousarray(a, dtype=np.float64), the conversion the entries make."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return np.ascontiguousarray(a, dtype=np.float64)


def assert_same_values(got, want_f64):
    """`got` equals the model's float64 result in got.dtype (saturated for
    integers), bit for bit (NaN payloads aside: both must be NaN at the same
    places)."""
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        want = oracle.cast_result(want_f64, got.dtype)
    assert got.shape == want.shape

    def check_float(g, w):
        native = g.dtype.newbyteorder("=")
        if native.itemsize > 8:  # longdouble: every value came from a float64
            native = np.dtype(np.float64)
        g = np.ascontiguousarray(g.astype(native))
        w = np.ascontiguousarray(w.astype(native))
        g_nan, w_nan = np.isnan(g), np.isnan(w)
        bad = g_nan != w_nan
        uint = np.dtype(f"u{g.dtype.itemsize}")
        bad |= ~g_nan & (g.view(uint) != w.view(uint))
        assert not bad.any(), (
            f"{int(bad.sum())} of {bad.size} values differ; first at "
            f"{np.argwhere(bad)[0].tolist()}: got {g[bad][0]!r}, want {w[bad][0]!r}")

    kind = got.dtype.kind
    if kind == "f":
        check_float(got, want)
    elif kind == "c":
        check_float(got.real, want.real)
        check_float(got.imag, want.imag)
    elif kind == "O":
        check_float(np.asarray(got, dtype=np.float64), want_f64)
    else:
        assert np.array_equal(got, want)


# ---------------------------------------------------------------------------
# Hostile stand-ins for the objects the entries read


class EqError(Exception):
    """Raised by a mode object's ==."""


class BoolError(Exception):
    """Raised by an object's truth test."""


class FloatError(Exception):
    """Raised by an object's float conversion."""


class FeatherError(Exception):
    """Raised by a patched compute_feather_d."""


class Truthless:
    def __bool__(self):
        raise BoolError("no truth value")

    def __repr__(self):
        return "Truthless()"


class Unfloatable:
    def __float__(self):
        raise FloatError("no float value")

    def __repr__(self):
        return "Unfloatable()"


class ModeLike:
    """A stand-in for an enum member: `.value` (when given) and a configurable
    answer to `== BorderMode.ARRAY`."""

    _missing = object()

    def __init__(self, value=_missing, equals_array=False, eq_raises=False):
        if value is not ModeLike._missing:
            self.value = value
        self.equals_array = equals_array
        self.eq_raises = eq_raises

    def __eq__(self, other):
        if self.eq_raises:
            raise EqError("mode cannot be compared")
        return self.equals_array

    __hash__ = None

    def __repr__(self):
        value = getattr(self, "value", "<missing>")
        return f"ModeLike(value={value!r}, equals_array={self.equals_array}, eq_raises={self.eq_raises})"


class Duck:
    """A border configuration made of attributes only; an attribute that was
    not given is missing (AttributeError)."""

    def __init__(self, **attrs):
        self.__dict__.update(attrs)

    def __repr__(self):
        return f"Duck({', '.join(f'{k}={v!r}' for k, v in self.__dict__.items())})"


@contextlib.contextmanager
def patched_feather_d(replacement):
    """Replace the companion compute_feather_d for one call (the entries look
    it up on every call)."""
    if replacement is None:
        yield
        return
    saved = border_config_module.compute_feather_d
    border_config_module.compute_feather_d = replacement
    try:
        yield
    finally:
        border_config_module.compute_feather_d = saved


def outcome(fn, *args, **kwargs):
    """('ok', result) or ('raised', exception), with warnings silenced; the
    outcome is recorded for --hypothesis-show-statistics."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            result = fn(*args, **kwargs)
        except Exception as exc:  # noqa: BLE001 - the property inspects it
            event(f"raised {type(exc).__name__}")
            return "raised", exc
    event("returned")
    return "ok", result


def check_exception(exc, expected):
    """An ordinary exception with a message; of the predicted class when one
    is predicted."""
    assert not isinstance(exc, SystemError), f"C-API misuse: {exc!r}"
    assert str(exc), f"{type(exc).__name__} without a message"
    if expected is not None:
        assert isinstance(exc, expected), f"expected {expected}, got {type(exc).__name__}: {exc}"


def snapshot(obj):
    """Contents and flags of an input, to show that nothing wrote to it."""
    if isinstance(obj, np.ndarray):
        return (obj.dtype.str, obj.shape, obj.tobytes(), obj.flags.writeable)
    return None


# ---------------------------------------------------------------------------
# The failure model: (stage, exception classes) of the first failing check.
# Stages follow the documented order of checks and conversions; an input
# without failure must succeed.

OK = None


def pick(draw, calm, good, bad=()):
    """A label: from `good` in a calm case; otherwise from `bad` one time in
    three. (Drawing the two lists separately keeps every bad label in play:
    one long list would leave its middle rarely drawn.)"""
    if bad and not calm and draw(st.integers(0, 2)) == 0:
        return draw(st.sampled_from(list(bad)))
    return draw(st.sampled_from(list(good)))


class Failures:
    def __init__(self):
        self.items = []

    def add(self, stage, exc):
        self.items.append((stage, exc))

    def first(self):
        """(stage, exception classes) of the first failing check, or OK."""
        return min(self.items, key=lambda item: item[0]) if self.items else OK


# Hostile `interpolation` / `num_threads` values: (value, failure or None).
# A failure is (stage offset within the int-conversion steps, exception).
INT_ARG_VARIANTS = {
    "0": (0, None), "1": (1, None), "2": (2, None), "3": (3, None), "4": (4, None),
    "-1": (-1, None), "5": (5, None), "7": (7, None),
    "int_min": (-(2**31), None), "int_max": (2**31 - 1, None),
    "enum_cubic": (InterpMethod.CUBIC, None), "enum_lanczos4": (InterpMethod.LANCZOS4, None),
    "true": (True, None), "float_2.9": (2.9, None), "np_int8": (np.int8(3), None),
    "np_float32": (np.float32(1.5), None),
    "huge": (2**40, "late_overflow"),
    "str": ("2", TypeError), "none": (None, TypeError), "nan": (math.nan, ValueError),
    "inf": (math.inf, OverflowError), "complex": (1j, TypeError),
}
INTERP_GOOD = ["0", "1", "2", "3", "4"] * 4 + [
    k for k, (_, failure) in INT_ARG_VARIANTS.items() if failure is None and k not in "01234"]
INTERP_BAD = [k for k, (_, failure) in INT_ARG_VARIANTS.items() if failure is not None]
THREADS_GOOD = ["-1"] * 6 + ["0", "1", "5", "int_max", "huge", "true", "float_2.9", "np_int8"]
THREADS_BAD = ["str", "none", "nan"]


def int_arg(label):
    return INT_ARG_VARIANTS[label][0]


def interp_code(value):
    return operator.index(int(value))


# Values of `.value` for a mode-like object: (value, failure at conversion).
ENUM_VALUE_VARIANTS = {
    "neg1": (-1, None), "six": (6, None), "seven": (7, None), "int_max": (2**31 - 1, None),
    "int_min": (-(2**31), None), "np_int16_2": (np.int16(2), None), "true": (True, None),
    "str": ("5", TypeError), "float": (5.0, TypeError), "over": (2**31, OverflowError),
    "under": (-(2**31) - 1, OverflowError), "none": (None, TypeError),
}


# ---------------------------------------------------------------------------
# remap_tensor


@st.composite
def border_images(draw, shape, hostile):
    """A border image of `shape`: mostly float64, sometimes another dtype or
    layout; with `hostile` (duck configurations) also object arrays and
    strings that cannot become numbers (a BorderConfig refuses both)."""
    values = draw(f64_arrays(shape, pixels))
    dtype = draw(st.sampled_from(["float64"] * 4 + ["float32", "int32", "bool"]
                                 + (["object", "strings"] if hostile else [])))
    if dtype == "strings":
        arr = np.array(values.tolist(), dtype=object).reshape(shape)
        if arr.size:
            arr.reshape(-1)[0] = "not a number"
        return arr, "strings"
    arr = cast(values, dtype)
    layout = draw(st.sampled_from(["C", "C", "F", "reversed", "readonly", "misaligned"]))
    return relayout(arr, layout), dtype


@st.composite
def remap2d_cases(draw):
    """Arguments of one remap_tensor call plus the predicted outcome."""
    fails = Failures()
    calm = draw(st.booleans())  # a calm case draws well-formed variants only
    H = draw(st.integers(1 if calm else 0, 4))
    W = draw(st.integers(1 if calm else 0, 4))
    C = draw(st.sampled_from([None, None, 1, 2, 3, 0]))
    shape_fault = pick(draw, calm, ["none"] * 5, ["src_ndim_low", "src_ndim_4", "src_list",
                                                  "map_ndim", "map_shapes", "src_vs_map"])

    src_shape = (H, W) if C is None else (H, W, C)
    if shape_fault == "src_ndim_low":
        src_shape = draw(st.sampled_from([(), (H,)]))
    elif shape_fault == "src_ndim_4":
        src_shape = (H, W, C or 1, 2)
    src_dtype = pick(draw, calm, REMAP_DTYPES, ["strings"])
    src_values = draw(f64_arrays(src_shape, pixels))
    if src_dtype == "strings":
        src = np.array(src_values.tolist(), dtype=object).reshape(src_shape)
        if src.size:
            src.reshape(-1)[0] = "not a number"
    else:
        src = relayout(cast(src_values, src_dtype), draw(st.sampled_from(REMAP_LAYOUTS)))
    if shape_fault == "src_list":
        src = src_values.tolist()

    map_shape_x = map_shape_y = (H, W)
    if shape_fault == "map_ndim":
        bad = draw(st.sampled_from([(H,), (H, W, 1)]))
        if draw(st.booleans()):
            map_shape_x = bad
        else:
            map_shape_y = bad
    elif shape_fault == "map_shapes":
        map_shape_y = (H + 1, W)
    elif shape_fault == "src_vs_map":
        map_shape_x = map_shape_y = (H, W + 1)
    map_dtype = draw(st.sampled_from(["float64"] * 6 + ["float32", "float16", "int8", "bool",
                                                       "object", "longdouble", "complex64"]))
    maps = []
    for shape in (map_shape_x, map_shape_y):
        values = draw(f64_arrays(shape, coords))
        maps.append(relayout(cast(values, map_dtype), draw(st.sampled_from(REMAP_LAYOUTS))))
    map_x, map_y = maps

    # Structural checks, in the documented order.
    src_ndim = len(src_shape)
    if shape_fault == "src_list":
        fails.add((3,), AttributeError)
    elif src_ndim < 2:
        fails.add((3,), ValueError)
    if len(map_shape_x) != 2 or len(map_shape_y) != 2:
        fails.add((4,), ValueError)
    elif map_shape_x != map_shape_y:
        fails.add((5,), ValueError)
    elif src_ndim >= 2 and src_shape[:2] != map_shape_x:
        fails.add((6,), ValueError)
    if src_ndim >= 2 and (src_shape[0] == 0 or src_shape[1] == 0):
        fails.add((7,), ValueError)
    if src_ndim == 4:
        fails.add((21, 0), ValueError)  # the 3-D view of a 4-D source
    if src_dtype == "strings" and isinstance(src, np.ndarray) and src.size:
        fails.add((16,), (ValueError, TypeError))
    Cn = 1 if src_ndim == 2 else (src_shape[2] if src_ndim >= 3 else 1)

    # interpolation and num_threads
    interp_label = pick(draw, calm, INTERP_GOOD, INTERP_BAD)
    threads_label = pick(draw, calm, THREADS_GOOD, THREADS_BAD)
    kwargs = {}
    if interp_label != "1" or draw(st.booleans()):
        kwargs["interpolation"] = int_arg(interp_label)
    if threads_label != "-1" or draw(st.booleans()):
        kwargs["num_threads"] = int_arg(threads_label)
    for offset, label in ((0, interp_label), (1, threads_label)):
        failure = INT_ARG_VARIANTS[label][1]
        if failure == "late_overflow":
            if offset == 0:
                fails.add((21, 13), OverflowError)
        elif failure is not None:
            fails.add((2, offset), failure)

    config, model, fd_patch = draw(configs_2d(src_shape, Cn, fails, calm))
    if config is not None or draw(st.booleans()):
        kwargs["border_config"] = config
    return dict(src=src, map_x=map_x, map_y=map_y, kwargs=kwargs, model=model,
                fd_patch=fd_patch, expected=fails.first())


# Feather-width providers, by label: what compute_feather_d returns when it is
# patched. (factory(C), failure stage, exception).
def feather_patches(C):
    n = max(C, 1)
    return {
        "none": (lambda bc, c: None, None),
        "empty": (lambda bc, c: np.empty(0), None),
        "exact": (lambda bc, c: np.full(c, 0.2), None),
        "longer": (lambda bc, c: np.linspace(0.0, 0.3, c + 2), None),
        "hostile_values": (lambda bc, c: np.array([math.nan, -1.0, math.inf, 0.0] * n)[: max(c, 1)],
                           None),
        "readonly": (lambda bc, c: _readonly(np.full(c, 0.1)), None),
        "short": (lambda bc, c: np.full(max(c - 1, 0), 0.1),
                  ("short", ValueError) if C >= 2 else None),
        "two_d": (lambda bc, c: np.full((c, 1), 0.1), ("view", ValueError)),
        "float32": (lambda bc, c: np.full(c, 0.1, dtype=np.float32), ("view", ValueError)),
        "strided": (lambda bc, c: np.full(2 * c, 0.1)[::2],
                    ("view", ValueError) if C >= 2 else None),
        "byteswapped": (lambda bc, c: np.full(c, 0.1, dtype=">f8"), ("view", ValueError)),
        "list": (lambda bc, c: [0.1] * c, ("view", (TypeError, ValueError))),
        "raises": (_raise_feather, ("call", FeatherError)),
    }


def _readonly(a):
    a.flags.writeable = False
    return a


def _raise_feather(bc, c):
    raise FeatherError("no widths")


FEATHER_PATCH_GOOD = ["real"] * 12 + ["none", "empty", "exact", "longer", "hostile_values",
                                      "readonly"]
FEATHER_PATCH_BAD = ["short", "two_d", "float32", "strided", "byteswapped", "list", "raises"]


@st.composite
def configs_2d(draw, src_shape, Cn, fails, calm):
    """(border_config, model of what the entry will read, compute_feather_d
    replacement or None); records predicted failures in `fails`."""
    H = src_shape[0] if len(src_shape) >= 1 else 0
    W = src_shape[1] if len(src_shape) >= 2 else 0
    kind = draw(st.sampled_from(["none", "real", "real", "real", "duck", "duck", "duck"]))
    model = {}
    fd_label = pick(draw, calm, FEATHER_PATCH_GOOD, FEATHER_PATCH_BAD)
    fd_patch = None
    fd_failure = None
    if fd_label != "real":
        fd_patch, fd_failure = feather_patches(Cn)[fd_label]

    if kind == "none":
        config = None
        model.update(mode=0, constant=0.0, array=None, fw=0.0, mult=(1.0, 1.0, 1.0, 1.0),
                     fmode=0, dmode=0, preserve=False, equals_array=False, widths=None)
    elif kind == "real":
        config = draw(real_configs(src_shape, Cn, fails, model, fd_patch is not None, calm))
    else:
        config = draw(duck_configs(src_shape, Cn, fails, model, fd_patch is not None, calm))

    # compute_feather_d, when patched
    if fd_patch is not None:
        if fd_failure is not None:
            where, exc = fd_failure
            stage = {"call": (19,), "view": (21, 12), "short": (22, 1)}[where]
            fails.add(stage, exc)
        model["feather_d_fn"] = fd_patch
    return config, model, fd_patch


@st.composite
def real_configs(draw, src_shape, Cn, fails, model, patched, calm):
    H, W = (src_shape + (0, 0))[:2]
    mode = draw(st.sampled_from(list(BorderMode)))
    feathering = dict(
        feathering_width=draw(st.sampled_from([0.0, 0.05, 0.1, 0.3, 1.0, 1e300])),
        feathering_x_undershoot_multiplier=draw(st.sampled_from([1.0, 0.5, 0.0, -1.0, math.inf])),
        feathering_x_overshoot_multiplier=draw(st.sampled_from([1.0, 2.0, -0.5, -math.inf])),
        feathering_y_undershoot_multiplier=draw(st.sampled_from([1.0, 0.0, -1.0, 1e300])),
        feathering_y_overshoot_multiplier=draw(st.sampled_from([1.0, 3.0, -2.0, 5e-324])),
        feathering_mode=draw(st.sampled_from(list(FeatheringMode))),
        distance_mode=draw(st.sampled_from(list(DistanceMode))),
        preserve_non_feather_dims=draw(st.booleans()),
        feather_widths=draw(st.sampled_from([
            w for w in ([None, None, [], [0.0], [0.2], [0.0, 0.2], [0.3] * max(Cn, 1),
                         [0.1] * (Cn + 1), [0.0, 0.1, 0.2, 0.3]])
            if not (calm and w and 1 < len(w) < Cn)])),
    )
    widths = feathering["feather_widths"]
    if widths and 1 < len(widths) < Cn and not patched:
        fails.add((19,), ValueError)
    constant = draw(st.one_of(settings_floats, st.sampled_from([None, np.float64(2.5)])))
    if mode == BorderMode.ARRAY:
        image_shape = pick(draw, calm, [(H, W), (H, W), (H, W, Cn), (H, W, Cn)]
                           + ([(H, W, 1)] if Cn == 1 else []),
                           [(H, W, 1), (H, W, Cn + 1), (H + 1, W), (H,)])
        image, image_dtype = draw(border_images(image_shape, hostile=False))
        config = BorderConfig.array(image, **feathering)
        model["array_dtype"] = "float64"  # the configuration keeps a float64 copy
        _predict_array_checks(image_shape, src_shape, Cn, fails)
    elif mode == BorderMode.CONSTANT:
        config = BorderConfig.constant(constant, **feathering)
    else:
        config = BorderConfig(mode, None, constant, **feathering)
    model.update(real=True)
    return config


def _predict_array_checks(image_shape, src_shape, Cn, fails):
    """ARRAY-mode checks on the border image (documented steps 12 to 15)."""
    if tuple(image_shape[:2]) != tuple(src_shape[:2]):
        fails.add((12,), ValueError)
    elif len(image_shape) not in (2, 3):
        fails.add((14,), ValueError)
    elif len(image_shape) == 3 and image_shape[2] != Cn:
        fails.add((15,), ValueError)


MODE_GOOD = (["member"] * 6 + ["like_valid"] * 4 + ["like_1_equal"]
             + ["like_value_" + k for k, (_, f) in ENUM_VALUE_VARIANTS.items() if f is None])
MODE_BAD = (["like_value_" + k for k, (_, f) in ENUM_VALUE_VARIANTS.items() if f is not None]
            + ["like_5_not_equal", "like_no_value", "eq_raises", "missing"])
ENUM_GOOD = ["member", "member", "like"] + [
    "value_" + k for k, (_, f) in ENUM_VALUE_VARIANTS.items() if f is None]
ENUM_BAD = ["value_" + k for k, (_, f) in ENUM_VALUE_VARIANTS.items() if f is not None] + [
    "no_value", "missing"]


@st.composite
def duck_configs(draw, src_shape, Cn, fails, model, patched, calm):
    """A duck-typed configuration, each attribute good or hostile."""
    H, W = (src_shape + (0, 0))[:2]
    attrs = {}
    mode_label = pick(draw, calm, MODE_GOOD, MODE_BAD)
    equals_array = False
    mode_value = None
    if mode_label == "member":
        member = draw(st.sampled_from(list(BorderMode)))
        attrs["mode"] = member
        equals_array = member == BorderMode.ARRAY
        mode_value = int(member)
    elif mode_label == "like_valid":
        mode_value = draw(st.integers(0, 5))
        equals_array = mode_value == 5
        attrs["mode"] = ModeLike(mode_value, equals_array=equals_array)
    elif mode_label.startswith("like_value_"):
        value, failure = ENUM_VALUE_VARIANTS[mode_label[len("like_value_"):]]
        attrs["mode"] = ModeLike(value)
        if failure is not None:
            fails.add((21, 1), failure)
        else:
            mode_value = operator.index(value)
            if mode_value == 5:  # a mode with value 5 must compare equal to ARRAY
                fails.add((22, 0), ValueError)
    elif mode_label == "like_5_not_equal":
        attrs["mode"] = ModeLike(5, equals_array=False)
        fails.add((22, 0), ValueError)
    elif mode_label == "like_1_equal":
        attrs["mode"] = ModeLike(1, equals_array=True)
        equals_array = True
        mode_value = 1
    elif mode_label == "like_no_value":
        attrs["mode"] = ModeLike()
        fails.add((21, 1), AttributeError)
    elif mode_label == "eq_raises":
        attrs["mode"] = ModeLike(0, eq_raises=True)
        fails.add((10,), EqError)
    else:
        fails.add((10,), AttributeError)

    # array: read only when the mode compares equal to ARRAY
    if equals_array:
        array_label = pick(draw, calm, ["good_hw", "good_hwc"] + (["good_hw1"] if Cn == 1 else []),
                           ["good_hw1", "none", "missing", "list", "wrong_hw", "one_d", "four_d",
                            "more_channels"])
    else:
        array_label = draw(st.sampled_from(["absent", "none", "garbage"]))
    array_dtype = None
    if array_label in ("good_hw", "good_hwc", "good_hw1", "wrong_hw", "one_d", "four_d",
                       "more_channels"):
        shape = {"good_hw": (H, W), "good_hwc": (H, W, Cn), "good_hw1": (H, W, 1),
                 "wrong_hw": (H + 1, W), "one_d": (H,), "four_d": (H, W, Cn, 1),
                 "more_channels": (H, W, Cn + 1)}[array_label]
        image, array_dtype = draw(border_images(shape, hostile=not calm))
        attrs["array"] = image
        _predict_array_checks(shape, src_shape, Cn, fails)
        if array_dtype == "strings" and image.size:
            fails.add((18,), (ValueError, TypeError))
    elif array_label == "none":
        attrs["array"] = None
        if equals_array:
            fails.add((11,), ValueError)
    elif array_label == "missing":
        fails.add((11,), AttributeError)
    elif array_label == "list":
        attrs["array"] = [[0.0] * W] * H
        fails.add((12,), AttributeError)
    elif array_label == "garbage":
        attrs["array"] = "never read outside ARRAY mode"
    model["array_dtype"] = array_dtype

    # constant_value
    const_label = pick(draw, calm, ["float"] * 4 + ["zero_d", "one_d", "none", "np_float32", "true"],
                       ["str", "complex", "unfloatable", "missing"])
    constant = {
        "float": draw(settings_floats), "zero_d": np.array(draw(settings_floats)),
        "one_d": np.array([3.0, 4.0]), "none": None, "np_float32": np.float32(0.75),
        "true": True, "str": "1.0", "complex": 1 + 1j, "unfloatable": Unfloatable(),
    }.get(const_label)
    if const_label == "missing":
        fails.add((20,), AttributeError)
    else:
        attrs["constant_value"] = constant
        if const_label in ("str", "complex"):
            fails.add((21, 2), TypeError)
        elif const_label == "unfloatable":
            fails.add((21, 2), FloatError)

    # the five feathering floats, in conversion order
    names = ["feathering_width", "feathering_x_undershoot_multiplier",
             "feathering_x_overshoot_multiplier", "feathering_y_undershoot_multiplier",
             "feathering_y_overshoot_multiplier"]
    for i, name in enumerate(names):
        label = pick(draw, calm, ["float"] * 8 + ["int", "np_float32"], ["str", "missing"])
        if label == "missing":
            fails.add((21, 4 + i), AttributeError)
            continue
        attrs[name] = {"float": draw(settings_floats), "int": 1, "np_float32": np.float32(0.5),
                       "str": "0.1"}[label]
        if label == "str":
            fails.add((21, 4 + i), TypeError)

    for stage, name in ((9, "feathering_mode"), (10, "distance_mode")):
        label = pick(draw, calm, ENUM_GOOD, ENUM_BAD)
        if label == "member":
            enum_cls = FeatheringMode if name == "feathering_mode" else DistanceMode
            attrs[name] = draw(st.sampled_from(list(enum_cls)))
        elif label == "like":
            attrs[name] = ModeLike(draw(st.integers(-2, 9)))
        elif label.startswith("value_"):
            value, failure = ENUM_VALUE_VARIANTS[label[len("value_"):]]
            attrs[name] = ModeLike(value)
            if failure is not None:
                fails.add((21, stage), failure)
        elif label == "no_value":
            attrs[name] = ModeLike()
            fails.add((21, stage), AttributeError)
        else:
            fails.add((21, stage), AttributeError)

    label = pick(draw, calm, ["true", "false", "zero", "list"], ["truthless", "missing"])
    if label == "missing":
        fails.add((21, 11), AttributeError)
    else:
        attrs["preserve_non_feather_dims"] = {"true": True, "false": False, "zero": 0,
                                              "list": [0], "truthless": Truthless()}[label]
        if label == "truthless":
            fails.add((21, 11), BoolError)

    # per-channel widths, read by the real compute_feather_d from a duck
    widths_label = pick(draw, calm, ["absent", "absent", "none", "empty", "one", "exact"]
                        + (["short"] if not 1 < Cn - 1 < Cn else []),
                        ["short", "negative", "nan", "str"])
    if widths_label != "absent":
        attrs["feather_widths"] = {
            "none": None, "empty": [], "one": [0.2], "exact": [0.15] * max(Cn, 1),
            "short": [0.1] * max(Cn - 1, 0), "negative": [-0.1], "nan": [math.nan],
            "str": ["0.1"]}[widths_label]
        if patched:
            pass  # the real compute_feather_d is not called
        elif widths_label == "short" and 1 < Cn - 1 < Cn:
            fails.add((19,), ValueError)
        elif widths_label in ("negative", "nan"):
            fails.add((19,), ValueError)
        elif widths_label == "str":
            fails.add((19,), TypeError)
    model.update(equals_array=equals_array, mode_value=mode_value)
    return Duck(**attrs)


def read_config_2d(bc, C):
    """What the entry hands to the driver, read the way the entry reads it
    (only called for calls that succeeded, so every read succeeds)."""
    if bc is None:
        bc = BorderConfig.clamp()
    mode = operator.index(bc.mode.value)
    value = bc.constant_value
    if isinstance(value, np.ndarray):
        constant = float(value) if value.ndim == 0 else 0.0
    elif value is None:
        constant = 0.0
    else:
        constant = float(value)
    border = None
    if bc.mode == BorderMode.ARRAY and bc.array is not None:
        border = to_f64(bc.array)
        if border.ndim == 2:
            border = border[:, :, None]
    return dict(
        mode=mode, constant=constant, border=border, fw=float(bc.feathering_width),
        xu=float(bc.feathering_x_undershoot_multiplier),
        xo=float(bc.feathering_x_overshoot_multiplier),
        yu=float(bc.feathering_y_undershoot_multiplier),
        yo=float(bc.feathering_y_overshoot_multiplier),
        fmode=operator.index(bc.feathering_mode.value),
        dmode=operator.index(bc.distance_mode.value),
        preserve=bool(bc.preserve_non_feather_dims))


def model_remap2d(case):
    src = case["src"]
    kwargs = case["kwargs"]
    bc = kwargs.get("border_config")
    s = to_f64(src)
    if s.ndim == 2:
        s = s[:, :, None]
    C = s.shape[2]
    cfg = read_config_2d(bc, C)
    fd_fn = case["model"].get("feather_d_fn", border_config_module.compute_feather_d)
    feather_d = fd_fn(bc if bc is not None else BorderConfig.clamp(), C)
    out = oracle.remap2d(
        s, to_f64(case["map_x"]), to_f64(case["map_y"]),
        interp_code(kwargs.get("interpolation", 1)), cfg["mode"], cfg["constant"],
        cfg["border"], cfg["fw"], cfg["xu"], cfg["xo"], cfg["yu"], cfg["yo"], cfg["fmode"],
        cfg["dmode"], cfg["preserve"], feather_d)
    return out.reshape(src.shape) if src.ndim == 2 else out


@fuzz_settings(500)
@given(remap2d_cases())
def test_remap_tensor_any_input(case):
    src, map_x, map_y, kwargs = case["src"], case["map_x"], case["map_y"], case["kwargs"]
    before = [snapshot(a) for a in (src, map_x, map_y)]
    with patched_feather_d(case["fd_patch"]):
        status, value = outcome(remap_tensor, src, map_x, map_y, **kwargs)
    assert [snapshot(a) for a in (src, map_x, map_y)] == before, "an input was written"
    expected = case["expected"]
    if status == "raised":
        assert expected is not OK, f"valid call raised {type(value).__name__}: {value}"
        check_exception(value, expected[1])
        return
    assert expected is OK, f"expected {expected}, the call returned"
    assert isinstance(value, np.ndarray)
    assert value.shape == src.shape
    assert value.dtype == src.dtype
    with patched_feather_d(case["fd_patch"]):
        want = model_remap2d(case)
    assert_same_values(value, want)


# ---------------------------------------------------------------------------
# remap_tensor_1d


@st.composite
def remap1d_cases(draw):
    fails = Failures()
    calm = draw(st.booleans())
    N = draw(st.integers(0, 6))
    C = draw(st.sampled_from([None, None, 1, 2, 3, 0]))
    shape_fault = pick(draw, calm, ["none"] * 5, ["src_ndim_0", "src_ndim_3", "src_list",
                                                  "map_ndim", "length"])
    src_shape = (N,) if C is None else (N, C)
    if shape_fault == "src_ndim_0":
        src_shape = ()
    elif shape_fault == "src_ndim_3":
        src_shape = (N, C or 1, 2)
    src_dtype = pick(draw, calm, REMAP_DTYPES, ["strings"])
    src_values = draw(f64_arrays(src_shape, pixels))
    if src_dtype == "strings":
        src = np.array(src_values.tolist(), dtype=object).reshape(src_shape)
        if src.size:
            src.reshape(-1)[0] = "not a number"
    else:
        src = relayout(cast(src_values, src_dtype), draw(st.sampled_from(REMAP_LAYOUTS)))
    if shape_fault == "src_list":
        src = src_values.tolist()
    map_shape = {"map_ndim": (N, 1), "length": (N + 1,)}.get(shape_fault, (N,))
    map_dtype = draw(st.sampled_from(["float64"] * 6 + ["float32", "int8", "bool", "object",
                                                       "longdouble", "complex128"]))
    map_x = relayout(cast(draw(f64_arrays(map_shape, coords)), map_dtype),
                     draw(st.sampled_from(REMAP_LAYOUTS)))

    if shape_fault == "src_list":
        fails.add((1,), AttributeError)
    elif len(src_shape) not in (1, 2):
        fails.add((1,), ValueError)
    elif len(map_shape) != 1:
        fails.add((2,), ValueError)
    elif map_shape[0] != src_shape[0]:
        fails.add((3,), ValueError)
    if src_dtype == "strings" and isinstance(src, np.ndarray) and src.size:
        fails.add((6,), (ValueError, TypeError))
    Cn = 1 if len(src_shape) == 1 else (src_shape[1] if len(src_shape) >= 2 else 1)

    interp_label = pick(draw, calm, INTERP_GOOD, INTERP_BAD)
    threads_label = pick(draw, calm, THREADS_GOOD, THREADS_BAD)
    kwargs = {}
    if interp_label != "1" or draw(st.booleans()):
        kwargs["interpolation"] = int_arg(interp_label)
    if threads_label != "-1" or draw(st.booleans()):
        kwargs["num_threads"] = int_arg(threads_label)
    for offset, label in ((0, interp_label), (1, threads_label)):
        failure = INT_ARG_VARIANTS[label][1]
        if failure == "late_overflow":
            if offset == 0:
                fails.add((13, 9), OverflowError)
        elif failure is not None:
            fails.add((0, offset), failure)

    config, model, fd_patch = draw(configs_1d(N, Cn, fails, calm))
    if config is not None or draw(st.booleans()):
        kwargs["border_config"] = config
    return dict(src=src, map_x=map_x, kwargs=kwargs, model=model, fd_patch=fd_patch,
                expected=fails.first())


@st.composite
def configs_1d(draw, N, Cn, fails, calm):
    kind = draw(st.sampled_from(["none", "real", "real", "duck", "duck", "duck"]))
    model = {}
    fd_label = pick(draw, calm, FEATHER_PATCH_GOOD, FEATHER_PATCH_BAD)
    fd_patch = None
    if fd_label != "real":
        fd_patch, failure = feather_patches(Cn)[fd_label]
        if failure is not None:
            where, exc = failure
            fails.add({"call": (11,), "view": (13, 8), "short": (15,)}[where], exc)
        model["feather_d_fn"] = fd_patch
    if kind == "none":
        return None, model, fd_patch

    if kind == "real":
        mode = draw(st.sampled_from(list(BorderMode)))
        feathering = dict(
            feathering_width=draw(st.sampled_from([0.0, 0.1, 0.3, 1.0])),
            feathering_x_undershoot_multiplier=draw(st.sampled_from([1.0, 0.0, -1.0, math.inf])),
            feathering_x_overshoot_multiplier=draw(st.sampled_from([1.0, 2.0, -0.5])),
            feathering_mode=draw(st.sampled_from(list(FeatheringMode))),
            feather_widths=draw(st.sampled_from([
                w for w in [None, None, [0.2], [0.0, 0.2], [0.3] * max(Cn, 1), [0.1] * (Cn + 1)]
                if not (calm and w and 1 < len(w) < Cn)])),
        )
        widths = feathering["feather_widths"]
        if widths and 1 < len(widths) < Cn and fd_patch is None:
            fails.add((11,), ValueError)
        constant = draw(settings_floats)
        if mode == BorderMode.ARRAY:
            covering = [(N, Cn), (N + 2, Cn)] + ([(N,), (N, 1)] if Cn <= 1 else [])
            shape = pick(draw, calm, covering, [(N,), (N, 1), (max(N - 1, 0), Cn), (1,)])
            image, _ = draw(border_images(shape, hostile=False))
            _predict_border_1d(shape, N, Cn, fails)
            return BorderConfig.array(image, **feathering), model, fd_patch
        if mode == BorderMode.CONSTANT:
            return BorderConfig.constant(constant, **feathering), model, fd_patch
        return BorderConfig(mode, None, constant, **feathering), model, fd_patch

    attrs = {}
    mode_label = pick(draw, calm, MODE_GOOD, MODE_BAD)
    equals_array = False
    mode_value = None
    if mode_label == "member":
        member = draw(st.sampled_from(list(BorderMode)))
        attrs["mode"] = member
        equals_array = member == BorderMode.ARRAY
        mode_value = int(member)
    elif mode_label == "like_valid":
        mode_value = draw(st.integers(0, 5))
        equals_array = mode_value == 5
        attrs["mode"] = ModeLike(mode_value, equals_array=equals_array)
    elif mode_label.startswith("like_value_"):
        value, failure = ENUM_VALUE_VARIANTS[mode_label[len("like_value_"):]]
        attrs["mode"] = ModeLike(value)
        if failure is not None:
            fails.add((13, 1), failure)
        else:
            mode_value = operator.index(value)
    elif mode_label == "like_5_not_equal":
        attrs["mode"] = ModeLike(5, equals_array=False)
        mode_value = 5
    elif mode_label == "like_1_equal":
        attrs["mode"] = ModeLike(1, equals_array=True)
        equals_array = True
        mode_value = 1
    elif mode_label == "like_no_value":
        attrs["mode"] = ModeLike()
        fails.add((13, 1), AttributeError)
    elif mode_label == "eq_raises":
        attrs["mode"] = ModeLike(0, eq_raises=True)
        fails.add((10, 0), EqError)
    else:
        fails.add((10, 0), AttributeError)
    if mode_value == 5:
        # The driver reads border_array[i, c]: a value-5 mode must compare
        # equal to ARRAY and bring an array covering (N, C).
        if not equals_array:
            fails.add((14,), ValueError)

    if equals_array:
        array_label = pick(draw, calm, ["good_nc", "longer"] + (["good_n", "good_n1"] if Cn <= 1
                                                                else []),
                           ["good_n", "good_n1", "short", "none", "missing", "three_d"])
    else:
        array_label = draw(st.sampled_from(["absent", "none", "garbage"]))
    array_dtype = None
    if array_label in ("good_n", "good_nc", "good_n1", "longer", "short", "three_d"):
        shape = {"good_n": (N,), "good_nc": (N, Cn), "good_n1": (N, 1),
                 "longer": (N + 3, Cn + 1), "short": (max(N - 1, 0), Cn),
                 "three_d": (N, Cn, 1)}[array_label]
        image, array_dtype = draw(border_images(shape, hostile=not calm))
        attrs["array"] = image
        if array_dtype == "strings" and image.size:
            fails.add((10, 1), (ValueError, TypeError))
        if len(shape) == 3:
            fails.add((13, 3), ValueError)
        elif mode_value == 5:
            _predict_border_1d(shape, N, Cn, fails)
    elif array_label == "none":
        attrs["array"] = None
        if equals_array and mode_value == 5:
            fails.add((14,), ValueError)
    elif array_label == "missing":
        fails.add((10, 1), AttributeError)
    elif array_label == "garbage":
        attrs["array"] = "never read outside ARRAY mode"
    model["array_dtype"] = array_dtype

    const_label = pick(draw, calm, ["float"] * 4 + ["zero_d", "one_d", "none"],
                       ["str", "unfloatable", "missing"])
    if const_label == "missing":
        fails.add((12,), AttributeError)
    else:
        attrs["constant_value"] = {
            "float": draw(settings_floats), "zero_d": np.array(draw(settings_floats)),
            "one_d": np.array([3.0, 4.0]), "none": None, "str": "1.0",
            "unfloatable": Unfloatable()}[const_label]
        if const_label == "str":
            fails.add((13, 2), TypeError)
        elif const_label == "unfloatable":
            fails.add((13, 2), FloatError)

    for i, name in enumerate(["feathering_width", "feathering_x_undershoot_multiplier",
                              "feathering_x_overshoot_multiplier"]):
        label = pick(draw, calm, ["float"] * 8 + ["int"], ["str", "missing"])
        if label == "missing":
            fails.add((13, 4 + i), AttributeError)
            continue
        attrs[name] = {"float": draw(settings_floats), "int": 2, "str": "0.1"}[label]
        if label == "str":
            fails.add((13, 4 + i), TypeError)
    label = pick(draw, calm, ENUM_GOOD, ENUM_BAD)
    if label == "member":
        attrs["feathering_mode"] = draw(st.sampled_from(list(FeatheringMode)))
    elif label == "like":
        attrs["feathering_mode"] = ModeLike(draw(st.integers(-2, 3)))
    elif label.startswith("value_"):
        value, failure = ENUM_VALUE_VARIANTS[label[len("value_"):]]
        attrs["feathering_mode"] = ModeLike(value)
        if failure is not None:
            fails.add((13, 7), failure)
    elif label == "no_value":
        attrs["feathering_mode"] = ModeLike()
        fails.add((13, 7), AttributeError)
    else:
        fails.add((13, 7), AttributeError)
    # Not read by the 1-D entry: hostile or missing must not matter.
    for name in ("feathering_y_undershoot_multiplier", "feathering_y_overshoot_multiplier",
                 "distance_mode", "preserve_non_feather_dims"):
        choice = draw(st.sampled_from(["missing", "hostile"]))
        if choice == "hostile":
            attrs[name] = Truthless()
    widths_label = pick(draw, calm, ["absent", "absent", "one", "exact"]
                        + (["short"] if not 1 < Cn - 1 < Cn else []), ["short", "negative"])
    if widths_label != "absent":
        attrs["feather_widths"] = {"one": [0.2], "exact": [0.15] * max(Cn, 1),
                                   "short": [0.1] * max(Cn - 1, 0), "negative": [-0.1]}[widths_label]
        if fd_patch is not None:
            pass  # the real compute_feather_d is not called
        elif widths_label == "short" and 1 < Cn - 1 < Cn:
            fails.add((11,), ValueError)
        elif widths_label == "negative":
            fails.add((11,), ValueError)
    model.update(equals_array=equals_array)
    return Duck(**attrs), model, fd_patch


def _predict_border_1d(shape, N, Cn, fails):
    """The driver reads border_array[i, c] for i < N, c < C; a border that
    does not cover that is refused (a single channel covers only C <= 1)."""
    rows = shape[0]
    cols = 1 if len(shape) == 1 else shape[1]
    if rows < N or cols < Cn:
        fails.add((14,), ValueError)


def model_remap1d(case):
    src = case["src"]
    kwargs = case["kwargs"]
    bc = kwargs.get("border_config")
    if bc is None:
        bc = BorderConfig.clamp()
    s = to_f64(src)
    if s.ndim == 1:
        s = s[:, None]
    C = s.shape[1]
    value = bc.constant_value
    if isinstance(value, np.ndarray):
        constant = float(value) if value.ndim == 0 else 0.0
    elif value is None:
        constant = 0.0
    else:
        constant = float(value)
    border = None
    if bc.mode == BorderMode.ARRAY and bc.array is not None:
        border = to_f64(bc.array)
        if border.ndim == 1:
            border = border[:, None]
    fd_fn = case["model"].get("feather_d_fn", border_config_module.compute_feather_d)
    out = oracle.remap1d(
        s, to_f64(case["map_x"]), interp_code(kwargs.get("interpolation", 1)),
        operator.index(bc.mode.value), constant, border, float(bc.feathering_width),
        float(bc.feathering_x_undershoot_multiplier), float(bc.feathering_x_overshoot_multiplier),
        operator.index(bc.feathering_mode.value), fd_fn(bc, C))
    return out.reshape(src.shape) if src.ndim == 1 else out


@fuzz_settings(500)
@given(remap1d_cases())
def test_remap_tensor_1d_any_input(case):
    src, map_x, kwargs = case["src"], case["map_x"], case["kwargs"]
    before = [snapshot(a) for a in (src, map_x)]
    with patched_feather_d(case["fd_patch"]):
        status, value = outcome(remap_tensor_1d, src, map_x, **kwargs)
    assert [snapshot(a) for a in (src, map_x)] == before, "an input was written"
    expected = case["expected"]
    if status == "raised":
        assert expected is not OK, f"valid call raised {type(value).__name__}: {value}"
        check_exception(value, expected[1])
        return
    assert expected is OK, f"expected {expected}, the call returned"
    assert isinstance(value, np.ndarray)
    assert value.shape == src.shape
    assert value.dtype == src.dtype
    with patched_feather_d(case["fd_patch"]):
        want = model_remap1d(case)
    assert_same_values(value, want)


# ---------------------------------------------------------------------------
# clip_abs

CLIP_DTYPES = ("float16", "int64", "int8", "bool", "complex128", "object", ">f8", ">f4",
               "longdouble")
# "misaligned" is left out: such arrays are read through misaligned pointers
# today (undefined behaviour, pinned by test_misaligned_buffers_are_read_safely).
CLIP_LAYOUTS = ("C", "C", "C", "F", "strided", "reversed", "readonly", "readonly_strided",
                "broadcast")


def clip_model(x, threshold, zero_val):
    """The element rule, on arrays of the element type."""
    x = np.array(x, copy=True)
    with np.errstate(invalid="ignore"):
        below = threshold > np.abs(x)
    out = x.copy()
    out[below & (x == 0)] = zero_val
    out[below & (x > 0)] = threshold
    out[below & (x < 0)] = -threshold
    return out


THRESHOLD_VARIANTS = {
    "0.1": (0.1, None), "0.5": (0.5, None), "zero": (0.0, None), "neg_zero": (-0.0, None),
    "inf": (math.inf, None), "tiny": (5e-324, None), "nan": (math.nan, ValueError),
    "f32_overflow": (1e39, None), "f32_underflow": (1e-50, None), "huge": (1e300, None),
    "int_one": (1, None), "np_float32": (np.float32(0.25), None), "true": (True, None),
    "negative": (-1.0, ValueError), "neg_int": (-1, ValueError), "neg_inf": (-math.inf, ValueError),
    "neg_tiny": (-5e-324, ValueError), "str": ("0.1", TypeError), "none": (None, TypeError),
    "unfloatable": (Unfloatable(), FloatError),
}


@st.composite
def clip_cases(draw):
    fails = Failures()
    calm = draw(st.booleans())
    shape = tuple(draw(st.lists(st.integers(0, 4), min_size=0, max_size=3)))
    arr_kind = pick(draw, calm, ["float64", "float32"], list(CLIP_DTYPES) + ["list"])
    values = draw(f64_arrays(shape, st.one_of(
        st.floats(-1.0, 1.0), st.sampled_from(HOSTILE_FLOATS),
        st.sampled_from([0.1, -0.1, 0.25, -0.25, np.float32(0.1).item()]))))
    if arr_kind == "list":
        arr = values.tolist() if shape else [0.5]
    else:
        arr = relayout(cast(values, arr_kind), draw(st.sampled_from(CLIP_LAYOUTS)))

    threshold_label = pick(draw, calm, [k for k, (_, f) in THRESHOLD_VARIANTS.items() if f is None],
                           [k for k, (_, f) in THRESHOLD_VARIANTS.items() if f is not None])
    threshold, failure = THRESHOLD_VARIANTS[threshold_label]
    if failure is not None:
        fails.add((1 if failure in (TypeError, FloatError) else 2,), failure)

    args = [arr, threshold]
    zs_label = pick(draw, calm, ["default", "default", "positive", "negative"],
                    ["none", "int", "str", "other_enum"])
    zero_sign = {"positive": ZERO_SIGN.POSITIVE, "negative": ZERO_SIGN.NEGATIVE, "none": None,
                 "int": 1, "str": "POSITIVE", "other_enum": BorderMode.CLAMP}.get(zs_label)
    if zs_label != "default":
        args.append(zero_sign)
        if zs_label not in ("positive", "negative"):
            fails.add((3,), TypeError)

    kwargs = {}
    ip_label = pick(draw, calm, ["omitted", "omitted", "false", "true", "true", "none", "one",
                                 "np_true", "empty_str"], ["truthless"])
    in_place = {"false": False, "true": True, "none": None, "one": 1, "np_true": np.bool_(True),
                "empty_str": "", "truthless": Truthless()}.get(ip_label)
    if ip_label != "omitted":
        kwargs["in_place"] = in_place
    truthy = ip_label in ("true", "one", "np_true")
    if ip_label == "truthless":
        fails.add((1.5,), BoolError)

    out_label = pick(draw, calm, ["omitted", "omitted", "omitted", "none", "fresh_c", "fresh_f",
                                  "strided_view", "same_as_arr"],
                     ["wrong_shape", "wrong_dtype", "readonly", "readonly_strided", "list"])
    out = None
    if arr_kind != "list":
        native = arr.dtype if arr.dtype.kind == "f" else np.dtype(np.float64)
        if out_label == "fresh_c":
            out = np.full(arr.shape, 7.0, dtype=native)
        elif out_label == "fresh_f":
            out = np.full(arr.shape, 7.0, dtype=native, order="F")
        elif out_label == "strided_view":
            out = relayout(np.full(arr.shape, 7.0, dtype=native), "strided")
        elif out_label == "same_as_arr":
            out = arr
        elif out_label == "wrong_shape":
            out = np.full(arr.shape + (1,), 7.0, dtype=native)
        elif out_label == "wrong_dtype":
            out = np.full(arr.shape, 7.0, dtype=np.float32 if native == np.float64 else np.float64)
        elif out_label == "readonly":
            out = relayout(np.full(arr.shape, 7.0, dtype=native), "readonly")
        elif out_label == "readonly_strided":
            out = relayout(np.full(arr.shape, 7.0, dtype=native), "readonly_strided")
        elif out_label == "list":
            out = [7.0]
    if out_label == "none":
        kwargs["out"] = None
    elif out_label != "omitted" and out is not None:
        kwargs["out"] = out
    has_out = kwargs.get("out") is not None
    if has_out and truthy:
        fails.add((4,), ValueError)

    readonly_view_input = False
    if arr_kind == "list":
        fails.add((5,), AttributeError)
    else:
        dtype = arr.dtype
        supported = dtype in (np.dtype(np.float64), np.dtype(np.float32))
        if not supported:
            fails.add((6,), TypeError)
        else:
            c_contiguous = arr.flags.c_contiguous
            if truthy and not arr.flags.writeable:
                fails.add((7,), ValueError)  # buffer request or writeable check
            if has_out and not (ip_label == "truthless"):
                if out_label == "list":
                    fails.add((9,), AttributeError)
                elif out_label in ("wrong_shape", "wrong_dtype"):
                    fails.add((9,), ValueError)
                elif out_label in ("readonly", "readonly_strided") or (
                        out_label == "same_as_arr" and not arr.flags.writeable):
                    fails.add((10,), ValueError)
            readonly_view_input = (not arr.flags.writeable) and c_contiguous and not truthy
    expected = fails.first()
    # A read-only C-contiguous input without in_place: the documented
    # algorithm asks for its flattened view as writable (ValueError), the
    # module accepts it as a read-only input; both outcomes are safe.
    lenient = expected is OK and readonly_view_input
    return dict(args=args, kwargs=kwargs, expected=expected, lenient_readonly=lenient,
                zero_sign=zero_sign if zs_label != "default" else ZERO_SIGN.POSITIVE,
                in_place=truthy)


@fuzz_settings(800)
@given(clip_cases())
def test_clip_abs_any_input(case):
    args, kwargs = case["args"], case["kwargs"]
    arr, threshold = args[0], args[1]
    out = kwargs.get("out")
    arr_before = snapshot(arr)
    out_before = snapshot(out)
    original = np.array(arr, copy=True) if isinstance(arr, np.ndarray) else None
    status, value = outcome(clip_abs, *args, **kwargs)
    expected = case["expected"]
    if status == "raised":
        if expected is OK and case["lenient_readonly"] and isinstance(value, ValueError):
            pass
        else:
            assert expected is not OK, f"valid call raised {type(value).__name__}: {value}"
            check_exception(value, expected[1])
        assert snapshot(arr) == arr_before, "a failing call wrote to arr"
        assert snapshot(out) == out_before, "a failing call wrote to out"
        return
    assert expected is OK, f"expected {expected}, the call returned"

    dtype = original.dtype
    thr64 = float(threshold)
    zero64 = thr64 if case["zero_sign"] is ZERO_SIGN.POSITIVE else -thr64
    with np.errstate(over="ignore"):
        thr = dtype.type(thr64)
        zero_val = dtype.type(zero64)
    want = clip_model(original, thr, zero_val)

    if case["in_place"]:
        assert value is arr
        got = arr
    elif out is not None:
        assert value is out
        got = out
        if out is not arr:
            assert snapshot(arr) == arr_before, "arr changed though out was given"
    else:
        assert isinstance(value, np.ndarray) and value is not arr
        assert value.shape == original.shape and value.dtype == dtype
        assert snapshot(arr) == arr_before, "arr changed without in_place"
        got = value
    got = np.ascontiguousarray(got)
    want = np.ascontiguousarray(want)
    # The element rule keeps NaN payloads, so the comparison is bit for bit.
    uint = np.dtype(f"u{dtype.itemsize}")
    assert np.array_equal(got.view(uint), want.view(uint)), (got, want)


# ---------------------------------------------------------------------------
# num_threads changes nothing


@fuzz_settings(40)
@given(st.integers(1, 40), st.integers(1, 40), st.sampled_from([0, 1, 2, 3, 4, 9]),
       st.sampled_from([-1, 0, 1, 2, 64, 2**70, -(2**70)]), st.randoms(use_true_random=False))
def test_num_threads_changes_no_result(H, W, interpolation, num_threads, rnd):
    rng = np.random.default_rng(rnd.randrange(2**32))
    src = rng.standard_normal((H, W, 2))
    mx = rng.uniform(-0.3, 1.3, (H, W))
    my = rng.uniform(-0.3, 1.3, (H, W))
    bc = BorderConfig.constant(0.5, feathering_width=0.2)
    a = remap_tensor(src, mx, my, interpolation=interpolation, border_config=bc)
    b = remap_tensor(src, mx, my, interpolation=interpolation, border_config=bc,
                     num_threads=num_threads)
    assert a.tobytes() == b.tobytes()
    a1 = remap_tensor_1d(src[0], mx[0], interpolation=interpolation, border_config=bc)
    b1 = remap_tensor_1d(src[0], mx[0], interpolation=interpolation, border_config=bc,
                         num_threads=num_threads)
    assert a1.tobytes() == b1.tobytes()


# ---------------------------------------------------------------------------
# The multi-threaded path (the drawn inputs above are too small for it)


def sprinkled(rng, shape, lo, hi):
    """Uniform values with about 5% hostile ones mixed in."""
    values = rng.uniform(lo, hi, shape)
    mask = rng.random(shape) < 0.05
    values[mask] = rng.choice(np.array(HOSTILE_FLOATS), int(mask.sum()))
    return values


@fuzz_settings(8)
@given(st.sampled_from([0, 1]), st.sampled_from(list(BorderMode)),
       st.sampled_from(list(FeatheringMode)), st.randoms(use_true_random=False))
def test_parallel_path_matches_the_model(interpolation, mode, feathering_mode, rnd):
    """Inputs big enough for the OpenMP loops (>= 2^15 elementary steps; for
    clip_abs more than 10^6 elements) give the model's values too."""
    rng = np.random.default_rng(rnd.randrange(2**32))
    H, W, C = 105, 105, 3
    src = sprinkled(rng, (H, W, C), -4, 4)
    mx, my = sprinkled(rng, (H, W), -0.5, 1.5), sprinkled(rng, (H, W), -0.5, 1.5)
    feathering = dict(feathering_width=0.2, feathering_mode=feathering_mode)
    image = rng.standard_normal((H, W, C))
    bc = BorderConfig(mode, image if mode == BorderMode.ARRAY else None, 2.0, **feathering)
    got = remap_tensor(src, mx, my, interpolation=interpolation, border_config=bc)
    cfg = read_config_2d(bc, C)
    want = oracle.remap2d(src, mx, my, interpolation, cfg["mode"], cfg["constant"], cfg["border"],
                          cfg["fw"], cfg["xu"], cfg["xo"], cfg["yu"], cfg["yo"], cfg["fmode"],
                          cfg["dmode"], cfg["preserve"], None)
    assert_same_values(got, want)

    N = 40000
    signal = sprinkled(rng, (N,), -4, 4)
    line = sprinkled(rng, (N,), -0.5, 1.5)
    image1 = rng.standard_normal(N)
    bc1 = BorderConfig(mode, image1 if mode == BorderMode.ARRAY else None, 2.0, **feathering)
    got = remap_tensor_1d(signal, line, interpolation=interpolation, border_config=bc1)
    want = model_remap1d(dict(src=signal, map_x=line, model={},
                              kwargs=dict(interpolation=interpolation, border_config=bc1)))
    assert_same_values(got, want)

    for dtype in (np.float64, np.float32):
        with np.errstate(all="ignore"):
            x = sprinkled(rng, (1_000_001,), -1, 1).astype(dtype)
            x[rng.random(x.size) < 0.01] = 0.0
        thr = dtype(0.3)
        got = clip_abs(x, 0.3, ZERO_SIGN.NEGATIVE)
        want = clip_model(x, thr, -thr)
        uint = np.dtype(f"u{np.dtype(dtype).itemsize}")
        assert np.array_equal(got.view(uint), want.view(uint))


# ---------------------------------------------------------------------------
# The crash-prone part, in a child interpreter

CRASH_MARKERS = ("Fatal Python error", "AddressSanitizer", "UndefinedBehaviorSanitizer",
                 "runtime error:", "LeakSanitizer", "Segmentation fault", "core dumped")


def run_child(args, timeout, env_extra=None, cwd=TESTS_DIR):
    env = dict(os.environ)
    env.update(env_extra or {})
    return subprocess.run([sys.executable, *args], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=timeout)


def test_crash_prone_part_in_child():
    """test_exports_fuzz.py in a child interpreter: guard-page buffers, lying
    objects and direct calls of the C-level exports. A crash or a sanitizer
    report there fails this test instead of ending the run."""
    proc = run_child(
        ["-m", "pytest", "-q", "-p", "no:cacheprovider", "--hypothesis-show-statistics",
         "test_exports_fuzz.py"],
        timeout=3000 if STRESS else 600, env_extra={"TESSARO_FUZZ_CHILD": "1"})
    output = proc.stdout + proc.stderr
    tail = output[-6000:]
    assert proc.returncode == 0, f"child exited with {proc.returncode}:\n{tail}"
    for marker in CRASH_MARKERS:
        assert marker not in output, f"{marker!r} in the child's output:\n{tail}"
    summary = re.search(r"(\d+) passed", output)
    child_tests = (TESTS_DIR / "test_exports_fuzz.py").read_text().count("\ndef test_")
    assert child_tests >= 6
    assert summary and int(summary.group(1)) == child_tests, f"the child ran too few tests:\n{tail}"
    assert not re.search(r"\d+ (failed|skipped|error)", output), tail


# ---------------------------------------------------------------------------
# Conversions


@pytest.mark.parametrize("dtype", ["object", "longdouble", "complex128"])
def test_conversion_follows_numpy(dtype):
    """Inputs convert as np.ascontiguousarray(x, dtype=np.float64) converts
    them, unsafe casts included (a regression test: these dtypes were once
    refused with 'Cannot cast array data ... according to the rule safe')."""
    rng = np.random.default_rng(7)
    src = rng.uniform(-1, 1, (3, 4))
    mx = rng.uniform(-0.2, 1.2, (3, 4))
    my = rng.uniform(-0.2, 1.2, (3, 4))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # ComplexWarning: the imaginary part is discarded
        got = remap_tensor(src.astype(dtype), mx, my)
        assert got.dtype == np.dtype(dtype)
        assert_same_values(got, remap_tensor(src, mx, my))
        got = remap_tensor(src, mx.astype(dtype), my.astype(dtype))
        assert_same_values(got, remap_tensor(src, mx, my))
        got = remap_tensor_1d(src[0].astype(dtype), mx[0].astype(dtype))
        assert_same_values(got, remap_tensor_1d(src[0], mx[0]))
        border = Duck(mode=BorderMode.ARRAY, array=src.astype(dtype), constant_value=0.0,
                      feathering_width=0.0, feathering_x_undershoot_multiplier=1.0,
                      feathering_x_overshoot_multiplier=1.0,
                      feathering_y_undershoot_multiplier=1.0,
                      feathering_y_overshoot_multiplier=1.0,
                      feathering_mode=FeatheringMode.OUTWARD, distance_mode=DistanceMode.EUCLIDEAN,
                      preserve_non_feather_dims=False)
        got = remap_tensor(src, mx, my, border_config=border)
        assert_same_values(got, remap_tensor(src, mx, my, border_config=BorderConfig.array(src)))


# ---------------------------------------------------------------------------
# Regressions: objects whose size disagrees with their flattening, and
# buffers that are not aligned to their element size.


# A guard-page buffer for the repro scripts: `count` float64 elements whose
# last one ends exactly where an inaccessible page begins, so that any read
# or write past the end faults at once, in any build.
GUARDED_PRELUDE = textwrap.dedent("""
    import ctypes, mmap
    import numpy as np
    from tessaro.cython._brisel import clip_abs

    libc = ctypes.CDLL(None, use_errno=True)
    libc.mmap.restype = ctypes.c_void_p
    libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int,
                          ctypes.c_int, ctypes.c_long]
    libc.mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
    PAGE = mmap.PAGESIZE

    def guarded(count, value=0.01):
        base = libc.mmap(None, 2 * PAGE, 3, 0x22, -1, 0)
        assert libc.mprotect(base + PAGE, PAGE, 0) == 0
        start = base + PAGE - 8 * count
        a = np.frombuffer((ctypes.c_char * (8 * count)).from_address(start), dtype=np.float64)
        a[:] = value
        return a

    class LyingArray:
        # Says it has `size` elements; its flattening has only `real.size`.
        def __init__(self, size, real):
            self.size, self.shape, self.dtype, self._real = size, (size,), real.dtype, real
            self.flags = type("Flags", (), {"writeable": True})()
        def ravel(self):
            return self._real
""")


def run_repro(body):
    """Runs a repro script in a child interpreter; returns (returncode, output)."""
    proc = run_child(["-c", GUARDED_PRELUDE + textwrap.dedent(body)], timeout=120)
    return proc.returncode, proc.stdout + proc.stderr


@pytest.mark.parametrize("scenario", ["arr_size_larger", "in_place_size_larger",
                                      "out_flattening_shorter", "subclass_shape_lies"])
def test_clip_abs_never_touches_memory_outside_its_buffers(scenario):
    body = {
        # arr claims 4096 elements; its flattening has 2, placed against a
        # guard page.
        "arr_size_larger": """
            try:
                clip_abs(LyingArray(4096, guarded(2)), 0.1)
            except (ValueError, TypeError) as exc:
                print("refused:", exc)
        """,
        "in_place_size_larger": """
            try:
                clip_abs(LyingArray(4096, guarded(2)), 0.1, in_place=True)
            except (ValueError, TypeError) as exc:
                print("refused:", exc)
        """,
        # out has the shape and dtype of arr, but its flattening holds 2
        # elements against a guard page.
        "out_flattening_shorter": """
            arr = np.full(4096, 0.01)
            class ShortOut:
                shape, dtype = arr.shape, arr.dtype
                def ravel(self):
                    return guarded(2)
            try:
                clip_abs(arr, 0.1, out=ShortOut())
            except (ValueError, TypeError) as exc:
                print("refused:", exc)
        """,
        # An ndarray subclass whose `size` reports more than it holds.
        "subclass_shape_lies": """
            class Bigger(np.ndarray):
                @property
                def size(self):
                    return 1 << 20
            base = guarded(2)
            try:
                clip_abs(base.view(Bigger), 0.1)
            except (ValueError, TypeError) as exc:
                print("refused:", exc)
        """,
    }[scenario]
    code, output = run_repro(body)
    assert code == 0, f"exit status {code}:\n{output[-3000:]}"
    assert "refused:" in output, output[-3000:]


@pytest.mark.skipif(not SANITIZED, reason="misaligned loads are only observable under UBSan "
                                          "(make test-asan)")
@pytest.mark.parametrize("where", ["clip_abs_input", "clip_abs_out", "feather_d_2d",
                                   "feather_d_1d"])
def test_misaligned_buffers_are_read_safely(where):
    body = {
        "clip_abs_input": """
            raw = np.zeros(8 * 64 + 1, dtype=np.uint8)
            a = raw[1:].view(np.float64)
            a[:] = 0.01
            print(clip_abs(a, 0.1)[:2])
        """,
        "clip_abs_out": """
            raw = np.zeros(8 * 64 + 1, dtype=np.uint8)
            out = raw[1:].view(np.float64)
            print(clip_abs(np.full(64, 0.01), 0.1, out=out)[:2])
        """,
        "feather_d_2d": """
            import tessaro.core.border_config as m
            from tessaro.cython._tovik import remap_tensor
            raw = np.zeros(8 * 3 + 1, dtype=np.uint8)
            fd = raw[1:].view(np.float64)
            fd[:] = 0.2
            m.compute_feather_d = lambda bc, c: fd
            grid = np.linspace(-0.5, 1.5, 16).reshape(4, 4)
            bc = m.BorderConfig.constant(1.0, feathering_width=0.2)
            print(remap_tensor(np.zeros((4, 4, 3)), grid, grid, border_config=bc)[0, 0])
        """,
        "feather_d_1d": """
            import tessaro.core.border_config as m
            from tessaro.cython._tovik_1d import remap_tensor_1d
            raw = np.zeros(8 * 3 + 1, dtype=np.uint8)
            fd = raw[1:].view(np.float64)
            fd[:] = 0.2
            m.compute_feather_d = lambda bc, c: fd
            bc = m.BorderConfig.constant(1.0, feathering_width=0.2)
            print(remap_tensor_1d(np.zeros((4, 3)), np.linspace(-0.5, 1.5, 4), border_config=bc))
        """,
    }[where]
    code, output = run_repro(body)
    assert code == 0, f"exit status {code}:\n{output[-3000:]}"
    for marker in CRASH_MARKERS:
        assert marker not in output, output[-3000:]
