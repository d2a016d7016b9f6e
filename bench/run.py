"""Side-by-side timings of the native kernels and what a user would otherwise use.

    python bench/run.py            # the full table, JSON and chart
    python bench/run.py --quick    # fewer repeats, for a smoke run
    python bench/run.py --tiles    # tessaro.dask on a 2-worker local cluster (make bench-tiles)

Every comparison runs in one process: both sides get the same inputs, are
warmed up, and are then timed alternately (ours, peer, ours, peer, ...), so
that background load hits both alike; the figure reported is the median of
the repeats. Ratios are peer time / our time ("x faster"), except where a
target is stated as a time ratio the other way round (Lanczos-4, per-call
overhead, clip_abs against np.copyto). Results go to bench/results/
(results.json, results.png) and the table is printed.
"""

import argparse
import json
import math
import os
import platform
import subprocess
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
RESULTS = os.path.join(HERE, "results")

# --------------------------------------------------------------------------
# Timing


def timed_rounds(fns, repeats, warmup=1, inner=1):
    """Median and minimum seconds per call of each callable, timed in
    alternation; `inner` calls per timing for very short calls."""
    for _ in range(warmup):
        for f in fns.values():
            for _ in range(inner):
                f()
    times = {k: [] for k in fns}
    for _ in range(repeats):
        for k, f in fns.items():
            t0 = time.perf_counter()
            for _ in range(inner):
                f()
            times[k].append((time.perf_counter() - t0) / inner)
    return {k: {"median_s": float(np.median(v)), "min_s": float(np.min(v)), "repeats": repeats}
            for k, v in times.items()}


# --------------------------------------------------------------------------
# Inputs


def warp_maps(H, W, seed=0, zoom=1.0):
    """A smooth, realistic warp: a 1.15 degree rotation about the centre plus
    an elastic displacement of up to 3 pixels, as unit maps (and zoomed out
    by `zoom`, which sends part of the output outside the source)."""
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:H, 0:W].astype(np.float64)
    cx, cy = (W - 1) / 2, (H - 1) / 2
    a = 0.02
    ph = rng.uniform(0, 2 * math.pi, 4)
    dx = 3.0 * np.sin(xx / W * 6.1 + ph[0]) * np.cos(yy / H * 4.3 + ph[1])
    dy = 3.0 * np.cos(xx / W * 5.2 + ph[2]) * np.sin(yy / H * 3.7 + ph[3])
    px = zoom * (math.cos(a) * (xx - cx) - math.sin(a) * (yy - cy)) + cx + dx
    py = zoom * (math.sin(a) * (xx - cx) + math.cos(a) * (yy - cy)) + cy + dy
    return px / (W - 1), py / (H - 1)


def image(H, W, C, dtype=np.float64, seed=1):
    rng = np.random.default_rng(seed)
    shape = (H, W) if C == 1 else (H, W, C)
    return rng.random(shape).astype(dtype)


# --------------------------------------------------------------------------
# Benchmarks. Each returns a list of rows:
#   {"group", "name", "ours_ms", "peer_ms", "peer", "ratio", "ratio_kind",
#    "target", "met", "note"}


def row(group, name, ours, peer=None, peer_name=None, kind="speedup", target=None, note=""):
    r = {"group": group, "name": name, "ours_ms": ours["median_s"] * 1e3,
         "ours_min_ms": ours["min_s"] * 1e3, "peer": peer_name, "ratio_kind": kind,
         "target": target, "note": note}
    if peer is not None:
        r["peer_ms"] = peer["median_s"] * 1e3
        r["peer_min_ms"] = peer["min_s"] * 1e3
        # speedup: peer / ours (>= target); time_ratio: ours / peer (<= target)
        r["ratio"] = peer["median_s"] / ours["median_s"] if kind == "speedup" else ours["median_s"] / peer["median_s"]
        if target is not None:
            r["met"] = bool(r["ratio"] >= target) if kind == "speedup" else bool(r["ratio"] <= target)
    return r


KERNELS = [("nearest", 0, "INTER_NEAREST"), ("bilinear", 1, "INTER_LINEAR"),
           ("cubic", 2, "INTER_CUBIC"), ("lanczos3", 3, None), ("lanczos4", 4, "INTER_LANCZOS4")]
TARGET_2D = {"nearest": 1.3, "bilinear": 1.3, "cubic": 1.3}
TARGET_E2E = {"nearest": 2.5, "bilinear": 2.5}


def bench_remap2d(cv2, quick):
    from tessaro.cython import _tovik

    rows = []
    for (H, W, C) in [(1024, 1024, 3), (2048, 2048, 1)]:
        ux, uy = warp_maps(H, W)
        px, py = (ux * (W - 1)).astype(np.float32), (uy * (H - 1)).astype(np.float32)
        shape = f"{H}x{W}x{C}"
        for dtype in (np.float64, np.float32):
            src = image(H, W, C, dtype)
            dname = np.dtype(dtype).name
            for kname, code, cvname in KERNELS:
                if dtype == np.float32 and (H, W, C) != (1024, 1024, 3):
                    continue
                reps = 3 if code >= 3 else 9
                if quick:
                    reps = 2 if code >= 3 else 3
                ours = lambda: _tovik.remap_tensor(src, ux, uy, interpolation=code)
                fns = {"ours": ours}
                if cvname is not None:
                    flag = getattr(cv2, cvname)
                    fns["peer"] = lambda: cv2.remap(src, px, py, flag, borderMode=cv2.BORDER_REPLICATE)
                    if dtype == np.float64:
                        fns["e2e"] = lambda: cv2.remap(
                            src, (ux * (W - 1)).astype(np.float32), (uy * (H - 1)).astype(np.float32),
                            flag, borderMode=cv2.BORDER_REPLICATE)
                t = timed_rounds(fns, reps)
                group = f"remap2d {dname}"
                if cvname is None:
                    r = row(group, f"{shape} {kname} CLAMP", t["ours"])
                    r["pixels"], r["note_suffix"] = H * W, " (no peer)"
                    rows.append(r)
                    continue
                if kname == "lanczos4":
                    target, kind = 2.0, "time_ratio"
                elif dtype == np.float32:
                    target, kind = (1.0 if kname == "bilinear" else None), "speedup"
                else:
                    target, kind = TARGET_2D.get(kname), "speedup"
                rows.append(row(group, f"{shape} {kname} CLAMP", t["ours"], t["peer"],
                                f"cv2.remap {cvname} REPLICATE {dname}", kind, target))
                if "e2e" in t:
                    rows.append(row("remap2d end to end from unit maps", f"{shape} {kname}",
                                    t["ours"], t["e2e"],
                                    "unit->float32 pixel maps + cv2.remap", "speedup",
                                    TARGET_E2E.get(kname)))
    return rows


def peak_allocation(fn):
    """Peak bytes traced during one call of fn (NumPy reports its array
    buffers to tracemalloc), the result's own bytes included."""
    import tracemalloc

    fn()
    tracemalloc.start()
    try:
        tracemalloc.reset_peak()
        fn()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


TARGET_INT = {"nearest": 1.3, "bilinear": 1.3, "cubic": 1.1}


def bench_dtypes(cv2, quick):
    """Images in their own dtype against cv2.remap in the same dtype, float32
    against our own float64 call, the peak allocation of a call, and int16
    signals against the float64 signal."""
    from tessaro.cython import _tovik, _tovik_1d

    rows = []
    H, W, C = 1024, 1024, 3
    ux, uy = warp_maps(H, W)
    px, py = (ux * (W - 1)).astype(np.float32), (uy * (H - 1)).astype(np.float32)
    ux32, uy32 = ux.astype(np.float32), uy.astype(np.float32)
    # cv2's fastest path: maps converted once to fixed point (1/32 pixel)
    fixed = cv2.convertMaps(px, py, cv2.CV_16SC2)
    group = "remap2d by dtype, 1024x1024x3 warp"
    f64 = image(H, W, C)
    for dtype in (np.uint8, np.uint16, np.float32):
        dname = np.dtype(dtype).name
        integer = np.dtype(dtype).kind in "iu"
        scale = np.iinfo(dtype).max if integer else 1.0
        src = (f64 * scale).astype(dtype)
        for kname, code, cvname in KERNELS:
            if dtype != np.float32 and kname == "lanczos3":
                continue
            reps = (2 if quick else 3) if code >= 3 else (3 if quick else 9)
            fns = {"ours": lambda: _tovik.remap_tensor(src, ux, uy, interpolation=code),
                   "f32maps": lambda: _tovik.remap_tensor(src, ux32, uy32, interpolation=code)}
            if dtype == np.float32:
                fns["f64"] = lambda: _tovik.remap_tensor(f64, ux, uy, interpolation=code)
            if cvname is not None:
                flag = getattr(cv2, cvname)
                fns["peer"] = lambda: cv2.remap(src, px, py, flag, borderMode=cv2.BORDER_REPLICATE)
                if integer and code <= 1:
                    fns["fixed"] = lambda: cv2.remap(src, fixed[0], fixed[1], flag,
                                                     borderMode=cv2.BORDER_REPLICATE)
            t = timed_rounds(fns, reps)
            if "peer" in t and (dtype != np.float32 or kname == "bilinear"):
                target = TARGET_INT.get(kname) if dtype != np.float32 else 1.2
                rows.append(row(group, f"{dname} {kname}", t["ours"], t["peer"],
                                f"cv2.remap {cvname} REPLICATE {dname}", "speedup", target))
                rows.append(row(group, f"{dname} {kname}, float32 unit maps", t["f32maps"],
                                t["peer"], f"cv2.remap {cvname} REPLICATE {dname}", "speedup",
                                target))
            if "fixed" in t:
                for maps, ours in (("float64", t["ours"]), ("float32", t["f32maps"])):
                    rows.append(row(group, f"{dname} {kname}, {maps} unit maps vs fixed-point maps",
                                    ours, t["fixed"], "cv2.remap on cv2.convertMaps CV_16SC2 maps",
                                    "speedup", 1.0))
            rows.append(row(group, f"{dname} {kname}: float32 unit maps vs float64 maps",
                            t["f32maps"], t["ours"], "our call with float64 maps", "speedup", 1.0))
            if "f64" in t:
                rows.append(row(group, f"{dname} {kname} vs our float64 call", t["ours"], t["f64"],
                                "remap_tensor on the float64 image", "speedup", 1.0))
        if dtype == np.uint8:
            # The memory floor: NumPy reading the maps and the source and
            # writing an output of the same bytes.
            out8 = np.empty_like(src)

            def stream():
                np.maximum.reduce(ux, axis=None)
                np.maximum.reduce(uy, axis=None)
                np.copyto(out8, src)

            t = timed_rounds({"ours": lambda: _tovik.remap_tensor(src, ux, uy, interpolation=1),
                              "floor": stream}, 3 if quick else 9)
            rows.append(row(group, "uint8 bilinear vs the memory floor", t["ours"], t["floor"],
                            "NumPy streaming the maps, source and output", "speedup", 0.5))
        out_bytes = H * W * C * np.dtype(dtype).itemsize
        for maps, (mx, my) in (("float64", (ux, uy)), ("float32", (ux32, uy32))):
            peak = peak_allocation(lambda: _tovik.remap_tensor(src, mx, my, interpolation=1))
            # MiB in the time columns: row() takes seconds and keeps milliseconds
            mem = {"median_s": peak / 2**20 / 1e3, "min_s": peak / 2**20 / 1e3}
            budget = {"median_s": (out_bytes / 2**20 + 2) / 1e3, "min_s": 0.0}
            r = row(group, f"{dname} bilinear, {maps} maps: peak allocation / (output + 2 MiB)",
                    mem, budget, "output + 2 MiB", "time_ratio", 1.0)
            r["unit"] = "MiB"
            r["note"] = f"output {out_bytes / 2**20:.1f} MiB"
            rows.append(r)
    N = 10_000_000
    i = np.arange(N, dtype=np.float64)
    u = np.clip((i + 3.0 * np.sin(i / N * 50.0)) / (N - 1), 0.0, 1.0)
    sig = (np.random.default_rng(3).random(N) * 60000 - 30000).astype(np.int16)
    sig64 = sig.astype(np.float64)
    t = timed_rounds({"ours": lambda: _tovik_1d.remap_tensor_1d(sig, u, interpolation=1),
                      "f64": lambda: _tovik_1d.remap_tensor_1d(sig64, u, interpolation=1)},
                     3 if quick else 7)
    rows.append(row("remap_tensor_1d", "1e+07 x 1 int16 linear vs our float64 call", t["ours"],
                    t["f64"], "remap_tensor_1d on the float64 signal", "speedup", 1.0))
    return rows


def bench_phase_reuse(cv2, quick):
    """Lanczos on maps whose sub-pixel phases repeat (a shift, a 2x
    enlargement): the weights are computed once per phase."""
    from tessaro.cython import _tovik

    rows = []
    H, W, C = 1024, 1024, 3
    src = image(H, W, C)
    yy, xx = np.mgrid[0:H, 0:W].astype(np.float64)
    cases = {"sub-pixel shift": (xx + 0.3, yy + 0.6), "2x enlargement": (xx / 2, yy / 2)}
    for name, (px, py) in cases.items():
        ux, uy = px / (W - 1), py / (H - 1)
        fx, fy = px.astype(np.float32), py.astype(np.float32)
        t = timed_rounds({"ours": lambda: _tovik.remap_tensor(src, ux, uy, interpolation=4),
                          "peer": lambda: cv2.remap(src, fx, fy, cv2.INTER_LANCZOS4,
                                                    borderMode=cv2.BORDER_REPLICATE)},
                         3 if quick else 7)
        rows.append(row("lanczos4, repeating phases", f"{H}x{W}x{C} {name}", t["ours"], t["peer"],
                        "cv2.remap INTER_LANCZOS4 REPLICATE", "time_ratio", 2.0))
    return rows


def bench_border_modes(quick):
    from tessaro.core import BorderConfig
    from tessaro.cython import _tovik

    rows = []
    H, W, C = 1024, 1024, 3
    ux, uy = warp_maps(H, W, zoom=1.25)  # about a third of the output falls outside
    outside = float(np.mean((ux < 0) | (ux > 1) | (uy < 0) | (uy > 1)))
    src = image(H, W, C)
    border = image(H, W, C, seed=5)
    configs = {
        "CLAMP": None,
        "CONSTANT feathered 0.05": BorderConfig.constant(0.25, feathering_width=0.05),
        "CONSTANT inward 0.05": BorderConfig.constant(0.25, feathering_width=0.05,
                                                      feathering_mode=1),
        "ARRAY feathered 0.05": BorderConfig.array(border, feathering_width=0.05),
    }
    for kname, code in [("bilinear", 1), ("cubic", 2)]:
        fns = {name: (lambda bc=bc: _tovik.remap_tensor(src, ux, uy, interpolation=code,
                                                        border_config=bc))
               for name, bc in configs.items()}
        t = timed_rounds(fns, 3 if quick else 7)
        for name in configs:
            r = row("border modes (no peer)", f"{H}x{W}x{C} {kname} {name}", t[name])
            r["pixels"], r["note_suffix"] = H * W, f", {outside:.0%} of pixels outside"
            rows.append(r)
    return rows


def bench_overhead(cv2, quick):
    from tessaro.cython import _tovik

    src = image(8, 8, 1)
    ux, uy = warp_maps(8, 8)
    px, py = (ux * 7).astype(np.float32), (uy * 7).astype(np.float32)
    fns = {"ours": lambda: _tovik.remap_tensor(src, ux, uy),
           "peer": lambda: cv2.remap(src, px, py, cv2.INTER_LINEAR, borderMode=cv2.BORDER_REPLICATE)}
    t = timed_rounds(fns, 5 if quick else 15, inner=500 if quick else 2000)
    r = row("per-call overhead", "8x8x1 bilinear, per call", t["ours"], t["peer"],
            "cv2.remap INTER_LINEAR", "time_ratio", 2.0)
    r["ours_us"], r["peer_us"] = r["ours_ms"] * 1e3, r["peer_ms"] * 1e3
    return [r]


def bench_channels(cv2, quick):
    from tessaro.cython import _tovik

    rows = []
    H = W = 512
    ux, uy = warp_maps(H, W)
    px, py = (ux * (W - 1)).astype(np.float32), (uy * (H - 1)).astype(np.float32)
    for kname, code, cvname in [("cubic", 2, "INTER_CUBIC"), ("lanczos4", 4, "INTER_LANCZOS4")]:
        for C in (1, 3, 4):
            src = image(H, W, C)
            flag = getattr(cv2, cvname)
            t = timed_rounds({"ours": lambda: _tovik.remap_tensor(src, ux, uy, interpolation=code),
                              "peer": lambda: cv2.remap(src, px, py, flag,
                                                        borderMode=cv2.BORDER_REPLICATE)},
                             2 if quick else 5)
            r = row("channel scaling", f"{H}x{W}x{C} {kname}", t["ours"], t["peer"],
                    f"cv2.remap {cvname}", "speedup")
            r["ours_ns_per_px"] = t["ours"]["median_s"] / (H * W) * 1e9
            r["peer_ns_per_px"] = t["peer"]["median_s"] / (H * W) * 1e9
            r["note"] = f"{r['ours_ns_per_px']:.1f} ns/px (cv2 {r['peer_ns_per_px']:.1f})"
            rows.append(r)
    return rows


def bench_1d(quick):
    from tessaro.cython import _tovik_1d

    rows = []
    for N, C in [(10_000_000, 1), (1_000_000, 4)]:
        rng = np.random.default_rng(3)
        i = np.arange(N, dtype=np.float64)
        u = np.clip((i + 3.0 * np.sin(i / N * 50.0)) / (N - 1), 0.0, 1.0)
        sig = rng.random(N) if C == 1 else rng.random((N, C))
        xp = np.linspace(0.0, 1.0, N)
        if C == 1:
            peer = lambda: np.interp(u, xp, sig)
        else:
            peer = lambda: [np.interp(u, xp, sig[:, c]) for c in range(C)]
        t = timed_rounds({"ours": lambda: _tovik_1d.remap_tensor_1d(sig, u, interpolation=1),
                          "peer": peer}, 3 if quick else 7)
        rows.append(row("remap_tensor_1d", f"{N:.0e} x {C} linear", t["ours"], t["peer"],
                        "numpy.interp per channel", "speedup", 5.0 if C == 1 else None))
    # Lanczos-4 on the same 10^6 positions, every one a new phase (NumPy has no peer).
    sig1 = np.ascontiguousarray(sig[:, 0])
    t = timed_rounds({"ours": lambda: _tovik_1d.remap_tensor_1d(sig1, u, interpolation=4)},
                     2 if quick else 5)
    r = row("remap_tensor_1d", f"{N:.0e} x 1 lanczos4", t["ours"])
    r["pixels"], r["note_suffix"] = N, " (no peer)"
    rows.append(r)
    return rows


def exact_numpy_clips(t, zv):
    """Candidate pure-NumPy expressions of the clip_abs element rule."""

    def where_nested(a):
        return np.where(np.abs(a) < t, np.where(a == 0, zv, np.copysign(t, a)), a)

    def max_copysign(a):
        r = np.abs(a)
        np.maximum(r, t, out=r)
        np.copysign(r, a, out=r)
        r[a == 0] = zv
        return r

    def masked(a):
        r = a.copy()
        m = np.abs(a) < t
        r[m] = np.copysign(t, a[m])
        r[m & (a == 0)] = zv
        return r

    def ufunc_where(a):
        r = a.copy()
        np.copysign(t, a, out=r, where=np.abs(a) < t)
        np.copyto(r, zv, where=a == 0)
        return r

    return {"np.where": where_nested, "maximum+copysign": max_copysign, "masked assign": masked,
            "ufunc where=": ufunc_where}


def bench_clip(quick):
    from tessaro.cython import _brisel
    from tessaro.cython._zero_sign import ZERO_SIGN

    rows = []
    for N in (10_000_000, 100_000):
        for dtype in (np.float64, np.float32):
            rng = np.random.default_rng(4)
            a = (rng.normal(size=N) * 0.2).astype(dtype)
            a[::97] = 0.0
            t = dtype(0.1)
            zv = t
            o = np.empty_like(a)
            want = _brisel.clip_abs(a, float(t), ZERO_SIGN.POSITIVE)
            bits = {np.float64: np.uint64, np.float32: np.uint32}[dtype]
            exact = {}
            for name, f in exact_numpy_clips(t, zv).items():
                with np.errstate(all="ignore"):
                    if np.array_equal(f(a).view(bits), want.view(bits)):
                        exact[name] = (lambda f=f: f(a))
            b = a.copy()
            inner = 1 if N > 1_000_000 else 20
            reps = 3 if quick else (9 if N > 1_000_000 else 11)
            fns = {"ours new": lambda: _brisel.clip_abs(a, float(t)),
                   "ours out": lambda: _brisel.clip_abs(a, float(t), out=o),
                   "ours in_place": lambda: _brisel.clip_abs(b, float(t), in_place=True),
                   "copyto": lambda: np.copyto(o, a),
                   "copy": lambda: a.copy()}
            fns.update({f"numpy {k}": v for k, v in exact.items()})
            with np.errstate(all="ignore"):
                r = timed_rounds(fns, reps, inner=inner)
            best = min((k for k in r if k.startswith("numpy ")), key=lambda k: r[k]["median_s"])
            dn = np.dtype(dtype).name
            big = N > 1_000_000
            rows.append(row("clip_abs", f"{N:.0e} {dn} out=", r["ours out"], r["copyto"],
                            "np.copyto(out, a)", "time_ratio", 1.15 if big else None))
            rows.append(row("clip_abs", f"{N:.0e} {dn} new array", r["ours new"], r["copy"],
                            "a.copy()", "time_ratio"))
            rows.append(row("clip_abs", f"{N:.0e} {dn} in_place", r["ours in_place"], r["copyto"],
                            "np.copyto(out, a)", "time_ratio"))
            rows.append(row("clip_abs", f"{N:.0e} {dn} new array vs NumPy", r["ours new"], r[best],
                            f"best exact NumPy ({best[6:]})", "speedup", 8.0 if big else None))
    return rows


PROBE_KERNELS = [("nearest", 0), ("bilinear", 1), ("cubic", 2)]


def thread_probe():
    """Subprocess side of the thread-scaling benchmark: times one 1024x1024x3
    remap with the OpenMP team its environment gives, for each kernel name
    read from stdin, and answers with the seconds it took."""
    from tessaro.cython import _tovik

    H, W, C = 1024, 1024, 3
    ux, uy = warp_maps(H, W)
    src = image(H, W, C)
    codes = dict(PROBE_KERNELS)
    for code in codes.values():  # warm-up: thread team, caches, allocator
        _tovik.remap_tensor(src, ux, uy, interpolation=code)
    print("ready", flush=True)
    for line in sys.stdin:
        code = codes[line.strip()]
        t0 = time.perf_counter()
        _tovik.remap_tensor(src, ux, uy, interpolation=code)
        print(time.perf_counter() - t0, flush=True)


def bench_threads(quick):
    # Two long-lived subprocesses, one with OMP_NUM_THREADS=1 and one with
    # the variable unset, asked in alternation, so that both see the same
    # background load.
    env1 = dict(os.environ, OMP_NUM_THREADS="1")
    envd = {k: v for k, v in os.environ.items() if k != "OMP_NUM_THREADS"}
    cmd = [sys.executable, os.path.abspath(__file__), "--thread-probe"]
    procs = {key: subprocess.Popen(cmd, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   text=True)
             for key, env in (("1", env1), ("default", envd))}
    for p in procs.values():
        assert p.stdout.readline().strip() == "ready"
    times = {(k, key): [] for k, _ in PROBE_KERNELS for key in procs}
    for _ in range(5 if quick else 15):
        for kname, _ in PROBE_KERNELS:
            for key, p in procs.items():
                p.stdin.write(kname + "\n")
                p.stdin.flush()
                times[(kname, key)].append(float(p.stdout.readline()))
    for p in procs.values():
        p.stdin.close()
        p.wait()
    rows = []
    for kname, _ in PROBE_KERNELS:
        one = {"median_s": float(np.median(times[(kname, "1")])), "min_s": min(times[(kname, "1")])}
        dflt = {"median_s": float(np.median(times[(kname, "default")])),
                "min_s": min(times[(kname, "default")])}
        rows.append(row("thread scaling", f"1024x1024x3 {kname}, default team vs 1 thread",
                        dflt, one, "same call, OMP_NUM_THREADS=1", "speedup",
                        1.8 if kname == "bilinear" else None,
                        note=f"default team = {os.cpu_count()} cores"))
    return rows


def rotation_matrix(H, W, degrees=7.0, scale=0.97):
    """The inverse map of a rotation by `degrees` with a `scale` zoom about
    the centre: output pixel (x, y) -> source pixel, 2x3."""
    a = math.radians(degrees)
    c, s = scale * math.cos(a), scale * math.sin(a)
    cx, cy = (W - 1) / 2, (H - 1) / 2
    return np.array([[c, -s, cx - c * cx + s * cy], [s, c, cy - s * cx - c * cy]])


def bench_affine(cv2, quick):
    """warp_affine (positions computed in the kernel) against cv2.warpAffine
    (WARP_INVERSE_MAP, BORDER_REPLICATE; it snaps positions to 1/32 pixel)
    and against our own warp through maps built beforehand, and the peak
    allocation of a call."""
    import tessaro
    from tessaro import maps

    rows = []
    H, W, C = 1024, 1024, 3
    m = rotation_matrix(H, W)
    mx, my = maps.affine(m, (H, W), (H, W))
    f64 = image(H, W, C)
    group = "warp_affine, 1024x1024x3, 7 degree rotation scaled 0.97"
    for dtype in (np.uint8, np.float32):
        dname = np.dtype(dtype).name
        src = (f64 * 255).astype(dtype) if dtype == np.uint8 else f64.astype(dtype)
        for kname, code, cvname in KERNELS[:3]:
            flag = getattr(cv2, cvname) | cv2.WARP_INVERSE_MAP
            fns = {"ours": lambda: tessaro.warp_affine(src, m, interpolation=code),
                   "peer": lambda: cv2.warpAffine(src, m, (W, H), flags=flag,
                                                  borderMode=cv2.BORDER_REPLICATE),
                   "maps": lambda: tessaro.warp(src, mx, my, interpolation=code)}
            t = timed_rounds(fns, 3 if quick else 15)
            rows.append(row(group, f"{dname} {kname}", t["ours"], t["peer"],
                            f"cv2.warpAffine {cvname} REPLICATE", "speedup", 1.0))
            rows.append(row(group, f"{dname} {kname} vs warp on built maps", t["ours"], t["maps"],
                            "tessaro.warp with float64 maps built beforehand", "speedup",
                            2.0 if dtype == np.uint8 else None))
        out_bytes = H * W * C * np.dtype(dtype).itemsize
        peak = peak_allocation(lambda: tessaro.warp_affine(src, m, interpolation=1))
        mem = {"median_s": peak / 2**20 / 1e3, "min_s": peak / 2**20 / 1e3}
        budget = {"median_s": (out_bytes / 2**20 + 2) / 1e3, "min_s": 0.0}
        r = row(group, f"{dname} bilinear: peak allocation / (output + 2 MiB)", mem, budget,
                "output + 2 MiB", "time_ratio", 1.0)
        r["unit"] = "MiB"
        r["note"] = f"output {out_bytes / 2**20:.1f} MiB"
        rows.append(r)
    return rows


# --------------------------------------------------------------------------
# Tiled warps on a local dask cluster (--tiles; not part of the default suite)


def bench_tiles_in_memory(size=8192, channels=3, chunk=1024, repeats=3, folder=None):
    """The single in-memory tessaro.warp call against tessaro.dask.warp on a
    2-worker LocalCluster (1 thread each). The maps are already in the
    workers' memory (persisted) and the output is persisted there too; the
    source is either an uncompressed zarr store (in the page cache) that the
    tasks read window by window, or a dask array persisted in the workers'
    memory, whose window pieces move between the workers."""
    import tempfile

    import dask
    import zarr
    from distributed import Client, LocalCluster, wait

    import tessaro
    import tessaro.dask as td
    from tessaro.tiles_demo import lazy_maps, lazy_raster, map_blocks, worker_environment

    angle = 7.0
    tmp = tempfile.TemporaryDirectory(prefix="tessaro-bench-", dir=folder)
    path = os.path.join(tmp.name, "src.zarr")
    with dask.config.set(scheduler="threads"):
        td.to_zarr(lazy_raster(size, channels, chunk), path, compressors=None)
    full = zarr.open_array(path, mode="r")[...]
    mx, my = map_blocks(slice(0, size), slice(0, size), size, angle)
    times = {"memory": [], "zarr": [], "dask": []}
    with dask.config.set(worker_environment(trim=False)), \
            LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                         dashboard_address=None) as cluster, Client(cluster) as client:
        sources = {"zarr": zarr.open_array(path, mode="r"),
                   "dask": lazy_raster(size, channels, chunk).persist()}
        map_x, map_y = (m.persist() for m in lazy_maps(size, chunk, angle))
        wait([sources["dask"], map_x, map_y])
        client.run(lambda: __import__("tessaro.cython._warp"))
        identical = {}
        for r in range(repeats + 1):
            t0 = time.perf_counter()
            tessaro.warp(full, mx, my)
            t_mem = time.perf_counter() - t0
            if r:
                times["memory"].append(t_mem)
            for key, src in sources.items():
                t0 = time.perf_counter()
                out = td.warp(src, map_x, map_y).persist()
                wait(out)
                t_cl = time.perf_counter() - t0
                if r == 0:  # warm-up; check a tile while it is there
                    tile = out.blocks[1, 2].compute()
                    rows, cols = slice(chunk, 2 * chunk), slice(2 * chunk, 3 * chunk)
                    want = tessaro.warp(full, mx[rows, cols], my[rows, cols])
                    identical[key] = tile.tobytes() == want.tobytes()
                else:
                    times[key].append(t_cl)
                del out
    tmp.cleanup()
    med = {k: float(np.median(v)) for k, v in times.items()}
    px = size * size
    rows = []
    for key, what in (("zarr", "source in zarr"), ("dask", "source persisted in the workers")):
        ratio = med["memory"] / med[key]
        rows.append({"case": f"{size}x{size}x{channels} float32 bilinear, {what}",
                     "memory_s": med["memory"], "cluster_s": med[key],
                     "memory_mpx_s": px / med["memory"] / 1e6, "cluster_mpx_s": px / med[key] / 1e6,
                     "throughput_ratio": ratio, "target": 0.6, "met": ratio >= 0.6,
                     "tile_identical": identical[key], "times": times[key],
                     "memory_times": times["memory"]})
    return rows


def bench_tiles(out_of_core=True):
    from tessaro.tiles_demo import run

    results = {"machine_load_before": os.getloadavg()}
    results["in_memory_maps"] = bench_tiles_in_memory()
    print(json.dumps(results["in_memory_maps"], indent=1), flush=True)
    results["zarr_to_zarr"] = run(8192, channels=3, chunk=1024, workers=2)
    if out_of_core:
        results["out_of_core"] = run(16384, channels=1, chunk=1024, workers=2,
                                     memory_limit="512MiB", compare_size=8192)
    results["machine_load_after"] = os.getloadavg()
    os.makedirs(RESULTS, exist_ok=True)
    with open(os.path.join(RESULTS, "tiles.json"), "w") as f:
        json.dump(results, f, indent=1, default=str)
    print(f"\nload average before/after: {results['machine_load_before'][0]:.2f}/"
          f"{results['machine_load_after'][0]:.2f}")
    for r in results["in_memory_maps"]:
        print(f"{r['case']}, 2-worker LocalCluster vs one in-memory call: "
              f"{r['cluster_s']:.2f} s vs {r['memory_s']:.2f} s (medians), throughput ratio "
              f"{r['throughput_ratio']:.2f} (target >= 0.6: {'met' if r['met'] else 'MISSED'}); "
              f"fastest runs {min(r['times']):.2f} s vs {min(r['memory_times']):.2f} s; "
              f"tile identical: {r['tile_identical']}")
    for key in ("zarr_to_zarr", "out_of_core"):
        if key in results:
            z = results[key]
            print(f"{key}: {z['size']}x{z['size']}x{z['channels']}, {z['cluster_s']:.1f} s, "
                  f"ratio to the in-memory call {z['throughput_ratio']:.2f}; workers within "
                  f"baseline + 4 x (chunk + window) = {z['bound_bytes'] / 2**20:.0f} MiB above "
                  f"baseline: {[w['within'] for w in z['workers_mem']]}; peaks "
                  f"{[round(w['peak'] / 2**20) for w in z['workers_mem']]} MiB; tiles identical "
                  f"{z['tiles_identical']}/{z['tiles_checked']}; complete {z['complete']}")
    print(f"wrote {RESULTS}/tiles.json")
    return 0


# --------------------------------------------------------------------------
# Report


def machine():
    cpu = platform.processor()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    import cv2

    return {"cpu": cpu, "cores": os.cpu_count(), "python": platform.python_version(),
            "numpy": np.__version__, "opencv": cv2.__version__,
            "opencv_threads": cv2.getNumThreads(), "platform": platform.platform(),
            "load_average_at_start": os.getloadavg()}


def combine(runs):
    """One row per benchmark from several runs of the suite: median times and
    ratio, with the range of the ratio over the runs."""
    out = []
    for i, first in enumerate(runs[0]):
        same = [rows[i] for rows in runs]
        r = dict(first)
        for key in ("ours_ms", "ours_min_ms", "peer_ms", "peer_min_ms", "ours_ns_per_px",
                    "peer_ns_per_px"):
            if key in r:
                r[key] = float(np.median([x[key] for x in same]))
        if "ratio" in r:
            ratios = [x["ratio"] for x in same]
            r["ratio"] = float(np.median(ratios))
            r["ratio_runs"] = ratios
            if r.get("target") is not None:
                t = r["target"]
                r["met"] = bool(r["ratio"] >= t) if r["ratio_kind"] == "speedup" else bool(r["ratio"] <= t)
        if "ours_ns_per_px" in r:
            r["note"] = f"{r['ours_ns_per_px']:.1f} ns/px (cv2 {r['peer_ns_per_px']:.1f})"
        if "pixels" in r:
            r["note"] = f"{r['pixels'] / r['ours_ms'] / 1e3:.1f} Mpx/s{r['note_suffix']}"
        out.append(r)
    return out


def fmt_ratio(r):
    if "ratio" not in r:
        return ""
    s = f"{r['ratio']:.2f}x" if r["ratio_kind"] == "speedup" else f"{r['ratio']:.2f}"
    if len(r.get("ratio_runs", [])) > 1:
        s += f" ({min(r['ratio_runs']):.2f}-{max(r['ratio_runs']):.2f})"
    return s


def fmt_target(r):
    if r.get("target") is None:
        return ""
    op = ">=" if r["ratio_kind"] == "speedup" else "<="
    mark = "met" if r.get("met") else "MISSED"
    return f"{op} {r['target']:g}: {mark}"


def table(rows, info):
    lines = []
    lines.append(f"Machine: {info['cpu']}, {info['cores']} cores; Python {info['python']}, "
                 f"NumPy {info['numpy']}, OpenCV {info['opencv']} ({info['opencv_threads']} threads)")
    lines.append(f"Load average before/after: {info['load_average_at_start'][0]:.2f}/"
                 f"{info['load_average_at_end'][0]:.2f}. Times: medians of repeats, then the "
                 f"median over {info['runs']} runs of the whole suite; ratio range over the runs "
                 "in parentheses.")
    lines.append("Ratio: 'x' = peer time / our time (higher is better); "
                 "plain number = our time / peer time (lower is better).")
    lines.append("")
    header = f"| {'benchmark':<58} | {'ours':>10} | {'peer':>10} | {'ratio (range)':>19} | {'target':<16} | peer / note"
    lines.append(header)
    lines.append("|" + "-" * 60 + "|" + "-" * 12 + "|" + "-" * 12 + "|" + "-" * 21 + "|" + "-" * 18 + "|" + "-" * 30)
    group = None
    for r in rows:
        if r["group"] != group:
            group = r["group"]
            lines.append(f"| **{group}** | | | | | |")
        unit_us = r["group"] == "per-call overhead"
        ours = f"{r['ours_ms'] * 1e3:.2f} us" if unit_us else f"{r['ours_ms']:.2f} ms"
        peer = ""
        if "peer_ms" in r:
            peer = f"{r['peer_ms'] * 1e3:.2f} us" if unit_us else f"{r['peer_ms']:.2f} ms"
        if r.get("unit") == "MiB":
            ours, peer = f"{r['ours_ms']:.1f} MiB", f"{r['peer_ms']:.1f} MiB"
        note = r["peer"] or ""
        if r.get("note"):
            note = f"{note}; {r['note']}" if note else r["note"]
        lines.append(f"| {r['name']:<58} | {ours:>10} | {peer:>10} | {fmt_ratio(r):>19} | "
                     f"{fmt_target(r):<16} | {note}")
    return "\n".join(lines)


def chart(rows, path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    rs = [r for r in rows if "ratio" in r]
    # Everything as "times faster than the peer" (time ratios inverted).
    vals = [r["ratio"] if r["ratio_kind"] == "speedup" else 1.0 / r["ratio"] for r in rs]
    labels = [f"{r['group']}: {r['name']}" for r in rs]
    colors = ["#2a7" if v >= 1 else "#c54" for v in vals]
    fig, ax = plt.subplots(figsize=(12, 0.32 * len(rs) + 1.5))
    y = np.arange(len(rs))
    ax.barh(y, vals, color=colors)
    for i, r in enumerate(rs):
        if r.get("target") is not None:
            tv = r["target"] if r["ratio_kind"] == "speedup" else 1.0 / r["target"]
            ax.plot([tv, tv], [i - 0.4, i + 0.4], color="k", lw=1.5)
    ax.axvline(1.0, color="grey", lw=0.8)
    ax.set_xscale("log")
    ax.set_yticks(y, labels, fontsize=7)
    ax.invert_yaxis()
    ax.set_xlabel("times faster than the peer (log scale; black ticks: targets)")
    ax.set_title("tessaro native kernels against cv2.remap / NumPy, same machine, same run", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="fewer repeats")
    ap.add_argument("--runs", type=int, default=3,
                    help="whole-suite repetitions; the table shows their median (default 3)")
    ap.add_argument("--only", action="append", metavar="STEP",
                    help="run only this step (repeatable), e.g. --only dtypes")
    ap.add_argument("--thread-probe", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--tiles", action="store_true",
                    help="only the tiled warps on a 2-worker dask LocalCluster")
    ap.add_argument("--no-out-of-core", action="store_true",
                    help="with --tiles: skip the 16384x16384 run with 512 MiB workers")
    args = ap.parse_args()
    if args.tiles:
        return bench_tiles(out_of_core=not args.no_out_of_core)
    if args.thread_probe:
        thread_probe()
        return 0
    import cv2

    t_start = time.perf_counter()
    info = machine()
    steps = [("2-D remap", lambda: bench_remap2d(cv2, args.quick)),
             ("dtypes", lambda: bench_dtypes(cv2, args.quick)),
             ("affine", lambda: bench_affine(cv2, args.quick)),
             ("lanczos phase reuse", lambda: bench_phase_reuse(cv2, args.quick)),
             ("border modes", lambda: bench_border_modes(args.quick)),
             ("per-call overhead", lambda: bench_overhead(cv2, args.quick)),
             ("channel scaling", lambda: bench_channels(cv2, args.quick)),
             ("1-D remap", lambda: bench_1d(args.quick)),
             ("clip_abs", lambda: bench_clip(args.quick)),
             ("thread scaling", lambda: bench_threads(args.quick))]
    if args.only:
        steps = [s for s in steps if s[0] in args.only]
    runs = []
    for n in range(args.runs):
        rows = []
        for name, step in steps:
            t0 = time.perf_counter()
            rows += step()
            print(f"  run {n + 1}/{args.runs} {name}: {time.perf_counter() - t0:.0f} s",
                  file=sys.stderr, flush=True)
        runs.append(rows)
    rows = combine(runs)
    # Group the rows for the table (stable: the order within a group stays).
    order = []
    for r in rows:
        if r["group"] not in order:
            order.append(r["group"])
    rows.sort(key=lambda r: order.index(r["group"]))
    info["load_average_at_end"] = os.getloadavg()
    info["runs"] = args.runs
    info["seconds"] = time.perf_counter() - t_start
    text = table(rows, info)
    print(text)
    os.makedirs(RESULTS, exist_ok=True)
    with open(os.path.join(RESULTS, "results.json"), "w") as f:
        json.dump({"machine": info, "rows": rows}, f, indent=1)
    with open(os.path.join(RESULTS, "table.md"), "w") as f:
        f.write(text + "\n")
    png = chart(rows, os.path.join(RESULTS, "results.png"))
    print(f"\nwrote {RESULTS}/results.json, table.md" + (", results.png" if png else
          " (no chart: matplotlib is not installed)") + f" in {info['seconds']:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
