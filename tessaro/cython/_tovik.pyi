"""Type stubs of the native 2-D remap module ``tessaro.cython._tovik``.

The package's primary image sampler, used in place of OpenCV's cv2.remap.
Coordinates are in unit space: along an axis of ``n`` samples, ``u = 0`` is
the centre of the first sample and ``u = 1`` the centre of the last, the
pixel position being ``(n - 1) * u``.
"""

from typing import Any, Final, TypeVar

import numpy as np
from numpy.typing import NDArray

from tessaro.core.border_config import BorderConfig

_ScalarT = TypeVar("_ScalarT", bound=np.generic)


def remap_tensor(
    src: NDArray[_ScalarT],
    map_x: NDArray[Any],
    map_y: NDArray[Any],
    *,
    interpolation: int = 1,
    border_config: BorderConfig | None = None,
    num_threads: int = -1,
) -> NDArray[_ScalarT]:
    """Remap an image using unit-space coordinates.

    Args:
        src: Input array, shape (H, W) or (H, W, C), any real dtype; every
            result is computed in float64 and stored in src.dtype (integers
            rounded to the nearest level, ties to even, and saturated).
        map_x: Column coordinate of every output pixel, shape (H, W).
        map_y: Row coordinate of every output pixel, shape (H, W).
        interpolation: 0 nearest, 1 bilinear, 2 Catmull-Rom cubic,
            3 Lanczos-3, 4 Lanczos-4 (or an ``InterpMethod`` member);
            any other value means bilinear.
        border_config: a ``BorderConfig``; None means ``BorderConfig.clamp()``.
        num_threads: accepted for compatibility; the thread count is the
            OpenMP runtime's default (set ``OMP_NUM_THREADS`` to change it).

    Returns:
        The remapped array, same shape and dtype as src.
    """

def _detect_cpu_count() -> int:
    """Detect available CPU cores."""

# C-level export table: "_tovik_impl" -> capsule named by its C signature.
__pyx_capi__: Final[dict[str, Any]]
__test__: dict[str, Any]
