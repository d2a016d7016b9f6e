"""Entry behaviour of tessaro.cython._tovik_1d.remap_tensor_1d that is its
own: the argument checks, ARRAY-mode guards, metadata, and agreement of the
linear CLAMP path with numpy.interp. The cases it shares with remap_tensor
(binding, interpolation and num_threads, settings and their order, feather
widths, companions, results, _detect_cpu_count, threads) run for both
entries in test_remap_entry.py.
"""

import inspect
import os
import sys
import types
from types import SimpleNamespace as NS

import numpy as np
import pytest

import tessaro.cython._tovik_1d as tovik_1d
from tessaro.core.border_config import BorderConfig
from tessaro.core.enums import BorderMode
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


def test_arrays_bind_by_keyword():
    src, u = signal(9, 2), unit_map(9)
    assert_same_bits(remap_tensor_1d(map_x=u, src=src), remap_tensor_1d(src, u))


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


@pytest.mark.parametrize("name", ["feathering_y_undershoot_multiplier", "feathering_y_overshoot_multiplier", "distance_mode", "preserve_non_feather_dims"])
def test_two_dimensional_settings_are_not_read(name):
    cfg = duck_config(1, constant_value=3.0)
    assert not hasattr(cfg, name)
    out = remap_tensor_1d(S, np.full(5, 2.0), border_config=cfg)
    np.testing.assert_array_equal(out, np.full(5, 3.0))


# ---------------------------------------------------------------------------
# ARRAY mode


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


# ---------------------------------------------------------------------------
# companion imports


def _stub(name, **attrs):
    mod = types.ModuleType(name)
    mod.__dict__.update(attrs)
    return mod


def test_zero_sign_is_not_imported(monkeypatch):
    # unlike the 2-D entry, the 1-D entry does not need ZERO_SIGN
    u = unit_map()
    before = remap_tensor_1d(S, u, interpolation=2)
    monkeypatch.setitem(sys.modules, "tessaro.cython._zero_sign", _stub("tessaro.cython._zero_sign"))
    assert_same_bits(remap_tensor_1d(S, u, interpolation=2), before)


# ---------------------------------------------------------------------------
# results


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
