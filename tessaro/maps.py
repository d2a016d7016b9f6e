"""Unit-space coordinate maps of geometric transforms, for :func:`tessaro.warp`.

A matrix ``M`` takes output pixel coordinates to source pixel coordinates:
``[x_src, y_src] = M @ [x, y, 1]``, with ``x`` the output column and ``y``
the output row, pixel centres at the integers. That is the convention of
``cv2.warpAffine`` / ``cv2.warpPerspective`` with ``WARP_INVERSE_MAP``, and of
``scipy.ndimage.affine_transform`` with the axes swapped (SciPy orders them
(row, column)). The maps hold the unit coordinates ``x_src / (W - 1)`` and
``y_src / (H - 1)`` of a source of ``H x W`` samples; along an axis of one
sample the divisor is 1.

The exact floating-point formula, in float64, in this order, with no fused
multiply-add (NumPy fuses nothing)::

    xs = (M[0, 0] * x + M[0, 1] * y) + M[0, 2]
    ys = (M[1, 0] * x + M[1, 1] * y) + M[1, 2]
    # perspective only:
    d = (M[2, 0] * x + M[2, 1] * y) + M[2, 2]
    xs, ys = xs / d, ys / d        # NaN both where not d > 0
    map_x, map_y = xs / max(W - 1, 1), ys / max(H - 1, 1)

:func:`tessaro.warp_affine` and :func:`tessaro.warp_perspective` compute the
same doubles inside the kernel, without maps, so their results equal
``tessaro.warp(src, *maps.affine(M, shape, src.shape))`` bit for bit.

The horizon: a perspective position whose denominator ``d`` is 0, negative
(or NaN) lies beyond the horizon and is not in the picture; both of its
coordinates are NaN, which every warp turns into NaN in float outputs and 0
in integer ones.
"""

from __future__ import annotations

import operator
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = ["affine", "perspective"]


def _matrix(matrix: ArrayLike, perspective: bool) -> NDArray[np.float64]:
    """The matrix as 3x3 float64, checked as the warps check it: 3x3 for a
    perspective transform; 2x3, or 3x3 with the last row exactly
    [0, 0, 1], for an affine one; finite entries only."""
    m = np.asarray(matrix)
    if m.dtype.kind not in "biuf":
        raise TypeError(f"matrix has dtype {m.dtype}; it must hold real numbers")
    rows = m.shape[0] if m.ndim == 2 and m.shape[1] == 3 else 0
    if not (rows == 3 or (rows == 2 and not perspective)):
        kind, want = ("a perspective", "3x3") if perspective else ("an affine", "2x3 or 3x3")
        raise ValueError(f"{kind} matrix must be {want}, got shape {m.shape}")
    m = m.astype(np.float64)
    if not np.isfinite(m).all():
        raise ValueError("the matrix must hold finite numbers only")
    if rows == 2:
        return np.vstack([m, [0.0, 0.0, 1.0]])
    if not perspective and not (m[2, 0] == 0.0 and m[2, 1] == 0.0 and m[2, 2] == 1.0):
        raise ValueError("the last row of a 3x3 affine matrix must be [0, 0, 1]")
    return m


def _extent(shape: Any, name: str) -> tuple[int, int]:
    """The leading (h, w) of a shape."""
    if len(shape) < 2:
        raise ValueError(f"{name} must hold at least two entries, (h, w)")
    h, w = operator.index(shape[0]), operator.index(shape[1])
    if h < 0 or w < 0:
        raise ValueError(f"{name} must not be negative")
    return h, w


def _unit_maps(
    t: NDArray[np.float64], perspective: bool, shape: Any, src_shape: Any, origin: Any
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    h, w = _extent(shape, "shape")
    H, W = _extent(src_shape, "src_shape")
    r0, c0 = _extent(origin, "origin")
    x = np.arange(c0, c0 + w, dtype=np.int64).astype(np.float64)[None, :]
    y = np.arange(r0, r0 + h, dtype=np.int64).astype(np.float64)[:, None]
    # Huge entries may overflow, and the horizon divides by 0: the kernel
    # raises nothing there either.
    with np.errstate(all="ignore"):
        xs = (t[0, 0] * x + t[0, 1] * y) + t[0, 2]
        ys = (t[1, 0] * x + t[1, 1] * y) + t[1, 2]
        if perspective:
            d = (t[2, 0] * x + t[2, 1] * y) + t[2, 2]
            np.divide(xs, d, out=xs)
            np.divide(ys, d, out=ys)
            beyond = ~(d > 0.0)
            xs[beyond] = np.nan
            ys[beyond] = np.nan
        np.divide(xs, float(max(W - 1, 1)), out=xs)
        np.divide(ys, float(max(H - 1, 1)), out=ys)
    return xs, ys


def affine(
    matrix: ArrayLike,
    shape: tuple[int, ...],
    src_shape: tuple[int, ...],
    *,
    origin: tuple[int, int] = (0, 0),
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """The unit maps ``(map_x, map_y)`` of an affine transform.

    Args:
        matrix: 2x3, or 3x3 whose last row is exactly [0, 0, 1]; it takes
            output pixel (x = column, y = row) to source pixel
            ``(M[0, 0] * x + M[0, 1] * y) + M[0, 2]`` (column) and
            ``(M[1, 0] * x + M[1, 1] * y) + M[1, 2]`` (row), in float64 in
            that order, as ``cv2.warpAffine`` with ``WARP_INVERSE_MAP`` (and
            ``scipy.ndimage.affine_transform`` with the axes swapped).
        shape: the output's (h, w) (further entries are ignored).
        src_shape: the source's (H, W) (further entries are ignored).
        origin: (r0, c0): the maps of output pixels (r0 + i, c0 + j), the
            block at that place of a larger output (for tiles).

    Returns:
        float64 (h, w) maps: the source column over ``max(W - 1, 1)`` and
        the source row over ``max(H - 1, 1)`` (an axis of one sample
        divides by 1). ``tessaro.warp_affine`` gives what ``tessaro.warp``
        gives with them, bit for bit.

    Raises:
        ValueError: a matrix of another shape, a 3x3 one with another last
            row, or a non-finite entry; a shape with fewer than two entries
            or a negative one.
        TypeError: a matrix of non-real numbers.
    """
    return _unit_maps(_matrix(matrix, False), False, shape, src_shape, origin)


def perspective(
    matrix: ArrayLike,
    shape: tuple[int, ...],
    src_shape: tuple[int, ...],
    *,
    origin: tuple[int, int] = (0, 0),
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """The unit maps ``(map_x, map_y)`` of a perspective transform (a
    homography).

    Args:
        matrix: 3x3; output pixel (x = column, y = row) goes to source pixel
            ``(xs / d, ys / d)`` with ``xs = (M[0, 0] * x + M[0, 1] * y) +
            M[0, 2]``, ``ys`` likewise from row 1 and ``d`` from row 2, in
            float64 in that order, as ``cv2.warpPerspective`` with
            ``WARP_INVERSE_MAP``.
        shape: the output's (h, w) (further entries are ignored).
        src_shape: the source's (H, W) (further entries are ignored).
        origin: (r0, c0), as in :func:`affine`.

    Returns:
        float64 (h, w) maps, scaled as in :func:`affine`. Where ``d`` is not
        positive (0, negative: beyond the horizon) both maps hold NaN, so
        every warp gives NaN there in float outputs and 0 in integer ones.
        ``tessaro.warp_perspective`` gives what ``tessaro.warp`` gives with
        them, bit for bit.

    Raises:
        ValueError: a matrix that is not 3x3 or has a non-finite entry; a
            bad shape.
        TypeError: a matrix of non-real numbers.
    """
    return _unit_maps(_matrix(matrix, True), True, shape, src_shape, origin)
