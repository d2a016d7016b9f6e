"""The crash-prone fuzzing: run only in a child interpreter.

``test_properties.py::test_crash_prone_part_in_child`` starts this module in
a separate interpreter (TESSARO_FUZZ_CHILD=1), so that a segmentation fault
or a sanitizer report fails that one test instead of ending the run.

What makes these tests crash-prone is that they would crash on a defect
rather than fail politely:

* Guard pages. Every array handed to the native code lives in its own
  mapping between two inaccessible pages, flush against one of them, so a
  read or write one element past either end faults at once, in any build
  (no sanitizer needed). Strided arrays keep their gaps filled with a
  pattern that must survive the call, so a write between elements shows up
  too.
* Direct calls of the C-level exports through ctypes (``_tovik_impl`` and the
  four ``_brisel`` kernels), both from a thread holding the interpreter lock
  (PYFUNCTYPE: the kernel must release and re-acquire it) and from one that
  has no thread state (CFUNCTYPE: the kernel must not touch the lock).
  Arguments satisfy the documented preconditions; the numbers are hostile.
* Objects that lie: arrays whose ``shape``/``ndim``/``len`` disagree with the
  buffer they convert to, and border configurations whose ``array`` answers
  differently on each read.
"""

import os

import pytest

if os.environ.get("TESSARO_FUZZ_CHILD") != "1":
    pytest.skip("crash-prone: runs in a child interpreter started by "
                "test_properties.py::test_crash_prone_part_in_child", allow_module_level=True)

import contextlib  # noqa: E402
import ctypes  # noqa: E402
import math  # noqa: E402
import mmap  # noqa: E402
import sys  # noqa: E402
import warnings  # noqa: E402

import numpy as np  # noqa: E402
from hypothesis import given  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import oracle  # noqa: E402
import tessaro.core.border_config as border_config_module  # noqa: E402
import tessaro.cython._brisel as brisel  # noqa: E402
import tessaro.cython._tovik as tovik  # noqa: E402
from tessaro.core.enums import BorderMode, FeatheringMode  # noqa: E402
from tessaro.cython._brisel import clip_abs  # noqa: E402
from tessaro.cython._tovik import remap_tensor  # noqa: E402
from tessaro.cython._tovik_1d import remap_tensor_1d  # noqa: E402
from test_properties import (  # noqa: E402
    HOSTILE_FLOATS, Duck, ModeLike, assert_same_values, clip_model, coords, fuzz_settings,
    pixels, settings_floats)

# ---------------------------------------------------------------------------
# Memory between guard pages

_libc = ctypes.CDLL(None, use_errno=True)
_libc.mmap.restype = ctypes.c_void_p
_libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int,
                       ctypes.c_int, ctypes.c_long]
_libc.mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
_libc.munmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
PAGE = mmap.PAGESIZE
PROT_NONE, PROT_RW = 0, 3
MAP_PRIVATE_ANONYMOUS = 0x22
GAP_BYTE = 0xA5


class Arena:
    """Arrays in guarded mappings; every mapping is unmapped at close, so
    a pointer kept past the call would fault on its next use."""

    def __init__(self):
        self.regions = []  # (base, length)
        self.raws = []  # (uint8 view of the data bytes, element mask)

    def array(self, shape, strides=None, dtype=np.float64, at_end=True, fill=None):
        """An array of `shape` with byte `strides` (default C order) whose
        lowest or highest byte touches a guard page; gaps between elements
        hold GAP_BYTE."""
        dtype = np.dtype(dtype)
        shape = tuple(int(n) for n in shape)
        if strides is None:
            strides = np.empty(shape, dtype=dtype).strides if shape else ()
        size = int(np.prod(shape, dtype=np.int64))
        if size == 0:
            lo, hi = 0, 0
        else:
            lo = sum(min(0, (n - 1) * s) for n, s in zip(shape, strides))
            hi = sum(max(0, (n - 1) * s) for n, s in zip(shape, strides)) + dtype.itemsize
        nbytes = hi - lo
        pages = max(1, -(-nbytes // PAGE))
        length = (pages + 2) * PAGE
        base = _libc.mmap(None, length, PROT_RW, MAP_PRIVATE_ANONYMOUS, -1, 0)
        if base is None or base == ctypes.c_void_p(-1).value:
            raise OSError(ctypes.get_errno(), "mmap failed")
        self.regions.append((base, length))
        assert _libc.mprotect(base, PAGE, PROT_NONE) == 0
        assert _libc.mprotect(base + (pages + 1) * PAGE, PAGE, PROT_NONE) == 0
        start = base + PAGE + ((pages * PAGE - nbytes) if at_end else 0)
        buf = (ctypes.c_char * nbytes).from_address(start)
        raw = np.frombuffer(buf, dtype=np.uint8)
        raw[:] = GAP_BYTE
        a = np.ndarray(shape, dtype=dtype, buffer=buf, offset=-lo, strides=strides)
        mask = np.zeros(nbytes, dtype=bool)
        if size:
            offsets = np.zeros((), dtype=np.int64) - lo
            for n, s in zip(shape, strides):
                offsets = offsets[..., None] + np.arange(n, dtype=np.int64) * s
            for b in range(dtype.itemsize):
                mask[offsets.reshape(-1) + b] = True
        self.raws.append((raw, mask))
        if fill is not None:
            with np.errstate(all="ignore"):
                a[...] = fill
        return a

    def gaps_untouched(self):
        return all(bool((raw[~mask] == GAP_BYTE).all()) for raw, mask in self.raws)

    def close(self):
        self.raws.clear()
        for base, length in self.regions:
            _libc.munmap(base, length)
        self.regions.clear()


@contextlib.contextmanager
def arena():
    a = Arena()
    try:
        yield a
    finally:
        a.close()


def image_strides(draw, H, W, C):
    """Byte strides of a (H, W, C) float64 view whose channel axis is
    contiguous (the documented precondition) and whose row and column steps
    may be padded or negative."""
    col = 8 * C + 8 * draw(st.sampled_from([0, 0, 1, 3]))
    col = max(col, 8)
    row = col * W + 8 * draw(st.sampled_from([0, 0, 2]))
    row = max(row, 8)
    if draw(st.booleans()):
        col = -col
    if draw(st.booleans()):
        row = -row
    return (row, col, 8)


def plane_strides(draw, H, W):
    col = 8
    row = max(8 * W + 8 * draw(st.sampled_from([0, 0, 1, 5])), 8)
    if draw(st.booleans()):
        row = -row
    return (row, col)


def snapshot_bytes(*arrays):
    return [a.tobytes() for a in arrays]


# ---------------------------------------------------------------------------
# The C-level exports through ctypes


class ViewRecord(ctypes.Structure):
    """The strided array view record (`__Pyx_memviewslice`)."""
    _fields_ = [("memview", ctypes.c_void_p), ("data", ctypes.c_void_p),
                ("shape", ctypes.c_ssize_t * 8), ("strides", ctypes.c_ssize_t * 8),
                ("suboffsets", ctypes.c_ssize_t * 8)]


def record(a):
    r = ViewRecord()
    if a is None:
        r.memview = id(None)
        return r
    r.memview = id(a)
    r.data = a.__array_interface__["data"][0]
    for d in range(a.ndim):
        r.shape[d] = a.shape[d]
        r.strides[d] = a.strides[d]
        r.suboffsets[d] = -1
    return r


_get_name = ctypes.pythonapi.PyCapsule_GetName
_get_name.restype = ctypes.c_char_p
_get_name.argtypes = [ctypes.py_object]
_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = ctypes.c_void_p
_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]

TOVIK_SIGNATURE = (b"void (__Pyx_memviewslice, __Pyx_memviewslice, __Pyx_memviewslice, "
                   b"__Pyx_memviewslice, int, double, __Pyx_memviewslice, double, double, double, "
                   b"double, double, int, int, int, __Pyx_memviewslice, int, Py_ssize_t, "
                   b"Py_ssize_t, Py_ssize_t)")
VR, I32, F64, F32, SSIZE = ViewRecord, ctypes.c_int, ctypes.c_double, ctypes.c_float, ctypes.c_ssize_t
TOVIK_ARGS = [VR, VR, VR, VR, I32, F64, VR, F64, F64, F64, F64, F64, I32, I32, I32, VR, I32,
              SSIZE, SSIZE, SSIZE]


def bind(module, key, signature, argtypes):
    """(with the lock held, without a thread state) callables of an export,
    after checking the capsule's name byte for byte."""
    capsule = module.__pyx_capi__[key]
    assert _get_name(capsule) == signature
    address = _get_pointer(capsule, signature)
    return {"holding_lock": ctypes.PYFUNCTYPE(None, *argtypes)(address),
            "no_thread_state": ctypes.CFUNCTYPE(None, *argtypes)(address)}


TOVIK_IMPL = bind(tovik, "_tovik_impl", TOVIK_SIGNATURE, TOVIK_ARGS)
BRISEL = {}
for _bits, _ctype, _np in ((32, F32, np.float32), (64, F64, np.float64)):
    _sig = (f"void (__Pyx_memviewslice, __Pyx_memviewslice, __pyx_t_5numpy_float{_bits}_t, "
            f"__pyx_t_5numpy_float{_bits}_t, Py_ssize_t)").encode()
    for _role in ("kernel", "parallel"):
        BRISEL[(_bits, _role)] = (bind(brisel, f"_brisel_f{_bits}_{_role}", _sig,
                                       [VR, VR, _ctype, _ctype, SSIZE]), _np)

INT32_EDGES = [-(2**31), -1, 2**31 - 1]
MODES = st.sampled_from([0, 1, 2, 3, 4, 5, 0, 1, 5, 6, 7] + INT32_EDGES)
INTERPOLATIONS = st.sampled_from([0, 1, 2, 3, 4, 5, 9] + INT32_EDGES)
FEATHER_MODES = st.sampled_from([0, 1, 1, 2] + INT32_EDGES)
DISTANCE_MODES = st.sampled_from(list(range(-1, 10)) + INT32_EDGES)


@fuzz_settings(400)
@given(st.data())
def test_tovik_impl_export(data):
    """_tovik_impl with hostile numbers and arrays that meet its
    preconditions: the output equals the scalar model, every input byte and
    every byte between output elements is untouched, no read or write
    leaves an array, and the views' owners keep their reference counts."""
    draw = data.draw
    H, W, C = draw(st.integers(0, 5)), draw(st.integers(0, 5)), draw(st.integers(0, 3))
    mode = draw(MODES)
    undersized = draw(st.sampled_from([False] * 5 + [True]))
    with arena() as mem:
        at = lambda: draw(st.booleans())  # noqa: E731 - which end touches a guard page
        src = mem.array((H, W, C), image_strides(draw, H, W, C), at_end=at(),
                        fill=draw(_f64((H, W, C), pixels)))
        map_x = mem.array((H, W), plane_strides(draw, H, W), at_end=at(),
                          fill=draw(_f64((H, W), coords)))
        map_y = mem.array((H, W), plane_strides(draw, H, W), at_end=at(),
                          fill=draw(_f64((H, W), coords)))
        dst = mem.array((H, W, C), image_strides(draw, H, W, C), at_end=at())
        if mode == 5 and not undersized:
            bc_channels = draw(st.sampled_from([C, 1] if C else [0, 1]))
            border = mem.array((H, W, bc_channels), image_strides(draw, H, W, bc_channels),
                               at_end=at(), fill=draw(_f64((H, W, bc_channels), pixels)))
        elif mode == 5:  # beyond the contract: an array that does not cover the output
            shape = (draw(st.integers(0, H)), draw(st.integers(0, W)), draw(st.integers(0, C)))
            border = mem.array(shape, at_end=at(), fill=1.5)
        else:
            border = draw(st.sampled_from([None, "small"]))
            border = mem.array((1, 1, 1), at_end=at(), fill=9.0) if border == "small" else None
        if undersized and C > 1:
            feather_d = mem.array((draw(st.integers(1, C - 1)),), at_end=at(), fill=0.2)
        elif draw(st.booleans()):
            feather_d = None
        else:
            n = C + draw(st.integers(0, 2))
            feather_d = mem.array((n,), at_end=at(), fill=draw(_f64((n,), settings_floats)))
        params = dict(
            border_const=draw(settings_floats), fw=draw(settings_floats),
            xu=draw(settings_floats), xo=draw(settings_floats), yu=draw(settings_floats),
            yo=draw(settings_floats), fmode=draw(FEATHER_MODES), dmode=draw(DISTANCE_MODES),
            preserve=draw(st.sampled_from([0, 1])), interp=draw(INTERPOLATIONS))
        way = draw(st.sampled_from(sorted(TOVIK_IMPL)))
        inputs = [a for a in (src, map_x, map_y, border, feather_d) if a is not None]
        before = snapshot_bytes(*inputs)
        owners = [src, map_x, map_y, dst] + inputs
        counts = [sys.getrefcount(o) for o in owners]

        TOVIK_IMPL[way](record(src), record(map_y), record(map_x), record(dst), mode,
                        params["border_const"], record(border), params["fw"], params["xu"],
                        params["xo"], params["yu"], params["yo"], params["fmode"],
                        params["dmode"], params["preserve"], record(feather_d), params["interp"],
                        H, W, C)

        assert [sys.getrefcount(o) for o in owners] == counts
        assert snapshot_bytes(*inputs) == before, "an input was written"
        assert mem.gaps_untouched(), "a write landed between output elements"
        if undersized and (mode == 5 or C > 1):
            return  # outside the contract: only safety is asserted
        want = oracle.remap2d(
            src, map_x, map_y, params["interp"], mode, params["border_const"],
            border if mode == 5 else None, params["fw"], params["xu"], params["xo"],
            params["yu"], params["yo"], params["fmode"], params["dmode"], params["preserve"],
            feather_d)
        assert_same_values(np.array(dst), want)
        del src, map_x, map_y, dst, border, feather_d, inputs, owners


@st.composite
def _f64(draw, shape, elements):
    n = int(np.prod(shape, dtype=np.int64))
    return np.array(draw(st.lists(elements, min_size=n, max_size=n)),
                    dtype=np.float64).reshape(shape)


@fuzz_settings(300)
@given(st.data())
def test_brisel_exports(data):
    """The four clipping kernels: the element rule bit for bit on the first
    n elements, nothing written past them, serial and parallel kernels
    identical, in-place operation equal to a separate output."""
    draw = data.draw
    bits = draw(st.sampled_from([32, 64]))
    length = draw(st.sampled_from([0, 1, 2, 7, 64, 1000, 4099]))
    n = draw(st.sampled_from([length, length, max(length - 3, 0), 0, -1, -(2**62)]))
    values = draw(st.lists(st.one_of(st.sampled_from(HOSTILE_FLOATS), st.floats(-1.0, 1.0)),
                           min_size=min(length, 64), max_size=min(length, 64)))
    threshold = draw(st.one_of(st.sampled_from([0.0, -0.0, 0.1, 1.0, math.nan, math.inf,
                                                5e-324, 1e39, 1e-50]), st.floats(0.0, 2.0)))
    zero_val = draw(st.sampled_from(["plus", "minus", "other"]))
    in_place = draw(st.booleans())
    way = draw(st.sampled_from(["holding_lock", "no_thread_state"]))
    results = {}
    with arena() as mem, warnings.catch_warnings(), np.errstate(over="ignore"):
        warnings.simplefilter("ignore")
        dtype = np.float64 if bits == 64 else np.float32
        thr = dtype(threshold)
        zero = {"plus": thr, "minus": -thr, "other": dtype(0.5)}[zero_val]
        base = np.resize(np.array(values or [0.0], dtype=dtype), length)
        for role in ("kernel", "parallel"):
            fn, _ = BRISEL[(bits, role)]
            src = mem.array((length,), dtype=dtype, at_end=draw(st.booleans()), fill=base)
            dst = src if in_place else mem.array((length,), dtype=dtype,
                                                 at_end=draw(st.booleans()), fill=dtype(7.0))
            untouched = np.array(dst[max(n, 0):], copy=True)
            src_before = None if in_place else src.tobytes()
            fn[way](record(src), record(dst), thr, zero, n)
            if src_before is not None:
                assert src.tobytes() == src_before, "the input was written"
            done = max(min(n, length), 0)
            want = clip_model(base[:done], thr, zero)
            uint = np.dtype(f"u{np.dtype(dtype).itemsize}")
            assert np.array_equal(dst[:done].view(uint), want.view(uint))
            assert np.array_equal(dst[done:].view(uint), untouched.view(uint)), \
                "an element at or past n was written"
            results[role] = dst.tobytes()
            del src, dst
        assert results["kernel"] == results["parallel"]


# ---------------------------------------------------------------------------
# The entries on guarded buffers (used without a copy: C-contiguous float64)


def full_duck(**overrides):
    attrs = dict(mode=BorderMode.CLAMP, array=None, constant_value=0.0, feathering_width=0.0,
                 feathering_x_undershoot_multiplier=1.0, feathering_x_overshoot_multiplier=1.0,
                 feathering_y_undershoot_multiplier=1.0, feathering_y_overshoot_multiplier=1.0,
                 feathering_mode=FeatheringMode.OUTWARD, distance_mode=ModeLike(0),
                 preserve_non_feather_dims=False)
    attrs.update(overrides)
    return Duck(**attrs)


@contextlib.contextmanager
def feather_widths_from(fn):
    saved = border_config_module.compute_feather_d
    border_config_module.compute_feather_d = fn
    try:
        yield
    finally:
        border_config_module.compute_feather_d = saved


@fuzz_settings(300)
@given(st.data())
def test_remap_tensor_on_guarded_buffers(data):
    draw = data.draw
    H, W = draw(st.integers(1, 5)), draw(st.integers(1, 5))
    C = draw(st.sampled_from([None, 1, 2, 3, 0]))
    Cn = 1 if C is None else C
    mode = draw(st.sampled_from(list(BorderMode)))
    with arena() as mem:
        at = lambda: draw(st.booleans())  # noqa: E731
        shape = (H, W) if C is None else (H, W, C)
        src = mem.array(shape, at_end=at(), fill=draw(_f64(shape, pixels)))
        map_x = mem.array((H, W), at_end=at(), fill=draw(_f64((H, W), coords)))
        map_y = mem.array((H, W), at_end=at(), fill=draw(_f64((H, W), coords)))
        border = None
        if mode == BorderMode.ARRAY:
            bshape = draw(st.sampled_from([(H, W), (H, W, Cn)]))
            border = mem.array(bshape, at_end=at(), fill=draw(_f64(bshape, pixels)))
        widths = draw(st.sampled_from(["none", "exact", "longer"]))
        feather_d = None if widths == "none" else mem.array(
            (Cn + (widths == "longer"),), at_end=at(),
            fill=draw(_f64((Cn + (widths == "longer"),), settings_floats)))
        bc = full_duck(mode=mode, array=border, constant_value=draw(settings_floats),
                       feathering_width=draw(settings_floats),
                       feathering_x_undershoot_multiplier=draw(settings_floats),
                       feathering_y_overshoot_multiplier=draw(settings_floats),
                       feathering_mode=draw(st.sampled_from(list(FeatheringMode))),
                       distance_mode=ModeLike(draw(DISTANCE_MODES)),
                       preserve_non_feather_dims=draw(st.booleans()))
        interp = draw(INTERPOLATIONS)
        inputs = [a for a in (src, map_x, map_y, border, feather_d) if a is not None]
        before = snapshot_bytes(*inputs)
        with feather_widths_from(lambda cfg, c: feather_d):
            got = remap_tensor(src, map_x, map_y, interpolation=interp, border_config=bc)
        assert snapshot_bytes(*inputs) == before
        assert got.shape == src.shape and got.dtype == src.dtype
        src3 = src if src.ndim == 3 else src[:, :, None]
        border3 = None if border is None else (border if border.ndim == 3 else border[:, :, None])
        want = oracle.remap2d(src3, map_x, map_y, interp, int(mode), bc.constant_value, border3,
                              bc.feathering_width, bc.feathering_x_undershoot_multiplier, 1.0,
                              1.0, bc.feathering_y_overshoot_multiplier, int(bc.feathering_mode),
                              bc.distance_mode.value, bc.preserve_non_feather_dims, feather_d)
        assert_same_values(got, want.reshape(got.shape))
        del src, map_x, map_y, border, feather_d, inputs, src3, border3


@fuzz_settings(300)
@given(st.data())
def test_remap_tensor_1d_on_guarded_buffers(data):
    draw = data.draw
    N = draw(st.integers(0, 8))
    C = draw(st.sampled_from([None, 1, 2, 3, 0]))
    Cn = 1 if C is None else C
    mode = draw(st.sampled_from(list(BorderMode)))
    with arena() as mem:
        at = lambda: draw(st.booleans())  # noqa: E731
        shape = (N,) if C is None else (N, C)
        src = mem.array(shape, at_end=at(), fill=draw(_f64(shape, pixels)))
        map_x = mem.array((N,), at_end=at(), fill=draw(_f64((N,), coords)))
        border = None
        if mode == BorderMode.ARRAY:
            bshape = draw(st.sampled_from([(N, Cn), (N + 2, Cn + 1)] + ([(N,)] if Cn <= 1 else [])))
            border = mem.array(bshape, at_end=at(), fill=draw(_f64(bshape, pixels)))
        feather_d = None if draw(st.booleans()) else mem.array(
            (Cn,), at_end=at(), fill=draw(_f64((Cn,), settings_floats)))
        bc = full_duck(mode=mode, array=border, constant_value=draw(settings_floats),
                       feathering_width=draw(settings_floats),
                       feathering_x_undershoot_multiplier=draw(settings_floats),
                       feathering_x_overshoot_multiplier=draw(settings_floats),
                       feathering_mode=draw(st.sampled_from(list(FeatheringMode))))
        interp = draw(INTERPOLATIONS)
        inputs = [a for a in (src, map_x, border, feather_d) if a is not None]
        before = snapshot_bytes(*inputs)
        with feather_widths_from(lambda cfg, c: feather_d):
            got = remap_tensor_1d(src, map_x, interpolation=interp, border_config=bc)
        assert snapshot_bytes(*inputs) == before
        assert got.shape == src.shape and got.dtype == src.dtype
        src2 = src if src.ndim == 2 else src[:, None]
        border2 = None if border is None else (border if border.ndim == 2 else border[:, None])
        want = oracle.remap1d(src2, map_x, interp, int(mode), bc.constant_value, border2,
                              bc.feathering_width, bc.feathering_x_undershoot_multiplier,
                              bc.feathering_x_overshoot_multiplier, int(bc.feathering_mode),
                              feather_d)
        assert_same_values(got, want.reshape(got.shape))
        del src, map_x, border, feather_d, inputs, src2, border2


@fuzz_settings(300)
@given(st.data())
def test_clip_abs_on_guarded_buffers(data):
    draw = data.draw
    dtype = draw(st.sampled_from([np.float64, np.float32]))
    shape = tuple(draw(st.lists(st.integers(0, 5), min_size=1, max_size=3)))
    where = draw(st.sampled_from(["new", "out", "in_place"]))
    threshold = draw(st.sampled_from([0.1, 0.0, math.inf, 5e-324, 1e39]))
    with arena() as mem, np.errstate(over="ignore"):
        values = draw(_f64(shape, st.one_of(st.floats(-1, 1), st.sampled_from(HOSTILE_FLOATS))))
        arr = mem.array(shape, dtype=dtype, at_end=draw(st.booleans()), fill=values)
        original = np.array(arr, copy=True)
        out = mem.array(shape, dtype=dtype, at_end=draw(st.booleans()), fill=7.0) \
            if where == "out" else None
        got = clip_abs(arr, threshold, out=out, in_place=where == "in_place")
        want = clip_model(original, dtype(threshold), dtype(threshold))
        uint = np.dtype(f"u{np.dtype(dtype).itemsize}")
        assert np.array_equal(np.ascontiguousarray(got).view(uint), want.view(uint))
        if where != "in_place":
            assert arr.tobytes() == original.tobytes()
        got = None
        del arr, out, original


# ---------------------------------------------------------------------------
# Objects that lie about their shape


class LyingArray:
    """Reports `shape`/`ndim`/`len`/`dtype` of one array and converts to
    another (here: a smaller one against a guard page)."""

    def __init__(self, claimed_shape, real):
        self.shape = tuple(claimed_shape)
        self.ndim = len(self.shape)
        self.dtype = real.dtype
        self._real = real

    def __len__(self):
        return self.shape[0] if self.shape else 0

    def __array__(self, dtype=None, copy=None):
        return self._real


class ShiftyConfig(Duck):
    """`array` answers with a different array on each read."""

    def __init__(self, answers, **attrs):
        super().__init__(**attrs)
        self.__dict__["_answers"] = list(answers)

    def __getattribute__(self, name):
        if name == "array":
            answers = object.__getattribute__(self, "_answers")
            return answers.pop(0) if len(answers) > 1 else answers[0]
        return object.__getattribute__(self, name)


def _shrunk(mem, shape, draw):
    """A guarded array of `shape` with one axis made shorter (or an axis
    dropped), flush against a guard page."""
    shape = list(shape)
    how = draw(st.sampled_from(["shorter", "drop"] if len(shape) > 1 else ["shorter"]))
    if how == "drop":
        shape.pop()
    else:
        axis = draw(st.integers(0, len(shape) - 1))
        shape[axis] = max(shape[axis] - draw(st.integers(1, 3)), 0)
    return mem.array(tuple(shape), at_end=True, fill=0.25)


@fuzz_settings(300)
@given(st.data())
def test_lying_objects_are_refused(data):
    """Whatever a duck-typed source, map or border image claims, the
    entries read only what the converted buffers hold: they refuse the call
    with an ordinary exception, or (when the lie is harmless) return the
    documented result."""
    draw = data.draw
    which = draw(st.sampled_from(["src", "map_x", "map_y", "border", "shifty_border",
                                  "src_1d", "map_1d", "border_1d", "shifty_border_1d"]))
    H, W, C = draw(st.integers(1, 4)), draw(st.integers(1, 4)), draw(st.integers(1, 3))
    with arena() as mem:
        src = mem.array((H, W, C), fill=0.5)
        grid = mem.array((H, W), fill=draw(_f64((H, W), coords)))
        args = {"src": src, "map_x": grid, "map_y": grid}
        bc = None
        if which in ("src", "map_x", "map_y"):
            args[which] = LyingArray(args[which].shape, _shrunk(mem, args[which].shape, draw))
        elif which == "border":
            img = LyingArray((H, W, C), _shrunk(mem, (H, W, C), draw))
            bc = full_duck(mode=BorderMode.ARRAY, array=img, constant_value=2.0)
        elif which == "shifty_border":
            good = mem.array((H, W, C), fill=3.0)
            bc = ShiftyConfig([good, _shrunk(mem, (H, W, C), draw)], **full_duck(
                mode=BorderMode.ARRAY, constant_value=2.0).__dict__)
        one_d = which.endswith("_1d")
        N = H * W
        signal = mem.array((N, C), fill=0.5)
        line = mem.array((N,), fill=draw(_f64((N,), coords)))
        if which == "src_1d":
            signal = LyingArray((N, C), _shrunk(mem, (N, C), draw))
        elif which == "map_1d":
            line = LyingArray((N,), _shrunk(mem, (N,), draw))
        elif which == "border_1d":
            bc = full_duck(mode=BorderMode.ARRAY,
                           array=LyingArray((N, C), _shrunk(mem, (N, C), draw)))
        elif which == "shifty_border_1d":
            good = mem.array((N, C), fill=3.0)
            bc = ShiftyConfig([good, _shrunk(mem, (N, C), draw)],
                              **full_duck(mode=BorderMode.ARRAY).__dict__)
        if bc is not None:
            bc.feathering_width = 0.5  # every outside output reads the border image
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                if one_d:
                    got = remap_tensor_1d(signal, line, border_config=bc)
                else:
                    got = remap_tensor(args["src"], args["map_x"], args["map_y"],
                                       border_config=bc)
        except (ValueError, TypeError, IndexError) as exc:
            assert str(exc)
        else:
            # Only a lie the conversion makes harmless may succeed: the
            # converted buffers then have exactly the claimed shapes.
            assert isinstance(got, np.ndarray)
            got = None
        del src, grid, args, bc, signal, line
