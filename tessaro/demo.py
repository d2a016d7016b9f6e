"""Picture gallery and timing demo of Tessaro's native kernels.

Run it with ``make demo``, ``python -m tessaro`` or the ``tessaro-demo``
console script.  It warps a picture with every interpolation kernel, border
mode and feathering setting of :func:`tessaro.cython._tovik.remap_tensor`,
resamples a signal with :func:`tessaro.cython._tovik_1d.remap_tensor_1d`,
plots :func:`tessaro.cython._brisel.clip_abs`, and times the 2-D remap
against ``cv2.remap`` on the same picture.  Everything runs offline: the
picture is one of scikit-image's bundled samples, or is drawn here when
scikit-image is not installed.

Output files (in ``--out``, default ``demo/out``):

* ``gallery.png``: kernels, border modes and feathering, one titled panel each;
* ``remap_1d.png``: a signal resampled with each kernel and each border mode;
* ``clip_abs.png``: the transfer curve of ``clip_abs`` and a clipped signal;
* ``geometric.png``: a rotation and a homography by ``warp_affine`` and
  ``warp_perspective``, computed without maps;
* ``timing.txt``: the timing table that is also printed (unless ``--no-timing``).

The figures need matplotlib (``pip install 'tessaro[demo]'``); the timing
table needs OpenCV.
"""

from __future__ import annotations

import argparse
import math
import os
import statistics
import sys
import time
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

Array = NDArray[np.float64]

KERNELS = (
    (0, "nearest", "NEAREST"),
    (1, "bilinear", "LINEAR"),
    (2, "Catmull-Rom cubic", "CUBIC"),
    (3, "Lanczos-3", "LANCZOS3"),
    (4, "Lanczos-4", "LANCZOS4"),
)

_TAPS = ("1 tap", "2 x 2 taps", "4 x 4 taps", "6 x 6 taps", "8 x 8 taps")

PICTURES = ("astronaut", "synthetic")

# Where the kernel close-up looks, in unit coordinates of the square
# picture (x, y), and how wide the close-up is as a fraction of the picture.
_CLOSE_UP = {
    "astronaut": ((315.0 / 511.0, 362.0 / 511.0), 0.05),
    "synthetic": ((0.72, 0.70), 0.05),
}

# Colours of the figures.
_INK = "#222222"
_OUTLINE = "#ffe14d"


# --------------------------------------------------------------------------
# Native modules


def _native() -> tuple[Callable[..., Any], Callable[..., Any], Callable[..., Any]]:
    """The three native entry points, with a helpful message when they are
    missing (typically: Python was started inside the source tree, whose
    ``tessaro`` package has no compiled modules)."""
    try:
        from tessaro.cython._brisel import clip_abs
        from tessaro.cython._tovik import remap_tensor
        from tessaro.cython._tovik_1d import remap_tensor_1d
    except ImportError as exc:
        import tessaro

        where = os.path.dirname(tessaro.__file__)
        raise SystemExit(
            f"tessaro-demo: cannot import the native modules from {where} ({exc}).\n"
            "Build and install the package first (`make demo` does both); when you "
            "run `python -m tessaro` inside the source tree, run it from another "
            "directory or use the `tessaro-demo` script, so that the installed "
            "package is imported rather than the sources."
        ) from None
    return remap_tensor, remap_tensor_1d, clip_abs


# --------------------------------------------------------------------------
# Pictures


def _have(module: str) -> bool:
    import importlib.util

    return importlib.util.find_spec(module) is not None


def _resize(img: Array, size: int) -> Array:
    """Centre-crop to a square and resize to size x size (anti-aliased)."""
    h, w = img.shape[:2]
    side = min(h, w)
    top, left = (h - side) // 2, (w - side) // 2
    img = img[top : top + side, left : left + side]
    if side == size:
        return np.ascontiguousarray(img)
    from skimage.transform import resize

    out = resize(img, (size, size), order=1, anti_aliasing=side > size, mode="edge")
    return np.ascontiguousarray(out, dtype=np.float64)


def synthetic_picture(size: int) -> Array:
    """A landscape-like RGB picture in [0, 1], drawn from formulas.

    Sky, sun, two mountain ridges, a lake with ripples and, bottom right, a
    striped sign with a checkerboard: sharp edges and fine detail for the
    kernel close-up.
    """
    y, x = np.mgrid[0:size, 0:size] / (size - 1.0)
    img = np.empty((size, size, 3))
    # Sky: blue at the top, warm near the horizon.
    for c, (top, low) in enumerate(((0.25, 0.98), (0.45, 0.80), (0.85, 0.62))):
        img[..., c] = top + (low - top) * np.clip(y / 0.55, 0, 1) ** 1.5
    # Sun with a soft halo.
    r = np.hypot(x - 0.28, y - 0.30)
    halo = np.exp(-((r / 0.12) ** 2))
    img += halo[..., None] * np.array([0.35, 0.25, 0.05])
    img[r < 0.065] = (1.0, 0.93, 0.70)
    # Two ridges.
    far = 0.48 - 0.07 * np.sin(7.0 * x + 0.5) - 0.04 * np.sin(17.0 * x)
    near = 0.58 - 0.10 * np.sin(4.0 * x + 2.0) - 0.02 * np.sin(31.0 * x)
    img[y > far] = img[y > far] * 0.35 + np.array([0.30, 0.36, 0.52]) * 0.65
    shade = 0.75 + 0.25 * np.sin(40.0 * x + 9.0 * y)
    img[y > near] = (np.array([0.20, 0.38, 0.18]) * shade[..., None])[y > near]
    # Lake with ripples.
    lake = y > 0.80
    ripples = 0.5 + 0.5 * np.sin(220.0 * y + 6.0 * np.sin(9.0 * x))
    water = np.stack([0.10 + 0.15 * ripples, 0.25 + 0.2 * ripples, 0.45 + 0.25 * ripples], -1)
    img[lake] = water[lake]
    # A sign: stripes and a checkerboard on a post.
    sx, sy = (x - 0.72) / 0.10, (y - 0.70) / 0.07
    board = (np.abs(sx) < 1) & (np.abs(sy) < 1)
    stripes = (np.floor((sx + sy) * 3.0) % 2 == 0)
    checker = (np.floor(sx * 4.0) + np.floor(sy * 4.0)) % 2 == 0
    face = np.where((sx < 0)[..., None], np.where(stripes[..., None], (0.95, 0.80, 0.10), (0.1, 0.1, 0.1)),
                    np.where(checker[..., None], (0.95, 0.95, 0.95), (0.75, 0.10, 0.10)))
    img[board] = face[board]
    post = (np.abs(x - 0.72) < 0.008) & (y > 0.77) & (y < 0.86)
    img[post] = (0.35, 0.25, 0.15)
    return np.clip(img, 0.0, 1.0)


def load_picture(name: str, size: int) -> Array:
    """The demo picture as float64 RGB in [0, 1], size x size."""
    if name == "synthetic":
        return synthetic_picture(size)
    from skimage import data

    img = getattr(data, name)().astype(np.float64) / 255.0
    return _resize(img, size)


def backdrop(size: int) -> Array:
    """The border image of the ARRAY panels: a two-tone checkerboard with a
    diagonal tint, so that it is plainly not part of the picture."""
    y, x = np.mgrid[0:size, 0:size] / (size - 1.0)
    cells = (np.floor(x * 8) + np.floor(y * 8)) % 2
    a = np.array([0.10, 0.42, 0.48])
    b = np.array([0.80, 0.88, 0.70])
    img = a + (b - a) * (0.35 + 0.4 * cells)[..., None]
    img *= (0.85 + 0.15 * (x + y) / 2)[..., None]
    return np.clip(img, 0.0, 1.0)


# --------------------------------------------------------------------------
# Coordinate maps (unit space: 0 and 1 are the first and last sample centres)


def unit_grid(h: int, w: int) -> tuple[Array, Array]:
    """Unit coordinates (x, y) of the output pixels themselves."""
    s = np.linspace(0.0, 1.0, w)
    t = np.linspace(0.0, 1.0, h)
    x, y = np.meshgrid(s, t)
    return x, y


def similarity_maps(
    size: int,
    *,
    centre: tuple[float, float] = (0.5, 0.5),
    extent: float = 1.0,
    angle_deg: float = 0.0,
) -> tuple[Array, Array]:
    """Maps that show a square window of the source, ``extent`` wide (in
    unit space, so 1.0 is the whole picture and 1.6 shows a margin around
    it), centred on ``centre`` and rotated by ``angle_deg``."""
    x, y = unit_grid(size, size)
    a = math.radians(angle_deg)
    dx, dy = (x - 0.5) * extent, (y - 0.5) * extent
    map_x = centre[0] + math.cos(a) * dx - math.sin(a) * dy
    map_y = centre[1] + math.sin(a) * dx + math.cos(a) * dy
    return map_x, map_y


def pull_in_maps(size: int, *, extent: float, angle_deg: float) -> tuple[Array, Array]:
    """Shrink and rotate the picture, with a gentle barrel bulge, so that the
    coordinates leave [0, 1] all around and the border mode shows."""
    map_x, map_y = similarity_maps(size, extent=extent, angle_deg=angle_deg)
    cx, cy = map_x - 0.5, map_y - 0.5
    bulge = 1.0 + 0.18 * (cx * cx + cy * cy)
    return 0.5 + cx * bulge, 0.5 + cy * bulge


# --------------------------------------------------------------------------
# The gallery


def _border_configs(size: int) -> list[tuple[str, str, Any]]:
    from tessaro.core import BorderConfig

    return [
        ("CLAMP", "edge sample repeated", BorderConfig.clamp()),
        ("CONSTANT", "constant 0.05, hard edge", BorderConfig.constant(0.05)),
        ("REFLECT", "mirror about the edge samples", BorderConfig.reflect()),
        ("WRAP", "period 1 in unit space (N-1 samples)", BorderConfig.wrap()),
        ("REFLECT_101", "the same fold, another formula", BorderConfig.reflect_101()),
        ("ARRAY", "border taken from an image", BorderConfig.array(backdrop(size))),
    ]


def _feather_configs(size: int) -> list[tuple[str, str, Any]]:
    from tessaro.core import BorderConfig, DistanceMode, FeatheringMode

    return [
        (
            "outward, EUCLIDEAN",
            "width 0.2: round corners",
            BorderConfig.constant(0.0, feathering_width=0.2),
        ),
        (
            "outward, CHEBYSHEV",
            "width 0.2: square corners",
            BorderConfig.constant(
                0.0, feathering_width=0.2, distance_mode=DistanceMode.CHEBYSHEV
            ),
        ),
        (
            "inward",
            "width 0.15, inside the edge",
            BorderConfig.constant(
                0.0, feathering_width=0.15, feathering_mode=FeatheringMode.INWARD
            ),
        ),
        (
            "per-channel widths",
            "R 0.03, G 0.12, B 0.3",
            BorderConfig.constant(0.0, feathering_width=0.3, feather_widths=(0.03, 0.12, 0.3)),
        ),
        (
            "per-side multipliers",
            "left/right soft, top/bottom hard",
            BorderConfig.constant(
                0.0,
                feathering_width=0.2,
                feathering_y_undershoot_multiplier=-1.0,
                feathering_y_overshoot_multiplier=-1.0,
            ),
        ),
        (
            "ARRAY, outward",
            "width 0.2 into the border image",
            BorderConfig.array(backdrop(size), feathering_width=0.2),
        ),
    ]


def _show(ax: Any, img: Array, title: str, subtitle: str = "") -> None:
    # Matplotlib's default display interpolation antialiases when a panel is
    # shown smaller than the array, so fine detail is not aliased by the plot.
    ax.imshow(np.clip(img, 0.0, 1.0))
    ax.set_xticks([])
    ax.set_yticks([])
    for spine in ax.spines.values():
        spine.set_color("#999999")
    text = title if not subtitle else f"{title}\n{subtitle}"
    ax.set_title(text, fontsize=11, color=_INK, linespacing=1.25, pad=5)


def _section(subfig: Any, name: str, text: str) -> None:
    """Row heading: the section name in bold, then a line of explanation."""
    bold = name.replace(" ", "\\ ")
    subfig.text(0.008, 0.955, rf"$\bf{{{bold}}}$:  {text}", fontsize=13.5, color=_INK, va="top")


def _outline(ax: Any, map_x: Array, map_y: Array) -> None:
    """Dashed outline of the source picture (where the map leaves [0, 1])."""
    inside = (map_x >= 0) & (map_x <= 1) & (map_y >= 0) & (map_y <= 1)
    if inside.all() or not inside.any():
        return
    ax.contour(
        inside.astype(float), levels=[0.5], colors=_OUTLINE, linewidths=0.9, linestyles="--"
    )


def render_gallery(
    picture: Array, picture_label: str, close_up: tuple[tuple[float, float], float], path: Path
) -> None:
    from matplotlib.figure import Figure
    from matplotlib.patches import Polygon

    remap_tensor, _, _ = _native()
    size = picture.shape[0]

    fig = Figure(figsize=(19.5, 13.6), dpi=100, facecolor="white")
    subfigs: Any = fig.subfigures(4, 1, height_ratios=[0.09, 1.0, 1.0, 1.0], hspace=0.0)
    head, rows = subfigs[0], list(subfigs[1:])
    head.text(
        0.5,
        0.35,
        f"tessaro.cython._tovik.remap_tensor  -  {picture_label}",
        fontsize=18,
        fontweight="bold",
        color=_INK,
        ha="center",
        va="center",
    )

    # Row 1: interpolation kernels on a close-up.
    centre, extent = close_up
    angle = 12.0
    kx, ky = similarity_maps(size, centre=centre, extent=extent, angle_deg=angle)
    zoom = 1.0 / extent
    _section(
        rows[0],
        "Interpolation kernels",
        f"a {zoom:.0f}x close-up, rotated {angle:.0f} degrees, through the same map in every panel",
    )
    axes = rows[0].subplots(1, 6)
    # The first panel gives context: a 4x view around the close-up, with the
    # close-up's footprint drawn on it.
    ctx_extent = min(1.0, 5.0 * extent)
    half = ctx_extent / 2
    ctx_centre = (min(max(centre[0], half), 1 - half), min(max(centre[1], half), 1 - half))
    cx, cy = similarity_maps(size, centre=ctx_centre, extent=ctx_extent)
    _show(
        axes[0],
        remap_tensor(picture, cx, cy, interpolation=2),
        f"context: {1 / ctx_extent:.0f}x around the close-up",
        "its footprint in yellow",
    )
    corners = [(0, 0), (0, -1), (-1, -1), (-1, 0)]
    poly = [
        (
            (size - 1) * (kx[i, j] - (ctx_centre[0] - ctx_extent / 2)) / ctx_extent,
            (size - 1) * (ky[i, j] - (ctx_centre[1] - ctx_extent / 2)) / ctx_extent,
        )
        for i, j in corners
    ]
    axes[0].add_patch(Polygon(poly, closed=True, fill=False, edgecolor=_OUTLINE, linewidth=2.0))
    for ax, (code, name, member), taps in zip(axes[1:], KERNELS, _TAPS):
        out = remap_tensor(picture, kx, ky, interpolation=code)
        _show(ax, out, name, f"interpolation={code} ({member}), {taps}")

    # Row 2: border modes under a warp that pulls the border in.
    bx, by = pull_in_maps(size, extent=1.9, angle_deg=20.0)
    _section(
        rows[1],
        "Border modes",
        "the picture shrunk, rotated 20 degrees and bulged, so the maps leave [0, 1] "
        "(dashed: the edge of the source; bilinear)",
    )
    axes = rows[1].subplots(1, 6)
    for ax, (name, what, bc) in zip(axes, _border_configs(size)):
        out = remap_tensor(picture, bx, by, interpolation=1, border_config=bc)
        _show(ax, out, name, what)
        _outline(ax, bx, by)

    # Row 3: feathering.
    fx, fy = pull_in_maps(size, extent=1.75, angle_deg=10.0)
    _section(
        rows[2],
        "Feathering",
        "CONSTANT 0.0 or ARRAY with a soft edge; the width is a distance in unit space, "
        "past the edge (outward) or inside it (inward)",
    )
    axes = rows[2].subplots(1, 6)
    for ax, (name, what, bc) in zip(axes, _feather_configs(size)):
        out = remap_tensor(picture, fx, fy, interpolation=1, border_config=bc)
        _show(ax, out, name, what)
        _outline(ax, fx, fy)

    for row in rows:
        row.subplots_adjust(left=0.008, right=0.992, bottom=0.02, top=0.82, wspace=0.04)
    fig.savefig(path, dpi=100, facecolor="white")


# --------------------------------------------------------------------------
# 1-D panel


def demo_signal(n: int) -> Array:
    """A signal with a step, a spike, a smooth bump and a chirp."""
    t = np.linspace(0.0, 1.0, n)
    sig = 0.15 * np.sin(2 * np.pi * 3 * t)
    sig += np.where((t > 0.2) & (t < 0.3), 0.8, 0.0)
    sig += 0.5 * np.exp(-(((t - 0.5) / 0.04) ** 2))
    late = np.clip(t - 0.65, 0.0, None)
    sig += np.where(t > 0.65, 0.25 * np.sin(2 * np.pi * (40 * late) ** 1.4), 0.0)
    spike = int(round(0.22 * (n - 1)))
    sig[spike] += 0.6
    return sig


def render_1d(path: Path) -> None:
    from matplotlib.figure import Figure

    from tessaro.core import BorderConfig, FeatheringMode

    _, remap_tensor_1d, _ = _native()
    n = 400
    sig = demo_signal(n)
    fig = Figure(figsize=(13, 9.2), dpi=100, facecolor="white")
    fig.suptitle("tessaro.cython._tovik_1d.remap_tensor_1d", fontsize=16, fontweight="bold", color=_INK)
    top, bottom = fig.subplots(2, 1, gridspec_kw={"height_ratios": [1.0, 1.15], "hspace": 0.38})

    # Kernels: a window of the signal around the step and the spike, read
    # at n points (the remap keeps the length of the source).
    first, count = int(0.18 * (n - 1)), 24
    u = (first + count * np.linspace(0.0, 1.0, n)) / (n - 1)
    pos = u * (n - 1)
    idx = np.arange(first, first + count + 1)
    top.plot(idx, sig[idx], "o", color="0.35", ms=6, zorder=5, label="source samples")
    colours = ["#7f7f7f", "#1f77b4", "#2ca02c", "#d62728", "#9467bd"]
    for (code, name, _member), colour in zip(KERNELS, colours):
        out = remap_tensor_1d(sig, u, interpolation=code)
        top.plot(pos, out, color=colour, lw=1.6, label=f"{code}: {name}")
    top.set_title(
        f"Kernels: samples {first}..{first + count} of a {n}-sample signal read at {n} points "
        "(a 16x close-up of a step and a spike)",
        fontsize=12,
        color=_INK,
    )
    top.set_xlabel("source sample index  (pixel position p = (N - 1) * u)")
    top.legend(fontsize=9, ncol=3, loc="upper right", frameon=False)
    top.grid(alpha=0.25)

    # Border modes: a short ramp-and-bump signal read at u from -1 to 2.
    m = 400
    s = np.linspace(0.0, 1.0, m)
    ramp = 0.15 + 0.7 * s + 0.25 * np.exp(-(((s - 0.2) / 0.05) ** 2))
    uu = np.linspace(-1.0, 2.0, m)
    modes = [
        ("CLAMP", BorderConfig.clamp()),
        ("CONSTANT 0 (feathered 0.25)", BorderConfig.constant(0.0, feathering_width=0.25)),
        ("REFLECT", BorderConfig.reflect()),
        ("WRAP (period 1)", BorderConfig.wrap()),
        ("REFLECT_101", BorderConfig.reflect_101()),
        (
            "CONSTANT 0, inward 0.15",
            BorderConfig.constant(0.0, feathering_width=0.15, feathering_mode=FeatheringMode.INWARD),
        ),
    ]
    step = 1.35
    for k, (name, bc) in enumerate(modes):
        out = remap_tensor_1d(ramp, uu, interpolation=1, border_config=bc)
        off = (len(modes) - 1 - k) * step
        bottom.plot(uu, out + off, lw=1.7, color=f"C{k}")
        bottom.text(-1.02, off + 0.45, name, ha="right", va="center", fontsize=10, color=f"C{k}")
    bottom.axvspan(0.0, 1.0, color="#ffe14d", alpha=0.25, lw=0)
    bottom.text(0.5, -0.45, "the source: u in [0, 1]", ha="center", fontsize=10, color=_INK)
    bottom.set_ylim(-0.7, len(modes) * step + 0.1)
    bottom.set_xlim(-1.0, 2.0)
    bottom.set_yticks([])
    bottom.set_xlabel("unit coordinate u  (0 = first sample, 1 = last sample)")
    bottom.set_title(
        "Border modes: a ramp with a bump, read at u from -1 to 2 (linear interpolation)",
        fontsize=12,
        color=_INK,
    )
    bottom.grid(alpha=0.25, axis="x")
    fig.subplots_adjust(left=0.2, right=0.98, top=0.9, bottom=0.07)
    fig.savefig(path, dpi=100, facecolor="white")


# --------------------------------------------------------------------------
# Geometric warps


def _homography(frm: Sequence[tuple[float, float]], to: Sequence[tuple[float, float]]) -> Array:
    """The 3x3 matrix taking the four points `frm` to `to` (M[2, 2] = 1)."""
    rows, rhs = [], []
    for (x, y), (u, v) in zip(frm, to):
        rows += [[x, y, 1, 0, 0, 0, -u * x, -u * y], [0, 0, 0, x, y, 1, -v * x, -v * y]]
        rhs += [u, v]
    return np.append(np.linalg.solve(np.array(rows), np.array(rhs)), 1.0).reshape(3, 3)


def render_geometric(picture: Array, path: Path) -> None:
    """A rotation and a homography of the picture, by a matrix alone."""
    from matplotlib.figure import Figure

    import tessaro

    h, w = picture.shape[:2]
    a, k = math.radians(7.0), 0.97
    c, s = k * math.cos(a), k * math.sin(a)
    cx, cy = (w - 1) / 2, (h - 1) / 2
    rotation = np.array([[c, -s, cx - c * cx + s * cy], [s, c, cy - s * cx - c * cy]])
    # The picture laid back: its corners go to a trapezoid narrower at the
    # top. The matrix takes output pixels to source pixels, so it is the
    # homography from the trapezoid to the source's corners.
    corners = [(0.0, 0.0), (w - 1.0, 0.0), (w - 1.0, h - 1.0), (0.0, h - 1.0)]
    trapezoid = [(0.3 * w, 0.15 * h), (0.7 * w, 0.15 * h), (w - 1.0, h - 1.0), (0.0, h - 1.0)]
    tilt = _homography(trapezoid, corners)
    black = tessaro.BorderConfig.constant(0.0)
    panels = [
        (picture, "source", ""),
        (tessaro.warp_affine(picture, rotation, interpolation=2, border_config=black),
         "warp_affine", "7 degrees, scale 0.97, cubic, CONSTANT 0"),
        (tessaro.warp_perspective(picture, tilt, interpolation=1, border_config=black),
         "warp_perspective", "laid back, bilinear, CONSTANT 0"),
    ]
    fig = Figure(figsize=(13, 4.8), dpi=100, facecolor="white")
    fig.suptitle("Geometric warps by a matrix: positions computed in the kernel, no maps",
                 fontsize=14, fontweight="bold", color=_INK)
    for ax, (img, title, subtitle) in zip(fig.subplots(1, 3), panels):
        _show(ax, np.nan_to_num(img), title, subtitle)
    fig.subplots_adjust(left=0.02, right=0.98, top=0.84, bottom=0.04, wspace=0.06)
    fig.savefig(path, dpi=100, facecolor="white")


# --------------------------------------------------------------------------
# clip_abs panel


def render_clip(path: Path) -> None:
    from matplotlib.figure import Figure

    from tessaro.cython._zero_sign import ZERO_SIGN

    _, _, clip_abs = _native()
    t = 0.25
    fig = Figure(figsize=(13, 5.2), dpi=100, facecolor="white")
    fig.suptitle(
        "tessaro.cython._brisel.clip_abs: magnitudes below the threshold are raised to it, signs kept",
        fontsize=14,
        fontweight="bold",
        color=_INK,
    )
    left, right = fig.subplots(1, 2, gridspec_kw={"wspace": 0.22})

    x = np.linspace(-1.0, 1.0, 801)
    x[400] = 0.0
    pos = clip_abs(x, t)
    neg = clip_abs(x, t, ZERO_SIGN.NEGATIVE)
    left.axhspan(-t, t, color="#d62728", alpha=0.08, lw=0)
    left.plot(x, x, color="0.7", ls="--", lw=1, label="identity")
    nz = x != 0.0
    left.plot(x[nz & (x < 0)], pos[nz & (x < 0)], color="C0", lw=2, label=f"clip_abs(x, {t})")
    left.plot(x[nz & (x > 0)], pos[nz & (x > 0)], color="C0", lw=2)
    left.plot([0], [pos[400]], "o", color="C2", ms=8, label="x = 0, ZERO_SIGN.POSITIVE")
    left.plot([0], [neg[400]], "s", color="C3", ms=8, label="x = 0, ZERO_SIGN.NEGATIVE")
    left.set_title(f"transfer curve, threshold {t} (no output inside the shaded band)", fontsize=11)
    left.set_xlabel("x")
    left.set_ylabel("clip_abs(x)")
    left.legend(fontsize=9, loc="upper left", frameon=False)
    left.grid(alpha=0.25)

    n = 64
    s = np.linspace(0.0, 4.0 * np.pi, n, endpoint=False)
    sig = np.exp(-s / 8.0) * np.sin(s) * 0.9
    sig[0] = 0.0
    sig[40] = -0.0
    clipped = clip_abs(sig, t)
    right.axhspan(-t, t, color="#d62728", alpha=0.08, lw=0)
    moved = clipped != sig
    right.vlines(np.flatnonzero(moved), sig[moved], clipped[moved], color="C0", lw=1, alpha=0.6)
    right.plot(sig, "o", color="0.6", ms=5, label="signal")
    right.plot(clipped, "o", color="C0", ms=4, label=f"clip_abs(signal, {t})")
    right.set_title(
        "each sample inside the band moves to its edge (zeros to +threshold)", fontsize=11
    )
    right.set_xlabel("sample")
    right.legend(fontsize=9, loc="upper right", frameon=False)
    right.grid(alpha=0.25)
    fig.subplots_adjust(left=0.06, right=0.98, top=0.84, bottom=0.11)
    fig.savefig(path, dpi=100, facecolor="white")


# --------------------------------------------------------------------------
# Timing against cv2.remap


def _best_time(fn: Callable[[], object], budget: float = 0.5, min_runs: int = 3) -> float:
    """Median wall time of ``fn`` in seconds, after one warm-up call."""
    fn()
    times: list[float] = []
    start = time.perf_counter()
    while len(times) < min_runs or (time.perf_counter() - start < budget and len(times) < 50):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def timing_table(picture: Array) -> str:
    """Time remap_tensor against cv2.remap on the same picture and warp."""
    remap_tensor, _, _ = _native()
    try:
        import cv2
    except ImportError:
        return "timing skipped: OpenCV (cv2) is not installed (pip install opencv-python-headless)"

    size = picture.shape[0]
    # A mild warp that stays almost inside the picture: rotate 7 degrees,
    # zoom in 10 %, bulge a little; CLAMP and BORDER_REPLICATE agree there.
    map_x, map_y = pull_in_maps(size, extent=0.9, angle_deg=7.0)
    px = ((size - 1) * map_x).astype(np.float32)
    py = ((size - 1) * map_y).astype(np.float32)
    pic8 = np.round(picture * 255.0).astype(np.uint8)
    cv_flags = {0: cv2.INTER_NEAREST, 1: cv2.INTER_LINEAR, 2: cv2.INTER_CUBIC, 4: cv2.INTER_LANCZOS4}

    header = (
        f"remap of a {size} x {size} x 3 picture, same warp; median wall time in ms "
        f"(tessaro: OpenMP default threads, {os.cpu_count()} cores; cv2 {cv2.__version__}: "
        f"{cv2.getNumThreads()} threads)"
    )
    cols = ("kernel", "tessaro f64", "cv2 f64", "cv2 f32", "cv2 uint8", "max |diff| f64")
    rows = []
    for code, name, _member in KERNELS:
        ours = _best_time(lambda: remap_tensor(picture, map_x, map_y, interpolation=code))
        flag = cv_flags.get(code)
        if flag is None:
            rows.append((name, f"{ours * 1e3:.1f}", "-", "-", "-", "no cv2 kernel"))
            continue

        def cv(img: Any, flag: int = flag) -> Any:
            return cv2.remap(img, px, py, flag, borderMode=cv2.BORDER_REPLICATE)

        pic32 = picture.astype(np.float32)
        t64 = _best_time(lambda: cv(picture))
        t32 = _best_time(lambda: cv(pic32))
        t8 = _best_time(lambda: cv(pic8))
        ours_out = remap_tensor(picture, map_x, map_y, interpolation=code)
        diff = float(np.max(np.abs(cv(picture) - ours_out)))
        rows.append(
            (name, f"{ours * 1e3:.1f}", f"{t64 * 1e3:.1f}", f"{t32 * 1e3:.1f}", f"{t8 * 1e3:.1f}", f"{diff:.2g}")
        )
    widths = [max(len(c), *(len(r[i]) for r in rows)) for i, c in enumerate(cols)]

    def line(cells: Sequence[str]) -> str:
        first = cells[0].ljust(widths[0])
        rest = "  ".join(c.rjust(w) for c, w in zip(cells[1:], widths[1:]))
        return f"  {first}  {rest}"

    notes = (
        "  max |diff|: largest difference between the two float64 results (picture in [0, 1]).\n"
        "  cv2.remap snaps positions to 1/32 pixel and its cubic kernel uses a = -0.75; tessaro\n"
        "  interpolates at the exact position with Catmull-Rom (a = -0.5). For cv2 the unit maps\n"
        "  were turned into float32 pixel maps p = (n - 1) * u beforehand (not timed)."
    )
    return "\n".join(
        [header, line(cols), line(["-" * w for w in widths]), *(line(r) for r in rows), notes]
    )


# --------------------------------------------------------------------------
# Command line


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="tessaro-demo",
        description=(
            "Warp a picture with every kernel, border mode and feathering setting of "
            "tessaro's remap, plot the 1-D remap and clip_abs, and time the remap "
            "against cv2.remap. Runs offline."
        ),
    )
    p.add_argument(
        "--out",
        type=Path,
        default=Path("demo/out"),
        metavar="DIR",
        help="output folder (default: demo/out)",
    )
    p.add_argument(
        "--size",
        type=int,
        default=512,
        metavar="N",
        help="side of the square working picture in pixels (default: 512)",
    )
    p.add_argument("--no-timing", action="store_true", help="skip the timing table against cv2.remap")
    p.add_argument(
        "--picture",
        choices=("auto", *PICTURES),
        default="auto",
        help="astronaut (scikit-image's bundled sample), synthetic (drawn here), or auto: "
        "astronaut when scikit-image is installed (default)",
    )
    return p


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    if args.size < 16:
        _parser().error("--size must be at least 16")
    if not _have("matplotlib"):
        print(
            "tessaro-demo needs matplotlib (and, for the photograph, scikit-image): "
            "pip install 'tessaro[demo]'",
            file=sys.stderr,
        )
        return 1
    _native()

    name = args.picture
    if name == "auto":
        name = "astronaut" if _have("skimage") else "synthetic"
    if name != "synthetic" and not _have("skimage"):
        print("tessaro-demo: --picture astronaut needs scikit-image; using the synthetic picture")
        name = "synthetic"
    picture = load_picture(name, args.size)
    label = (
        f"picture: scikit-image's astronaut sample, {args.size} x {args.size}"
        if name == "astronaut"
        else f"picture: drawn by the demo, {args.size} x {args.size}"
    )

    out: Path = args.out
    out.mkdir(parents=True, exist_ok=True)
    written = []
    t0 = time.perf_counter()
    gallery = out / "gallery.png"
    render_gallery(picture, label, _CLOSE_UP[name], gallery)
    written.append(gallery)
    one_d = out / "remap_1d.png"
    render_1d(one_d)
    written.append(one_d)
    clip = out / "clip_abs.png"
    render_clip(clip)
    written.append(clip)
    geometric = out / "geometric.png"
    render_geometric(picture, geometric)
    written.append(geometric)
    print(f"Figures drawn in {time.perf_counter() - t0:.1f} s ({label}).")

    if not args.no_timing:
        print()
        table = timing_table(picture)
        print(table)
        print()
        timing = out / "timing.txt"
        timing.write_text(table + "\n")
        written.append(timing)

    print("Wrote:")
    for path in written:
        print(f"  {path.resolve()}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
