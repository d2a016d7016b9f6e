"""``python -m tessaro tiles``: a raster larger than one call warped tile by
tile on a local dask cluster, zarr store to zarr store.

It writes a synthetic raster (smooth gradients plus a fine checkerboard) to
a zarr store in a temporary folder, warps it with a rotation plus a smooth
distortion through :func:`tessaro.dask.warp` on a ``LocalCluster`` of
worker processes into another zarr store, and prints:

* the time and throughput of the cluster run next to the single in-memory
  :func:`tessaro.warp` call on a size that fits in memory;
* the peak memory of each worker during the warp, next to
  4 x (chunk bytes + window bytes) above the worker's baseline;
* a bit-identity check of a sample of output tiles against the in-memory
  call.

The maps are computed from their formula, chunk by chunk, inside the tile
tasks (dask fuses the chunks' blockwise layers into them), so no process
ever holds them whole and no map chunk waits in a worker for its tile. With ``--affine`` the raster is uint8
and the warp is :func:`tessaro.dask.warp_affine` (the rotation scaled by
0.97 about the centre), whose tasks need no maps at all. Both stores are uncompressed, so that
the figures are those of the warp rather than of a codec. Needs the
``tessaro[dask]`` extra.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import tempfile
import time
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np

MiB = 1 << 20


# --------------------------------------------------------------------------
# Inputs, chunk by chunk from formulas


def raster_block(rows: slice, cols: slice, size: int, channels: int) -> np.ndarray:
    """Rows and columns of the synthetic float32 raster: separable waves
    (cheap to draw) and an 8-pixel checkerboard that makes any misplaced
    sample visible."""
    y = np.arange(rows.start, rows.stop, dtype=np.float64)[:, None]
    x = np.arange(cols.start, cols.stop, dtype=np.float64)[None, :]
    checker = ((y // 8 + x // 8) % 2) * 0.2
    out = np.empty((rows.stop - rows.start, cols.stop - cols.start, channels), np.float32)
    for c in range(channels):
        wave = np.sin(x * (0.013 + 0.004 * c)) * np.cos(y * (0.011 - 0.003 * c))
        out[..., c] = 0.5 + 0.3 * wave + checker - 0.1
    return out


def map_blocks(rows: slice, cols: slice, size: int, angle_deg: float) -> tuple[np.ndarray, np.ndarray]:
    """Unit maps of the warp: a rotation about the centre plus a smooth
    displacement of up to 2 % of the side, separable so that it is cheap."""
    y = np.arange(rows.start, rows.stop, dtype=np.float64)[:, None]
    x = np.arange(cols.start, cols.stop, dtype=np.float64)[None, :]
    c = (size - 1) / 2.0
    a = math.radians(angle_deg)
    amp = 0.02 * size
    px = c + math.cos(a) * (x - c) - math.sin(a) * (y - c) + amp * np.sin(y * (2 * math.pi / size))
    py = c + math.sin(a) * (x - c) + math.cos(a) * (y - c) + amp * np.sin(x * (3 * math.pi / size))
    return px / (size - 1), py / (size - 1)


def _block_slices(block_info: Any) -> tuple[slice, slice]:
    (r0, r1), (c0, c1) = block_info[None]["array-location"][:2]
    return slice(r0, r1), slice(c0, c1)


def lazy_raster(size: int, channels: int, chunk: int) -> Any:
    import dask.array as da

    def block(block_info: Any = None) -> np.ndarray:
        rows, cols = _block_slices(block_info)
        out = raster_block(rows, cols, size, channels)
        return out if channels > 1 else out[..., 0]

    chunks = (chunk, chunk) + ((channels,) if channels > 1 else ())
    shape = (size, size) + ((channels,) if channels > 1 else ())
    return da.map_blocks(block, chunks=da.core.normalize_chunks(chunks, shape), dtype=np.float32,
                         meta=np.empty((0,) * len(shape), np.float32))


def lazy_maps(size: int, chunk: int, angle_deg: float) -> tuple[Any, Any]:
    import dask.array as da

    chunks = da.core.normalize_chunks((chunk, chunk), (size, size))

    def axis(k: int) -> Any:
        def block(block_info: Any = None) -> np.ndarray:
            rows, cols = _block_slices(block_info)
            return map_blocks(rows, cols, size, angle_deg)[k]

        return da.map_blocks(block, chunks=chunks, dtype=np.float64, meta=np.empty((0, 0)))

    return axis(0), axis(1)


# --------------------------------------------------------------------------
# Worker memory (Linux: the peak resident size can be reset per process)


def reset_peak() -> int:
    """Reset this process's peak resident size; returns the current one."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass
    return memory()[0]


def memory() -> tuple[int, int]:
    """(resident, peak resident) bytes of this process."""
    rss = hwm = 0
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    rss = int(line.split()[1]) * 1024
                elif line.startswith("VmHWM:"):
                    hwm = int(line.split()[1]) * 1024
    except OSError:
        import resource

        hwm = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    return rss, hwm


def worker_environment(trim: bool) -> dict[str, Any]:
    """dask configuration of the workers' environment. dask's nanny sets
    MALLOC_TRIM_THRESHOLD_=65536, which also turns off glibc's adaptive mmap
    threshold: every window, map and output buffer then comes from fresh
    pages, and the page faults cost as much as the sampling (window reads
    took twice as long here), but it keeps the workers' resident size down.
    The demo keeps dask's setting unless asked (--no-malloc-trim)."""
    import dask

    environ = dict(dask.config.get("distributed.nanny.pre-spawn-environ"))
    if not trim:
        environ.pop("MALLOC_TRIM_THRESHOLD_", None)
    return {"distributed.nanny.pre-spawn-environ": environ}


def _warm_worker() -> int:
    # The modules a task imports, loaded before the baseline is taken.
    import tessaro.cython._warp  # noqa: F401
    import tessaro.dask  # noqa: F401

    return reset_peak()


# --------------------------------------------------------------------------
# The run


def working_set_bound(
    src_dtype: Any,
    channels: int,
    windows: np.ndarray,
    map_chunks: Any,
    map_bytes: int = 16,
    store_chunk: int = 0,
) -> int:
    """4 x (chunk bytes + window bytes) of the largest task: its output
    chunk and two float64 map chunks (map_bytes per pixel; none for a
    transform), and its source window. With store_chunk (the side of the
    source store's square chunks), plus the band of decoded store chunks
    that a window read holds beside the window: one chunk row by the store
    chunks the widest window touches."""
    item = np.dtype(src_dtype).itemsize * channels
    rows, cols = map_chunks
    chunk = max(rows) * max(cols) * (item + map_bytes)
    spans = (windows[..., 1] - windows[..., 0]) * (windows[..., 3] - windows[..., 2])
    band = 0
    if store_chunk:
        touched = (windows[..., 3] - 1) // store_chunk - windows[..., 2] // store_chunk + 1
        band = store_chunk * store_chunk * int(touched.max()) * item
    return 4 * (chunk + int(spans.max()) * item) + band


def rotation(size: int, angle_deg: float, scale: float = 0.97) -> np.ndarray:
    """The 2x3 matrix of the --affine warp: output pixel -> source pixel,
    a rotation scaled by `scale` about the centre."""
    a = math.radians(angle_deg)
    c, s = scale * math.cos(a), scale * math.sin(a)
    m = (size - 1) / 2.0
    return np.array([[c, -s, m - c * m + s * m], [s, c, m - s * m - c * m]])


def transform_windows(matrix: np.ndarray, size: int, chunks: Any, interpolation: int) -> np.ndarray:
    """(y0, y1, x0, x1) of every output block of a transform, as its task
    finds it."""
    from tessaro.cython._warp import _transform_window

    rows = np.cumsum((0,) + tuple(chunks[0]))
    cols = np.cumsum((0,) + tuple(chunks[1]))
    out = np.empty((len(rows) - 1, len(cols) - 1, 4), np.int64)
    for i in range(len(rows) - 1):
        for j in range(len(cols) - 1):
            block = (int(rows[i]), int(rows[i + 1]), int(cols[j]), int(cols[j + 1]))
            out[i, j] = _transform_window(matrix, False, block, (size, size),
                                          interpolation=interpolation)
    return out


def run(
    size: int,
    *,
    channels: int = 3,
    chunk: int = 1024,
    workers: int = 2,
    memory_limit: str | None = None,
    interpolation: int = 1,
    angle: float = 7.0,
    compare_size: int | None = None,
    samples: int = 4,
    folder: Path | None = None,
    progress: bool = False,
    trim: bool = True,
    affine: bool = False,
    echo: Any = print,
) -> dict[str, Any]:
    """The whole demo; returns its figures (also used by bench/run.py)."""
    import dask
    import zarr
    from distributed import Client, LocalCluster

    import tessaro
    import tessaro.dask as td
    from tessaro import maps

    tmp = None
    if folder is None:
        tmp = tempfile.TemporaryDirectory(prefix="tessaro-tiles-")
        folder = Path(tmp.name)
    figures: dict[str, Any] = {"size": size, "channels": channels, "chunk": chunk,
                               "workers": workers, "memory_limit": memory_limit,
                               "interpolation": interpolation, "affine": affine}
    try:
        src_path, out_path = folder / "raster.zarr", folder / "warped.zarr"
        px = size * size
        dtype = np.dtype(np.uint8 if affine else np.float32)
        src_bytes = px * channels * dtype.itemsize
        echo(f"Writing a {size} x {size} x {channels} {dtype} raster ({src_bytes / MiB:.0f} MiB) "
             f"to {src_path} ...")
        t0 = time.perf_counter()
        raster = lazy_raster(size, channels, chunk)
        if affine:
            raster = (raster * 255).astype(dtype)
        with dask.config.set(scheduler="threads"):
            td.to_zarr(raster, src_path, compressors=None)
        echo(f"  written in {time.perf_counter() - t0:.1f} s")

        with dask.config.set(worker_environment(trim=trim)):
            cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                   memory_limit=memory_limit, dashboard_address=None)
        client = Client(cluster)
        try:
            baseline = client.run(_warm_worker)
            src = zarr.open_array(src_path, mode="r")  # read window by window by the tasks
            matrix = rotation(size, angle)
            t0 = time.perf_counter()
            if affine:
                out = td.warp_affine(src, matrix, chunks=chunk, interpolation=interpolation)
            else:
                map_x, map_y = lazy_maps(size, chunk, angle)
                out = td.warp(src, map_x, map_y, interpolation=interpolation)
            t_plan = time.perf_counter() - t0
            target = td.to_zarr(out, out_path, progress=progress, compressors=None)
            t_cluster = time.perf_counter() - t0
            peaks = client.run(memory)
            if affine:
                windows = transform_windows(matrix, size, out.chunks, interpolation)
            else:
                windows = td.source_windows((size, size), map_x, map_y, interpolation=interpolation)
        finally:
            client.close()
            cluster.close()
        complete = td.is_complete(target)
        # The maps-free run also states the decoded band of its window reads,
        # which at its small working set is a large part of the peak.
        bound = (working_set_bound(dtype, channels, windows, out.chunks[:2], 0, chunk) if affine
                 else working_set_bound(dtype, channels, windows, out.chunks[:2]))
        figures.update(cluster_s=t_cluster, plan_s=t_plan, cluster_mpx_s=px / t_cluster / 1e6,
                       complete=complete, bound_bytes=bound,
                       largest_window=int(((windows[..., 1] - windows[..., 0])
                                           * (windows[..., 3] - windows[..., 2])).max()))
        echo(f"Cluster ({workers} worker processes x 1 thread"
             + (f", {memory_limit} each" if memory_limit else "")
             + f"): {t_cluster:.2f} s, {px / t_cluster / 1e6:.1f} Mpx/s "
             f"(window pass and graph: {t_plan:.2f} s); store complete: {complete}")
        figures["workers_mem"] = []
        for addr in sorted(peaks):
            base, peak = baseline[addr], peaks[addr][1]
            ok = peak <= base + bound
            figures["workers_mem"].append({"worker": addr, "baseline": base, "peak": peak,
                                           "within": ok})
            echo(f"  worker {addr}: peak {peak / MiB:.0f} MiB, baseline {base / MiB:.0f} MiB, "
                 f"bound baseline + 4 x (chunk + window)"
                 + (" + decoded band" if affine else "")
                 + f" = {(base + bound) / MiB:.0f} MiB: "
                 + ("within" if ok else "ABOVE"))

        # The single in-memory call, on the same warp of a size that fits.
        m = min(size, compare_size or size)
        full = np.asarray(zarr.open_array(src_path, mode="r")[:m, :m])
        if affine:
            t0 = time.perf_counter()
            tessaro.warp_affine(full, rotation(m, angle), interpolation=interpolation)
        else:
            mx, my = map_blocks(slice(0, m), slice(0, m), m, angle)
            t0 = time.perf_counter()
            tessaro.warp(full, mx, my, interpolation=interpolation)
            del mx, my
        t_mem = time.perf_counter() - t0
        figures.update(memory_size=m, memory_s=t_mem, memory_mpx_s=m * m / t_mem / 1e6)
        figures["throughput_ratio"] = figures["cluster_mpx_s"] / figures["memory_mpx_s"]
        echo(f"In-memory tessaro.{'warp_affine' if affine else 'warp'}, {m} x {m} x {channels}: "
             f"{t_mem:.2f} s, "
             f"{m * m / t_mem / 1e6:.1f} Mpx/s; cluster / in-memory throughput: "
             f"{figures['throughput_ratio']:.2f}")
        del full

        # Bit identity of a sample of tiles against the whole-source call.
        rng = np.random.default_rng(0)
        nb = (len(out.chunks[0]), len(out.chunks[1]))
        picks = {(0, 0), (nb[0] - 1, nb[1] - 1)}
        while len(picks) < min(samples, nb[0] * nb[1]):
            picks.add((int(rng.integers(nb[0])), int(rng.integers(nb[1]))))
        whole = np.asarray(zarr.open_array(src_path, mode="r")[...])
        same = 0
        for i, j in sorted(picks):
            r0, c0 = sum(out.chunks[0][:i]), sum(out.chunks[1][:j])
            rows = slice(r0, r0 + out.chunks[0][i])
            cols = slice(c0, c0 + out.chunks[1][j])
            if affine:  # through maps: another path than the tasks'
                tx, ty = maps.affine(matrix, (rows.stop - r0, cols.stop - c0), whole.shape,
                                     origin=(r0, c0))
            else:
                tx, ty = map_blocks(rows, cols, size, angle)
            want = tessaro.warp(whole, tx, ty, interpolation=interpolation)
            got = np.asarray(target[rows, cols])
            same += got.tobytes() == want.tobytes()
        figures.update(tiles_checked=len(picks), tiles_identical=same)
        echo(f"Bit identity: {same} of {len(picks)} sampled tiles identical to the "
             "in-memory call on the whole source")
        return figures
    finally:
        if tmp is not None:
            tmp.cleanup()


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="python -m tessaro tiles",
        description="Warp a large synthetic raster zarr to zarr on a local dask cluster.",
    )
    p.add_argument("--size", type=int, default=8192, help="side of the square raster (default 8192)")
    p.add_argument("--channels", type=int, default=3, help="channels (default 3)")
    p.add_argument("--chunk", type=int, default=1024, help="side of a chunk (default 1024)")
    p.add_argument("--workers", type=int, default=2, help="worker processes (default 2)")
    p.add_argument("--memory-limit", default=None, help="per worker, e.g. 512MiB (default: none)")
    p.add_argument("--interpolation", type=int, default=1, help="kernel code 0..4 (default 1)")
    p.add_argument("--compare-size", type=int, default=8192,
                   help="largest side of the in-memory comparison (default 8192)")
    p.add_argument("--dir", type=Path, default=None, help="keep the stores here instead of a temp dir")
    p.add_argument("--no-progress", action="store_true", help="no progress bar")
    p.add_argument("--no-malloc-trim", action="store_true",
                   help="workers without dask's MALLOC_TRIM_THRESHOLD_ (faster, larger)")
    p.add_argument("--affine", action="store_true",
                   help="a uint8 raster rotated (scaled 0.97) by tessaro.dask.warp_affine, no maps")
    return p


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        import tessaro.dask  # noqa: F401
    except ImportError as exc:
        print(f"python -m tessaro tiles: {exc}", file=sys.stderr)
        return 1
    if args.dir is not None:
        args.dir.mkdir(parents=True, exist_ok=True)
    figures = run(args.size, channels=args.channels, chunk=args.chunk, workers=args.workers,
                  memory_limit=args.memory_limit, interpolation=args.interpolation,
                  compare_size=args.compare_size, folder=args.dir,
                  progress=not args.no_progress and os.isatty(1), trim=not args.no_malloc_trim,
                  affine=args.affine)
    ok = figures["complete"] and figures["tiles_identical"] == figures["tiles_checked"]
    return 0 if ok else 1
