"""Affine and perspective warps without coordinate maps.

:func:`warp_affine` and :func:`warp_perspective` sample a source at the
positions of a geometric transform, computed inside the kernel for each
output pixel: no maps are built, so a call needs its output and little
else. The positions are those of :mod:`tessaro.maps` (its docstring holds
the formula, the convention and the horizon rule), and each result equals
``tessaro.warp(src, *tessaro.maps.affine(matrix, shape, src.shape), ...)``
(``maps.perspective`` respectively) bit for bit, for every dtype, kernel,
border mode and feathering setting, at any thread count.
"""

from __future__ import annotations

from typing import TypeVar

import numpy as np
from numpy.typing import ArrayLike, NDArray

from tessaro.core.border_config import BorderConfig

__all__ = ["warp_affine", "warp_perspective"]

_ScalarT = TypeVar("_ScalarT", bound=np.generic)


def warp_affine(
    src: NDArray[_ScalarT],
    matrix: ArrayLike,
    shape: tuple[int, ...] | None = None,
    *,
    interpolation: int = 1,
    border_config: BorderConfig | None = None,
    out: NDArray[_ScalarT] | None = None,
) -> NDArray[_ScalarT]:
    """Warp src by an affine transform, without maps.

    Args:
        src: (H, W) or (H, W, C); bool, integer or floating.
        matrix: 2x3, or 3x3 with last row [0, 0, 1], finite: it takes
            output pixel (x = column, y = row) to source pixel
            ``M @ [x, y, 1]``, as ``cv2.warpAffine`` with
            ``WARP_INVERSE_MAP``.
        shape: the output's (h, w) (further entries ignored); None: src's.
        interpolation: 0 nearest, 1 bilinear, 2 Catmull-Rom cubic,
            3 Lanczos-3, 4 Lanczos-4 (or an ``InterpMethod`` member).
        border_config: a ``BorderConfig`` (None: clamp). An ARRAY border
            image has the output's shape.
        out: optional C-contiguous array of the output's shape and src's
            dtype, written in place and returned.

    Returns:
        (h, w) or (h, w, C) in src's dtype: ``tessaro.warp(src,
        *tessaro.maps.affine(matrix, shape, src.shape), ...)`` bit for bit.

    Raises:
        ValueError: a matrix of the wrong shape or with a non-finite entry,
            and whatever ``tessaro.warp`` refuses; nothing is written then.
    """
    from tessaro.cython._warp import _warp_transform

    return _warp_transform(
        src, np.asarray(matrix), shape, False,
        interpolation=interpolation, border_config=border_config, out=out,
    )


def warp_perspective(
    src: NDArray[_ScalarT],
    matrix: ArrayLike,
    shape: tuple[int, ...] | None = None,
    *,
    interpolation: int = 1,
    border_config: BorderConfig | None = None,
    out: NDArray[_ScalarT] | None = None,
) -> NDArray[_ScalarT]:
    """Warp src by a perspective transform (a homography), without maps.

    As :func:`warp_affine`, with a finite 3x3 matrix whose product
    ``M @ [x, y, 1]`` is divided by its third component ``d``, as
    ``cv2.warpPerspective`` with ``WARP_INVERSE_MAP``. An output pixel whose
    ``d`` is 0 or negative lies beyond the horizon: its position is NaN, so
    it is NaN in float outputs and 0 in integer ones.

    Returns:
        ``tessaro.warp(src, *tessaro.maps.perspective(matrix, shape,
        src.shape), ...)`` bit for bit.
    """
    from tessaro.cython._warp import _warp_transform

    return _warp_transform(
        src, np.asarray(matrix), shape, True,
        interpolation=interpolation, border_config=border_config, out=out,
    )
