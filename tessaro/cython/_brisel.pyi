"""Type stubs of the native clipping module ``tessaro.cython._brisel``.

Sign-preserving absolute-value clip kernel for float32/float64 arrays.
"""

from typing import Any, Final, SupportsFloat, TypeVar

import numpy as np
from numpy.typing import NDArray

from tessaro.cython._zero_sign import ZERO_SIGN as ZERO_SIGN

_FloatT = TypeVar("_FloatT", np.float32, np.float64)


def clip_abs(
    arr: NDArray[_FloatT],
    threshold: SupportsFloat,
    zero_sign: ZERO_SIGN = ...,
    *,
    out: NDArray[_FloatT] | None = None,
    in_place: bool = False,
) -> NDArray[_FloatT]:
    """Raise every magnitude below ``threshold`` up to it, keeping the sign.

    Elements with ``|x| >= threshold`` and NaNs pass unchanged; for a
    threshold above 0, exact zeros (either sign) become ``+threshold`` or
    ``-threshold`` by ``zero_sign``. With threshold 0 every element,
    zeros included (sign kept), passes unchanged.
    ``threshold`` must be >= 0 (a NaN threshold is refused as well).
    Returns a new array, or ``out`` when given, or ``arr`` itself when
    ``in_place`` is true.  Arrays of more than 1,000,000 elements run in
    parallel.
    """

# C-level export table: "_brisel_f32_kernel", "_brisel_f32_parallel",
# "_brisel_f64_kernel", "_brisel_f64_parallel" -> capsules named by their
# C signatures.
__pyx_capi__: Final[dict[str, Any]]
__test__: dict[str, Any]
