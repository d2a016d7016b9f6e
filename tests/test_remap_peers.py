"""remap_tensor against the samplers of SciPy and OpenCV.

The peers work in pixel coordinates; remap_tensor in unit space, where a
pixel position p along an axis of n samples is the unit coordinate
p / (n - 1).  CLAMP repeats the edge sample, which is what both peers do
with their edge-replicating border modes.
"""

import cv2
import numpy as np
import pytest
from scipy import ndimage

from tessaro.cython._tovik import remap_tensor


def smooth_image(h, w, c=None, seed=0):
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:h, 0:w].astype(np.float64)
    planes = [
        np.sin(xx / (4.0 + k)) + np.cos(yy / (6.0 + k)) + 0.3 * rng.standard_normal((h, w))
        for k in range(1 if c is None else c)
    ]
    return planes[0] if c is None else np.stack(planes, axis=-1)


def pixel_maps(h, w, margin, seed):
    rng = np.random.default_rng(seed)
    px = rng.uniform(-margin, w - 1 + margin, (h, w))
    py = rng.uniform(-margin, h - 1 + margin, (h, w))
    return px, py


def scipy_remap(img, px, py, order):
    def one(plane):
        return ndimage.map_coordinates(plane, [py, px], order=order, mode="nearest")

    if img.ndim == 2:
        return one(img)
    return np.stack([one(img[..., k]) for k in range(img.shape[2])], axis=-1)


@pytest.mark.parametrize("shape", [(37, 53), (20, 31, 3), (2, 9), (9, 2, 2), (64, 64)])
@pytest.mark.parametrize("margin", [0.0, 3.0])
def test_bilinear_matches_scipy_order1(shape, margin):
    h, w = shape[:2]
    img = smooth_image(*shape, seed=h + w)
    px, py = pixel_maps(h, w, margin, seed=w)
    got = remap_tensor(img, px / (w - 1), py / (h - 1), interpolation=1)
    ref = scipy_remap(img, px, py, order=1)
    assert got.shape == ref.shape
    np.testing.assert_allclose(got, ref, rtol=0, atol=1e-12)


@pytest.mark.parametrize("shape", [(37, 53), (20, 31, 3), (3, 7)])
@pytest.mark.parametrize("margin", [0.0, 2.0])
def test_nearest_matches_scipy_order0_away_from_ties(shape, margin):
    h, w = shape[:2]
    img = smooth_image(*shape, seed=3)
    px, py = pixel_maps(h, w, margin, seed=h)
    # keep every fractional part well away from the rounding tie at .5
    for p in (px, py):
        frac = p - np.floor(p)
        near_tie = np.abs(frac - 0.5) < 1e-3
        p[near_tie] += 0.01
    got = remap_tensor(img, px / (w - 1), py / (h - 1), interpolation=0)
    ref = scipy_remap(img, px, py, order=0)
    np.testing.assert_array_equal(got, ref)


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("shape", [(37, 53), (25, 40, 3)])
@pytest.mark.parametrize("margin", [0.0, 2.5])
def test_bilinear_matches_cv2_remap_within_its_quantisation(dtype, shape, margin):
    h, w = shape[:2]
    img = smooth_image(*shape, seed=11).astype(dtype)
    px, py = pixel_maps(h, w, margin, seed=12)
    px32, py32 = px.astype(np.float32), py.astype(np.float32)
    ref = cv2.remap(img, px32, py32, cv2.INTER_LINEAR, borderMode=cv2.BORDER_REPLICATE)
    ref = ref.reshape(img.shape)
    got = remap_tensor(img, px32.astype(np.float64) / (w - 1), py32.astype(np.float64) / (h - 1))
    assert got.dtype == img.dtype and got.shape == img.shape
    # OpenCV rounds positions to 1/32 pixel: a position error of at most
    # 1/64 per axis moves a bilinear value by at most that times the
    # steepest neighbour difference along the axis
    src = img.astype(np.float64).reshape(h, w, -1)
    gx = np.abs(np.diff(src, axis=1)).max()
    gy = np.abs(np.diff(src, axis=0)).max()
    bound = (gx + gy) / 64 + 1e-6
    err = np.abs(got.astype(np.float64) - ref.astype(np.float64))
    assert err.max() <= bound
    # and the comparison is not vacuous: the two agree far better than the
    # image's own variation
    assert err.max() < 0.05 * np.ptp(src)
