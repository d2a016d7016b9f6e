"""Type stubs of the native sampling module ``tessaro.cython._warp``.

Coordinates are in unit space of the source: along an axis of ``n``
samples, ``u = 0`` is the centre of the first sample and ``u = 1`` the
centre of the last, the position being ``(n - 1) * u``.
"""

from typing import Any, TypeVar

import numpy as np
from numpy.typing import NDArray

from tessaro.core.border_config import BorderConfig

_ScalarT = TypeVar("_ScalarT", bound=np.generic)


def warp(
    src: NDArray[_ScalarT],
    map_x: NDArray[Any],
    map_y: NDArray[Any],
    *,
    interpolation: int = 1,
    border_config: BorderConfig | None = None,
    out: NDArray[_ScalarT] | None = None,
) -> NDArray[_ScalarT]:
    """Sample src at the coordinates of two maps of any shape (h, w).

    Args:
        src: (H, W) or (H, W, C), any real dtype.
        map_x: column coordinate of every output pixel, shape (h, w).
        map_y: row coordinate of every output pixel, shape (h, w).
        interpolation: 0 nearest, 1 bilinear, 2 Catmull-Rom cubic,
            3 Lanczos-3, 4 Lanczos-4 (or an ``InterpMethod`` member);
            any other value means bilinear.
        border_config: a ``BorderConfig``; None means ``BorderConfig.clamp()``.
            In ARRAY mode its border image has the output's (h, w[, C]).
        out: optional C-contiguous array of the output's shape and src's
            dtype, written in place and returned.

    Returns:
        (h, w) or (h, w, C) in src's dtype; bit-identical to
        ``remap_tensor`` when the maps have the source's shape.
    """

def _warp_window(
    src_window: NDArray[_ScalarT],
    map_x: NDArray[Any],
    map_y: NDArray[Any],
    full_shape: tuple[int, int],
    origin: tuple[int, int],
    *,
    interpolation: int = 1,
    border_config: BorderConfig | None = None,
    out: NDArray[_ScalarT] | None = None,
) -> NDArray[_ScalarT]:
    """``warp`` of a full source of shape ``full_shape`` (H, W), given only
    its window ``src_window = full[y0:y1, x0:x1]`` at ``origin`` (y0, x0).

    Positions, folds, clamps and feather distances come from the full
    geometry; only reads are offset, so the result equals the corresponding
    part of ``warp(full, ...)`` bit for bit. Raises ValueError (message
    starting "source window") when the window does not hold every sample
    the full call would read for these maps; it never reads outside it.
    """

def _warp_transform(
    src: NDArray[_ScalarT],
    matrix: NDArray[Any],
    shape: tuple[int, ...] | None,
    perspective: bool,
    *,
    interpolation: int = 1,
    border_config: BorderConfig | None = None,
    out: NDArray[_ScalarT] | None = None,
) -> NDArray[_ScalarT]:
    """``warp`` with the positions of a transform computed in the kernel
    instead of maps: the result equals ``warp(src, *maps.affine(matrix,
    shape, src.shape))`` (``maps.perspective`` when ``perspective``) bit
    for bit. ``matrix`` is 2x3 or 3x3 with last row [0, 0, 1] (affine) or
    3x3 (perspective), finite; ``shape`` None means src's (H, W)."""

def _warp_transform_window(
    src_window: NDArray[_ScalarT],
    matrix: NDArray[Any],
    perspective: bool,
    block: tuple[int, int, int, int],
    full_shape: tuple[int, int],
    origin: tuple[int, int],
    *,
    interpolation: int = 1,
    border_config: BorderConfig | None = None,
) -> NDArray[_ScalarT]:
    """Rows [r0, r1) and columns [c0, c1) (``block``) of ``_warp_transform``
    on a full source of shape ``full_shape``, given only its window at
    ``origin``, as ``_warp_window``; an ARRAY border image has the block's
    shape. Raises ValueError (message starting "source window") when the
    window does not hold every sample the block's positions read."""

def _transform_window(
    matrix: NDArray[Any],
    perspective: bool,
    block: tuple[int, int, int, int],
    src_shape: tuple[int, int],
    *,
    interpolation: int = 1,
    border_config: BorderConfig | None = None,
) -> tuple[int, int, int, int]:
    """(y0, y1, x0, x1), half-open: the rows and columns of a source of
    spatial shape ``src_shape`` that the transform's positions over the
    output block (r0, r1, c0, c1) read, tap by tap; (0, 1, 0, 1) when no
    position reads a sample."""

def _source_window(
    map_x: NDArray[Any],
    map_y: NDArray[Any],
    src_shape: tuple[int, int],
    *,
    interpolation: int = 1,
    border_config: BorderConfig | None = None,
) -> tuple[int, int, int, int] | None:
    """The window (y0, y1, x0, x1), half-open, of a source of shape
    ``src_shape`` (H, W) that holds every sample ``warp`` reads for these
    maps (any real dtype, read as float64): the exact taps of every
    position after its fold, as the kernels form them. None when no position
    reads a sample (a coordinate NaN, or folded to NaN: an infinity under
    WRAP, REFLECT or REFLECT_101). Only the configuration's mode is read.
    """
