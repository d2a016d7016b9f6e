"""Tessaro: exact, parallel resampling and clipping kernels for NumPy arrays.

``tessaro.warp(src, map_x, map_y, *, interpolation=1, border_config=None,
out=None)`` samples ``src`` through unit-space coordinate maps of any shape
(h, w) into an (h, w) or (h, w, C) output of src's dtype, optionally into a
given ``out`` buffer; with maps of the source's shape it gives bit for bit
what ``tessaro.cython._tovik.remap_tensor`` gives. It lives in the native
module ``tessaro.cython._warp`` and is imported on first use, so that
``import tessaro`` stays cheap. ``tessaro.dask.warp`` (extra
``tessaro[dask]``) runs the same sampling tile by tile on dask arrays.

``tessaro.warp_affine`` and ``tessaro.warp_perspective`` warp by a matrix
without maps, bit for bit as ``warp`` through the maps that
``tessaro.maps.affine`` and ``tessaro.maps.perspective`` build.
"""

from typing import TYPE_CHECKING, Any

__version__ = "0.1.0"

if TYPE_CHECKING:
    from tessaro import maps as maps
    from tessaro.cython._warp import warp as warp
    from tessaro.transform import warp_affine as warp_affine
    from tessaro.transform import warp_perspective as warp_perspective


def __getattr__(name: str) -> Any:
    if name == "warp":
        from tessaro.cython._warp import warp

        globals()["warp"] = warp
        return warp
    if name in ("warp_affine", "warp_perspective"):
        from tessaro import transform

        globals()[name] = getattr(transform, name)
        return globals()[name]
    if name == "maps":
        import tessaro.maps

        return tessaro.maps
    raise AttributeError(f"module 'tessaro' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted([*globals(), "warp", "warp_affine", "warp_perspective", "maps"])
