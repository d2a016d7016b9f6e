"""Affine and perspective warps of dask arrays, without maps: the part of
:mod:`tessaro.dask` behind :func:`tessaro.dask.warp_affine` and
:func:`tessaro.dask.warp_perspective`.

The graph holds the matrix and nothing per pixel. Each output block is one
task, which computes its own positions in the kernel and reads only the
source window they sample; that window comes from the transform itself
(``_transform_window``: the taps of every position of the block, exactly
as the sampling forms them), so a tile costs a tile however large the
output. From a zarr array each task reads its window straight from the
store; from a dask array (or NumPy) the windows are found when the graph is
built, so that each task depends only on the source chunks its window
touches (an affine block's window costs a few positions per row, a
perspective block's one pass over its positions).
"""

from __future__ import annotations

import functools
from typing import Any

import dask.array as da
import numpy as np
from dask.base import tokenize
from dask.highlevelgraph import HighLevelGraph

from tessaro.core.border_config import BorderConfig
from tessaro.maps import _matrix

__all__ = ["warp_affine", "warp_perspective"]


def _transform_tile(
    source: Any,
    border_tile: np.ndarray | None,
    *,
    matrix: np.ndarray,
    perspective: bool,
    block: tuple[int, int, int, int],
    full_shape: tuple[int, int],
    origin: tuple[int, int] | None,
    interpolation: int,
    config: Any,
) -> np.ndarray:
    from tessaro.cython._warp import _transform_window, _warp_transform_window
    from tessaro.dask import _read_window, _tile_config

    if border_tile is not None:
        config = _tile_config(dict(config), border_tile)
    if origin is None:  # a zarr array: the block's own positions give its window
        y0, y1, x0, x1 = _transform_window(
            matrix, perspective, block, full_shape, interpolation=interpolation,
            border_config=config,
        )
        window = _read_window(source, None, y0, y1, x0, x1)
        origin = (y0, x0)
    else:  # the pieces of the dask chunks that the window touches
        window = np.block(source)
    return _warp_transform_window(
        window, matrix, perspective, block, full_shape, origin,
        interpolation=interpolation, border_config=config,
    )


def _warp_transform(
    src: Any,
    matrix: Any,
    shape: tuple[int, ...] | None,
    perspective: bool,
    chunks: Any,
    interpolation: int,
    border_config: Any,
) -> da.Array:
    from tessaro.cython._warp import _transform_window
    from tessaro.dask import _as_dask, _border_tiles, _numeric, _zarr_array

    t = _matrix(matrix, perspective)
    src = _numeric(src, "src")
    if len(src.shape) not in (2, 3):
        raise ValueError(f"src must be (H, W) or (H, W, C), got shape {tuple(src.shape)}")
    H, W = (int(n) for n in src.shape[:2])
    if H == 0 or W == 0:
        raise ValueError(f"src must have non-zero spatial dimensions, got shape {src.shape}")
    channels = tuple(src.shape[2:])
    h, w = (H, W) if shape is None else (int(shape[0]), int(shape[1]))
    if h < 0 or w < 0:
        raise ValueError("shape must not be negative")
    dtype = np.dtype(src.dtype)
    row_chunks, col_chunks = da.core.normalize_chunks(chunks, (h, w), dtype=dtype)

    interpolation = int(interpolation)
    bc = BorderConfig.clamp() if border_config is None else border_config
    border, config = _border_tiles(bc, (h, w), channels, (row_chunks, col_chunks))

    store = None if isinstance(src, (da.Array, np.ndarray)) else _zarr_array(src)
    if store is None:
        src = _as_dask(src)
    source_name = src.name if store is None else "tessaro-source-" + tokenize(
        str(getattr(store, "store", "")), getattr(store, "path", ""), store.shape, str(store.dtype)
    )
    name = "tessaro-warp-transform-" + tokenize(
        source_name, t, perspective, (row_chunks, col_chunks), interpolation, config,
        None if border is None else border.name,
    )
    layer: dict[Any, Any] = {}
    if store is not None:
        layer[(source_name,)] = store
    sliced = []
    rows = np.cumsum((0,) + row_chunks)
    cols = np.cumsum((0,) + col_chunks)
    for i in range(len(row_chunks)):
        for j in range(len(col_chunks)):
            block = (int(rows[i]), int(rows[i + 1]), int(cols[j]), int(cols[j + 1]))
            origin = None
            if store is not None:
                source: Any = (source_name,)
            else:
                y0, y1, x0, x1 = _transform_window(
                    t, perspective, block, (H, W), interpolation=interpolation,
                    border_config=bc,
                )
                origin = (y0, x0)
                window = src[y0:y1, x0:x1]
                sliced.append(window)
                source = window.__dask_keys__()
            run = functools.partial(
                _transform_tile,
                matrix=t,
                perspective=perspective,
                block=block,
                full_shape=(H, W),
                origin=origin,
                interpolation=interpolation,
                config=config,
            )
            border_key = None if border is None else (border.name, i, j) + (0,) * (border.ndim - 2)
            layer[(name, i, j) + (0,) * len(channels)] = (run, source, border_key)
    deps = [*sliced] + ([] if border is None else [border])
    graph = HighLevelGraph.from_collections(name, layer, dependencies=deps)
    out_chunks = (row_chunks, col_chunks) + tuple((c,) for c in channels)
    return da.Array(graph, name, chunks=out_chunks, dtype=dtype,
                    meta=np.empty((0,) * len(out_chunks), dtype))


def warp_affine(
    src: Any,
    matrix: Any,
    shape: tuple[int, ...] | None = None,
    *,
    chunks: Any = 1024,
    interpolation: int = 1,
    border_config: Any = None,
) -> da.Array:
    """:func:`tessaro.warp_affine` of a dask array (or a NumPy or zarr
    array, or a memory map), as a lazy dask array.

    Args:
        src: (H, W) or (H, W, C), any real dtype; its chunking decides which
            pieces a window loads. A zarr array is read window by window,
            straight from its store, by the tasks.
        matrix: 2x3, or 3x3 with last row [0, 0, 1], finite (see
            :mod:`tessaro.maps` for the formula and the convention).
        shape: the output's (h, w); None: src's.
        chunks: the output's chunks along (h, w), anything
            ``dask.array.normalize_chunks`` takes; the channel axis is whole.
        interpolation, border_config: as :func:`tessaro.warp`; an ARRAY
            border image has the output's shape, and each task receives its
            tile of it.

    Returns:
        A lazy dask array of src's dtype, bit-identical to the in-memory
        call. The graph holds the matrix and one task per output block; no
        maps. Each task computes its positions and finds its source window
        from the transform.

    Raises:
        ValueError, TypeError: a bad matrix, src, shape or border image,
            before any task runs.
    """
    return _warp_transform(src, matrix, shape, False, chunks, interpolation, border_config)


def warp_perspective(
    src: Any,
    matrix: Any,
    shape: tuple[int, ...] | None = None,
    *,
    chunks: Any = 1024,
    interpolation: int = 1,
    border_config: Any = None,
) -> da.Array:
    """:func:`tessaro.warp_perspective` of a dask array, as
    :func:`warp_affine` with a finite 3x3 matrix; positions beyond the
    horizon are NaN (0 in integer outputs)."""
    return _warp_transform(src, matrix, shape, True, chunks, interpolation, border_config)
