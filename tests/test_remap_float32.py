"""float32 sources: the result, the array it comes in and NumPy's cast reports.

remap_tensor on a float32 source must give what converting the source to
float64, remapping and casting the output back to float32 gives: the same
values bit for bit (NaN at the same places), a fresh C-contiguous float32
array that owns its data, and the same floating-point reports of the two
casts (overflow and underflow when rounding results to float32, invalid for
a signalling NaN in the source), whatever np.errstate asks for.
"""

import warnings

import numpy as np
import pytest

from tessaro.core import BorderConfig, DistanceMode, FeatheringMode
from tessaro.cython import _tovik

F32_MAX = float(np.finfo(np.float32).max)


def reference(src, mx, my, **kw):
    out = _tovik.remap_tensor(src.astype(np.float64), mx, my, **kw)
    return out.astype(np.float32)


def assert_same(got, want):
    assert got.dtype == want.dtype and got.shape == want.shape
    nan_g, nan_w = np.isnan(got), np.isnan(want)
    np.testing.assert_array_equal(nan_g, nan_w)
    np.testing.assert_array_equal(got[~nan_g].view(np.uint32), want[~nan_w].view(np.uint32))


def maps(H, W, rng, lo=-0.15, hi=1.15):
    yy, xx = np.mgrid[0:H, 0:W].astype(np.float64)
    mx = (xx + 2.0 * np.sin(yy / 3.0) + rng.uniform(-0.5, 0.5, (H, W))) / max(W - 1, 1)
    my = (yy + 2.0 * np.cos(xx / 4.0) + rng.uniform(-0.5, 0.5, (H, W))) / max(H - 1, 1)
    return mx * (hi - lo) + lo, my * (hi - lo) + lo


CONFIGS = {
    "clamp": lambda H, W, C, rng: None,
    "reflect": lambda H, W, C, rng: BorderConfig.reflect(),
    "wrap": lambda H, W, C, rng: BorderConfig.wrap(),
    "constant": lambda H, W, C, rng: BorderConfig.constant(0.5, feathering_width=0.1),
    "inward": lambda H, W, C, rng: BorderConfig.constant(
        -2.0, feathering_width=0.2, feathering_mode=FeatheringMode.INWARD),
    "array": lambda H, W, C, rng: BorderConfig.array(
        rng.normal(size=(H, W, C)) if C > 1 else rng.normal(size=(H, W)),
        feathering_width=0.05, distance_mode=DistanceMode.OCTAGONAL),
}


@pytest.mark.parametrize("interpolation", [0, 1, 2, 3, 4, 9])
@pytest.mark.parametrize("config", sorted(CONFIGS))
@pytest.mark.parametrize("channels", [None, 1, 3, 4, 5])
def test_values_and_array(interpolation, config, channels):
    rng = np.random.default_rng(hash((interpolation, config, channels)) % 2**32)
    H, W = 13, 17
    C = 1 if channels is None else channels
    shape = (H, W) if channels is None else (H, W, C)
    src = (rng.normal(size=shape) * 100).astype(np.float32)
    mx, my = maps(H, W, rng)
    bc = CONFIGS[config](H, W, C, rng)
    got = _tovik.remap_tensor(src, mx, my, interpolation=interpolation, border_config=bc)
    assert_same(got, reference(src, mx, my, interpolation=interpolation, border_config=bc))
    assert got.flags.c_contiguous and got.flags.owndata and got.base is None


@pytest.mark.parametrize("make", [
    lambda a: a[:, ::2],                       # not contiguous
    lambda a: a.astype(">f4"),                 # byte-swapped
    lambda a: a.view(np.ndarray).copy().view(type("Sub", (np.ndarray,), {})),  # subclass
])
def test_other_float32_layouts(make):
    rng = np.random.default_rng(3)
    src = make(rng.normal(size=(9, 22, 3)).astype(np.float32))
    mx, my = maps(src.shape[0], src.shape[1], rng)
    got = _tovik.remap_tensor(src, mx, my, interpolation=2)
    want = _tovik.remap_tensor(np.asarray(src, dtype=np.float64), mx, my, interpolation=2).astype(src.dtype)
    assert got.dtype == src.dtype
    assert_same(np.asarray(got, dtype=np.float32), np.asarray(want, dtype=np.float32))


def extreme_source(rng):
    # Cubic and Lanczos overshoot past the float32 range next to values at
    # its edge, and results from subnormal values round to subnormals.
    src = np.zeros((8, 9, 2), np.float32)
    src[:, :, 0] = np.where(rng.random((8, 9)) < 0.5, F32_MAX, -F32_MAX)
    src[:, :, 1] = rng.choice([1e-42, -3e-41, 0.0], size=(8, 9)).astype(np.float32)
    return src


def outcome(fn):
    """(result or exception type and text, [(category, message)] of warnings)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            r = fn()
        except FloatingPointError as e:
            r = (type(e), str(e))
    return r, [(w.category, str(w.message)) for w in caught]


@pytest.mark.parametrize("errstate", [
    {}, {"all": "ignore"}, {"over": "raise"}, {"under": "raise"}, {"under": "warn"},
    {"invalid": "raise"}, {"all": "warn"},
])
@pytest.mark.parametrize("interpolation", [1, 2, 4])
def test_cast_reports_follow_errstate(errstate, interpolation):
    rng = np.random.default_rng(11)
    src = extreme_source(rng)
    mx, my = maps(8, 9, rng, lo=0.0, hi=1.0)
    with np.errstate(**errstate):
        got, got_w = outcome(lambda: _tovik.remap_tensor(src, mx, my, interpolation=interpolation))
        want, want_w = outcome(lambda: reference(src, mx, my, interpolation=interpolation))
    assert got_w == want_w
    if isinstance(want, tuple):
        assert got == want
    else:
        assert_same(got, want)


@pytest.mark.parametrize("errstate", [{}, {"invalid": "raise"}, {"invalid": "ignore"}])
def test_signalling_nan_in_source_is_reported_as_by_the_float64_copy(errstate):
    src = np.ones((4, 5), np.float32)
    src.view(np.uint32)[2, 3] = 0x7F800001  # signalling NaN
    mx, my = np.full((4, 5), 0.5), np.full((4, 5), 0.5)
    with np.errstate(**errstate):
        got, got_w = outcome(lambda: _tovik.remap_tensor(src, mx, my))
        want, want_w = outcome(lambda: reference(src, mx, my))
    assert got_w == want_w
    if isinstance(want, tuple):
        assert got == want
    else:
        assert_same(got, want)
