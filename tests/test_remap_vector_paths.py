"""Positions and layouts that single out the vectorised sampling paths.

The kernels plan runs of 64 positions four at a time, read channel groups
four elements wide except next to the end of the source, read a single
channel's column taps with one load per row unless a tap is clamped, pick
Catmull-Rom pieces per tap when every position of a run is non-negative,
and take positions of magnitude 2^31 or more one at a time. Each choice must give
the scalar formulas' result; the scalar oracle decides.
"""

import math
import types

import numpy as np
import pytest

import oracle
from tessaro.cython import _tovik, _tovik_1d

FRACTIONS = [0.0, 2.0**-53, 2.0**-52, 2.0**-30, 1e-300, 0.25, 0.5, 0.75,
             1 - 2.0**-53, 1 - 2.0**-52, 1 - 2.0**-40, 0.9999999999]


def config(mode):
    ns = types.SimpleNamespace
    return ns(mode=ns(value=mode), array=None, constant_value=0.0, feathering_width=0.0,
              feathering_x_undershoot_multiplier=1.0, feathering_x_overshoot_multiplier=1.0,
              feathering_y_undershoot_multiplier=1.0, feathering_y_overshoot_multiplier=1.0,
              feathering_mode=ns(value=0), distance_mode=ns(value=0),
              preserve_non_feather_dims=False)


def same(got, want):
    if math.isnan(want):
        return math.isnan(got)
    return got == want and math.copysign(1.0, got) == math.copysign(1.0, want)


def oracle_sample(src, x, y, k, H, W, interpolation):
    return oracle.sample_pixel(src, x, y, k, H, W, interpolation)


def resolve(mode, v):
    return oracle.clamp_unit(v) if mode == 0 else v


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("mode", [0, 6])
@pytest.mark.parametrize("interpolation", [0, 1, 2, 3, 4])
def test_positions_at_and_next_to_integers(dtype, mode, interpolation):
    H, W = 3, 4097
    rng = np.random.default_rng(1)
    src = rng.normal(size=(H, W, 1)).astype(dtype)
    unit = [(k + f) / (W - 1) for k in (0, 1, 2, 5, 100, 4093, 4094, 4095, 4096) for f in FRACTIONS]
    unit += [-0.1, -1e-300, -0.0, 1.0, 1.0000000001, 2.0, math.nan, math.inf, -math.inf,
             3e9, -3e9, 1e17]
    n = len(unit)
    mx, my = np.full((H, W), 0.3), np.full((H, W), 0.5)
    mx[1, :n] = unit
    my[0, :n] = np.array(unit) * (W - 1) / (H - 1)
    out = _tovik.remap_tensor(src, mx, my, interpolation=interpolation, border_config=config(mode))
    s = src.astype(np.float64).tolist()
    for i in (0, 1):
        for j in range(n):
            x, y = resolve(mode, float(mx[i, j])), resolve(mode, float(my[i, j]))
            want = oracle_sample(s, x, y, 0, H, W, interpolation)
            if math.isnan(x) or math.isnan(y):
                want = math.nan  # no position: NaN whatever the kernel
            if dtype == np.float32:
                want = float(np.float32(want))
            assert same(float(out[i, j, 0]), want), (i, j, x, y)


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("channels", [2, 3, 5, 6, 7])
@pytest.mark.parametrize("interpolation", [0, 1, 2, 4])
def test_channel_groups_next_to_the_end_of_the_source(dtype, channels, interpolation):
    # Taps on the last pixel must read exactly its channels; the source is a
    # view that ends where its buffer ends.
    H, W = 5, 9
    rng = np.random.default_rng(channels)
    buf = rng.normal(size=H * W * channels).astype(dtype)
    src = buf.reshape(H, W, channels)
    yy, xx = np.mgrid[0:H, 0:W].astype(np.float64)
    mx = np.clip((xx + 0.6) / (W - 1), 0, 1.2)
    my = np.clip((yy + 0.7) / (H - 1), 0, 1.2)
    mx[-1, -3:] = [1.0, 1.3, 0.999]
    out = _tovik.remap_tensor(src, mx, my, interpolation=interpolation)
    s = src.astype(np.float64).tolist()
    for i in range(H):
        for j in range(W):
            x, y = oracle.clamp_unit(float(mx[i, j])), oracle.clamp_unit(float(my[i, j]))
            for k in range(channels):
                want = oracle_sample(s, x, y, k, H, W, interpolation)
                if dtype == np.float32:
                    want = float(np.float32(want))
                assert same(float(out[i, j, k]), want), (i, j, k)


@pytest.mark.parametrize("dtype", [np.uint8, np.int8])
@pytest.mark.parametrize("channels", [2, 3, 4])
@pytest.mark.parametrize("interpolation", [1, 2])
def test_8bit_levels_at_and_next_to_half_levels(dtype, channels, interpolation):
    # 8-bit bilinear and cubic levels come from float arithmetic only where
    # the level is certain; results at, or within float error of, a half
    # level must get the double formula's level (0.5 + 2^-30 is level 1).
    lo, hi = (0, 255) if dtype == np.uint8 else (-128, 127)
    W = 64
    src = np.zeros((1, W, channels), dtype)
    src[0, 1::2] = hi
    src[0, 0::2] = lo
    # Channel 0 as lo+1, lo+1, lo, lo: half levels at x = 4i + 1.5, cubic too.
    src[0, :, 0] = lo + (np.arange(W) % 4 < 2)
    offsets = [0.0, 2.0**-30, -(2.0**-30), 2.0**-24, -(2.0**-24), 2.0**-13, -(2.0**-12), 0.01]
    frac = [(k + 0.5) / (hi - lo) + e for k in (0, 37, 127, 253) for e in offsets]
    frac += [0.5 + e for e in offsets]
    x = np.array([j + f for j, f in enumerate(frac)]) / (W - 1)
    mx = np.full((1, W), 0.5)
    mx[0, :len(x)] = x
    out = _tovik.remap_tensor(src, mx, np.zeros((1, W)), interpolation=interpolation)
    s = src.astype(np.float64).tolist()
    for j in range(W):
        for k in range(channels):
            want = oracle.sample_pixel(s, float(mx[0, j]), 0.0, k, 1, W, interpolation)
            assert out[0, j, k] == oracle.saturate(want, dtype), (j, k)


@pytest.mark.parametrize("channels", [1, 2, 3, 4, 5])
@pytest.mark.parametrize("interpolation", [0, 1, 2, 3])
def test_1d_runs_and_groups(channels, interpolation):
    N = 203  # three full runs and a partial one
    rng = np.random.default_rng(7)
    src = rng.normal(size=(N, channels))
    u = np.sort(rng.uniform(-0.05, 1.05, N))
    u[::17] = np.arange(0, N, 17) / (N - 1)
    out = _tovik_1d.remap_tensor_1d(src, u, interpolation=interpolation)
    assert out.shape == (N, channels)
    col = src.T.tolist()
    for i in range(N):
        v = oracle.clamp_unit(float(u[i])) if (u[i] < 0 or u[i] > 1) else float(u[i])
        for c in range(channels):
            want = oracle.sample_1d(col[c], v, N, interpolation)
            assert same(float(out[i, c]), want), (i, c)


def guarded(nbytes):
    """A writable buffer of nbytes that ends where an inaccessible page begins,
    so that any read past its end faults."""
    import ctypes
    import mmap

    page = mmap.PAGESIZE
    span = (nbytes + page - 1) // page * page
    region = mmap.mmap(-1, span + page, prot=mmap.PROT_READ | mmap.PROT_WRITE)
    base = ctypes.addressof(ctypes.c_char.from_buffer(region))
    libc = ctypes.CDLL(None, use_errno=True)
    libc.mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
    assert libc.mprotect(base + span, page, 0) == 0
    return region, memoryview(region)[span - nbytes:span]


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("channels", [1, 2, 3, 5])
@pytest.mark.parametrize("interpolation", [0, 1, 2, 3])
def test_no_read_past_a_source_that_ends_at_a_page(dtype, channels, interpolation):
    H, W = 6, 11
    region, view = guarded(H * W * channels * np.dtype(dtype).itemsize)
    src = np.frombuffer(view, dtype=dtype).reshape(H, W, channels)
    src[...] = np.arange(src.size, dtype=dtype).reshape(src.shape)
    mx = np.full((H, W), 1.0)
    my = np.full((H, W), 1.0)
    mx[:, ::2] = 0.97
    out = _tovik.remap_tensor(src, mx, my, interpolation=interpolation)
    want = _tovik.remap_tensor(src.astype(np.float64), mx, my, interpolation=interpolation)
    np.testing.assert_array_equal(out, want.astype(dtype))
    del src, view
    region.close()
