"""Type stubs of the native 1-D remap module ``tessaro.cython._tovik_1d``.

Remaps 1-D signals, optionally with channels, through one unit-space
coordinate map: ``u = 0`` is the first sample and ``u = 1`` the last.
"""

from typing import Any, TypeVar

import numpy as np
from numpy.typing import NDArray

from tessaro.core.border_config import BorderConfig

_ScalarT = TypeVar("_ScalarT", bound=np.generic)


def remap_tensor_1d(
    src: NDArray[_ScalarT],
    map_x: NDArray[Any],
    *,
    interpolation: int = 1,
    border_config: BorderConfig | None = None,
    num_threads: int = -1,
) -> NDArray[_ScalarT]:
    """Remap a 1-D signal using unit-space coordinates.

    Args:
        src: Input array, shape (N,) or (N, C), any real dtype.
        map_x: Coordinate of every output sample, shape (N,).
        interpolation: 0 nearest, 1 linear, 2 Catmull-Rom cubic,
            3 Lanczos-3, 4 Lanczos-4 (or an ``InterpMethod`` member).
        border_config: a ``BorderConfig``; None means ``BorderConfig.clamp()``.
            Only the x multipliers are used, and no distance measure.
        num_threads: accepted for compatibility; the thread count is the
            OpenMP runtime's default.

    Returns:
        The remapped array, same shape and dtype as src.
    """

def _detect_cpu_count() -> int: ...

__test__: dict[str, Any]
