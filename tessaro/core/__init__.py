"""Pure-Python companions of the native remap kernels: the numeric codes
they act on and the border configuration they read."""

from .border_config import BorderConfig, compute_feather_d
from .enums import BorderMode, DistanceMode, FeatheringMode, InterpMethod

__all__ = [
    "BorderConfig",
    "BorderMode",
    "DistanceMode",
    "FeatheringMode",
    "InterpMethod",
    "compute_feather_d",
]
