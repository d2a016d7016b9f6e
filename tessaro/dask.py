"""Tiled and batched warps of dask arrays, bit-identical to the in-memory call.

:func:`warp` cuts the output into the chunks of the coordinate maps and
gives each chunk its own task. A task reads only the source window that its
own positions sample: a pass over the map chunks (before the graph is
built, or inside each task for a zarr source, see below) finds the rows and
columns that the taps of each chunk's positions read, with the native code
that forms those taps in the kernels, so a window and its taps cannot
disagree. The task then samples that window with every position, fold,
clamp and feather distance computed from the full source's geometry, so
each tile equals the corresponding part of :func:`tessaro.warp` on the
whole source, bit for bit.

Windows follow the folded coordinates. Under CLAMP, CONSTANT and ARRAY a
chunk whose coordinates leave the source reads a strip along the edge. Under
WRAP a chunk whose coordinates cross an integer touches both ends of that
axis, and its window is then the whole axis. Under REFLECT and REFLECT_101 a
chunk crossing one mirror line stays at that end; one whose coordinates
include both an even and an odd integer (both mirror lines) reads the whole
axis. A position whose coordinate is NaN, or folds to NaN, reads nothing and
widens no window.

A zarr array given as it is needs no pass of its own: each task finds its
window from the map chunks it holds and reads that window straight from
the store, so no source chunk is loaded whole or kept between tasks, and
the maps are read once. Unless frames share the maps, dask fuses the
blockwise tasks that make the map chunks (a ``map_blocks`` formula, a
``from_zarr`` read) into the tile tasks and the tile tasks into their
writes, so a worker holds no such map chunk or tile between tasks. From a
dask array (or NumPy, memory maps) the windows are found first, when
:func:`warp` is called, so that each task depends only on the pieces of the
source chunks its window touches; that pass reads the maps once more, so
persist maps that are expensive to compute.

It runs wherever dask runs: with no cluster on dask's local threaded
scheduler, and on a ``dask.distributed`` cluster as soon as a ``Client`` is
active (dask chooses; nothing here schedules). The result is lazy.

Progress of a long run::

    from dask.diagnostics import ProgressBar      # local scheduler
    with ProgressBar():
        out.to_zarr("warped.zarr")

    from distributed import progress              # on a cluster
    out = out.persist()
    progress(out)

Install with ``pip install 'tessaro[dask]'`` (dask[array], distributed,
zarr).
"""

from __future__ import annotations

import functools
import types
from typing import Any

import numpy as np

try:
    import dask.array as da
    from dask.base import tokenize
    from dask.highlevelgraph import HighLevelGraph
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError(
        "tessaro.dask needs dask: install the optional extra with "
        "pip install 'tessaro[dask]' (dask[array], distributed, zarr)"
    ) from exc

from tessaro.core.border_config import _FIELDS, BorderConfig
from tessaro.core.enums import BorderMode

__all__ = ["warp", "source_windows", "to_zarr", "is_complete", "COMPLETE_ATTR"]

# Attribute that to_zarr sets on the target once every chunk is written.
COMPLETE_ATTR = "tessaro_complete"

# The settings that an ARRAY-mode task rebuilds its configuration from,
# around its own tile of the border image.
_TILE_FIELDS = tuple(name for name in _FIELDS if name != "array")


# --------------------------------------------------------------------------
# Windows


def _window(
    map_x: np.ndarray, map_y: np.ndarray, shape: tuple[int, int], interpolation: int, folds: Any
) -> tuple[int, int, int, int]:
    """(y0, y1, x0, x1) of the source window that one chunk's positions
    read, tap by tap, as the kernels form them."""
    from tessaro.cython._warp import _source_window

    map_x, map_y = map_x.reshape(map_x.shape[-2:]), map_y.reshape(map_y.shape[-2:])
    window = _source_window(map_x, map_y, shape, interpolation=interpolation, border_config=folds)
    # No position reads a sample: one sample is enough to call the kernel.
    return (0, 1, 0, 1) if window is None else window


def _block_window(map_x: np.ndarray, map_y: np.ndarray, **how: Any) -> np.ndarray:
    return np.array(_window(map_x, map_y, **how), np.int64).reshape((1,) * map_x.ndim + (4,))


def _source_windows(
    map_x: da.Array, map_y: da.Array, shape: tuple[int, int], interpolation: int, folds: Any
) -> np.ndarray:
    nd = map_x.ndim
    return da.map_blocks(
        _block_window,
        map_x,
        map_y,
        shape=shape,
        interpolation=interpolation,
        folds=folds,
        chunks=tuple((1,) * len(c) for c in map_x.chunks) + ((4,),),
        new_axis=nd,
        dtype=np.int64,
        meta=np.empty((0,) * (nd + 1), np.int64),
    ).compute()


def _folds(bc: Any) -> types.SimpleNamespace:
    """What a window depends on of a border configuration: its mode (the
    border image of ARRAY mode stays out of the window tasks)."""
    return types.SimpleNamespace(mode=bc.mode)


def source_windows(
    src_shape: tuple[int, ...],
    map_x: Any,
    map_y: Any,
    *,
    interpolation: int = 1,
    border_config: Any = None,
) -> np.ndarray:
    """The source window of every chunk of the maps, as :func:`warp` finds
    them: an int64 array of shape (*map blocks, 4) holding (y0, y1, x0, x1),
    half-open, in rows and columns of a source whose spatial shape is
    ``src_shape[:2]`` (for a stack, pass the frame shape). Computes the
    first pass over the maps."""
    map_x, map_y = _as_dask(map_x), _as_dask(map_y)
    if map_x.chunks != map_y.chunks:
        raise ValueError(
            f"map_x and map_y must have the same chunks, got {map_x.chunks} and {map_y.chunks}"
        )
    bc = BorderConfig.clamp() if border_config is None else border_config
    H, W = src_shape[:2]
    return _source_windows(map_x, map_y, (H, W), int(interpolation), _folds(bc))


# --------------------------------------------------------------------------
# Tasks


def _border_tiles(
    bc: Any, out_hw: tuple[int, int], channels: tuple[int, ...], tile_chunks: tuple[Any, ...]
) -> tuple[da.Array | None, Any]:
    """The ARRAY border image as a dask array tiled like the output, and the
    settings the tasks rebuild their configuration from (so that the whole
    image is not sent with every task); (None, bc) in the other modes."""
    if int(bc.mode) != BorderMode.ARRAY:
        return None, bc
    h, w = out_hw
    image = getattr(bc, "array", None)
    if image is None:
        raise ValueError("ARRAY mode requires a border image")
    image = _numeric(image, "border image")
    if image.ndim not in (2, 3) or tuple(image.shape[:2]) != (h, w) or (
        image.ndim == 3 and tuple(image.shape[2:]) != (channels or (1,))
    ):
        want = (h, w, *channels) if channels else (h, w)
        raise ValueError(
            f"the ARRAY border image must match the output: shape (h, w) or {want}, "
            f"got {tuple(image.shape)}"
        )
    chunks = tuple(tile_chunks) + ((image.shape[2],) if image.ndim == 3 else ())
    return da.from_array(np.asarray(image), chunks=chunks), _tile_template(bc)


def _tile_template(bc: Any) -> dict[str, Any]:
    """The settings of an ARRAY-mode configuration without its border image,
    from which each task rebuilds the configuration around its tile of the
    image (see _tile_config)."""
    config = {name: getattr(bc, name, None) for name in _TILE_FIELDS}
    config["_is_border_config"] = isinstance(bc, BorderConfig)
    if not config["_is_border_config"]:
        config = {k: v for k, v in config.items() if v is not None or k == "_is_border_config"}
    return config


def _tile_config(template: dict[str, Any], border_tile: np.ndarray) -> Any:
    """The border configuration of one ARRAY-mode tile: the caller's
    settings with the border image cut to the tile."""
    if template.pop("_is_border_config"):
        fields = dict(template)
        mode = fields.pop("mode")
        constant = fields.pop("constant_value")
        return BorderConfig(mode, border_tile, constant, **fields)
    return types.SimpleNamespace(array=border_tile, **template)


def _read_window(store: Any, frame: int | None, y0: int, y1: int, x0: int, x1: int) -> np.ndarray:
    """store[y0:y1, x0:x1] (of one frame), read one band of the store's
    chunk rows at a time, so that only one band of decoded chunks is held
    beside the window."""
    lead = () if frame is None else (frame,)
    window = np.empty((y1 - y0, x1 - x0) + tuple(store.shape[len(lead) + 2 :]), store.dtype)
    rows = int(store.chunks[len(lead)])
    start = y0
    while start < y1:
        stop = min(y1, (start // rows + 1) * rows)
        window[start - y0 : stop - y0] = store[(*lead, slice(start, stop), slice(x0, x1))]
        start = stop
    return window


def _warp_tile(
    source: Any,
    map_x: np.ndarray,
    map_y: np.ndarray,
    border_tile: np.ndarray | None,
    *,
    full_shape: tuple[int, int],
    origin: tuple[int, int] | None,
    interpolation: int,
    folds: Any,
    config: Any,
    frame: int | None,
) -> np.ndarray:
    from tessaro.cython._warp import _warp_window

    if frame is not None:  # one frame of a stack: drop the maps' batch axis
        map_x, map_y = map_x.reshape(map_x.shape[-2:]), map_y.reshape(map_y.shape[-2:])
    if origin is None:
        # A zarr array: this chunk's own positions give its window, read
        # straight from the store.
        y0, y1, x0, x1 = _window(map_x, map_y, full_shape, interpolation, folds)
        window = _read_window(source, frame, y0, y1, x0, x1)
        origin = (y0, x0)
    else:  # the pieces of the dask chunks that the window touches
        window = np.block(source)
        if frame is not None:
            window = window[0]
    if border_tile is not None:
        config = _tile_config(dict(config), border_tile)
    out = _warp_window(
        window, map_x, map_y, full_shape, origin, interpolation=interpolation, border_config=config
    )
    return out if frame is None else out[None]


# --------------------------------------------------------------------------
# The entry


def _numeric(x: Any, name: str) -> Any:
    if not hasattr(x, "dtype") or not hasattr(x, "shape"):
        x = np.asarray(x)
    dtype = np.dtype(x.dtype)
    if dtype.kind not in "biuf":
        raise TypeError(f"{name} must hold real numbers, got dtype {dtype}")
    return x


def _zarr_array(x: Any) -> Any:
    """x itself when it is a zarr array, else None."""
    if type(x).__module__.split(".")[0] != "zarr":
        return None
    return x if hasattr(x, "store") and hasattr(x, "shape") else None


def _as_dask(x: Any, chunks: Any = None) -> da.Array:
    if isinstance(x, da.Array):
        return x
    if chunks is not None:
        return da.from_array(x, chunks=chunks)
    return da.from_array(x) if hasattr(x, "chunks") else da.asarray(x)


def warp(
    src: Any,
    map_x: Any,
    map_y: Any,
    *,
    interpolation: int = 1,
    border_config: Any = None,
) -> da.Array:
    """Warp a dask array (or anything dask can wrap) through coordinate maps.

    The same sampling as :func:`tessaro.warp`, cut into one task per chunk of
    the maps (and per frame of a stack), each reading only the source window
    its positions need. The result is bit-identical to the in-memory call.

    Args:
        src: (H, W) or (H, W, C) image, or a stack of frames (N, H, W, C),
            or (N, H, W) with per-frame maps; a dask array, NumPy array,
            zarr array or memory map, of any real dtype. Its chunking
            decides which pieces a window loads.
        map_x, map_y: unit-space column and row coordinates of every output
            pixel: (h, w), shared by every frame, or (N, h, w), one per
            frame. Same shape and, when both are dask arrays, the same
            chunks; a NumPy map next to a dask map takes its chunks.
        interpolation: 0 nearest, 1 bilinear, 2 Catmull-Rom cubic,
            3 Lanczos-3, 4 Lanczos-4 (or an ``InterpMethod`` member);
            others mean bilinear.
        border_config: a ``BorderConfig`` (None: CLAMP). In ARRAY mode its
            border image has the output's (h, w) or (h, w, C), shared by
            every frame; each task receives only its own tile of it.

    Returns:
        A lazy dask array of src's dtype: (h, w[, C]), or (N, h, w[, C]) for
        a stack, chunked like the maps (one frame per chunk along N) with
        the channel axis whole.

    Raises:
        TypeError: a non-numeric src, map or border image.
        ValueError: maps of different shapes or chunkings, maps that do not
            fit the source, an ARRAY border image that does not match the
            output. Raised before any task runs.

    Unless src is a zarr array (whose tasks find their windows themselves),
    calling it computes the first pass over the maps (their per-chunk
    windows) on the current scheduler. When folds (WRAP, REFLECT,
    REFLECT_101) make a chunk touch both ends of an axis, that chunk's
    window is the whole axis.
    """
    src = _numeric(src, "src")
    map_x = _numeric(map_x, "map_x")
    map_y = _numeric(map_y, "map_y")
    if tuple(map_x.shape) != tuple(map_y.shape):
        raise ValueError(
            f"map_x and map_y must have the same shape, got {tuple(map_x.shape)} "
            f"and {tuple(map_y.shape)}"
        )
    if isinstance(map_x, da.Array) and isinstance(map_y, da.Array):
        if map_x.chunks != map_y.chunks:
            raise ValueError(
                f"map_x and map_y must have the same chunks, got {map_x.chunks} and {map_y.chunks}"
            )
    elif isinstance(map_y, da.Array):
        map_x = _as_dask(map_x, map_y.chunks)
    map_x = _as_dask(map_x)
    map_y = _as_dask(map_y, map_x.chunks)

    if map_x.ndim not in (2, 3):
        raise ValueError(f"maps must be (h, w) or (N, h, w), got shape {map_x.shape}")
    per_frame = map_x.ndim == 3
    stacked = per_frame or len(src.shape) == 4
    if not 2 + stacked <= len(src.shape) <= 3 + stacked:
        want = "(N, H, W) or (N, H, W, C)" if stacked else "(H, W) or (H, W, C)"
        raise ValueError(
            f"src must be {want} for maps of shape {tuple(map_x.shape)}, got shape "
            f"{tuple(src.shape)}"
        )
    # A zarr array is read by each task, window by window, straight from its
    # store: no chunk is loaded whole or held between tasks.
    store = None if isinstance(src, (da.Array, np.ndarray)) else _zarr_array(src)
    if store is None:
        src = _as_dask(src)
    N = src.shape[0] if stacked else 1
    H, W = src.shape[stacked : stacked + 2]
    if per_frame and map_x.shape[0] != N:
        raise ValueError(f"per-frame maps hold {map_x.shape[0]} frames, src {N}")
    if H == 0 or W == 0:
        raise ValueError(f"src must have non-zero spatial dimensions, got shape {src.shape}")
    channels = src.shape[2 + stacked :]
    h, w = map_x.shape[-2:]

    interpolation = int(interpolation)
    bc = BorderConfig.clamp() if border_config is None else border_config
    mode = int(bc.mode)
    border, config = _border_tiles(bc, (h, w), tuple(channels), map_x.chunks[-2:])

    if per_frame:
        map_x = map_x.rechunk({0: 1})
        map_y = map_y.rechunk({0: 1})
    # One task per output chunk, with its map chunks and its tile of the
    # border image. From a dask array the windows are found first, in one
    # pass over the map chunks, so that each task depends on the pieces of
    # the source chunks that its window touches, joined in the task. A zarr
    # array needs no such pass: each task finds its window from the map
    # chunks it holds anyway and reads it from the store, so the maps are
    # read once. Where each map chunk serves one tile, those tasks are a
    # blockwise layer that dask fuses with whatever makes the map chunks
    # (see _store_tiles); frames that share the maps share their chunks as
    # keys instead, so that no chunk is made once per frame.
    folds = _folds(bc)
    row_chunks, col_chunks = map_x.chunks[-2:]
    dtype = np.dtype(src.dtype)
    if store is not None and stacked == per_frame:
        return _store_tiles(store, map_x, map_y, border, per_frame, tuple(channels), dtype,
                            full_shape=(H, W), interpolation=interpolation, folds=folds,
                            config=config)
    windows = None if store is not None else _source_windows(map_x, map_y, (H, W), interpolation, folds)
    source_name = src.name if store is None else "tessaro-source-" + tokenize(
        str(getattr(store, "store", "")), getattr(store, "path", ""), store.shape, str(store.dtype)
    )
    name = "tessaro-warp-" + tokenize(
        source_name, map_x.name, map_y.name, interpolation, config, None if border is None else border.name
    )
    layer: dict[Any, Any] = {}
    if store is not None:
        layer[(source_name,)] = store
    sliced = []
    for f in range(N) if stacked else [None]:
        for i in range(len(row_chunks)):
            for j in range(len(col_chunks)):
                index = (f, i, j) if per_frame else (i, j)
                origin = None
                if windows is None:
                    source: Any = (source_name,)
                else:
                    y0, y1, x0, x1 = (int(v) for v in windows[index])
                    origin = (y0, x0)
                    window = src[y0:y1, x0:x1] if f is None else src[f : f + 1, y0:y1, x0:x1]
                    sliced.append(window)
                    source = window.__dask_keys__()
                run = functools.partial(
                    _warp_tile,
                    full_shape=(H, W),
                    origin=origin,
                    interpolation=interpolation,
                    folds=folds,
                    config=config,
                    frame=f,
                )
                border_key = None if border is None else (border.name, i, j) + (0,) * (border.ndim - 2)
                out_index = ((f,) if f is not None else ()) + (i, j) + (0,) * len(channels)
                layer[(name, *out_index)] = (
                    run,
                    source,
                    (map_x.name, *index),
                    (map_y.name, *index),
                    border_key,
                )
    deps = [map_x, map_y, *sliced] + ([] if border is None else [border])
    graph = HighLevelGraph.from_collections(name, layer, dependencies=deps)
    chunks = (((1,) * N,) if stacked else ()) + (row_chunks, col_chunks) + tuple((c,) for c in channels)
    return da.Array(graph, name, chunks=chunks, dtype=dtype, meta=np.empty((0,) * len(chunks), dtype))


def _store_tile(
    map_x: np.ndarray,
    map_y: np.ndarray,
    frames: np.ndarray | None,
    border_tile: np.ndarray | None,
    *,
    store: Any,
    squeezed: bool,
    **how: Any,
) -> np.ndarray:
    frame = None if frames is None else int(frames[0])
    if squeezed:
        border_tile = border_tile[..., None]
    return _warp_tile(store, map_x, map_y, border_tile, origin=None, frame=frame, **how)


def _store_tiles(
    store: Any,
    map_x: da.Array,
    map_y: da.Array,
    border: da.Array | None,
    per_frame: bool,
    channels: tuple[int, ...],
    dtype: np.dtype,
    **how: Any,
) -> da.Array:
    """The tasks of a zarr source whose map chunks each serve one tile: a
    blockwise layer over the maps, which dask fuses with the blockwise
    layers that make the map chunks (a formula, a read) and with the write
    that takes each tile. Such a task computes its own map chunks, reads
    its window, samples it and hands the tile on: no map chunk is a key of
    its own, so none is computed ahead of its tile, held while its tile
    waits, or copied to the worker that runs its tile. Maps that are not
    blockwise (persisted, from NumPy) stay keys that the tasks depend on."""
    lead = "f" if per_frame else ""
    index = lead + "ij"
    frames = da.arange(map_x.shape[0], chunks=1) if per_frame else None
    # Every index of an input must be one of the output's, or dask does not
    # fuse the maps into the tasks: the (h, w, 1) border image of a source
    # without a channel axis travels as (h, w).
    squeezed = border is not None and border.ndim == 3 and not channels
    if squeezed:
        border = border[..., 0]
    border_index = None if border is None else "ij" + "c" * (border.ndim - 2)
    name = "tessaro-warp-" + tokenize(
        str(getattr(store, "store", "")), getattr(store, "path", ""), store.shape, str(store.dtype),
        map_x.name, map_y.name, how["interpolation"], how["config"],
        None if border is None else border.name,
    )
    return da.blockwise(
        _store_tile,
        index + "c" * len(channels),
        map_x,
        index,
        map_y,
        index,
        frames,
        None if frames is None else "f",
        border,
        border_index,
        new_axes={"c": channels[0]} if channels and border_index != "ijc" else None,
        concatenate=True,
        name=name,
        dtype=dtype,
        meta=np.empty((0,) * (len(index) + len(channels)), dtype),
        store=store,
        squeezed=squeezed,
        **how,
    )


# --------------------------------------------------------------------------
# Zarr targets


def to_zarr(
    arr: da.Array, store: Any, *, name: str | None = None, progress: bool = False, **create: Any
) -> Any:
    """Write ``arr`` into a new zarr array, chunk by chunk, and mark it
    complete only once every chunk is written.

    The array is created with ``attrs[COMPLETE_ATTR] = False`` and zarr
    chunks equal to the dask chunks (irregular chunkings are made regular
    first), each task writes its own chunk, and the attribute turns True
    after the last write. If a task fails, the store keeps the chunks that
    were written before the failure (in no particular order: any subset
    of them), every other chunk reads as the fill value, and the attribute
    stays False: treat such a store as incomplete and write it again.
    With ``progress=True`` a progress bar follows the writes:
    ``distributed.progress`` when a distributed client is active, else
    dask's ``ProgressBar``. Other keywords go to ``zarr.create_array``.
    Returns the zarr array.
    """
    import zarr

    regular = tuple(c[0] if c else 0 for c in arr.chunks)
    if any(len(set(c[:-1])) > 1 or (c and c[-1] > c[0]) for c in arr.chunks):
        arr = arr.rechunk(regular)
    target = zarr.create_array(
        store,
        name=name,
        shape=arr.shape,
        chunks=tuple(max(c, 1) for c in regular),
        dtype=arr.dtype,
        attributes={COMPLETE_ATTR: False},
        **create,
    )
    writes = da.store(arr, target, lock=False, compute=False)
    client = _distributed_client()
    if client is not None:
        future = client.compute(writes)
        if progress:
            from distributed import progress as show

            show(future)
        future.result()
    elif progress:
        from dask.diagnostics import ProgressBar

        with ProgressBar():
            writes.compute()
    else:
        writes.compute()
    target.attrs[COMPLETE_ATTR] = True
    return target


def _distributed_client() -> Any:
    """The active distributed client that dask would use, if any."""
    try:
        from distributed import get_client
    except ImportError:
        return None
    import dask

    if dask.config.get("scheduler", None) not in (None, "dask.distributed", "distributed"):
        return None
    try:
        return get_client()
    except ValueError:
        return None


def is_complete(target: Any) -> bool:
    """Whether a zarr array written by :func:`to_zarr` holds every chunk."""
    return bool(target.attrs.get(COMPLETE_ATTR, False))


# --------------------------------------------------------------------------
# Warps by a matrix, without maps

from tessaro._dask_transform import warp_affine, warp_perspective  # noqa: E402

__all__ += ["warp_affine", "warp_perspective"]
