"""Entry behaviour of tessaro.cython._tovik_1d.remap_tensor_1d.

Binding, the argument checks and their order, conversions, ARRAY-mode and
feather-width guards, metadata, _detect_cpu_count, agreement of the linear
CLAMP path with numpy.interp, and calls from several threads.
"""

import fractions
import inspect
import os
import sys
import threading
import time
import traceback
import types
from types import SimpleNamespace as NS

import numpy as np
import pytest

import oracle
import tessaro.core.border_config as border_config_module
import tessaro.cython._tovik_1d as tovik_1d
from tessaro.core.border_config import BorderConfig
from tessaro.core.enums import BorderMode, FeatheringMode, InterpMethod
from tessaro.cython._tovik_1d import remap_tensor_1d


# ---------------------------------------------------------------------------
# helpers


def signal(n=5, c=None, seed=0):
    rng = np.random.default_rng(seed)
    return rng.random(n if c is None else (n, c))


def unit_map(n=5, lo=-0.3, hi=1.3, seed=1):
    return np.random.default_rng(seed).uniform(lo, hi, n)


def duck_config(mode=0, **overrides):
    """A configuration that is not a BorderConfig, with only the attributes
    the 1-D entry reads.  An int mode becomes an object whose only attribute
    is `value`."""
    attrs = dict(
        mode=NS(value=mode) if type(mode) is int else mode,
        array=None,
        constant_value=0.0,
        feathering_width=0.0,
        feathering_x_undershoot_multiplier=1.0,
        feathering_x_overshoot_multiplier=1.0,
        feathering_mode=NS(value=0),
    )
    attrs.update(overrides)
    return NS(**attrs)


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


def assert_same_bits(a, b):
    assert a.shape == b.shape
    np.testing.assert_array_equal(bits(a), bits(b))


S = signal()
U = np.full(5, 0.5)


# ---------------------------------------------------------------------------
# binding


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: remap_tensor_1d(S, U, 2), "remap_tensor_1d() takes exactly 2 positional arguments (3 given)"),
        (lambda: remap_tensor_1d(S, U, 2, None), "remap_tensor_1d() takes exactly 2 positional arguments (4 given)"),
        (lambda: remap_tensor_1d(S), "remap_tensor_1d() takes exactly 2 positional arguments (1 given)"),
        (lambda: remap_tensor_1d(), "remap_tensor_1d() takes exactly 2 positional arguments (0 given)"),
        (lambda: remap_tensor_1d(map_x=U), "remap_tensor_1d() takes exactly 2 positional arguments (0 given)"),
        (lambda: remap_tensor_1d(src=S, interpolation=0), "remap_tensor_1d() takes exactly 2 positional arguments (1 given)"),
        (lambda: remap_tensor_1d(None), "remap_tensor_1d() takes exactly 2 positional arguments (1 given)"),
        (lambda: remap_tensor_1d(S, U, 2, interpolation="x"), "remap_tensor_1d() takes exactly 2 positional arguments (3 given)"),
        (lambda: remap_tensor_1d(S, U, bar=1), "remap_tensor_1d() got an unexpected keyword argument 'bar'"),
        (lambda: remap_tensor_1d(S, U, map_y=U), "remap_tensor_1d() got an unexpected keyword argument 'map_y'"),
        (lambda: remap_tensor_1d(S, U, map_x=U), "remap_tensor_1d() got multiple values for keyword argument 'map_x'"),
        (lambda: remap_tensor_1d(S, U, src=S), "remap_tensor_1d() got multiple values for keyword argument 'src'"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_arrays_bind_by_keyword():
    src, u = signal(9, 2), unit_map(9)
    assert_same_bits(remap_tensor_1d(map_x=u, src=src), remap_tensor_1d(src, u))


# ---------------------------------------------------------------------------
# interpolation and num_threads


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(interpolation="2"), "Argument 'interpolation' has incorrect type (expected int, got str)"),
        (dict(interpolation="2", num_threads="x"), "Argument 'interpolation' has incorrect type (expected int, got str)"),
        (dict(num_threads="x"), "Argument 'num_threads' has incorrect type (expected int, got str)"),
        (dict(interpolation=None), "Argument 'interpolation' has incorrect type (expected int, got NoneType)"),
        (dict(num_threads=(1,)), "Argument 'num_threads' has incorrect type (expected int, got tuple)"),
    ],
)
def test_int_argument_type_errors(kwargs, message):
    # a 0-d src would fail the next check: the int checks come first
    with pytest.raises(TypeError) as info:
        remap_tensor_1d(np.float64(1.0), U, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        (dict(interpolation=float("nan")), ValueError, "cannot convert float NaN to integer"),
        (dict(num_threads=float("-inf")), OverflowError, "cannot convert float infinity to integer"),
    ],
)
def test_int_conversion_errors_propagate(kwargs, exc, message):
    with pytest.raises(exc) as info:
        remap_tensor_1d(np.float64(1.0), U, **kwargs)
    assert str(info.value) == message


@pytest.fixture(scope="module")
def kernel_case():
    src = signal(23, 3, seed=3)
    u = unit_map(23, 0.0, 1.0, seed=4)
    return src, u, {code: remap_tensor_1d(src, u, interpolation=code) for code in range(5)}


def test_the_five_kernels_differ_on_the_probe(kernel_case):
    outputs = kernel_case[2]
    for a in range(5):
        for b in range(a + 1, 5):
            assert not np.array_equal(outputs[a], outputs[b]), (a, b)


@pytest.mark.parametrize(
    "value, code",
    [
        (True, 1),
        (2.7, 2),
        (2.9, 2),
        (InterpMethod.LANCZOS4, 4),
        (InterpMethod.NEAREST, 0),
        (np.int32(3), 3),
        (np.float64(0.99), 0),
        (fractions.Fraction(9, 2), 4),
    ],
)
def test_interpolation_numbers_convert_with_int(kernel_case, value, code):
    src, u, outputs = kernel_case
    assert_same_bits(remap_tensor_1d(src, u, interpolation=value), outputs[code])


@pytest.mark.parametrize("code", [-1, 5, 7, -(2**31), 2**31 - 1])
def test_unknown_interpolation_codes_are_linear(kernel_case, code):
    src, u, outputs = kernel_case
    assert_same_bits(remap_tensor_1d(src, u, interpolation=code), outputs[1])


@pytest.mark.parametrize("value", [2**31, -(2**31) - 1, 2**40])
def test_interpolation_outside_c_int_overflows(value):
    with pytest.raises(OverflowError) as info:
        remap_tensor_1d(S, U, interpolation=value)
    assert str(info.value) == "value too large to convert to int"
    # found only after the shape checks
    with pytest.raises(ValueError, match="same length"):
        remap_tensor_1d(S, U[:3], interpolation=value)


@pytest.mark.parametrize("num_threads", [1, 64, -1, 0, 2**40, 1.5])
def test_num_threads_has_no_effect(kernel_case, num_threads):
    src, u, outputs = kernel_case
    for code in (1, 3):
        assert_same_bits(remap_tensor_1d(src, u, interpolation=code, num_threads=num_threads), outputs[code])


# ---------------------------------------------------------------------------
# array checks and their order


@pytest.mark.parametrize(
    "src, map_x, message",
    [
        (np.float64(2.0), U, "src must be 1-D or 2-D, got ndim=0"),
        (np.array(2.0), U, "src must be 1-D or 2-D, got ndim=0"),
        (np.zeros((5, 2, 1)), U, "src must be 1-D or 2-D, got ndim=3"),
        (np.zeros((5, 1, 1, 1)), U, "src must be 1-D or 2-D, got ndim=4"),
        # with both wrong, the src message wins
        (np.zeros((5, 2, 1)), np.zeros((5, 1)), "src must be 1-D or 2-D, got ndim=3"),
        (np.array(1.0), np.array(1.0), "src must be 1-D or 2-D, got ndim=0"),
        (S, np.zeros((5, 1)), "map_x must be 1-dimensional"),
        (S, np.array(0.5), "map_x must be 1-dimensional"),
        (np.zeros((5, 3)), np.zeros((1, 5)), "map_x must be 1-dimensional"),
        (S, U[:4], "src and map_x must have the same length"),
        (np.zeros((4, 5)), np.zeros(5), "src and map_x must have the same length"),
        (np.zeros((0, 5)), np.zeros(5), "src and map_x must have the same length"),
    ],
)
def test_array_check_messages(src, map_x, message):
    with pytest.raises(ValueError) as info:
        remap_tensor_1d(src, map_x)
    assert str(info.value) == message


@pytest.mark.parametrize("args", [([1.0, 2.0], U), (S, [0.5] * 5), (S, None), (None, U)])
def test_arguments_without_ndim(args):
    with pytest.raises(AttributeError, match="ndim"):
        remap_tensor_1d(*args)


@pytest.mark.parametrize(
    "src, map_x, shape",
    [
        (np.zeros(0), np.zeros(0), (0,)),
        (np.zeros((0, 3)), np.zeros(0), (0, 3)),
        (np.zeros((0, 0), np.float32), np.zeros(0), (0, 0)),
        (np.zeros((5, 0)), U, (5, 0)),
    ],
)
def test_empty_lengths_and_channels(src, map_x, shape):
    out = remap_tensor_1d(src, map_x, interpolation=4, border_config=BorderConfig.constant(1.0))
    assert out.shape == shape and out.dtype == src.dtype


# ---------------------------------------------------------------------------
# configuration


def test_default_config_is_clamp():
    src, u = signal(31, 2), unit_map(31)
    for code in range(5):
        a = remap_tensor_1d(src, u, interpolation=code)
        assert_same_bits(a, remap_tensor_1d(src, u, interpolation=code, border_config=BorderConfig.clamp()))
        assert_same_bits(a, remap_tensor_1d(src, u, interpolation=code, border_config=duck_config(0)))


@pytest.mark.parametrize("name", ["feathering_y_undershoot_multiplier", "feathering_y_overshoot_multiplier", "distance_mode", "preserve_non_feather_dims"])
def test_two_dimensional_settings_are_not_read(name):
    cfg = duck_config(1, constant_value=3.0)
    assert not hasattr(cfg, name)
    out = remap_tensor_1d(S, np.full(5, 2.0), border_config=cfg)
    np.testing.assert_array_equal(out, np.full(5, 3.0))


@pytest.mark.parametrize(
    "name",
    ["mode", "constant_value", "feathering_width", "feathering_x_undershoot_multiplier",
     "feathering_x_overshoot_multiplier", "feathering_mode"],
)
def test_missing_config_attribute(name):
    cfg = duck_config(0)
    delattr(cfg, name)
    with pytest.raises(AttributeError, match=name):
        remap_tensor_1d(S, U, border_config=cfg)


@pytest.mark.parametrize("name", ["mode", "feathering_mode"])
def test_enum_attribute_problems(name):
    cfg = duck_config(0)
    setattr(cfg, name, NS())
    with pytest.raises(AttributeError, match="value"):
        remap_tensor_1d(S, U, border_config=cfg)
    setattr(cfg, name, NS(value=-(2**31) - 1))
    with pytest.raises(OverflowError, match="value too large to convert to int"):
        remap_tensor_1d(S, U, border_config=cfg)


class Opaque:
    """Neither a number nor an enum member."""


CONVERSION_ORDER = [
    ("src view before mode.value", dict(fake_src=True, mode=NS()), ValueError, "Buffer has wrong number"),
    ("feather widths before constant_value", dict(feather=KeyError("widths"), constant_value="x"), KeyError, "widths"),
    ("mode.value before border constant", dict(mode=NS(), constant_value="x"), AttributeError, "value"),
    ("border constant before width", dict(constant_value="x", feathering_width=Opaque()), TypeError, "str"),
    ("width before multipliers", dict(feathering_width="x", feathering_x_undershoot_multiplier=Opaque()), TypeError, "str"),
    ("multipliers in order", dict(feathering_x_undershoot_multiplier="x", feathering_x_overshoot_multiplier=Opaque()), TypeError, "str"),
    ("multipliers before feathering_mode", dict(feathering_x_overshoot_multiplier="x", feathering_mode=NS()), TypeError, "str"),
    ("feathering_mode before feather width view", dict(feathering_mode=NS(), feather=np.zeros((1, 1))), AttributeError, "value"),
    ("feather width view before interpolation", dict(feather=np.zeros((1, 1)), interpolation=2**40), ValueError, "Buffer has wrong number"),
]


@pytest.mark.parametrize(
    "faults, exc, match", [c[1:] for c in CONVERSION_ORDER], ids=[c[0] for c in CONVERSION_ORDER]
)
def test_conversion_order(monkeypatch, faults, exc, match):
    faults = dict(faults)
    src = S
    if faults.pop("fake_src", False):
        # claims to be 1-D, converts to a 3-D array
        src = type("Fake", (), dict(ndim=1, shape=(5,), dtype=np.dtype(np.float64),
                                    __len__=lambda self: 5,
                                    __array__=lambda self, dtype=None, copy=None: np.zeros((5, 2, 1))))()
    interpolation = faults.pop("interpolation", 1)
    if "feather" in faults:
        result = faults.pop("feather")

        def feather(bc, C):
            if isinstance(result, BaseException):
                raise result
            return result

        monkeypatch.setattr(border_config_module, "compute_feather_d", feather)
    cfg = duck_config(0)
    for name, value in faults.items():
        setattr(cfg, name, value)
    with pytest.raises(exc, match=match):
        remap_tensor_1d(src, U, interpolation=interpolation, border_config=cfg)


def test_array_attribute_is_not_read_outside_array_mode():
    cfg = duck_config(1, constant_value=-2.0)
    del cfg.array
    np.testing.assert_array_equal(remap_tensor_1d(S, np.full(5, -1.0), border_config=cfg), np.full(5, -2.0))


@pytest.mark.parametrize(
    "constant, expected",
    [
        (np.array(7.5), 7.5),
        (np.array([7.5, 1.0]), 0.0),
        (np.ones((1, 1)), 0.0),
        (None, 0.0),
        (4, 4.0),
        (np.float32(0.5), 0.5),
    ],
)
def test_constant_value_forms(constant, expected):
    cfg = duck_config(1, constant_value=constant)
    out = remap_tensor_1d(signal(5, 2), np.full(5, 1.5), border_config=cfg)
    np.testing.assert_array_equal(out, np.full((5, 2), expected))


@pytest.mark.parametrize("constant", ["1.0", NS()])
def test_non_numeric_constant_value_is_a_type_error(constant):
    with pytest.raises(TypeError):
        remap_tensor_1d(S, U, border_config=duck_config(1, constant_value=constant))


def test_compute_feather_d_receives_the_config_and_channel_count(monkeypatch):
    calls = []
    real = border_config_module.compute_feather_d

    def spy(bc, C):
        calls.append((bc, C))
        return real(bc, C)

    monkeypatch.setattr(border_config_module, "compute_feather_d", spy)
    cfg = BorderConfig.constant(1.0)
    remap_tensor_1d(S, U)
    remap_tensor_1d(signal(5, 4), U, border_config=cfg)
    assert [(id(bc), C) for bc, C in calls] == [(id(BorderConfig.clamp()), 1), (id(cfg), 4)]
    assert all(type(C) is int for _, C in calls)


@pytest.mark.parametrize("widths, channels", [(1, 3), (2, 3), (3, 4)])
def test_short_feather_width_table_is_rejected(monkeypatch, widths, channels):
    monkeypatch.setattr(border_config_module, "compute_feather_d", lambda bc, C: np.full(widths, 0.2))
    with pytest.raises(ValueError) as info:
        remap_tensor_1d(signal(5, channels), np.full(5, 1.1), border_config=BorderConfig.constant(1.0))
    assert str(info.value).startswith("compute_feather_d returned")


@pytest.mark.parametrize("result", [None, np.empty(0), np.array([0.0, 0.0, 0.0, 5.0, 5.0, 5.0, 5.0])])
def test_empty_or_long_feather_width_tables_are_accepted(monkeypatch, result):
    monkeypatch.setattr(border_config_module, "compute_feather_d", lambda bc, C: result)
    out = remap_tensor_1d(signal(5, 3), np.full(5, 1.1), border_config=BorderConfig.constant(6.0))
    np.testing.assert_array_equal(out, np.full((5, 3), 6.0))


# ---------------------------------------------------------------------------
# ARRAY mode


ARRAY_VALUE_MESSAGE = "border_config.mode has the ARRAY value 5 but does not compare equal to BorderMode.ARRAY"


@pytest.mark.parametrize("array", [None, np.zeros(5), np.zeros((5, 1))])
def test_mode_value_five_that_is_not_array_is_rejected(array):
    with pytest.raises(ValueError) as info:
        remap_tensor_1d(S, np.full(5, 2.0), border_config=duck_config(5, array=array))
    assert str(info.value) == ARRAY_VALUE_MESSAGE


@pytest.mark.parametrize(
    "src, array, message",
    [
        (S, None, "ARRAY mode requires a border_array"),
        (signal(5, 3), None, "ARRAY mode requires a border_array"),
        (S, np.zeros(4), "border_array length 4 must match src length 5"),
        (S, np.zeros((0, 1)), "border_array length 0 must match src length 5"),
        (signal(5, 3), np.zeros((3, 3)), "border_array length 3 must match src length 5"),
        (signal(5, 3), np.zeros((5, 2)), "border_array channels 2 must match src channels 3"),
        (signal(5, 3), np.zeros(5), "border_array channels 1 must match src channels 3"),
        (signal(5, 3), np.zeros((5, 1)), "border_array channels 1 must match src channels 3"),
        (signal(5, 2), np.zeros((5, 0)), "border_array channels 0 must match src channels 2"),
        (S, np.zeros((5, 1, 1)), "Buffer has wrong number of dimensions (expected 2, got 3)"),
    ],
)
def test_array_mode_guards(src, array, message):
    cfg = duck_config(BorderMode.ARRAY, array=array)
    with pytest.raises(ValueError) as info:
        remap_tensor_1d(src, np.full(5, 2.0), border_config=cfg)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "c, array_shape",
    [(None, (5,)), (None, (5, 1)), (None, (8, 3)), (2, (5, 2)), (2, (6, 4))],
)
def test_array_mode_reads_the_border_at_the_output_sample(c, array_shape):
    border = np.arange(np.prod(array_shape), dtype=np.float64).reshape(array_shape) + 100.0
    src = signal(5, c)
    u = np.array([-1.0, 0.25, 2.0, 0.75, 1.5])
    out = remap_tensor_1d(src, u, interpolation=2, border_config=BorderConfig.array(border))
    plain = remap_tensor_1d(src, u, interpolation=2)
    border2 = border.reshape(border.shape[0], -1)
    width = 1 if c is None else c
    outside = [0, 2, 4]
    got = out.reshape(5, -1)
    np.testing.assert_array_equal(got[outside], border2[outside, :width])
    assert_same_bits(got[[1, 3]], plain.reshape(5, -1)[[1, 3]])


@pytest.mark.parametrize("array_shape", [(5,), (5, 0)])
def test_array_mode_with_zero_channels(array_shape):
    cfg = BorderConfig.array(np.zeros(array_shape))
    out = remap_tensor_1d(np.zeros((5, 0)), np.full(5, 2.0), border_config=cfg)
    assert out.shape == (5, 0) and out.dtype == np.float64


def test_array_mode_equality_is_python_equality():
    class EqualsArray:
        value = 5

        def __eq__(self, other):
            return other is BorderMode.ARRAY

        __hash__ = object.__hash__

    out = remap_tensor_1d(S, np.full(5, -3.0), border_config=duck_config(EqualsArray(), array=np.full(5, 8.0)))
    np.testing.assert_array_equal(out, np.full(5, 8.0))


# ---------------------------------------------------------------------------
# companion imports


def _stub(name, **attrs):
    mod = types.ModuleType(name)
    mod.__dict__.update(attrs)
    return mod


@pytest.mark.parametrize(
    "module_name, attrs, missing",
    [
        ("tessaro.core.border_config", dict(BorderConfig=BorderConfig), "compute_feather_d"),
        ("tessaro.core.border_config", dict(compute_feather_d=border_config_module.compute_feather_d), "BorderConfig"),
        ("tessaro.core.enums", dict(InterpMethod=InterpMethod), "BorderMode"),
    ],
)
def test_missing_companion_name_is_an_import_error(monkeypatch, module_name, attrs, missing):
    monkeypatch.setitem(sys.modules, module_name, _stub(module_name, **attrs))
    with pytest.raises(ImportError, match=missing):
        remap_tensor_1d(S, U, border_config=BorderConfig.clamp())
    # the imports come after the length check
    with pytest.raises(ValueError, match="same length"):
        remap_tensor_1d(S, U[:2])


def test_zero_sign_is_not_imported(monkeypatch):
    # unlike the 2-D entry, the 1-D entry does not need ZERO_SIGN
    u = unit_map()
    before = remap_tensor_1d(S, u, interpolation=2)
    monkeypatch.setitem(sys.modules, "tessaro.cython._zero_sign", _stub("tessaro.cython._zero_sign"))
    assert_same_bits(remap_tensor_1d(S, u, interpolation=2), before)


# ---------------------------------------------------------------------------
# results


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.uint8, np.int16, np.bool_, ">f8"])
@pytest.mark.parametrize("c", [None, 1, 4])
def test_identity_nearest_round_trips(dtype, c):
    n = 9
    raw = np.random.default_rng(4).integers(-50, 50, n if c is None else (n, c))
    src = (raw > 0) if dtype is np.bool_ else raw.astype(dtype)
    out = remap_tensor_1d(src, np.arange(n) / (n - 1), interpolation=0)
    assert out.shape == src.shape and out.dtype == src.dtype
    np.testing.assert_array_equal(out, src)
    assert not np.shares_memory(out, src)


@pytest.mark.parametrize("dtype", [np.uint8, np.int16, np.float32])
def test_non_float64_result_is_the_float64_result_stored(dtype):
    # Lanczos overshoots the integer range at the 0/119 steps: saturated, not wrapped
    src = np.random.default_rng(5).integers(0, 120, (11, 2)).astype(dtype)
    u = unit_map(11, seed=6)
    out = remap_tensor_1d(src, u, interpolation=3)
    want = remap_tensor_1d(src.astype(np.float64), u, interpolation=3)
    np.testing.assert_array_equal(out, oracle.cast_result(want, dtype))
    assert out.dtype == np.dtype(dtype)


def test_float64_results_are_not_copied():
    src1, u = signal(8), unit_map(8)
    out1 = remap_tensor_1d(src1, u)
    # column 0 of the (N, 1) output, returned without a copy
    assert out1.base is not None and out1.base.shape == (8, 1)
    assert out1.dtype == np.float64 and out1.flags.c_contiguous
    src2 = signal(8, 3)
    out2 = remap_tensor_1d(src2, u)
    assert out2.flags.owndata and out2.base is None and out2.flags.c_contiguous
    for a, b in ((out1, src1), (out2, src2), (out1, remap_tensor_1d(src1, u))):
        assert not np.shares_memory(a, b)


def test_read_only_and_strided_inputs():
    src, u = signal(12, 2), unit_map(12)
    expected = remap_tensor_1d(src, u, interpolation=2)
    src.flags.writeable = False
    u.flags.writeable = False
    assert_same_bits(remap_tensor_1d(src, u, interpolation=2), expected)
    wide = np.zeros((24, 5))
    wide[::2, 1:3] = src
    spaced = np.zeros(36)
    spaced[::3] = u
    assert_same_bits(remap_tensor_1d(wide[::2, 1:3], spaced[::3], interpolation=2), expected)


@pytest.mark.parametrize(
    "convert",
    [pytest.param(lambda a: a.astype(np.longdouble), id="longdouble"), pytest.param(lambda a: a.astype(object), id="object")],
)
def test_inputs_convert_as_numpy_ascontiguousarray_does(convert):
    # the entry converts with np.ascontiguousarray(x, dtype=np.float64)
    src, u = signal(10, 2), unit_map(10)
    expected = remap_tensor_1d(src, u)
    out = remap_tensor_1d(convert(src), u)
    assert out.dtype == convert(src).dtype
    np.testing.assert_array_equal(out.astype(np.float64), expected)
    assert_same_bits(remap_tensor_1d(src, convert(u)), expected)


# ---------------------------------------------------------------------------
# linear CLAMP and numpy.interp


@pytest.mark.parametrize("n", [1, 2, 3, 7, 64, 1000, 4097])
@pytest.mark.parametrize("scale", [1.0, 1e-300, 1e300, 3e5])
def test_linear_clamp_equals_numpy_interp_bit_for_bit(n, scale):
    # (N-1)*u over arange(N): numpy.interp forms slope*(x - j) + fp[j] with
    # slope = fp[j+1] - fp[j] divided by 1.0, the same operations as the
    # linear sampler; coordinates outside [0, 1] clamp to the end samples
    # in both.
    rng = np.random.default_rng(n)
    v = rng.standard_normal(n) * scale
    u = rng.uniform(-0.2, 1.2, n)
    u[: min(n, 6)] = [0.0, 1.0, 0.5, 0.25, -0.0, 1.0 - 2**-53][: min(n, 6)]
    got = remap_tensor_1d(v, u, interpolation=1)
    ref = np.interp((n - 1) * u, np.arange(n, dtype=np.float64), v)
    assert_same_bits(got, ref)


def test_linear_and_numpy_interp_part_where_the_difference_overflows():
    # on a sample next to an overflowing difference the sampler's formula
    # gives inf * 0 = NaN, while numpy.interp returns the sample itself
    v = np.array([-1e308, 1e308, 3.0])
    u = np.array([0.0, 0.25, 0.5])
    got = remap_tensor_1d(v, u)
    ref = np.interp(2 * u, np.arange(3.0), v)
    assert np.isnan(got[0]) and ref[0] == -1e308
    assert got[1] == ref[1] == np.inf
    assert got[2] == ref[2] == 1e308


# ---------------------------------------------------------------------------
# metadata


def test_function_metadata():
    f = remap_tensor_1d
    assert f.__kwdefaults__ == {"interpolation": 1, "border_config": None, "num_threads": -1}
    assert f.__annotations__ == {
        "src": "np.ndarray",
        "map_x": "np.ndarray",
        "interpolation": "int",
        "num_threads": "int",
        "return": "np.ndarray",
    }
    assert f.__module__ == "tessaro.cython._tovik_1d"
    assert f.__name__ == "remap_tensor_1d"
    assert str(inspect.signature(f)) == (
        "(src: 'np.ndarray', map_x: 'np.ndarray', *, interpolation: 'int' = 1, "
        "border_config=None, num_threads: 'int' = -1) -> 'np.ndarray'"
    )
    assert f.__doc__ == (
        "Remap a 1-D signal using unit-space coordinates.\n\n    Args:\n"
        "        src: Input array, shape (N,) or (N, C). float64 preferred.\n"
        "        map_x: Coordinate map, shape (N,), values in [0, 1].\n"
        "        interpolation: 0=nearest, 1=linear, 2=cubic, 3=lanczos3, 4=lanczos4.\n"
        "        border_config: BorderConfig instance (or None for clamp default).\n"
        "        num_threads: Thread count (-1 = auto).\n\n    Returns:\n"
        "        Remapped array, same shape and dtype as src.\n    "
    )


def test_module_metadata():
    assert tovik_1d.__doc__ == (
        "\n1D remap kernel \u2014 remap 1-D signals by a unit-space coordinate map.\n\n"
        "Interpolation modes: 0=nearest, 1=linear, 2=cubic, 3=lanczos3, 4=lanczos4\n"
        "Border modes: 0=CLAMP, 1=CONSTANT, 2=REFLECT, 3=WRAP, 4=REFLECT_101, 5=ARRAY\n"
    )
    assert not hasattr(tovik_1d, "__pyx_capi__")
    assert tovik_1d.__test__ == {}
    assert tovik_1d.np is np and tovik_1d.os is os
    assert sys.modules["tessaro.cython._tovik_1d"] is tovik_1d


def test_detect_cpu_count_metadata():
    f = tovik_1d._detect_cpu_count
    assert f.__doc__ is None
    assert f.__annotations__ == {"return": "int"}
    assert f.__module__ == "tessaro.cython._tovik_1d"
    assert f() == (os.cpu_count() or 1)
    with pytest.raises(TypeError, match="_detect_cpu_count"):
        f(0)


@pytest.mark.parametrize(
    "call",
    [lambda: remap_tensor_1d(np.zeros((2, 2, 2)), U), lambda: remap_tensor_1d(S, U, 1)],
)
def test_traceback_names_the_function(call):
    with pytest.raises(Exception) as info:
        call()
    assert traceback.extract_tb(info.tb)[-1].name == "tessaro.cython._tovik_1d.remap_tensor_1d"


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
        (lambda: "x", 1),
        (lambda: 6, 6),
        (lambda: np.int16(2), 2),
        # every exception is swallowed here, not only Exception subclasses
        (_raise(KeyboardInterrupt()), 1),
        (_raise(SystemExit(2)), 1),
        (_raise(GeneratorExit()), 1),
    ],
)
def test_detect_cpu_count_with_patched_os(monkeypatch, cpu_count, expected):
    monkeypatch.setattr(tovik_1d, "os", NS(cpu_count=cpu_count))
    got = tovik_1d._detect_cpu_count()
    assert got == expected and type(got) is int


def test_detect_cpu_count_without_usable_os(monkeypatch):
    monkeypatch.setattr(tovik_1d, "os", 42)
    assert tovik_1d._detect_cpu_count() == 1
    monkeypatch.delattr(tovik_1d, "os")
    assert tovik_1d._detect_cpu_count() == 1


# ---------------------------------------------------------------------------
# threads


THREAD_CASES = [
    (code, cfg)
    for code, cfg in [
        (0, BorderConfig.clamp()),
        (1, BorderConfig.reflect()),
        (2, BorderConfig.wrap()),
        (3, BorderConfig.constant(0.5, feathering_width=0.2)),
        (4, BorderConfig.reflect_101()),
        (1, BorderConfig.constant(2.0, feathering_width=0.1, feathering_mode=FeatheringMode.INWARD)),
        (2, BorderConfig.array(np.full((3000, 3), -3.0), feathering_width=0.3)),
        (4, BorderConfig.clamp()),
    ]
]


def _run_case(i):
    code, cfg = THREAD_CASES[i]
    return remap_tensor_1d(signal(3000, 3, seed=10 + i), unit_map(3000, seed=20 + i), interpolation=code, border_config=cfg)


def test_concurrent_calls_match_serial_results():
    serial = [_run_case(i) for i in range(len(THREAD_CASES))]
    mismatches, errors = [], []
    start = threading.Barrier(8)

    def worker(t):
        try:
            start.wait()
            for rep in range(4):
                for k in range(len(THREAD_CASES)):
                    i = (3 * t + k + rep) % len(THREAD_CASES)
                    if not np.array_equal(bits(_run_case(i)), bits(serial[i])):
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


def test_lock_is_released_during_the_parallel_work():
    src = signal(1_000_000, 4, seed=7)
    u = unit_map(1_000_000, 0.0, 1.0, seed=8)
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
        remap_tensor_1d(src, u, interpolation=4)
        t1 = time.perf_counter()
    finally:
        stop.set()
        spinner.join()
    span = t1 - t0
    assert span > 0.05, "the call is too short to tell"
    assert [s for s in stamps if t0 + span / 4 < s < t1 - span / 4]
