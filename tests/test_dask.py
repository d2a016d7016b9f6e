"""tessaro.dask.warp against the in-memory call, bit for bit, on a real
two-process distributed.LocalCluster and on dask's local scheduler."""

import subprocess
import sys

import numpy as np
import pytest

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")
zarr = pytest.importorskip("zarr")

import dask  # noqa: E402

import tessaro  # noqa: E402
import tessaro.dask as td  # noqa: E402
from tessaro.core import BorderConfig, FeatheringMode  # noqa: E402
from tessaro.cython._warp import _source_window  # noqa: E402

H, W, C = 23, 31, 3
h, w = 17, 26
# One-row chunks, ragged last chunks; the source's own chunks cut windows.
MAP_CHUNKS = ((1, 6, 6, 4), (9, 9, 8))
SRC_CHUNKS = (5, 7, 3)


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster) as c:
            yield c


def maps(lo=-0.7, hi=1.8, frames=None, seed=0):
    """A rotation with a ripple whose coordinates leave [0, 1] on every side,
    with two NaN positions and an infinite one."""
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:h, 0:w] / np.array([h - 1, w - 1])[:, None, None]
    mx = lo + (hi - lo) * (0.9 * xx + 0.2 * yy + 0.03 * np.sin(7 * yy))
    my = lo + (hi - lo) * (0.9 * yy - 0.15 * xx + 0.03 * np.cos(5 * xx))
    mx[3, 4] = my[10, 2] = np.nan
    mx[12, 20] = np.inf
    if frames:
        shift = rng.uniform(-0.3, 0.3, (frames, 2))
        return mx + shift[:, :1, None], my + shift[:, 1:, None]
    return mx, my


def configs():
    border = np.random.default_rng(5).random((h, w, C))
    return {
        "clamp": BorderConfig.clamp(),
        "constant-feathered": BorderConfig.constant(0.25, feathering_width=0.2,
                                                    feather_widths=(0.05, 0.2, 0.4)),
        "reflect": BorderConfig.reflect(),
        "wrap": BorderConfig.wrap(),
        "reflect_101": BorderConfig.reflect_101(),
        "array-inward": BorderConfig.array(border, feathering_width=0.1,
                                           feathering_mode=FeatheringMode.INWARD),
    }


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    assert a.shape == b.shape and a.dtype == b.dtype
    assert a.tobytes() == b.tobytes()


def test_tiles_match_whole_call_for_every_kernel_and_border(client):
    src = np.random.default_rng(1).random((H, W, C))
    mx, my = maps()
    dmx, dmy = da.from_array(mx, chunks=MAP_CHUNKS), da.from_array(my, chunks=MAP_CHUNKS)
    dsrc = da.from_array(src, chunks=SRC_CHUNKS)
    cases = [(k, name, bc) for k in range(5) for name, bc in configs().items()]
    outs = [td.warp(dsrc, dmx, dmy, interpolation=k, border_config=bc) for k, _, bc in cases]
    assert all(o.chunks == MAP_CHUNKS + ((C,),) for o in outs)
    for (k, name, bc), got in zip(cases, dask.compute(*outs)):
        same_bits(got, tessaro.warp(src, mx, my, interpolation=k, border_config=bc))


def test_stacks_dtypes_and_stores(client, tmp_path):
    rng = np.random.default_rng(2)
    # Shared maps over a float32 stack held in zarr.
    stack = rng.random((3, H, W, 2)).astype(np.float32)
    store = zarr.create_array(tmp_path / "src.zarr", shape=stack.shape, chunks=(2, 8, 8, 2),
                              dtype=stack.dtype)
    store[...] = stack
    mx, my = maps()
    out = td.warp(store, da.from_array(mx, chunks=MAP_CHUNKS), my, interpolation=2,
                  border_config=BorderConfig.wrap())
    assert out.chunks == ((1, 1, 1),) + MAP_CHUNKS + ((2,),)
    got = out.compute()
    for f in range(3):
        same_bits(got[f], tessaro.warp(stack[f], mx, my, interpolation=2,
                                       border_config=BorderConfig.wrap()))
    # Per-frame maps over single-channel uint8 frames in a memory map.
    frames = np.lib.format.open_memmap(tmp_path / "f.npy", mode="w+", dtype=np.uint8,
                                       shape=(2, H, W))
    frames[...] = rng.integers(0, 256, (2, H, W))
    fx, fy = maps(frames=2)
    out = td.warp(frames, da.from_array(fx, chunks=(2, 5, 13)), fy, interpolation=3,
                  border_config=BorderConfig.reflect())
    for f, tile in enumerate(out.compute()):
        same_bits(tile, tessaro.warp(np.asarray(frames[f]), fx[f], fy[f], interpolation=3,
                                     border_config=BorderConfig.reflect()))


def test_zarr_tiles_compute_their_own_map_chunks(client, tmp_path):
    def lazy(m, chunks):  # a map made chunk by chunk, as from a formula
        def block(block_info=None):
            return m[tuple(slice(*r) for r in block_info[None]["array-location"])]
        return da.map_blocks(block, chunks=chunks, dtype=m.dtype, meta=np.empty((0,) * m.ndim))

    rng = np.random.default_rng(4)
    src = rng.random((2, H, W, C)).astype(np.float32)
    store = zarr.create_array(tmp_path / "s.zarr", shape=src.shape, chunks=(1, 5, 7, 2),
                              dtype=src.dtype)
    store[...] = src
    frame = zarr.create_array(tmp_path / "f.zarr", shape=src.shape[1:], chunks=(5, 7, 2),
                              dtype=src.dtype)
    frame[...] = src[0]
    (mx, my), (fx, fy) = maps(), maps(frames=2)
    bc = configs()["array-inward"]
    map_x, map_y = lazy(mx, MAP_CHUNKS), lazy(my, MAP_CHUNKS)
    out = td.warp(frame, map_x, map_y, interpolation=2, border_config=bc)
    # No map chunk is a key of its own, to be computed ahead of its tile.
    keys = {k[0] for k in dask.optimize(out)[0].__dask_graph__()}
    assert map_x.name not in keys and map_y.name not in keys
    same_bits(out.compute(), tessaro.warp(src[0], mx, my, interpolation=2, border_config=bc))
    out = td.warp(store, lazy(fx, ((1, 1),) + MAP_CHUNKS), lazy(fy, ((1, 1),) + MAP_CHUNKS))
    for f, tile in enumerate(out.compute()):
        same_bits(tile, tessaro.warp(src[f], fx[f], fy[f]))


def test_local_scheduler_zarr_target_and_failure(tmp_path):
    src = np.random.default_rng(3).random((H, W))
    mx, my = maps(0.1, 0.9)
    with dask.config.set(scheduler="sync"):
        out = td.warp(src, da.from_array(mx, chunks=(4, 10)), da.from_array(my, chunks=(4, 10)))
        target = td.to_zarr(out, tmp_path / "out.zarr")
        assert td.is_complete(target)
        same_bits(target[...], tessaro.warp(src, mx, my))

        def fail(block, block_info=None):
            if block_info[None]["chunk-location"] == (1, 1):
                raise RuntimeError("lost worker")
            return block

        broken = td.warp(da.from_array(src, chunks=8).map_blocks(fail, dtype=src.dtype), mx, my)
        with pytest.raises(RuntimeError, match="lost worker"):
            td.to_zarr(broken, tmp_path / "broken.zarr")
        assert not td.is_complete(zarr.open_array(tmp_path / "broken.zarr"))


def test_windows_are_the_taps_of_the_folded_positions():
    def columns(xs, bc=None, dtype=np.float64):
        mx = np.array([xs], dtype)
        window = _source_window(mx, np.full_like(mx, 0.5), (5, 101), border_config=bc)
        return window if window is None else window[2:]

    # Bilinear taps of positions 25 and 50 (and 100) of 101, from any real dtype.
    assert columns([0.25, 0.5], dtype=np.float32) == (25, 52)
    assert columns([1], dtype=np.uint8) == (100, 101)
    # NaN, and an infinity that a fold turns into NaN, read nothing.
    assert columns([np.nan, np.inf, 0.5], BorderConfig.wrap()) == (50, 52)
    assert columns([np.nan, np.inf], BorderConfig.reflect_101()) is None


def test_bad_input_fails_before_any_task_runs():
    src = np.zeros((H, W))
    mx, my = maps()
    with pytest.raises(ValueError, match="same shape"):
        td.warp(src, mx, my[:-1])
    with pytest.raises(ValueError, match="same chunks"):
        td.warp(src, da.from_array(mx, chunks=5), da.from_array(my, chunks=6))
    with pytest.raises(ValueError, match="border image must match"):
        td.warp(src, mx, my, border_config=BorderConfig.array(np.zeros((h, w + 1))))
    with pytest.raises(TypeError, match="real numbers"):
        td.warp(src.astype(complex), mx, my)
    with pytest.raises(TypeError, match="real numbers"):
        td.warp(src, mx.astype(str), my)
    with pytest.raises(ValueError, match="src must be"):
        td.warp(src[0], mx, my)


# A rotation that sends positions past two sides, and a homography whose
# horizon crosses the lower rows of the output.
TRANSFORMS = {
    "affine": np.array([[0.97 * np.cos(0.12), -0.97 * np.sin(0.12), 3.0],
                        [0.97 * np.sin(0.12), 0.97 * np.cos(0.12), -4.0]]),
    "perspective": np.array([[1.05, 0.1, -3.0], [-0.08, 0.95, 2.0], [0.004, -0.09, 1.1]]),
}


def test_transform_tiles_match_the_in_memory_call(client):
    src = np.random.default_rng(6).random((H, W, C))
    dsrc = da.from_array(src, chunks=SRC_CHUNKS)
    cases = [(kind, k, bc) for kind in TRANSFORMS for k in range(5) for bc in configs().values()]
    outs = [getattr(td, "warp_" + kind)(dsrc, TRANSFORMS[kind], (h, w), chunks=MAP_CHUNKS,
                                        interpolation=k, border_config=bc)
            for kind, k, bc in cases]
    assert all(o.chunks == MAP_CHUNKS + ((C,),) for o in outs)
    for (kind, k, bc), got in zip(cases, dask.compute(*outs)):
        same_bits(got, getattr(tessaro, "warp_" + kind)(src, TRANSFORMS[kind], (h, w),
                                                        interpolation=k, border_config=bc))


def test_transform_tiles_from_zarr_and_a_huge_lazy_output(client, tmp_path):
    img = np.random.default_rng(7).integers(0, 256, (H, W), dtype=np.uint8)
    store = zarr.create_array(tmp_path / "img.zarr", shape=img.shape, chunks=(8, 8), dtype=img.dtype)
    store[...] = img
    for kind, m in TRANSFORMS.items():
        out = getattr(td, "warp_" + kind)(store, m, chunks=(5, 7), interpolation=2,
                                          border_config=BorderConfig.reflect())
        same_bits(out.compute(), getattr(tessaro, "warp_" + kind)(
            img, m, interpolation=2, border_config=BorderConfig.reflect()))
    # 65536 x 65536 from a store that holds nothing yet: one task per block
    # and the store in the graph, and a tile's graph is one task.
    big = zarr.create_array(tmp_path / "big.zarr", shape=(65536, 65536, 3), chunks=(1024, 1024, 3),
                            dtype=np.uint8)
    c, s = np.cos(0.12), np.sin(0.12)
    m = [[c, -s, 32767.5 * (1 - c + s)], [s, c, 32767.5 * (1 - s - c)]]
    out = td.warp_affine(big, m, chunks=2048)
    assert out.numblocks == (32, 32, 1) and len(out.__dask_graph__()) == 32 * 32 + 1
    tile = out.blocks[9, 20]
    (culled,) = dask.optimize(tile)
    assert len(culled.__dask_graph__()) <= 3
    assert tile.compute().shape == (2048, 2048, 3)
    with pytest.raises(ValueError, match="finite"):
        td.warp_perspective(big, np.diag([1.0, 1.0, np.nan]))


def test_import_without_dask_names_the_extra():
    code = "import sys; sys.modules['dask'] = None; import tessaro.dask"
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert proc.returncode != 0 and "tessaro[dask]" in proc.stderr
