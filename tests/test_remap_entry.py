"""Entry behaviour of tessaro.cython._tovik.remap_tensor, and of the cases
it shares with tessaro.cython._tovik_1d.remap_tensor_1d (run for both
through the `entry` fixture; test_remap1d_entry.py holds the rest of the
1-D entry's).

Binding, the argument checks and the order in which they fire, the
conversions on the way to the driver and back, the function and module
metadata, the C-level export of the driver, and calls from several threads.
The numbers the kernels compute are pinned bit for bit elsewhere; here a
result is only compared with another call of the module, with a value the
configuration forces, or with NumPy's own conversion of it.
"""

import ctypes
import fractions
import inspect
import os
import sys
import threading
import time
import traceback
import types
import warnings
from types import SimpleNamespace as NS

import numpy as np
import pytest

import oracle
import tessaro.core.border_config as border_config_module
import tessaro.cython._tovik as tovik
import tessaro.cython._tovik_1d as tovik_1d
from tessaro.core.border_config import BorderConfig
from tessaro.core.enums import BorderMode, FeatheringMode, InterpMethod
from tessaro.cython._tovik import remap_tensor
from tessaro.cython._tovik_1d import remap_tensor_1d

IMPL_SIGNATURE = (
    "void (__Pyx_memviewslice, __Pyx_memviewslice, __Pyx_memviewslice, __Pyx_memviewslice, "
    "int, double, __Pyx_memviewslice, double, double, double, double, double, int, int, int, "
    "__Pyx_memviewslice, int, Py_ssize_t, Py_ssize_t, Py_ssize_t)"
)


# ---------------------------------------------------------------------------
# helpers


def image(h=4, w=5, c=None, seed=0):
    rng = np.random.default_rng(seed)
    return rng.random((h, w) if c is None else (h, w, c))


def unit_maps(h=4, w=5, lo=-0.3, hi=1.3, seed=1):
    rng = np.random.default_rng(seed)
    return rng.uniform(lo, hi, (h, w)), rng.uniform(lo, hi, (h, w))


SIGNAL_SETTINGS = dict(
    array=None,
    constant_value=0.0,
    feathering_width=0.0,
    feathering_x_undershoot_multiplier=1.0,
    feathering_x_overshoot_multiplier=1.0,
    feathering_mode=NS(value=0),
)
IMAGE_SETTINGS = dict(
    SIGNAL_SETTINGS,
    feathering_y_undershoot_multiplier=1.0,
    feathering_y_overshoot_multiplier=1.0,
    distance_mode=NS(value=0),
    preserve_non_feather_dims=False,
)


def duck_config(mode=0, settings=IMAGE_SETTINGS, **overrides):
    """A border configuration that is not a BorderConfig: a plain namespace
    with the attributes the entry reads.  An int mode becomes an object whose
    only attribute is `value`."""
    return NS(**{**settings, "mode": NS(value=mode) if type(mode) is int else mode, **overrides})


S = image()
M = np.full((4, 5), 0.5)


class Entry:
    """One entry's calling convention, for the cases both entries share.
    Positions come as a tuple of maps: (map_x, map_y) over a (4, 5) image,
    (map_x,) over a 5-sample signal; at(v) puts every map_x position at v
    and every map_y position inside."""

    def __init__(self, fn, module, spatial, settings, flat_src, short_call):
        self.fn, self.module, self.spatial, self.settings = fn, module, spatial, settings
        self.flat_src = flat_src  # fails the first array check
        self.short_call = short_call  # (args, message): fails the shape checks
        self.name = f"{module.__name__}.{fn.__name__}"

    def __call__(self, src, maps, **kwargs):
        return self.fn(src, *maps, **kwargs)

    def src(self, c=None, n=None, seed=0):
        shape = self.spatial if n is None else (n,) * len(self.spatial)
        return np.random.default_rng(seed).random(shape if c is None else shape + (c,))

    def maps(self, n=None, lo=-0.3, hi=1.3, seed=1):
        shape = self.spatial if n is None else (n,) * len(self.spatial)
        rng = np.random.default_rng(seed)
        return tuple(rng.uniform(lo, hi, shape) for _ in self.spatial)

    def identity(self, n):
        axes = np.meshgrid(*[np.arange(n) / (n - 1)] * len(self.spatial), indexing="ij")
        return tuple(reversed(axes))  # map_x runs along the last axis

    def at(self, v):
        return (np.full(self.spatial, v),) + (np.full(self.spatial, 0.5),) * (len(self.spatial) - 1)

    def duck(self, mode=0, **overrides):
        return duck_config(mode, self.settings, **overrides)


IMAGE = Entry(remap_tensor, tovik, (4, 5), IMAGE_SETTINGS, np.zeros(5),
              ((np.zeros(5), M, M), "must be at least 2-dimensional"))
SIGNAL = Entry(remap_tensor_1d, tovik_1d, (5,), SIGNAL_SETTINGS, np.float64(1.0),
               ((np.zeros(5), np.zeros(3)), "src and map_x must have the same length"))


@pytest.fixture(params=[IMAGE, SIGNAL], ids=["image", "signal"])
def entry(request):
    return request.param


class Unconvertible:
    """Looks like a (4, 5) float64 array to the attribute checks, but any
    attempt to convert it fails loudly."""

    ndim = 2
    shape = (4, 5)
    dtype = np.dtype(np.float64)

    def __array__(self, dtype=None, copy=None):
        raise RuntimeError("converted")


def bits(a):
    a = np.ascontiguousarray(a, dtype=np.float64)
    return a.view(np.uint64)


def assert_same_bits(a, b):
    assert a.shape == b.shape
    np.testing.assert_array_equal(bits(a), bits(b))


# ---------------------------------------------------------------------------
# binding


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: remap_tensor(S, M, M, 1), "remap_tensor() takes exactly 3 positional arguments (4 given)"),
        (lambda: remap_tensor(S, M, M, 1, 2), "remap_tensor() takes exactly 3 positional arguments (5 given)"),
        (lambda: remap_tensor(S, M), "remap_tensor() takes exactly 3 positional arguments (2 given)"),
        (lambda: remap_tensor(S), "remap_tensor() takes exactly 3 positional arguments (1 given)"),
        (lambda: remap_tensor(), "remap_tensor() takes exactly 3 positional arguments (0 given)"),
        # the count is that of the leading arguments present, positional or keyword
        (lambda: remap_tensor(S, map_y=M), "remap_tensor() takes exactly 3 positional arguments (1 given)"),
        (lambda: remap_tensor(src=S, map_x=M), "remap_tensor() takes exactly 3 positional arguments (2 given)"),
        (lambda: remap_tensor(map_x=M, map_y=M), "remap_tensor() takes exactly 3 positional arguments (0 given)"),
        # binding comes before anything looks at the values
        (lambda: remap_tensor(None, None), "remap_tensor() takes exactly 3 positional arguments (2 given)"),
        (lambda: remap_tensor(S, M, M, 1, interpolation="x"), "remap_tensor() takes exactly 3 positional arguments (4 given)"),
        (lambda: remap_tensor(S, M, M, foo=1), "remap_tensor() got an unexpected keyword argument 'foo'"),
        (lambda: remap_tensor(S, M, M, interpolation="x", foo=1), "remap_tensor() got an unexpected keyword argument 'foo'"),
        (lambda: remap_tensor(S, M, M, map_y=M), "remap_tensor() got multiple values for keyword argument 'map_y'"),
        (lambda: remap_tensor(S, M, M, src=S), "remap_tensor() got multiple values for keyword argument 'src'"),
        (lambda: remap_tensor_1d(S, M, 2), "remap_tensor_1d() takes exactly 2 positional arguments (3 given)"),
        (lambda: remap_tensor_1d(S, M, 2, None), "remap_tensor_1d() takes exactly 2 positional arguments (4 given)"),
        (lambda: remap_tensor_1d(S), "remap_tensor_1d() takes exactly 2 positional arguments (1 given)"),
        (lambda: remap_tensor_1d(), "remap_tensor_1d() takes exactly 2 positional arguments (0 given)"),
        (lambda: remap_tensor_1d(map_x=M), "remap_tensor_1d() takes exactly 2 positional arguments (0 given)"),
        (lambda: remap_tensor_1d(src=S, interpolation=0), "remap_tensor_1d() takes exactly 2 positional arguments (1 given)"),
        (lambda: remap_tensor_1d(None), "remap_tensor_1d() takes exactly 2 positional arguments (1 given)"),
        (lambda: remap_tensor_1d(S, M, 2, interpolation="x"), "remap_tensor_1d() takes exactly 2 positional arguments (3 given)"),
        (lambda: remap_tensor_1d(S, M, bar=1), "remap_tensor_1d() got an unexpected keyword argument 'bar'"),
        (lambda: remap_tensor_1d(S, M, map_y=M), "remap_tensor_1d() got an unexpected keyword argument 'map_y'"),
        (lambda: remap_tensor_1d(S, M, map_x=M), "remap_tensor_1d() got multiple values for keyword argument 'map_x'"),
        (lambda: remap_tensor_1d(S, M, src=S), "remap_tensor_1d() got multiple values for keyword argument 'src'"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_arrays_bind_by_keyword_in_any_order():
    src = image(c=2)
    mx, my = unit_maps()
    positional = remap_tensor(src, mx, my)
    assert_same_bits(remap_tensor(map_y=my, src=src, map_x=mx), positional)
    # map_x is the column map and map_y the row map: swapping them matters
    assert not np.array_equal(remap_tensor(src, my, mx), positional)


# ---------------------------------------------------------------------------
# interpolation and num_threads


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(interpolation="a"), "Argument 'interpolation' has incorrect type (expected int, got str)"),
        (dict(interpolation="a", num_threads="b"), "Argument 'interpolation' has incorrect type (expected int, got str)"),
        (dict(num_threads="b"), "Argument 'num_threads' has incorrect type (expected int, got str)"),
        (dict(interpolation=None), "Argument 'interpolation' has incorrect type (expected int, got NoneType)"),
        (dict(interpolation=[1]), "Argument 'interpolation' has incorrect type (expected int, got list)"),
        (dict(num_threads=None), "Argument 'num_threads' has incorrect type (expected int, got NoneType)"),
        (dict(num_threads=b"4"), "Argument 'num_threads' has incorrect type (expected int, got bytes)"),
        (dict(interpolation=1, num_threads=NS()), "Argument 'num_threads' has incorrect type (expected int, got types.SimpleNamespace)"),
        (dict(num_threads=(1,)), "Argument 'num_threads' has incorrect type (expected int, got tuple)"),
    ],
)
def test_int_argument_type_errors(entry, kwargs, message):
    # the src would fail the next check: the int checks come first
    with pytest.raises(TypeError) as info:
        entry(entry.flat_src, entry.at(0.5), **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        (dict(interpolation=float("nan")), ValueError, "cannot convert float NaN to integer"),
        (dict(interpolation=float("inf")), OverflowError, "cannot convert float infinity to integer"),
        (dict(num_threads=float("nan")), ValueError, "cannot convert float NaN to integer"),
        (dict(num_threads=float("-inf")), OverflowError, "cannot convert float infinity to integer"),
    ],
)
def test_int_conversion_errors_propagate_before_array_checks(entry, kwargs, exc, message):
    with pytest.raises(exc) as info:
        entry(entry.flat_src, entry.at(0.5), **kwargs)
    assert str(info.value) == message


@pytest.fixture(scope="module", params=[IMAGE, SIGNAL], ids=["image", "signal"])
def kernel_case(request):
    entry = request.param
    src = entry.src(2, n=11, seed=3)
    maps = entry.maps(11, 0.0, 1.0, seed=4)
    outputs = {code: entry(src, maps, interpolation=code) for code in range(5)}
    return entry, src, maps, outputs


def test_the_five_kernels_differ_on_the_probe(kernel_case):
    # makes the equalities below meaningful
    outputs = kernel_case[3]
    for a in range(5):
        for b in range(a + 1, 5):
            assert not np.array_equal(outputs[a], outputs[b]), (a, b)


@pytest.mark.parametrize(
    "value, code",
    [
        (True, 1),
        (False, 0),
        (2.9, 2),
        (-0.5, 0),
        (InterpMethod.LANCZOS3, 3),
        (InterpMethod.NEAREST_EXACT, 0),
        (InterpMethod.LANCZOS4, 4),
        (np.int64(2), 2),
        (np.float32(4.75), 4),
        (np.uint8(3), 3),
        (fractions.Fraction(7, 2), 3),
        (2.7, 2),
        (InterpMethod.NEAREST, 0),
        (np.int32(3), 3),
        (np.float64(0.99), 0),
        (fractions.Fraction(9, 2), 4),
    ],
)
def test_interpolation_numbers_convert_with_int(kernel_case, value, code):
    entry, src, maps, outputs = kernel_case
    assert_same_bits(entry(src, maps, interpolation=value), outputs[code])


@pytest.mark.parametrize("code", [-1, 5, 7, 100, 2**31 - 1, -(2**31)])
def test_unknown_interpolation_codes_are_linear(kernel_case, code):
    entry, src, maps, outputs = kernel_case
    assert_same_bits(entry(src, maps, interpolation=code), outputs[1])


@pytest.mark.parametrize("value", [2**31, -(2**31) - 1, 2**40, 2.0**40])
def test_interpolation_outside_c_int_overflows(entry, value):
    with pytest.raises(OverflowError) as info:
        entry(entry.src(), entry.at(0.5), interpolation=value)
    assert str(info.value) == "value too large to convert to int"
    # the C int conversion is among the last steps; the shape checks win
    args, message = entry.short_call
    with pytest.raises(ValueError, match=message):
        entry.fn(*args, interpolation=value)


def test_interpolation_overflow_is_found_after_the_array_mode_check():
    with pytest.raises(ValueError, match="ARRAY mode requires a border_array"):
        remap_tensor(image(), M, M, interpolation=2**40, border_config=duck_config(BorderMode.ARRAY))


@pytest.mark.parametrize("num_threads", [1, 2, 64, -1, 0, -7, 2**40, True, 3.5, 1.5])
def test_num_threads_has_no_effect(kernel_case, num_threads):
    entry, src, maps, outputs = kernel_case
    for code in (1, 3, 4):
        assert_same_bits(entry(src, maps, interpolation=code, num_threads=num_threads), outputs[code])


# ---------------------------------------------------------------------------
# array checks and their order


@pytest.mark.parametrize(
    "src, map_x, map_y, message",
    [
        (np.zeros(5), M, M, "src must be at least 2-dimensional, got ndim=1"),
        (np.float64(1.0), M, M, "src must be at least 2-dimensional, got ndim=0"),
        (np.zeros(5), np.zeros((4, 5, 1)), np.zeros(3), "src must be at least 2-dimensional, got ndim=1"),
        (S, np.zeros((4, 5, 1)), M, "map_x and map_y must be 2-dimensional"),
        (S, M, np.zeros((4, 5, 1)), "map_x and map_y must be 2-dimensional"),
        (S, np.zeros(5), M, "map_x and map_y must be 2-dimensional"),
        # 3-D maps fail before any shape comparison
        (S, np.zeros((9, 9, 9)), np.zeros((1, 2)), "map_x and map_y must be 2-dimensional"),
        (S, np.zeros((1, 2)), np.zeros((9, 9, 9)), "map_x and map_y must be 2-dimensional"),
        (S, M, np.zeros((4, 6)), "map_x and map_y must have the same shape"),
        (S, np.zeros((7, 7)), np.zeros((7, 8)), "map_x and map_y must have the same shape"),
        (S, np.zeros((4, 6)), np.zeros((4, 6)), "src shape (4, 5) and map shape (4, 6) must match"),
        (S, np.zeros((3, 5)), np.zeros((3, 5)), "src shape (4, 5) and map shape (3, 5) must match"),
        (image(c=3), np.zeros((4, 6)), np.zeros((4, 6)), "src shape (4, 5) and map shape (4, 6) must match"),
        (np.zeros((4, 5, 2, 2)), np.zeros((5, 4)), np.zeros((5, 4)), "src shape (4, 5) and map shape (5, 4) must match"),
        (np.zeros((0, 5)), np.zeros((0, 5)), np.zeros((0, 5)), "src must have non-zero spatial dimensions"),
        (np.zeros((4, 0)), np.zeros((4, 0)), np.zeros((4, 0)), "src must have non-zero spatial dimensions"),
        (np.zeros((0, 0, 3)), np.zeros((0, 0)), np.zeros((0, 0)), "src must have non-zero spatial dimensions"),
        # the shape comparison comes first
        (np.zeros((0, 5)), np.zeros((1, 5)), np.zeros((1, 5)), "src shape (0, 5) and map shape (1, 5) must match"),
    ],
)
def test_array_check_messages(src, map_x, map_y, message):
    with pytest.raises(ValueError) as info:
        remap_tensor(src, map_x, map_y)
    assert str(info.value) == message


def test_shape_messages_use_str_of_the_attributes():
    # the texts are built from the objects' own ndim and shape
    src = NS(ndim=np.int64(1), shape=(4,), dtype=np.dtype(float))
    with pytest.raises(ValueError) as info:
        remap_tensor(src, M, M)
    assert str(info.value) == "src must be at least 2-dimensional, got ndim=1"
    src = NS(ndim=2, shape=[4, 5], dtype=np.dtype(float))
    mx = NS(ndim=2, shape=[4, 6])
    with pytest.raises(ValueError) as info:
        remap_tensor(src, mx, mx)
    assert str(info.value) == "src shape [4, 5] and map shape [4, 6] must match"


@pytest.mark.parametrize(
    "args, missing",
    [((["not", "array"], M, M), "ndim"), ((S, [[0.5]], M), "ndim"), ((S, M, 3.0), "ndim")],
)
def test_arguments_without_array_attributes(args, missing):
    with pytest.raises(AttributeError, match=missing):
        remap_tensor(*args)


@pytest.mark.parametrize("attr", ["mode", "feathering_mode", "distance_mode"])
def test_plain_int_mode_names_the_attribute(attr):
    cfg = duck_config(0)
    setattr(cfg, attr, 1)
    with pytest.raises(AttributeError, match=rf"^{attr}\.value: 'int' object has no attribute 'value'"):
        remap_tensor(image(), M, M, border_config=cfg)


def test_four_dimensional_src_fails_at_the_view_conversion():
    with pytest.raises(ValueError) as info:
        remap_tensor(np.zeros((4, 5, 2, 2)), M, M)
    assert str(info.value) == "Buffer has wrong number of dimensions (expected 3, got 4)"


def test_zero_channels_are_not_rejected():
    out = remap_tensor(np.zeros((4, 5, 0), np.float32), M, M)
    assert out.shape == (4, 5, 0) and out.dtype == np.float32


# ---------------------------------------------------------------------------
# ARRAY mode


def array_config(array, **kw):
    return duck_config(BorderMode.ARRAY, array=array, **kw)


@pytest.mark.parametrize(
    "src, array, message",
    [
        (S, np.zeros((4, 6)), "border_array shape (4, 6) must match src shape (4, 5)"),
        (S, np.zeros((5, 5, 1)), "border_array shape (5, 5) must match src shape (4, 5)"),
        (S, np.zeros(4), "border_array shape (4,) must match src shape (4, 5)"),
        (image(c=3), np.zeros((3, 5, 3)), "border_array shape (3, 5) must match src shape (4, 5)"),
        # the shape comparison comes before the dimension count
        (S, np.zeros((4, 6, 1, 1)), "border_array shape (4, 6) must match src shape (4, 5)"),
        (S, np.zeros((4, 5, 1, 1)), "border_array must be 2-D or 3-D, got 4-D"),
        (image(c=3), np.zeros((4, 5, 3, 1)), "border_array must be 2-D or 3-D, got 4-D"),
        (image(c=3), np.zeros((4, 5, 2)), "border_array channels 2 must match src channels 3"),
        (S, np.zeros((4, 5, 2)), "border_array channels 2 must match src channels 1"),
        # only a 2-D border image stands for every channel
        (image(c=3), np.zeros((4, 5, 1)), "border_array channels 1 must match src channels 3"),
        (image(c=2), np.zeros((4, 5, 0)), "border_array channels 0 must match src channels 2"),
    ],
)
def test_array_mode_checks(src, array, message):
    with pytest.raises(ValueError) as info:
        remap_tensor(src, M, M, border_config=array_config(array))
    assert str(info.value) == message


def test_array_mode_without_array_fails_before_any_conversion():
    with pytest.raises(ValueError) as info:
        remap_tensor(Unconvertible(), Unconvertible(), Unconvertible(), border_config=array_config(None))
    assert str(info.value) == "ARRAY mode requires a border_array"
    # the same arguments reach the conversion when the mode is not ARRAY
    with pytest.raises(RuntimeError, match="converted"):
        remap_tensor(Unconvertible(), Unconvertible(), Unconvertible())


def test_array_mode_checks_follow_the_shape_checks():
    with pytest.raises(ValueError, match="map_x and map_y must have the same shape"):
        remap_tensor(S, M, np.zeros((4, 6)), border_config=array_config(None))


@pytest.mark.parametrize(
    "c, array_shape",
    [(None, (4, 5)), (None, (4, 5, 1)), (3, (4, 5)), (3, (4, 5, 3))],
)
def test_array_mode_accepted_shapes_fill_outside_pixels(c, array_shape):
    src = image(c=c)
    border = np.random.default_rng(9).random(array_shape) + 10.0
    outside = np.full((4, 5), 2.0)  # every pixel maps past the right/bottom edge
    out = remap_tensor(src, outside, outside, border_config=BorderConfig.array(border))
    assert out.shape == src.shape
    if len(array_shape) == 2 or array_shape[2] == 1:
        # one border channel gives its value to every channel
        single = border.reshape(4, 5)
        expected = single if c is None else np.repeat(single[:, :, None], c, axis=2)
    else:
        expected = border
    np.testing.assert_array_equal(out, expected)


@pytest.mark.parametrize("channel_axis", [(), (0,)])
def test_array_mode_with_zero_channels(entry, channel_axis):
    # the channel check passes (0 == 0, or a single-channel image), and with
    # no channels nothing is ever read from the border image
    src = np.zeros(entry.spatial + (0,))
    cfg = BorderConfig.array(np.zeros(entry.spatial + channel_axis))
    out = entry(src, entry.at(2.0), border_config=cfg)
    assert out.shape == src.shape and out.dtype == np.float64


def test_array_mode_inside_pixels_keep_their_sample():
    src = image(c=3)
    mx, my = unit_maps(lo=0.0, hi=1.0)
    plain = remap_tensor(src, mx, my, interpolation=2)
    out = remap_tensor(src, mx, my, interpolation=2, border_config=BorderConfig.array(np.full((4, 5), 99.0)))
    assert_same_bits(out, plain)


@pytest.mark.parametrize("channel_axis", [None, (), (1,)])
def test_mode_value_five_that_is_not_array_is_rejected(entry, channel_axis):
    # the kernel would read a border image the entry never checked
    array = None if channel_axis is None else np.zeros(entry.spatial + channel_axis)
    with pytest.raises(ValueError) as info:
        entry(entry.src(), entry.at(1.5), border_config=entry.duck(5, array=array))
    assert str(info.value) == (
        "border_config.mode has the ARRAY value 5 but does not compare equal to BorderMode.ARRAY"
    )


def test_array_mode_equality_is_python_equality(entry):
    # any mode object that compares equal to BorderMode.ARRAY gets the
    # ARRAY checks and the border image
    class EqualsArray:
        value = 5

        def __eq__(self, other):
            return other is BorderMode.ARRAY

        __hash__ = object.__hash__

    with pytest.raises(ValueError, match="ARRAY mode requires a border_array"):
        entry(entry.src(), entry.at(0.5), border_config=entry.duck(EqualsArray(), array=None))
    cfg = entry.duck(EqualsArray(), array=np.full(entry.spatial, 7.0))
    np.testing.assert_array_equal(entry(entry.src(), entry.at(1.5), border_config=cfg), np.full(entry.spatial, 7.0))


# ---------------------------------------------------------------------------
# configuration


def test_default_config_is_clamp(entry):
    src, maps = entry.src(3, n=7), entry.maps(7)
    for code in range(5):
        a = entry(src, maps, interpolation=code)
        assert_same_bits(a, entry(src, maps, interpolation=code, border_config=BorderConfig.clamp()))
        assert_same_bits(a, entry(src, maps, interpolation=code, border_config=entry.duck(0)))


def test_compute_feather_d_receives_the_config_and_channel_count(entry, monkeypatch):
    calls = []
    real = border_config_module.compute_feather_d

    def spy(bc, C):
        calls.append((bc, C))
        return real(bc, C)

    monkeypatch.setattr(border_config_module, "compute_feather_d", spy)
    cfg = BorderConfig.constant(0.5)
    entry(entry.src(), entry.at(0.5))
    entry(entry.src(c=3), entry.at(0.5), border_config=cfg)
    entry(entry.src(c=0), entry.at(0.5), border_config=cfg)
    assert len(calls) == 3
    assert calls[0][0] is BorderConfig.clamp() and calls[0][1] == 1
    assert calls[1][0] is cfg and calls[1][1] == 3
    assert calls[2][0] is cfg and calls[2][1] == 0
    assert all(type(C) is int for _, C in calls)


@pytest.mark.parametrize("widths, channels", [(1, 3), (2, 3), (3, 4)])
def test_short_feather_width_table_is_rejected(entry, monkeypatch, widths, channels):
    monkeypatch.setattr(border_config_module, "compute_feather_d", lambda bc, C: np.full(widths, 0.1))
    with pytest.raises(ValueError) as info:
        entry(entry.src(c=channels), entry.at(1.2), border_config=BorderConfig.constant(1.0))
    assert str(info.value).startswith("compute_feather_d returned")


@pytest.mark.parametrize("result", [None, np.empty(0), np.array([0.0, 0.0, 0.0, 5.0, 5.0, 5.0, 5.0])])
def test_empty_or_long_feather_width_tables_are_accepted(entry, monkeypatch, result):
    # None and an empty table mean feathering_width for every channel; only
    # the first C entries of a longer table are used
    monkeypatch.setattr(border_config_module, "compute_feather_d", lambda bc, C: result)
    src = entry.src(c=3)
    out = entry(src, entry.at(1.2), border_config=BorderConfig.constant(4.0))
    np.testing.assert_array_equal(out, np.full(src.shape, 4.0))


@pytest.mark.parametrize(
    "constant, expected",
    [
        (np.array(7.5), 7.5),
        (np.array(3, dtype=np.int16), 3.0),
        (np.array([7.5, 8.0]), 0.0),
        (np.zeros((2, 2)) + 9.0, 0.0),
        (np.ones((1, 1)), 0.0),
        (None, 0.0),
        (3, 3.0),
        (np.float32(2.5), 2.5),
        (True, 1.0),
        (fractions.Fraction(1, 4), 0.25),
    ],
)
def test_constant_value_forms(entry, constant, expected):
    cfg = entry.duck(1, constant_value=constant)
    out = entry(entry.src(c=2), entry.at(-1.0), border_config=cfg)
    np.testing.assert_array_equal(out, np.full(entry.spatial + (2,), expected))


@pytest.mark.parametrize("constant", ["x", "1.0", b"1", [1.0], NS()])
def test_non_numeric_constant_value_is_a_type_error(entry, constant):
    with pytest.raises(TypeError):
        entry(entry.src(), entry.at(0.5), border_config=entry.duck(1, constant_value=constant))


def settings_named(kinds):
    """(entry, name) for every setting of each entry, or those whose value
    is an enum member when kinds is "enum"."""
    return [
        pytest.param(e, name, id=f"{e.fn.__name__}-{name}")
        for e in (IMAGE, SIGNAL)
        for name in ["mode", *e.settings]
        if name != "array" and (kinds != "enum" or name.endswith("mode"))
    ]


@pytest.mark.parametrize("entry, name", settings_named("all"))
def test_missing_config_attribute(entry, name):
    cfg = entry.duck(0)
    delattr(cfg, name)
    with pytest.raises(AttributeError, match=name):
        entry(entry.src(), entry.at(0.5), border_config=cfg)


@pytest.mark.parametrize("entry, name", settings_named("enum"))
def test_enum_attribute_without_value(entry, name):
    cfg = entry.duck(0)
    setattr(cfg, name, NS())
    with pytest.raises(AttributeError, match="value"):
        entry(entry.src(), entry.at(0.5), border_config=cfg)


@pytest.mark.parametrize("value", [2**31, -(2**31) - 1])
@pytest.mark.parametrize("entry, name", settings_named("enum"))
def test_enum_value_outside_c_int(entry, name, value):
    cfg = entry.duck(0)
    setattr(cfg, name, NS(value=value))
    with pytest.raises(OverflowError, match="value too large to convert to int"):
        entry(entry.src(), entry.at(0.5), border_config=cfg)


class RaisingTruth:
    def __bool__(self):
        raise ZeroDivisionError("truth")


class Opaque:
    """Neither a number nor an enum member."""


class ClaimsOneDimension:
    """Claims to be a 5-sample signal, converts to a 3-D array."""

    ndim, shape, dtype = 1, (5,), np.dtype(np.float64)

    def __len__(self):
        return 5

    def __array__(self, dtype=None, copy=None):
        return np.zeros((5, 2, 1))


# Pairs of faults: the first one named is read or converted earlier, so it
# is the one reported. Both entries read their settings in the same order;
# only images have y multipliers, a distance mode and a preserve flag.
SHARED_ORDER = [
    ("feather widths before constant_value", dict(feather=KeyError("widths"), constant_value="x"), KeyError, "widths"),
    ("constant_value read before mode.value", dict(constant_value=None, delete="constant_value", mode=NS()), AttributeError, "constant_value"),
    ("mode.value before border constant", dict(mode=NS(), constant_value="x"), AttributeError, "value"),
    ("border constant before width", dict(constant_value="x", feathering_width=Opaque()), TypeError, "str"),
    ("width before multipliers", dict(feathering_width="x", feathering_x_undershoot_multiplier=Opaque()), TypeError, "str"),
    ("x multipliers in order", dict(feathering_x_undershoot_multiplier="x", feathering_x_overshoot_multiplier=Opaque()), TypeError, "str"),
    ("feather width view before interpolation", dict(feather=np.zeros((1, 1)), interpolation=2**40), ValueError, "Buffer has wrong number"),
]
CONVERSION_ORDER = [(IMAGE, *c) for c in SHARED_ORDER] + [(SIGNAL, *c) for c in SHARED_ORDER] + [
    (IMAGE, "src view before mode.value", dict(src=np.zeros((4, 5, 1, 1)), mode=NS()), ValueError, "Buffer has wrong number"),
    (IMAGE, "x multipliers before y", dict(feathering_x_overshoot_multiplier="x", feathering_y_undershoot_multiplier=Opaque()), TypeError, "str"),
    (IMAGE, "y multipliers in order", dict(feathering_y_undershoot_multiplier="x", feathering_y_overshoot_multiplier=Opaque()), TypeError, "str"),
    (IMAGE, "multipliers before feathering_mode", dict(feathering_y_overshoot_multiplier="x", feathering_mode=NS()), TypeError, "str"),
    (IMAGE, "feathering_mode before distance_mode", dict(feathering_mode=NS(), distance_mode=NS(value=2**31)), AttributeError, "value"),
    (IMAGE, "distance_mode before preserve", dict(distance_mode=NS(value=2**31), preserve_non_feather_dims=RaisingTruth()), OverflowError, "too large"),
    (IMAGE, "preserve before feather width view", dict(preserve_non_feather_dims=RaisingTruth(), feather=np.zeros((1, 1))), ZeroDivisionError, "truth"),
    (SIGNAL, "src view before mode.value", dict(src=ClaimsOneDimension(), mode=NS()), ValueError, "Buffer has wrong number"),
    (SIGNAL, "multipliers before feathering_mode", dict(feathering_x_overshoot_multiplier="x", feathering_mode=NS()), TypeError, "str"),
    (SIGNAL, "feathering_mode before feather width view", dict(feathering_mode=NS(), feather=np.zeros((1, 1))), AttributeError, "value"),
]


@pytest.mark.parametrize(
    "entry, faults, exc, match",
    [(c[0], *c[2:]) for c in CONVERSION_ORDER],
    ids=[f"{c[0].fn.__name__}: {c[1]}" for c in CONVERSION_ORDER],
)
def test_conversion_order(monkeypatch, entry, faults, exc, match):
    faults = dict(faults)
    src = faults.pop("src", entry.src())
    interpolation = faults.pop("interpolation", 1)
    if "feather" in faults:
        result = faults.pop("feather")

        def feather(bc, C):
            if isinstance(result, BaseException):
                raise result
            return result

        monkeypatch.setattr(border_config_module, "compute_feather_d", feather)
    delete = faults.pop("delete", None)
    cfg = entry.duck(0)
    for name, value in faults.items():
        setattr(cfg, name, value)
    if delete:
        delattr(cfg, delete)
    with pytest.raises(exc, match=match):
        entry(src, entry.at(0.5), interpolation=interpolation, border_config=cfg)


def test_array_attribute_is_not_read_outside_array_mode(entry):
    cfg = entry.duck(1, constant_value=2.0)
    del cfg.array
    out = entry(entry.src(), entry.at(3.0), border_config=cfg)
    np.testing.assert_array_equal(out, np.full(entry.spatial, 2.0))


def test_preserve_flag_uses_truth_testing():
    class Truthy:
        def __bool__(self):
            raise ZeroDivisionError("truth")

    with pytest.raises(ZeroDivisionError, match="truth"):
        remap_tensor(image(), M, M, border_config=duck_config(0, preserve_non_feather_dims=Truthy()))

    # just past the right edge, inside the global band: with the flag set,
    # channel 0 (own width 0) keeps its sample; without it, it takes the border
    def run(flag):
        cfg = duck_config(
            1, constant_value=50.0, feathering_width=0.1, feather_widths=[0.0, 0.2],
            preserve_non_feather_dims=flag,
        )
        return remap_tensor(image(c=2), np.full((4, 5), 1.05), M, border_config=cfg)

    assert_same_bits(run([1]), run(True))
    assert_same_bits(run("yes"), run(True))
    assert_same_bits(run([]), run(False))
    assert not np.array_equal(run(True)[..., 0], run(False)[..., 0])


# ---------------------------------------------------------------------------
# companion imports


def _stub(name, **attrs):
    mod = types.ModuleType(name)
    mod.__dict__.update(attrs)
    return mod


COMPANIONS = [
    ("tessaro.core.border_config", dict(BorderConfig=BorderConfig), "compute_feather_d"),
    ("tessaro.core.border_config", dict(compute_feather_d=border_config_module.compute_feather_d), "BorderConfig"),
    ("tessaro.core.enums", dict(InterpMethod=InterpMethod), "BorderMode"),
]


# only the image entry imports ZERO_SIGN (test_remap1d_entry.py shows the
# signal entry working without it)
@pytest.mark.parametrize(
    "entry, module_name, attrs, missing",
    [(e, *c) for e in (IMAGE, SIGNAL) for c in COMPANIONS]
    + [(IMAGE, "tessaro.cython._zero_sign", dict(), "ZERO_SIGN")],
)
def test_missing_companion_name_is_an_import_error(monkeypatch, entry, module_name, attrs, missing):
    monkeypatch.setitem(sys.modules, module_name, _stub(module_name, **attrs))
    with pytest.raises(ImportError, match=missing):
        entry(entry.src(), entry.at(0.5), border_config=BorderConfig.clamp())
    # the imports come after the array checks
    args, message = entry.short_call
    with pytest.raises(ValueError, match=message):
        entry.fn(*args)


def test_companions_are_looked_up_on_every_call(monkeypatch):
    seen = []
    stub = _stub(
        "tessaro.core.border_config",
        BorderConfig=BorderConfig,
        compute_feather_d=lambda bc, C: seen.append(C),
    )
    remap_tensor(image(), M, M)
    monkeypatch.setitem(sys.modules, "tessaro.core.border_config", stub)
    remap_tensor(image(c=2), M, M)
    monkeypatch.undo()
    remap_tensor(image(c=4), M, M)
    assert seen == [2]


# ---------------------------------------------------------------------------
# results: shape, dtype, copies


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.float16, np.uint8, np.int16, np.int64, np.bool_, ">f8"])
@pytest.mark.parametrize("c", [None, 1, 3])
def test_identity_nearest_round_trips_shape_and_dtype(entry, dtype, c):
    n = 7
    raw = np.random.default_rng(2).integers(-100, 100, (n,) * len(entry.spatial) + ((c,) if c else ()))
    src = (raw > 0) if dtype is np.bool_ else raw.astype(dtype)
    out = entry(src, entry.identity(n), interpolation=0)
    assert out.shape == src.shape
    assert out.dtype == src.dtype
    np.testing.assert_array_equal(out, src)
    assert not np.shares_memory(out, src)


@pytest.mark.parametrize("interpolation", [1, 3])
@pytest.mark.parametrize("dtype", [np.uint8, np.int16, np.float32, np.bool_])
def test_non_float64_result_is_the_float64_result_stored(entry, dtype, interpolation):
    # Lanczos overshoots the integer range at the 0/199 steps: saturated, not wrapped
    values = np.random.default_rng(8).integers(0, 200, (6,) * len(entry.spatial) + (2,))
    src = (values > 100) if dtype is np.bool_ else values.astype(dtype)
    maps = entry.maps(6, seed=5)
    out = entry(src, maps, interpolation=interpolation)
    reference = entry(src.astype(np.float64), maps, interpolation=interpolation)
    assert out.dtype == np.dtype(dtype)
    np.testing.assert_array_equal(out, oracle.cast_result(reference, dtype))


def test_float64_results_are_the_output_buffer(entry):
    src3 = entry.src(3, n=6)
    out3 = entry(src3, entry.maps(6))
    assert out3.dtype == np.float64 and out3.flags.c_contiguous and out3.flags.writeable
    assert out3.flags.owndata and out3.base is None
    src1 = entry.src(n=6)
    out1 = entry(src1, entry.maps(6))
    assert out1.dtype == np.float64 and out1.flags.c_contiguous
    # a result without a channel axis is a reshaped view of the output with
    # one channel, not a copy
    assert out1.base is not None and out1.base.shape == src1.shape + (1,)
    again = entry(src1, entry.maps(6))
    for a, b in ((out1, src1), (again, src1), (out1, again), (out3, src3)):
        assert not np.shares_memory(a, b)


def test_read_only_and_strided_inputs():
    src = image(6, 8, 2)
    mx, my = unit_maps(6, 8)
    expected = remap_tensor(src, mx, my, interpolation=3)
    for a in (src, mx, my):
        a.flags.writeable = False
    assert_same_bits(remap_tensor(src, mx, my, interpolation=3), expected)
    # non-contiguous inputs are converted first
    wide = np.zeros((6, 16, 2))
    wide[:, ::2] = src
    fortran_mx = np.asfortranarray(mx)
    assert_same_bits(remap_tensor(wide[:, ::2], fortran_mx, my, interpolation=3), expected)
    assert_same_bits(remap_tensor(src, mx.astype(">f8"), my, interpolation=3), expected)


@pytest.mark.parametrize(
    "convert",
    [
        pytest.param(lambda a: a.astype(np.longdouble), id="longdouble"),
        pytest.param(lambda a: a.astype(object), id="object"),
    ],
)
def test_inputs_convert_as_numpy_ascontiguousarray_does(entry, convert):
    # the entry converts with np.ascontiguousarray(x, dtype=np.float64),
    # which accepts every input NumPy can cast to float64
    src, maps = entry.src(2, n=6), entry.maps(6)
    expected = entry(src, maps)
    for a in (src, *maps):
        assert np.array_equal(np.ascontiguousarray(convert(a), dtype=np.float64), a)
    out = entry(convert(src), maps)
    assert out.dtype == convert(src).dtype
    np.testing.assert_array_equal(out.astype(np.float64), expected)
    assert_same_bits(entry(src, tuple(convert(m) for m in maps)), expected)


# ---------------------------------------------------------------------------
# metadata


def test_function_metadata():
    assert remap_tensor.__kwdefaults__ == {"interpolation": 1, "border_config": None, "num_threads": -1}
    assert remap_tensor.__annotations__ == {
        "src": "np.ndarray",
        "map_x": "np.ndarray",
        "map_y": "np.ndarray",
        "interpolation": "int",
        "num_threads": "int",
        "return": "np.ndarray",
    }
    assert remap_tensor.__module__ == "tessaro.cython._tovik"
    assert remap_tensor.__name__ == "remap_tensor"
    assert str(inspect.signature(remap_tensor)) == (
        "(src: 'np.ndarray', map_x: 'np.ndarray', map_y: 'np.ndarray', *, "
        "interpolation: 'int' = 1, border_config=None, num_threads: 'int' = -1) -> 'np.ndarray'"
    )


def test_function_docstring():
    assert remap_tensor.__doc__ == (
        "Remap an image using unit-space coordinates.\n"
        "\n"
        "    Args:\n"
        "        src: Input array, shape (H, W) or (H, W, C). float64 preferred.\n"
        "        map_x: X-coordinate map, shape (H, W), values in [0, 1].\n"
        "        map_y: Y-coordinate map, shape (H, W), values in [0, 1].\n"
        "        interpolation: Interpolation mode (0=nearest, 1=bilinear).\n"
        "        border_config: BorderConfig instance (or None for clamp default).\n"
        "        num_threads: Thread count (-1 = auto).\n"
        "\n"
        "    Returns:\n"
        "        Remapped array, same shape and dtype as src.\n"
        "    "
    )


def test_module_docstring():
    lines = tovik.__doc__.split("\n")
    assert tovik.__doc__.startswith("\n")
    intro = lines[1]
    assert "primary" in intro and "sampler" in intro and "cv2.remap" in intro and "OpenCV" in intro
    assert lines[2:] == [
        "",
        "Interpolation modes:",
        "  0=nearest, 1=bilinear, 2=cubic (Catmull-Rom),",
        "  3=lanczos3, 4=lanczos4",
        "  Also accepts InterpMethod enum (NEAREST_*, LINEAR, CUBIC, LANCZOS4)",
        "Border modes: 0=CLAMP, 1=CONSTANT, 2=REFLECT, 3=WRAP, 4=REFLECT_101, 5=ARRAY",
        "",
    ]


def test_module_attributes():
    assert tovik.np is np
    assert tovik.os is os
    assert tovik.__test__ == {}
    assert tovik.__name__ == "tessaro.cython._tovik"
    assert sys.modules["tessaro.cython._tovik"] is tovik
    assert callable(tovik._detect_cpu_count) and callable(tovik.remap_tensor)


def test_export_table():
    capi = tovik.__pyx_capi__
    assert isinstance(capi, dict) and list(capi) == ["_tovik_impl"]
    capsule = capi["_tovik_impl"]
    assert type(capsule).__name__ == "PyCapsule"
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype, get_name.argtypes = ctypes.c_char_p, [ctypes.py_object]
    assert get_name(capsule) == IMPL_SIGNATURE.encode()
    is_valid = ctypes.pythonapi.PyCapsule_IsValid
    is_valid.restype, is_valid.argtypes = ctypes.c_int, [ctypes.py_object, ctypes.c_char_p]
    assert is_valid(capsule, IMPL_SIGNATURE.encode()) == 1
    assert is_valid(capsule, IMPL_SIGNATURE.encode()[:-1]) == 0
    get_context = ctypes.pythonapi.PyCapsule_GetContext
    get_context.restype, get_context.argtypes = ctypes.c_void_p, [ctypes.py_object]
    assert get_context(capsule) is None
    get_destructor = ctypes.pythonapi.PyCapsule_GetDestructor
    get_destructor.restype, get_destructor.argtypes = ctypes.c_void_p, [ctypes.py_object]
    assert get_destructor(capsule) is None


def test_detect_cpu_count_metadata(entry):
    f = entry.module._detect_cpu_count
    assert f.__doc__ == ("Detect available CPU cores." if entry is IMAGE else None)
    assert f.__annotations__ == {"return": "int"}
    assert f.__module__ == entry.module.__name__
    assert str(inspect.signature(f)) == "() -> 'int'"
    assert f() == (os.cpu_count() or 1)
    with pytest.raises(TypeError, match="_detect_cpu_count"):
        f(1)
    with pytest.raises(TypeError, match="_detect_cpu_count"):
        f(n=1)


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda: remap_tensor(np.zeros(3), M, M), IMAGE.name),
        (lambda: remap_tensor(S, M), IMAGE.name),
        (lambda: remap_tensor(np.zeros((4, 5, 1, 1)), M, M), IMAGE.name),
        (lambda: remap_tensor_1d(np.zeros((2, 2, 2)), M), SIGNAL.name),
        (lambda: remap_tensor_1d(S, M, 1), SIGNAL.name),
    ],
    ids=["body", "binding", "conversion", "1d-body", "1d-binding"],
)
def test_traceback_names_the_function(call, name):
    with pytest.raises(Exception) as info:
        call()
    assert traceback.extract_tb(info.tb)[-1].name == name


# ---------------------------------------------------------------------------
# _detect_cpu_count


def _raise(exc):
    def cpu_count():
        raise exc

    return cpu_count


@pytest.mark.parametrize(
    "cpu_count, expected",
    [
        (lambda: None, 1),
        (lambda: 0, 1),
        (_raise(RuntimeError("no")), 1),
        (lambda: 3.0, 3),
        (lambda: 5.9, 5),
        (lambda: "x", 1),
        (lambda: [2], 1),
        (lambda: 7, 7),
        (lambda: np.int64(4), 4),
        (lambda: np.int16(2), 2),
        (_raise(OSError("no")), 1),
    ],
)
def test_detect_cpu_count_with_patched_os(entry, monkeypatch, cpu_count, expected):
    monkeypatch.setattr(entry.module, "os", NS(cpu_count=cpu_count))
    got = entry.module._detect_cpu_count()
    assert got == expected and type(got) is int


def test_detect_cpu_count_returns_an_int_as_is(entry, monkeypatch):
    big = 10**30
    monkeypatch.setattr(entry.module, "os", NS(cpu_count=lambda: big))
    assert entry.module._detect_cpu_count() is big


@pytest.mark.parametrize("os_module", [NS(), 42])
def test_detect_cpu_count_without_usable_os(entry, monkeypatch, os_module):
    monkeypatch.setattr(entry.module, "os", os_module)
    assert entry.module._detect_cpu_count() == 1
    monkeypatch.delattr(entry.module, "os")
    assert entry.module._detect_cpu_count() == 1


# the image entry lets base exceptions through; the signal entry swallows
# every exception
@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_detect_cpu_count_and_base_exceptions(entry, monkeypatch, exc):
    monkeypatch.setattr(entry.module, "os", NS(cpu_count=_raise(exc())))
    if entry is SIGNAL:
        assert entry.module._detect_cpu_count() == 1
        return
    with pytest.raises(exc):
        entry.module._detect_cpu_count()


# ---------------------------------------------------------------------------
# _tovik_impl through ctypes


class View(ctypes.Structure):
    _fields_ = [
        ("memview", ctypes.c_void_p),
        ("data", ctypes.c_void_p),
        ("shape", ctypes.c_ssize_t * 8),
        ("strides", ctypes.c_ssize_t * 8),
        ("suboffsets", ctypes.c_ssize_t * 8),
    ]


def view_of(a):
    v = View()
    v.memview = id(a)
    v.data = a.ctypes.data
    for d, (n, s) in enumerate(zip(a.shape, a.strides)):
        v.shape[d], v.strides[d], v.suboffsets[d] = n, s, -1
    return v


_D, _I, _Z = ctypes.c_double, ctypes.c_int, ctypes.c_ssize_t
_IMPL_ARGS = (View, View, View, View, _I, _D, View) + (_D,) * 5 + (_I, _I, _I, View, _I, _Z, _Z, _Z)


def impl_pointer():
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype, get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    return get(tovik.__pyx_capi__["_tovik_impl"], IMPL_SIGNATURE.encode())


def test_capsule_refuses_another_name():
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype, get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    with pytest.raises(ValueError):
        get(tovik.__pyx_capi__["_tovik_impl"], b"void (int)")


def call_impl(factory, src, mx, my, dst, cfg, interpolation):
    """Calls the driver with remap_tensor's argument order: the y map first."""
    fn = factory(None, *_IMPL_ARGS)(impl_pointer())
    H, W, C = dst.shape
    border = np.empty((0, 0, 0)) if cfg.array is None else np.ascontiguousarray(cfg.array, np.float64)
    if border.ndim == 2:
        border = border[:, :, None]
    fd = border_config_module.compute_feather_d(cfg, C)
    fd = np.empty(0) if fd is None else fd
    keep = (src, mx, my, dst, border, fd)
    fn(
        view_of(src), view_of(my), view_of(mx), view_of(dst),
        int(cfg.mode), float(cfg.constant_value), view_of(border),
        cfg.feathering_width,
        cfg.feathering_x_undershoot_multiplier, cfg.feathering_x_overshoot_multiplier,
        cfg.feathering_y_undershoot_multiplier, cfg.feathering_y_overshoot_multiplier,
        int(cfg.feathering_mode), int(cfg.distance_mode), int(cfg.preserve_non_feather_dims),
        view_of(fd), interpolation, H, W, C,
    )
    del keep


IMPL_CONFIGS = {
    "clamp": BorderConfig.clamp(),
    "constant-feathered": BorderConfig.constant(
        0.7, feathering_width=0.2, feathering_x_overshoot_multiplier=2.0, distance_mode=2
    ),
    "constant-per-channel": BorderConfig.constant(
        -1.0, feathering_width=0.1, feather_widths=[0.0, 0.3, 0.05], preserve_non_feather_dims=True
    ),
    "inward": BorderConfig.constant(0.25, feathering_width=0.15, feathering_mode=FeatheringMode.INWARD),
    "array-one-channel": BorderConfig.array(np.arange(7 * 9, dtype=float).reshape(7, 9), feathering_width=0.1),
}


@pytest.mark.parametrize("factory", [ctypes.CFUNCTYPE, ctypes.PYFUNCTYPE], ids=["lock-released", "lock-held"])
@pytest.mark.parametrize("name", list(IMPL_CONFIGS))
@pytest.mark.parametrize("interpolation", [1, 2])
def test_exported_driver_matches_remap_tensor(factory, name, interpolation):
    cfg = IMPL_CONFIGS[name]
    src = image(7, 9, 3, seed=11)
    mx, my = unit_maps(7, 9, seed=12)
    dst = np.full(src.shape, np.nan)
    call_impl(factory, src, mx, my, dst, cfg, interpolation)
    assert_same_bits(dst, remap_tensor(src, mx, my, interpolation=interpolation, border_config=cfg))


def test_exported_driver_with_strided_rows():
    # views of row-strided arrays (last axis contiguous) are read through their strides
    big = image(7, 12, 3, seed=11)
    src = big[:, 1:10]
    mx, my = unit_maps(7, 9, seed=12)
    wide_mx = np.zeros((7, 20))
    wide_mx[:, 3:12] = mx
    dst_store = np.full((7, 11, 3), np.nan)
    dst = dst_store[:, :9]
    call_impl(ctypes.CFUNCTYPE, src, wide_mx[:, 3:12], my, dst, BorderConfig.clamp(), 2)
    assert_same_bits(np.ascontiguousarray(dst), remap_tensor(src, mx, my, interpolation=2))
    assert np.isnan(dst_store[:, 9:]).all()


def test_exported_driver_with_no_rows_writes_nothing():
    src = image(1, 3, 2)
    dst = np.full((1, 3, 2), -5.0)
    fn = ctypes.PYFUNCTYPE(None, *_IMPL_ARGS)(impl_pointer())
    mx = np.zeros((1, 3))
    empty = np.empty(0)
    fn(view_of(src), view_of(mx), view_of(mx), view_of(dst), 0, 0.0, view_of(np.empty((0, 0, 0))),
       0.0, 1.0, 1.0, 1.0, 1.0, 0, 0, 0, view_of(empty), 1, 0, 3, 2)
    np.testing.assert_array_equal(dst, -5.0)


# ---------------------------------------------------------------------------
# threads


def thread_cases(entry):
    """Eight calls of about 6000 output elements, each mode and kernel."""
    n = 40 if entry is IMAGE else 2000
    array = np.full((n,) * len(entry.spatial) + (3,), -3.0)
    configs = [
        (0, BorderConfig.clamp()),
        (1, BorderConfig.reflect()),
        (2, BorderConfig.wrap()),
        (3, BorderConfig.constant(0.5, feathering_width=0.2)),
        (4, BorderConfig.reflect_101()),
        (1, BorderConfig.constant(2.0, feathering_width=0.1, feathering_mode=FeatheringMode.INWARD)),
        (2, BorderConfig.array(array, feathering_width=0.3)),
        (3, BorderConfig.clamp()),
    ]
    return [
        lambda i=i, code=code, cfg=cfg: entry(
            entry.src(3, n=n, seed=100 + i), entry.maps(n, seed=200 + i), interpolation=code, border_config=cfg
        )
        for i, (code, cfg) in enumerate(configs)
    ]


def test_concurrent_calls_match_serial_results(entry):
    cases = thread_cases(entry)
    serial = [case() for case in cases]
    mismatches = []
    errors = []
    start = threading.Barrier(8)

    def worker(t):
        try:
            start.wait()
            for rep in range(4):
                for k in range(len(cases)):
                    i = (k + t + rep) % len(cases)
                    if not np.array_equal(bits(cases[i]()), bits(serial[i])):
                        mismatches.append((t, i))
        except BaseException as exc:  # reported below
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(8)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert not errors
    assert not mismatches


def test_lock_is_released_during_the_parallel_work(entry):
    n = 1000 if entry is IMAGE else 1_000_000
    src, maps = entry.src(4, n=n, seed=5), entry.maps(n, 0.0, 1.0, seed=6)
    stamps = []
    stop = threading.Event()

    def spin():
        n = 0
        while not stop.is_set():
            n += 1
            if n % 200 == 0:
                stamps.append(time.perf_counter())

    spinner = threading.Thread(target=spin)
    spinner.start()
    try:
        while not stamps:
            time.sleep(0.001)
        t0 = time.perf_counter()
        entry(src, maps, interpolation=4)
        t1 = time.perf_counter()
    finally:
        stop.set()
        spinner.join()
    span = t1 - t0
    assert span > 0.05, "the call is too short to tell"
    # while the lock is held the spinner cannot run at all, so progress in
    # the middle half of the call shows that the lock was released
    middle = [s for s in stamps if t0 + span / 4 < s < t1 - span / 4]
    assert middle


@pytest.mark.parametrize("errstate", [{}, {"invalid": "raise"}, {"invalid": "ignore"}])
@pytest.mark.parametrize("where", [0, 1, 2])  # src, map_x, map_y
@pytest.mark.parametrize("fails", [False, True], ids=["runs", "fails-after-the-maps"])
def test_signalling_nans_in_float32_arrays_are_reported_as_by_their_float64_copies(
        entry, errstate, where, fails):
    # float32 maps are read where they lie; their signalling NaNs must still
    # be reported as converting them to float64 reports them: before any
    # error found later, and whatever np.errstate asks for.
    if where > len(entry.spatial):
        pytest.skip("a signal has no map_y")
    arrays = [a.astype(np.float32) for a in (entry.src(2),) + entry.maps()]
    arrays[where].view(np.uint32).flat[3] = 0x7F800001
    kw = {"border_config": entry.duck(feathering_width="x")} if fails else {}

    def outcome(convert):
        with warnings.catch_warnings(record=True) as caught, np.errstate(**errstate):
            warnings.simplefilter("always")
            try:
                src, *maps = [convert(a) for a in arrays]
                r = entry(src, maps, **kw).astype(np.float32)
                r = (r.shape, np.isnan(r).tolist(), np.nan_to_num(r).tolist())
            except (FloatingPointError, TypeError) as e:
                r = (type(e), str(e))
        return r, [(w.category, str(w.message)) for w in caught]

    assert outcome(lambda a: a) == outcome(lambda a: a.astype(np.float64))
