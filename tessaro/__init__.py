"""Tessaro: exact, parallel resampling and clipping kernels for NumPy arrays.

The public names live here:

- ``warp(src, map_x, map_y, *, interpolation=1, border_config=None,
  out=None)`` samples ``src`` through unit-space coordinate maps of any
  shape (h, w) into an (h, w) or (h, w, C) output of src's dtype;
- ``remap_tensor`` and ``remap_tensor_1d`` remap an image or a signal
  through maps of its own shape;
- ``clip_abs`` raises every magnitude below a threshold up to it;
- ``warp_affine`` and ``warp_perspective`` warp by a matrix without maps,
  bit for bit as ``warp`` through the maps that ``tessaro.maps.affine``
  and ``tessaro.maps.perspective`` build;
- ``BorderConfig``, ``BorderMode`` and ``InterpMethod`` configure them.

Each is imported from its module (``tessaro.cython.*``, the C-level
interface, or ``tessaro.core``) on first use, so that ``import tessaro``
stays cheap: it loads neither NumPy nor the native modules.
``tessaro.dask.warp`` (extra ``tessaro[dask]``) runs the sampling tile by
tile on dask arrays.
"""

import importlib as _importlib
import typing as _typing

__version__ = "0.1.0"

# Public name -> the module that defines it.
_HOMES = {
    "BorderConfig": "tessaro.core",
    "BorderMode": "tessaro.core",
    "InterpMethod": "tessaro.core",
    "clip_abs": "tessaro.cython._brisel",
    "remap_tensor": "tessaro.cython._tovik",
    "remap_tensor_1d": "tessaro.cython._tovik_1d",
    "warp": "tessaro.cython._warp",
    "warp_affine": "tessaro.transform",
    "warp_perspective": "tessaro.transform",
}

__all__ = sorted([*_HOMES, "maps"])

if _typing.TYPE_CHECKING:
    from tessaro.core import BorderConfig as BorderConfig
    from tessaro.core import BorderMode as BorderMode
    from tessaro.core import InterpMethod as InterpMethod
    from tessaro.cython._brisel import clip_abs as clip_abs
    from tessaro.cython._tovik import remap_tensor as remap_tensor
    from tessaro.cython._tovik_1d import remap_tensor_1d as remap_tensor_1d
    from tessaro import maps as maps
    from tessaro.cython._warp import warp as warp
    from tessaro.transform import warp_affine as warp_affine
    from tessaro.transform import warp_perspective as warp_perspective


def __getattr__(name: str) -> _typing.Any:
    if name == "maps":  # the submodule, imported on first use too
        return _importlib.import_module("tessaro.maps")
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module 'tessaro' has no attribute {name!r}")
    value = getattr(_importlib.import_module(home), name)
    # Later lookups find the name here and no longer reach this function.
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *_HOMES, "maps"})
