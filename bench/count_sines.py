"""Counts the sine evaluations of Lanczos remaps per output pixel.

    python bench/count_sines.py

Builds a small shared library that wraps the C library's sin with a counter
(with the system C compiler) and runs the remaps with it preloaded. The
kernels evaluate at most 8a sines per pixel (two per tap weight, 2a taps
per axis), whatever the channel count, and none for a sub-pixel phase whose
weights they already hold.
"""

import ctypes
import os
import subprocess
import sys
import tempfile

import numpy as np

SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
static unsigned long long calls;
static double (*next_sin)(double);
double sin(double x) {
  if (!next_sin) next_sin = (double (*)(double))dlsym(RTLD_NEXT, "sin");
  __atomic_fetch_add(&calls, 1, __ATOMIC_RELAXED);
  return next_sin(x);
}
unsigned long long sin_calls(void) { return calls; }
void sin_reset(void) { calls = 0; }
"""


def measure(lib_path):
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from run import image, warp_maps
    from tessaro.cython import _tovik

    lib = ctypes.CDLL(lib_path)
    lib.sin_calls.restype = ctypes.c_ulonglong
    H = W = 256
    yy, xx = np.mgrid[0:H, 0:W].astype(np.float64)
    warp_x, warp_y = warp_maps(H, W)
    maps = {"smooth warp (every phase new)": (warp_x, warp_y),
            "sub-pixel shift": ((xx + 0.3) / (W - 1), (yy + 0.6) / (H - 1)),
            "2x enlargement": (xx / 2 / (W - 1), yy / 2 / (H - 1)),
            "constant rows, warped columns": (warp_x, (yy + 0.25) / (H - 1))}
    print(f"{'map':32s} {'C':>2} {'Lanczos-3':>10} {'Lanczos-4':>10}   (bound 8a: 24, 32)")
    for name, (mx, my) in maps.items():
        for C in (1, 3, 4):
            src = image(H, W, C)
            per_px = []
            for code in (3, 4):
                lib.sin_reset()
                _tovik.remap_tensor(src, mx, my, interpolation=code)
                per_px.append(lib.sin_calls() / (H * W))
            print(f"{name:32s} {C:>2} {per_px[0]:>10.2f} {per_px[1]:>10.2f}")


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--measure":
        measure(sys.argv[2])
        return 0
    cc = os.environ.get("CC", "cc")
    with tempfile.TemporaryDirectory() as tmp:
        src, lib = os.path.join(tmp, "shim.c"), os.path.join(tmp, "libsincount.so")
        with open(src, "w") as f:
            f.write(SHIM)
        subprocess.run([cc, "-O2", "-shared", "-fPIC", src, "-o", lib, "-ldl"], check=True)
        env = dict(os.environ, LD_PRELOAD=lib, OMP_NUM_THREADS="1")
        return subprocess.run([sys.executable, os.path.abspath(__file__), "--measure", lib],
                              env=env).returncode


if __name__ == "__main__":
    sys.exit(main())
