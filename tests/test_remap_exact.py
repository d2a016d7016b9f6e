"""remap_tensor agrees bit for bit with the scalar reference model, and so
does remap_tensor_1d in the cases both entries share (the `rank` cases;
test_remap1d_exact.py holds the 1-D entry's own).

Every case draws a small random image and random unit-space maps (mostly
in [-0.6, 1.6], with exact 0, 0.5, 1 and grid positions mixed in) from a
seed derived from the case's parameters, so a failure reproduces by
rerunning that case.  numpy.testing.assert_array_equal counts NaN as equal
to NaN, so NaN results must appear at the same places.

Configurations that BorderConfig rightly refuses (NaN multipliers,
negative widths, mode or distance codes without an enum member) are passed
as plain attribute bags: the entry reads the configuration by attribute
name only.
"""

import importlib
import math
import tracemalloc
import types
import warnings
import zlib

import numpy as np
import pytest
from numpy.testing import assert_array_equal

try:
    _tovik = importlib.import_module("tessaro.cython._tovik")
    _tovik_1d = importlib.import_module("tessaro.cython._tovik_1d")
except ModuleNotFoundError as exc:
    if exc.name not in ("tessaro.cython._tovik", "tessaro.cython._tovik_1d"):
        raise
    pytest.skip(f"{exc.name} is not built", allow_module_level=True)

import oracle
from tessaro.core.border_config import BorderConfig
from tessaro.core.enums import BorderMode, DistanceMode, FeatheringMode, InterpMethod

NAN = math.nan
INF = math.inf
H, W = 5, 7
N = 11
KERNELS = [0, 1, 2, 3, 4, 7, -1]
ONES = (1.0, 1.0, 1.0, 1.0)


# --------------------------------------------------------------------------
# inputs


def rng_for(*key):
    return np.random.default_rng(zlib.crc32(repr(key).encode()))


def make_src(rng, channels, h=H, w=W):
    shape = (h, w) if channels == "2d" else (h, w, channels)
    return rng.normal(scale=2.0, size=shape)


DTYPES = ["float64", "float32", "uint8", "int8", "uint16", "int16"]


def typed_src(rng, channels, dtype):
    return oracle.typed_like(make_src(rng, channels), dtype, rng)



def with_nans(m, *flat):
    m = m.copy()
    m.flat[list(flat)] = NAN
    return m


def make_map(rng, *shape):
    shape = shape or (H, W)
    m = rng.uniform(-0.6, 1.6, size=shape)
    pick = rng.random(shape) < 0.3
    m[pick] = rng.choice([0.0, 0.5, 1.0, -0.0, 0.25, 0.75], size=int(pick.sum()))
    return m


def feathering(width=0.0, mult=ONES, fm=0, dm=0, preserve=False, widths=None):
    return dict(
        feathering_width=width,
        feathering_x_undershoot_multiplier=mult[0],
        feathering_x_overshoot_multiplier=mult[1],
        feathering_y_undershoot_multiplier=mult[2],
        feathering_y_overshoot_multiplier=mult[3],
        feathering_mode=fm,
        distance_mode=dm,
        preserve_non_feather_dims=preserve,
        feather_widths=widths,
    )


def _code(enum_cls, value):
    try:
        return enum_cls(value)
    except ValueError:
        return types.SimpleNamespace(value=value)


def bag(mode, array=None, constant_value=0.0, **kw):
    """A configuration as a plain attribute bag, for values BorderConfig refuses."""
    f = feathering(**kw)
    f["mode"] = _code(BorderMode, mode)
    f["array"] = array
    f["constant_value"] = constant_value
    f["feathering_mode"] = _code(FeatheringMode, f["feathering_mode"])
    f["distance_mode"] = _code(DistanceMode, f["distance_mode"])
    return types.SimpleNamespace(**f)


def config(name, rng, src_shape, scale=1.0, axes=2, **kw):
    """BorderConfig for a border name; the array modes get a random border
    image, with a channel axis ("array3") or without ("array2"). `axes`: the
    source's spatial axes."""
    if name == "clamp":
        return BorderConfig.clamp()
    if name == "reflect":
        return BorderConfig.reflect()
    if name == "wrap":
        return BorderConfig.wrap()
    if name == "reflect_101":
        return BorderConfig.reflect_101()
    if name == "constant":
        return BorderConfig.constant(float(rng.normal(scale=3.0 * scale)), **feathering(**kw))
    spatial = tuple(src_shape[:axes])
    if name == "array3":
        c = 1 if len(src_shape) == axes else src_shape[axes]
        border = rng.normal(scale=3.0 * scale, size=spatial + (c,))
    else:
        assert name == "array2"
        border = rng.normal(scale=3.0 * scale, size=spatial)
    return BorderConfig.array(border, **feathering(**kw))


# --------------------------------------------------------------------------
# the reference: what the entry hands its driver, fed to the model


def remap(src, map_x, map_y, interpolation, bc):
    return _tovik.remap_tensor(src, map_x, map_y, interpolation=interpolation, border_config=bc)


def assert_same_values(got, want):
    """Equal element for element, and equal to the bit where not NaN: signed
    zeros count as different, NaN payloads are not compared."""
    got = np.asarray(got)
    want = np.asarray(want, dtype=got.dtype)
    assert_array_equal(np.isnan(got) if got.dtype.kind == "f" else got, np.isnan(want) if want.dtype.kind == "f" else want)
    if got.dtype.kind == "f":
        keep = ~np.isnan(got)
        bits = {2: np.uint16, 4: np.uint32, 8: np.uint64}[got.dtype.itemsize]
        assert_array_equal(got[keep].view(bits), want[keep].view(bits))


class Rank:
    """An entry as the shared cases call it: an image (H, W) with maps
    (map_x, map_y), or a signal (N,) with (map_x,)."""

    def __init__(self, fn, spatial):
        self.fn, self.spatial, self.axes = fn, spatial, len(spatial)

    def src(self, rng, channels, spatial=None):
        return rng.normal(scale=2.0, size=(spatial or self.spatial) + ((channels,) if channels else ()))

    def maps(self, rng, spatial=None):
        return tuple(make_map(rng, *(spatial or self.spatial)) for _ in range(self.axes))

    def config(self, name, rng, src_shape, **kw):
        return config(name, rng, src_shape, axes=self.axes, **kw)

    def check(self, src, maps, interpolation, bc):
        got = self.fn(src, *maps, interpolation=interpolation, border_config=bc)
        assert got.shape == np.shape(src)
        assert got.dtype == np.asarray(src).dtype
        assert_same_values(got, oracle.entry_result(src, maps, interpolation, bc))
        return got


IMAGE, SIGNAL = Rank(_tovik.remap_tensor, (H, W)), Rank(_tovik_1d.remap_tensor_1d, (N,))
RANKS = pytest.mark.parametrize("rank", [IMAGE, SIGNAL], ids=["image", "signal"])


def check(src, map_x, map_y, interpolation, bc):
    return IMAGE.check(src, (map_x, map_y), interpolation, bc)


def inside_mask(mx, my):
    return (mx >= 0) & (mx <= 1) & (my >= 0) & (my <= 1)


# --------------------------------------------------------------------------
# random cases


BORDERS = ["clamp", "constant", "reflect", "wrap", "reflect_101", "array3", "array2"]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("channels", ["2d", 1, 3])
@pytest.mark.parametrize("interpolation", KERNELS)
@pytest.mark.parametrize("border", BORDERS)
def test_every_border_and_kernel(border, interpolation, channels, dtype):
    rng = rng_for("border-kernel", border, interpolation, channels, dtype)
    src = typed_src(rng, channels, dtype)
    # a NaN in either map (or an infinite one under the folds): NaN (0 in integers)
    mx, my = with_nans(make_map(rng), 3), with_nans(make_map(rng), 11)
    mx.flat[6], my.flat[20] = INF, -INF
    if channels == 3:  # float32 maps are read where they lie, widened exactly
        mx, my = mx.astype(np.float32), my.astype(np.float32)
    bc = config(border, rng, src.shape, scale=oracle.border_scale(dtype), width=0.3,
                fm=int(interpolation) % 2)
    check(src, mx, my, interpolation, bc)


def _feather_cases():
    cases = []
    for fm in (0, 1):
        for dm in ((0, 1, 2, 3, 4, 5, 6, 7, 8) if fm == 0 else (0, 6)):
            for preserve in (False, True):
                for widths in ("none", "per-channel", "single"):
                    cases.append((fm, dm, preserve, widths))
    return cases


WIDTHS = {"none": None, "per-channel": (0.0, 0.35, 0.12), "single": (0.2,)}


@pytest.mark.parametrize("interpolation", [1, 2])
@pytest.mark.parametrize("border", ["constant", "array3", "array2"])
@pytest.mark.parametrize("fm, dm, preserve, widths", _feather_cases())
def test_feathering(fm, dm, preserve, widths, border, interpolation):
    rng = rng_for("feather", fm, dm, preserve, widths, border, interpolation)
    src = make_src(rng, 3)
    mx, my = make_map(rng), make_map(rng)
    kw = dict(width=0.25, mult=(1.0, 0.8, 1.5, 1.0), fm=fm, dm=dm, preserve=preserve,
              widths=WIDTHS[widths])
    if dm == 7:  # falls back to the Euclidean measure; no enum member
        plain = config(border, rng, src.shape)
        bc = bag(plain.mode, plain.array, plain.constant_value, **kw)
    else:
        bc = config(border, rng, src.shape, **kw)
    check(src, mx, my, interpolation, bc)


MULTIPLIERS = [
    ONES,
    (0.7, 1.3, 2.0, 0.5),
    (-1.0, 1.0, 1.0, -1.0),
    (0.0, 0.0, 0.0, 0.0),
    (-1.0, -1.0, -1.0, -1.0),
    (INF, 1.0, -INF, 2.5),
    (-0.0, 0.5, -0.0, 0.5),
    (NAN, 1.0, 1.0, NAN),
]


@pytest.mark.parametrize("dm", [0, 4])
@pytest.mark.parametrize("fm", [0, 1, 2])
@pytest.mark.parametrize("mult", MULTIPLIERS, ids=repr)
def test_multipliers(mult, fm, dm):
    rng = rng_for("mult", mult, fm, dm)
    src = make_src(rng, 2)
    mx, my = make_map(rng), make_map(rng)
    kw = dict(width=0.3, mult=mult, fm=fm, dm=dm)
    if fm == 2 or any(math.isnan(m) for m in mult):
        bc = bag(BorderMode.CONSTANT, None, -1.5, **kw)
    else:
        bc = BorderConfig.constant(-1.5, **feathering(**kw))
    check(src, mx, my, 1, bc)


@RANKS
@pytest.mark.parametrize("widths", [None, (0.0, 1e-300, 0.4)])
@pytest.mark.parametrize("fm", [0, 1])
@pytest.mark.parametrize("width", [0.0, 0.1, 1e-300, 5.0, -0.1, NAN, INF])
def test_feather_widths(width, fm, widths, rank):
    rng = rng_for("width", width, fm, widths, rank.axes)
    src, maps = rank.src(rng, 3), rank.maps(rng)
    kw = dict(width=width, fm=fm, preserve=True, widths=widths)
    if width < 0 or not math.isfinite(width):
        bc = bag(BorderMode.CONSTANT, None, 2.0, **kw)
    else:
        bc = BorderConfig.constant(2.0, **feathering(**kw))
    rank.check(src, maps, 2, bc)


@RANKS
@pytest.mark.parametrize(
    "value", [0.0, -3.5, NAN, INF, -INF, 7, np.array(2.5), None, np.array([1.0, 2.0])],
    ids=repr,
)
def test_constant_values(value, rank):
    rng = rng_for("const", repr(value), rank.axes)
    src, maps = rank.src(rng, 2), rank.maps(rng)
    # A multi-element array reaches the entry only through a bag; it reads as 0.
    rank.check(src, maps, 1, bag(BorderMode.CONSTANT, None, value, width=0.2))
    if isinstance(value, np.ndarray) and value.ndim:
        return
    rank.check(src, maps, 1, BorderConfig.constant(value, **feathering(width=0.2)))


@RANKS
@pytest.mark.parametrize("fm", [0, 1])
def test_non_finite_border_images(fm, rank):
    rng = rng_for("ba-nonfinite", fm, rank.axes)
    src = rank.src(rng, 3)
    border = rng.normal(size=src.shape)
    count = border.size // 3
    border.flat[rng.choice(border.size, count, replace=False)] = rng.choice([NAN, INF, -INF], count)
    rank.check(src, rank.maps(rng), 3, BorderConfig.array(border, **feathering(width=0.3, fm=fm)))


@RANKS
@pytest.mark.parametrize("interpolation", [0, 1, 2, 3, 4])
@pytest.mark.parametrize("border", ["clamp", "constant", "wrap"])
def test_non_finite_source_values(border, interpolation, rank):
    rng = rng_for("src-nonfinite", border, interpolation, rank.axes)
    src = rank.src(rng, 2)
    samples = src.reshape(-1, 2)  # a view
    samples[9, 0], samples[7, 1], samples[0, 0] = INF, NAN, -INF
    rank.check(src, rank.maps(rng), interpolation, rank.config(border, rng, src.shape, width=0.2))


# --------------------------------------------------------------------------
# NaN, infinite and huge coordinates, and mode codes beyond 0..5

WILD = [NAN, INF, -INF, 1e300, -1e300, 2.0**63, -(2.0**63), 2.0**62, -1e18, 4.5e15,
        -0.0, 1e-17, -1e-17, 1.0000000000000002, -5e-324, 0.9999999999999999, 2.0, -1.0,
        0.3, 0.5]


def shapes(image, signal):
    return [pytest.param(r, s, id=str(s)) for r, ss in ((IMAGE, image), (SIGNAL, signal)) for s in ss]


@pytest.mark.parametrize("rank, shape", shapes([(5, 7), (2, 2), (1, 3)], [(11,), (2,), (1,)]))
@pytest.mark.parametrize("fm", [0, 1])
@pytest.mark.parametrize("mode", [0, 1, 2, 3, 4, 5, 6, -1, 255, -(2**31)])
@pytest.mark.parametrize("interpolation", [0, 1, 2, 3, 4, 7])
def test_wild_coordinates(interpolation, mode, fm, rank, shape):
    rng = rng_for("wild", interpolation, mode, fm, shape)
    src = rank.src(rng, 2, shape)
    maps = tuple(rng.choice(WILD, size=shape) for _ in range(rank.axes))
    maps[0].flat[0], maps[-1].flat[-1] = INF, -INF
    border = rng.normal(size=shape + (2,)) if mode == 5 else None
    bc = bag(mode, border, 0.75, width=0.4, fm=fm, mult=(1.0, 2.0, 0.5, 1.0))
    rank.check(src, maps, interpolation, bc)


@pytest.mark.parametrize(
    "rank, shape",
    shapes([(1, 1), (1, 7), (5, 1), (2, 2), (1, 2), (9, 4)], [(1,), (2,), (3,), (5,), (40,)]),
)
@pytest.mark.parametrize("interpolation", [0, 1, 2, 3, 4])
@pytest.mark.parametrize("border", ["clamp", "constant", "reflect", "wrap", "array3"])
def test_small_and_thin_sources(border, interpolation, rank, shape):
    rng = rng_for("sizes", border, interpolation, shape)
    src = rank.src(rng, 2, shape)
    rank.check(src, rank.maps(rng, shape), interpolation, rank.config(border, rng, src.shape, width=0.3))


# --------------------------------------------------------------------------
# worked examples with known results

FOLD_TABLE = [
    # x, CLAMP, REFLECT, WRAP, REFLECT_101
    (-2.5, 0.0, 0.5, 0.5, 0.5),
    (-1.25, 0.0, 0.75, 0.75, 0.75),
    (-1.0, 0.0, 1.0, 0.0, 1.0),
    (-0.25, 0.0, 0.25, 0.75, 0.25),
    (-1e-17, 0.0, 0.0, 1.0, 0.0),
    (0.5, 0.5, 0.5, 0.5, 0.5),
    (1.0, 1.0, 1.0, 0.0, 1.0),
    (1.25, 1.0, 0.75, 0.25, 0.75),
    (2.0, 1.0, 0.0, 0.0, 0.0),
    (3.75, 1.0, 0.25, 0.75, 0.25),
]
FOLD_CONFIGS = [BorderConfig.clamp, BorderConfig.reflect, BorderConfig.wrap,
                BorderConfig.reflect_101]


@pytest.mark.parametrize("column", range(4))
@pytest.mark.parametrize("axis", ["x", "y"])
def test_fold_table(axis, column):
    # A two-sample ramp [0, 1] along the axis: bilinear sampling returns the
    # resolved coordinate itself, so the output is the fold table's column.
    xs = np.array([row[0] for row in FOLD_TABLE])
    want = np.array([row[column + 1] for row in FOLD_TABLE])
    n = len(xs)
    bc = FOLD_CONFIGS[column]()
    if axis == "x":
        src = np.tile([0.0, 1.0], (n, 1))
        mx = np.repeat(xs[:, None], 2, axis=1)
        my = np.full((n, 2), 0.5)
        got = remap(src, mx, my, 1, bc)[:, 0]
    else:
        src = np.repeat([[0.0], [1.0]], n, axis=1)
        my = np.repeat(xs[None, :], 2, axis=0)
        mx = np.full((2, n), 0.5)
        got = remap(src, mx, my, 1, bc)[0, :]
    assert_array_equal(got, want)
    check(src, mx, my, 1, bc)


def test_nearest_rounding():
    src = np.arange(5.0)[None, :]  # W = 5: px = 4 * x
    mx = np.array([[0.625, 2.4999 / 4.0, 0.0, 0.125, 1.0]])
    got = remap(src, mx, np.zeros((1, 5)), 0, BorderConfig.clamp())
    assert_array_equal(got, [[3.0, 2.0, 0.0, 1.0, 4.0]])
    # px + 0.5 rounds to 1 for the double just below one half
    src2 = np.array([[0.0, 1.0]])
    got2 = remap(src2, np.full((1, 2), 0.49999999999999994), np.zeros((1, 2)), 0, None)
    assert_array_equal(got2, [[1.0, 1.0]])


@pytest.mark.parametrize("dtype", ["uint8", "int8", "uint16", "int16", "int32", "uint32"])
@pytest.mark.parametrize("interpolation", [0, 1, 2, 3, 4])
def test_integer_results_round_to_the_nearest_level(interpolation, dtype):
    info = np.iinfo(dtype)
    # a flat picture stays flat under a rotation that stays inside it, where
    # cubic and Lanczos give the level a few ulp off
    flat = np.full((H, W, 3), info.max // 3 * 2 + 1, dtype)
    yy, xx = np.mgrid[0:H, 0:W] / np.array([H - 1, W - 1])[:, None, None]
    c, s = math.cos(0.3), math.sin(0.3)
    mx, my = 0.5 + 0.3 * (c * (xx - 0.5) - s * (yy - 0.5)), 0.5 + 0.3 * (s * (xx - 0.5) + c * (yy - 0.5))
    assert_array_equal(check(flat, mx, my, interpolation, None), flat)
    # exact halves between levels go to the even one; the extremes saturate
    row = np.array([[info.min, info.min + 1, 2, 3, 4, info.max - 1, info.max]], dtype)
    mx = np.array([[0.5, 1.5, 2.5, 3.5, 4.5, 5.5, 6.0]]) / 6
    got = check(row, mx, np.zeros((1, 7)), interpolation, None)
    if interpolation == 1 and dtype == "uint8":
        assert_array_equal(got, [[0, 2, 2, 4, 129, 254, 255]])


def test_catmull_rom_on_a_single_peak_row():
    src = np.array([[0.0, 0.0, 1.0, 0.0, 0.0]])
    mx = np.array([[0.375, 0.125, 0.375, 0.125, 0.5]])  # px = 1.5, 0.5, ..., 2
    got = check(src, mx, np.zeros((1, 5)), 2, BorderConfig.clamp())
    assert_array_equal(got, [[0.5625, -0.0625, 0.5625, -0.0625, 1.0]])


@pytest.mark.parametrize("interpolation", [2, 3, 4])
def test_cubic_and_lanczos_on_exact_samples(interpolation):
    rng = rng_for("exact", interpolation)
    src = make_src(rng, 2, 5, 5)
    grid = np.arange(5) / 4.0  # px, py exact integers
    mx, my = np.meshgrid(grid, grid)
    got = check(src, mx, my, interpolation, BorderConfig.clamp())
    if interpolation == 2:
        assert_array_equal(got, src)
    else:
        np.testing.assert_allclose(got, src, rtol=1e-14, atol=1e-14)


@pytest.mark.parametrize("a", [3, 4])
def test_lanczos_on_a_constant_image(a):
    rng = rng_for("lanczos-const", a)
    src = np.full((H, W, 2), 2.75)
    mx, my = make_map(rng), make_map(rng)
    got = check(src, mx, my, a, BorderConfig.clamp())
    np.testing.assert_allclose(got, 2.75, rtol=1e-14)


@pytest.mark.parametrize("interpolation", KERNELS)
def test_plain_constant_border(interpolation):
    rng = rng_for("plain-const", interpolation)
    src = make_src(rng, 3)
    mx, my = make_map(rng), make_map(rng)
    got = check(src, mx, my, interpolation, BorderConfig.constant(-9.0))
    inside = inside_mask(mx, my)
    assert inside.any() and (~inside).any()
    assert_array_equal(got[~inside], -9.0)
    assert_array_equal(got[inside], remap(src, mx, my, interpolation, None)[inside])


def test_outward_feather_example():
    rng = rng_for("outward-example")
    src = make_src(rng, 2)
    mx = np.full((H, W), 0.5)
    my = np.full((H, W), 0.5)
    mx[1, 1] = -0.1
    bc = BorderConfig.constant(4.0, **feathering(width=0.2))
    got = check(src, mx, my, 1, bc)
    E = src[2, 0]  # x = 0, y = 0.5 is exactly sample (row 2, column 0)
    assert_array_equal(got[1, 1], (4.0 - E) * 0.5 + E)
    assert_array_equal(got[0, 0], src[2, 3])  # (0.5, 0.5) is px = 3, py = 2


def test_disabled_side_is_the_border_value():
    rng = rng_for("disabled-side")
    src = make_src(rng, 2)
    mx, my = make_map(rng), np.full((H, W), 0.5)
    bc = BorderConfig.constant(6.5, **feathering(width=10.0, mult=(-1.0, 1.0, 1.0, 1.0)))
    got = check(src, mx, my, 1, bc)
    left = mx < 0
    assert left.any()
    assert_array_equal(got[left], 6.5)
    right = mx > 1
    assert not np.any(got[right] == 6.5)


@pytest.mark.parametrize("dm", [0, 1, 2, 3, 4, 5, 6, 8])
def test_both_axes_outside(dm):
    rng = rng_for("both-outside", dm)
    src = make_src(rng, 1)
    mx = np.full((H, W), 1.2)
    my = np.full((H, W), -0.1)
    bc = BorderConfig.constant(3.0, **feathering(width=0.5, dm=dm))
    got = check(src, mx, my, 1, bc)
    fd = oracle.combine_feather_distance(1.2 - 1.0, 0.1, dm)
    E = src[0, W - 1, 0]
    assert_array_equal(got[..., 0], (3.0 - E) * (fd / 0.5) + E)
    # far outside, every measure gives the border value, in uint8 as well
    flat = np.full((4, 4), 100.0)
    far = np.resize([3.0, 5.0, 10.0, 100.0, 1e154], (4, 4))
    bc = BorderConfig.constant(0, feathering_width=0.2, distance_mode=dm)
    for img in (flat, flat.astype(np.uint8)):
        assert_array_equal(check(img, far, np.full((4, 4), 0.5), 1, bc), 0)


def test_inward_edges():
    rng = rng_for("inward-edges")
    src = make_src(rng, 2)
    mx = make_map(rng)
    my = np.full((H, W), 0.5)
    mx[0, :4] = [0.0, 1.0, 0.5, 0.05]
    bc = BorderConfig.constant(8.0, **feathering(width=0.1, fm=FeatheringMode.INWARD))
    got = check(src, mx, my, 1, bc)
    plain = remap(src, mx, my, 1, None)
    # distance 0 at an edge: (u - E) * 1 + E, which is u up to rounding
    np.testing.assert_allclose(got[0, :2], 8.0, rtol=1e-15)
    assert_array_equal(got[0, 2], plain[0, 2])  # 0.5 from every edge >= 0.1
    outside = ~inside_mask(mx, my)
    assert_array_equal(got[outside], 8.0)


def test_inward_with_every_side_disabled():
    rng = rng_for("inward-disabled")
    src = make_src(rng, 2)
    mx, my = make_map(rng), make_map(rng)
    bc = BorderConfig.constant(8.0, **feathering(width=0.4, fm=1, mult=(-1.0,) * 4))
    got = check(src, mx, my, 1, bc)
    inside = inside_mask(mx, my)
    assert_array_equal(got[inside], remap(src, mx, my, 1, None)[inside])
    assert_array_equal(got[~inside], 8.0)


def test_inward_channel_without_width_is_the_border_value():
    rng = rng_for("inward-zero-width")
    src = make_src(rng, 3)
    mx, my = make_map(rng), make_map(rng)
    bc = BorderConfig.constant(-2.0, **feathering(width=0.3, fm=1, widths=(0.3, 0.0, 0.2)))
    got = check(src, mx, my, 1, bc)
    assert_array_equal(got[..., 1], -2.0)


def test_inward_ignores_distance_mode_and_preserve():
    rng = rng_for("inward-ignores")
    src = make_src(rng, 3)
    mx, my = make_map(rng), make_map(rng)
    base = None
    for dm in (0, 3, 6, 8):
        for preserve in (False, True):
            kw = feathering(width=0.3, fm=1, dm=dm, preserve=preserve, widths=(0.0, 0.2, 0.3))
            got = check(src, mx, my, 2, BorderConfig.constant(1.0, **kw))
            if base is None:
                base = got
            assert_array_equal(got, base)


def test_quadratic_measure_ends_at_its_maximum():
    rng = rng_for("quadratic")
    src = make_src(rng, 1)
    mx = np.full((H, W), 0.5)
    my = np.full((H, W), 0.5)
    mx[0, 0] = -1.5  # feather distance 1.5 - 0.25*1.5*1.5 = 0.9375
    mx[0, 1] = -2.0  # the correction's maximum: out of the band from here on
    mx[0, 2] = -4.0  # where the formula would give 0, the sample itself
    bc = BorderConfig.constant(5.0, **feathering(width=1.5, dm=DistanceMode.QUADRATIC_CORRECTED))
    got = check(src, mx, my, 1, bc)
    E = src[2, 0, 0]
    assert_array_equal(got[0, 0, 0], (5.0 - E) * (0.9375 / 1.5) + E)
    assert_array_equal(got[0, 1:3, 0], 5.0)


def test_preserve_example():
    rng = rng_for("preserve")
    src = make_src(rng, 2)
    mx = np.full((H, W), 0.5)
    mx[0, :4] = [-0.05, -0.15, 1.08, -0.5]
    my = np.full((H, W), 0.5)
    kw = dict(width=0.1, widths=(0.0, 0.2))
    kept = check(src, mx, my, 1, BorderConfig.constant(-7.0, **feathering(preserve=True, **kw)))
    plain = check(src, mx, my, 1, BorderConfig.constant(-7.0, **feathering(**kw)))
    edge = remap(src, np.clip(mx, 0, 1), my, 1, None)
    assert_array_equal(kept[0, [0, 2], 0], edge[0, [0, 2], 0])
    assert_array_equal(kept[0, [1, 3], 0], -7.0)
    assert_array_equal(plain[0, :4, 0], -7.0)
    assert_array_equal(kept[..., 1], plain[..., 1])
    assert not np.any(kept[0, [0, 2], 1] == -7.0)


@pytest.mark.parametrize("border", ["constant", "array3"])
def test_outward_inside_pixels_ignore_the_border(border):
    rng = rng_for("inside-ignores", border)
    src = make_src(rng, 2)
    mx = rng.uniform(0.0, 1.0, size=(H, W))
    my = rng.uniform(0.0, 1.0, size=(H, W))
    bc = config(border, rng, src.shape, width=0.3, dm=5, preserve=True, widths=(0.0, 0.1))
    got = check(src, mx, my, 3, bc)
    assert_array_equal(got, remap(src, mx, my, 3, None))


@pytest.mark.parametrize("mode", [0, 2, 3, 4, 6, -1])
def test_border_settings_have_no_effect_outside_constant_and_array(mode):
    rng = rng_for("no-effect", mode)
    src = make_src(rng, 3)
    mx, my = make_map(rng), make_map(rng)
    loud = bag(mode, np.full((H, W, 3), 99.0), NAN, width=NAN, mult=(-1.0, NAN, 0.0, INF),
               fm=1, dm=6, preserve=True, widths=(0.0, 1.0, 0.5))
    quiet = bag(mode, None, 0.0)
    assert_array_equal(check(src, mx, my, 2, loud), check(src, mx, my, 2, quiet))


@pytest.mark.parametrize("interpolation", [0, 1, 2, 3, 4])
def test_centre_maps(interpolation):
    rng = rng_for("centre", interpolation)
    src = make_src(rng, 3)
    half = np.full((H, W), 0.5)
    got = check(src, half, half, interpolation, BorderConfig.clamp())
    centre = [oracle.sample_pixel(src.tolist(), 0.5, 0.5, k, H, W, interpolation) for k in range(3)]
    assert_array_equal(got, np.broadcast_to(centre, got.shape))


@pytest.mark.parametrize("shape", [(1, 7), (5, 1), (1, 1)])
def test_single_row_or_column_samples_index_0(shape):
    rng = rng_for("index0", shape)
    h, w = shape
    src = make_src(rng, 1, h, w)
    mx, my = make_map(rng, h, w), make_map(rng, h, w)
    for interpolation in range(5):
        got = check(src, mx, my, interpolation, BorderConfig.clamp())
        if w == 1 and h == 1:
            assert_array_equal(got, np.broadcast_to(src[0, 0], got.shape))


@RANKS
def test_zero_channels(rank):
    src = np.empty(rank.spatial + (0,))
    got = rank.fn(src, *rank.maps(rng_for("C0")), interpolation=2, border_config=BorderConfig.constant(1.0))
    assert got.shape == src.shape and got.dtype == np.float64


# --------------------------------------------------------------------------
# arguments in other dtypes, layouts and spellings reach the same kernel


@RANKS
def test_float32_and_integer_sources(rank):
    rng = rng_for("dtypes", rank.axes)
    maps = rank.maps(rng)
    f32 = rank.src(rng, 3).astype(np.float32)
    rank.check(f32, maps, 2, BorderConfig.constant(0.5, **feathering(width=0.2)))
    for dtype in (np.int16, np.int32):
        rank.check(rng.integers(-50, 50, size=rank.spatial).astype(dtype), maps, 0, BorderConfig.reflect())


def test_non_contiguous_inputs():
    rng = rng_for("layouts")
    big = make_src(rng, 4, 2 * H, W)
    src = big[::2, :, 1:]  # strided rows, partial channels
    mx = np.asfortranarray(make_map(rng))
    my = make_map(rng, W, H).T  # transposed view
    check(src, mx, my, 3, BorderConfig.wrap())
    check(src, mx.astype(np.float32), my, 1, BorderConfig.clamp())


@RANKS
def test_interpolation_spellings(rank):
    rng = rng_for("spellings", rank.axes)
    src, maps = rank.src(rng, 2), rank.maps(rng)
    for spelled, code in [(InterpMethod.LANCZOS4, 4), (InterpMethod.NEAREST_EXACT, 0),
                          (InterpMethod.CUBIC, 2), (True, 1), (2.9, 2), (np.int64(3), 3),
                          (InterpMethod.LANCZOS3, 3), (InterpMethod.NEAREST, 0),
                          (InterpMethod.LINEAR, 1), (2.7, 2), (np.int32(4), 4)]:
        want = oracle.entry_result(src, maps, code, BorderConfig.clamp())
        assert_array_equal(rank.fn(src, *maps, interpolation=spelled, border_config=None), want)


@RANKS
def test_default_arguments_are_linear_clamp(rank):
    rng = rng_for("defaults", rank.axes)
    src, maps = rank.src(rng, 2), rank.maps(rng)
    assert_array_equal(rank.fn(src, *maps), oracle.entry_result(src, maps, 1, BorderConfig.clamp()))


# --------------------------------------------------------------------------
# warp: maps of any shape, out=, and windows of a larger source

_warp = importlib.import_module("tessaro.cython._warp")


SWAPPED = [">u2", ">i2", ">f4", ">i4", ">u4", ">i8", ">u8", ">f2", ">f8"]


@pytest.mark.parametrize("dtype", ["float64", "float32", "uint8", "int16"] + SWAPPED)
@pytest.mark.parametrize("interpolation", [0, 1, 2, 4])
@pytest.mark.parametrize("border", BORDERS)
def test_warp_any_output_shape(border, interpolation, dtype):
    rng = rng_for("warp", border, interpolation, dtype)
    src = typed_src(rng, 3, dtype)
    mx, my = with_nans(make_map(rng, 4, 9), 5), make_map(rng, 4, 9)
    mx[1, 2], my[3, 7] = INF, -INF
    bc = config(border, rng, (4, 9, 3), scale=oracle.border_scale(dtype), width=0.3,
                fm=interpolation % 2)
    want = oracle.entry_result(src, (mx, my), interpolation, bc)
    got = _warp.warp(src, mx, my, interpolation=interpolation, border_config=bc)
    assert got.dtype == src.dtype and got.shape == (4, 9, 3)
    assert_same_values(got, want)
    out = np.full(want.shape, 7, src.dtype)
    assert _warp.warp(src, mx, my, interpolation=interpolation, border_config=bc, out=out) is out
    assert_same_values(out, want)


@pytest.mark.parametrize("interpolation", [0, 1, 2, 3, 4])
@pytest.mark.parametrize("border", ["clamp", "constant", "reflect", "wrap", "reflect_101"])
def test_warp_window_tiles_equal_the_whole_call(border, interpolation):
    rng = rng_for("tiles", border, interpolation)
    H, W = 12, 15
    src = make_src(rng, 2, H, W)
    # mostly inside, so that tiles need less than the whole source; the
    # outliers cross the folds' seams
    mx, my = with_nans(make_map(rng, 7, 10) * 0.4 + 0.3, 4), make_map(rng, 7, 10) * 0.4 + 0.3
    mx[0, :3], my[2, :2] = (-0.2, 1.1, 1.3), (1.05, -0.01)
    mx[5, 9] = INF  # read at the edge by the clamps, not at all by the folds
    bc = config(border, rng, (7, 10, 2), width=0.3, fm=interpolation % 2)
    whole = _warp.warp(src, mx, my, interpolation=interpolation, border_config=bc)
    for r0, r1 in ((0, 1), (1, 4), (4, 7)):  # a one-row tile, and a ragged last one
        for c0, c1 in ((0, 6), (6, 10)):
            tx, ty = mx[r0:r1, c0:c1], my[r0:r1, c0:c1]
            a, b, c, d = oracle.read_window(tx, ty, H, W, interpolation, bc.mode.value)
            assert _warp._source_window(tx, ty, (H, W), interpolation=interpolation,
                                        border_config=bc) == (a, b + 1, c, d + 1)
            got = _warp._warp_window(src[a:b + 1, c:d + 1], tx, ty, (H, W), (a, c),
                                     interpolation=interpolation, border_config=bc)
            assert_same_values(got, whole[r0:r1, c0:c1])
            with pytest.raises(ValueError, match="^source window"):
                _warp._warp_window(src[a:b + 1, c + 1:d + 1], tx, ty, (H, W), (a, c + 1),
                                   interpolation=interpolation, border_config=bc)


@pytest.mark.parametrize("dtype", ["float64", "int32", "bool", "float16", ">f8", "uint8"])
def test_warp_into_out_needs_no_output_sized_buffer(dtype):
    rng = rng_for("warp-out-memory", dtype)
    values = rng.uniform(0.0, 200.0, (64, 64, 3))
    src = values > 100.0 if dtype == "bool" else values.astype(dtype)
    # float64 results of 5 MB (blocks of 124 rows, the last one short); border
    # values beyond float16's range, so that its cast overflows in every block
    mx, my = rng.uniform(-0.2, 1.2, (2, 300, 700))
    bc = BorderConfig.array(rng.normal(scale=1e5, size=(300, 700, 3)), feathering_width=0.1)
    runs = []
    for out in (None, np.full((300, 700, 3), 7, src.dtype)):
        with warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter("always")
            tracemalloc.start()
            got = _warp.warp(src, mx, my, interpolation=2, border_config=bc, out=out)
            peak = tracemalloc.get_traced_memory()[1]
            tracemalloc.stop()
        runs.append((got, [str(w.message) for w in seen]))
    # the source's float64 copy, the 2 MiB scratch and a few small objects
    assert got is out and peak <= src.size * 8 + (2 << 20) + (16 << 10)
    assert_same_values(out, runs[0][0])
    assert runs[1][1] == runs[0][1]  # NumPy's report of the cast, once, as without out


@pytest.mark.parametrize("change, exc, message", [
    (dict(map_y=np.zeros((3, 5))), ValueError, "same shape"),
    (dict(out=np.zeros((3, 6))), ValueError, "out has shape"),
    (dict(out=np.zeros((3, 6, 2), np.float32)), TypeError, "out has dtype"),
    (dict(out=np.zeros((2, 3, 6)).transpose(1, 2, 0)), ValueError, "C-contiguous"),
    (dict(src=np.zeros((4, 5, 2), complex)), TypeError, "dtype"),
    (dict(src=np.array([["a"]])), TypeError, "dtype"),
    (dict(border_config=BorderConfig.array(np.zeros((4, 5)))), ValueError, "border_array shape"),
])
def test_warp_refuses_bad_arguments_and_writes_nothing(change, exc, message):
    args = dict(src=np.ones((4, 5, 2)), map_x=np.zeros((3, 6)), map_y=np.zeros((3, 6)),
                border_config=None, out=np.full((3, 6, 2), 7.0))
    args.update(change)
    before = np.array(args["out"], copy=True)
    with pytest.raises(exc, match=message):
        _warp.warp(args.pop("src"), args.pop("map_x"), args.pop("map_y"), **args)
    assert_array_equal(args["out"], before)


# --------------------------------------------------------------------------
# warps by a matrix: the positions of tessaro.maps, computed in the kernel

import tessaro  # noqa: E402
from tessaro import maps as tmaps  # noqa: E402

WARP_BY = {"affine": tessaro.warp_affine, "perspective": tessaro.warp_perspective}


def transform_matrix(kind, rng):
    """A rotation by 20 degrees scaled by 1.3, or a homography whose horizon
    crosses the output; both send positions past every side of the source."""
    noise = rng.normal(scale=1e-3, size=(3, 3))
    if kind == "affine":
        c, s = 1.3 * math.cos(0.35), 1.3 * math.sin(0.35)
        return (np.array([[c, -s, -2.5], [s, c, -3.0]]) + noise[:2]).round(6)
    return np.array([[1.1, 0.2, -2.0], [-0.1, 0.9, -1.5], [0.06, -0.11, 0.7]]) + noise


@pytest.mark.parametrize("dtype", ["float64", "float32", "uint8", "uint16"])
@pytest.mark.parametrize("interpolation", [0, 1, 2, 3, 4])
@pytest.mark.parametrize("border", ["clamp", "constant", "reflect", "wrap", "reflect_101", "array3"])
@pytest.mark.parametrize("kind", ["affine", "perspective"])
def test_transform_warps_equal_warp_on_their_maps(kind, border, interpolation, dtype):
    rng = rng_for("transform", kind, border, interpolation, dtype)
    src = oracle.typed_like(make_src(rng, 3, 8, 11), dtype, rng)
    # a row of more than one run, a narrow one, and runs that leave the source midway
    leaving = np.array([[0.2, 0.01, 0.5], [-0.01, 0.1, 6.5], [0.0, 0.0, 1.0]])
    for shape, m in (((3, 70), transform_matrix(kind, rng)), ((9, 5), transform_matrix(kind, rng)),
                     ((3, 70), leaving[:2] if kind == "affine" else leaving)):
        bc = config(border, rng, shape + (3,), scale=oracle.border_scale(dtype), width=0.3,
                    fm=interpolation % 2)
        want = _warp.warp(src, *getattr(tmaps, kind)(m, shape, src.shape),
                          interpolation=interpolation, border_config=bc)
        if kind == "affine" and shape[0] == 9:
            m = np.vstack([m, [0, 0, 1]])
        got = WARP_BY[kind](src, m, shape, interpolation=interpolation, border_config=bc)
        assert got.dtype == src.dtype and got.tobytes() == want.tobytes()
        out = np.full(want.shape, 7, src.dtype)
        assert WARP_BY[kind](src, m, shape, interpolation=interpolation, border_config=bc,
                             out=out) is out
        assert out.tobytes() == want.tobytes()


@pytest.mark.parametrize("interpolation", [0, 1, 2, 3, 4])
@pytest.mark.parametrize("border", ["clamp", "constant", "reflect", "wrap", "reflect_101"])
@pytest.mark.parametrize("kind", ["affine", "perspective"])
def test_transform_windows_are_exact_and_tiles_equal_the_whole_call(kind, border, interpolation):
    rng = rng_for("transform tiles", kind, border, interpolation)
    H, W = 12, 15
    src = make_src(rng, 2, H, W)
    m, persp = transform_matrix(kind, rng), kind == "perspective"
    bc = config(border, rng, (9, 10, 2), width=0.3, fm=interpolation % 2)
    whole = _warp._warp_transform(src, m, (9, 10), persp, interpolation=interpolation,
                                  border_config=bc)
    mx, my = getattr(tmaps, kind)(m, (9, 10), (H, W))
    for r0, r1 in ((0, 1), (1, 5), (5, 9)):
        for c0, c1 in ((0, 6), (6, 10)):
            block = (r0, r1, c0, c1)
            y0, y1, x0, x1 = _warp._transform_window(m, persp, block, (H, W),
                                                     interpolation=interpolation, border_config=bc)
            tx, ty = mx[r0:r1, c0:c1], my[r0:r1, c0:c1]
            if np.isnan(tx).all():
                assert (y0, y1, x0, x1) == (0, 1, 0, 1)
            else:  # the taps themselves, not a margin around them
                a, b, c, d = oracle.read_window(tx, ty, H, W, interpolation, bc.mode.value)
                assert (y0, y1, x0, x1) == (a, b + 1, c, d + 1)
            got = _warp._warp_transform_window(src[y0:y1, x0:x1], m, persp, block, (H, W),
                                               (y0, x0), interpolation=interpolation,
                                               border_config=bc)
            assert_same_values(got, whole[r0:r1, c0:c1])
            if x1 - x0 > 1:
                with pytest.raises(ValueError, match="^source window"):
                    _warp._warp_transform_window(src[y0:y1, x0 + 1:x1], m, persp, block, (H, W),
                                                 (y0, x0 + 1), interpolation=interpolation,
                                                 border_config=bc)


@pytest.mark.parametrize("kind, matrix, message", [
    ("affine", np.eye(2), "an affine matrix must be 2x3 or 3x3"),
    ("affine", np.ones((4, 3)), "an affine matrix must be 2x3 or 3x3"),
    ("affine", np.ones(6), "an affine matrix must be 2x3 or 3x3"),
    ("affine", [[1, 0, 0], [0, 1, 0], [0, 1e-9, 1]], "last row"),
    ("affine", [[1, 0, NAN], [0, 1, 0]], "finite"),
    ("perspective", np.eye(3)[:2], "a perspective matrix must be 3x3"),
    ("perspective", [[1, 0, 0], [0, 1, 0], [0, 0, INF]], "finite"),
])
def test_bad_matrices_are_refused_before_anything_is_written(kind, matrix, message):
    out = np.full((4, 6, 2), 7.0)
    with pytest.raises(ValueError, match=message):
        WARP_BY[kind](np.ones((5, 5, 2)), matrix, (4, 6), out=out)
    assert (out == 7.0).all()
    with pytest.raises(ValueError, match=message):
        getattr(tmaps, kind)(matrix, (4, 6), (5, 5))


def test_maps_follow_the_matrix_and_the_horizon():
    m = transform_matrix("perspective", rng_for("maps")) * [[1, 1, 1], [1, 1, 1], [0.1, 0.1, 1]]
    h, w, H, W = 150, 220, 30, 1  # enough work for every thread; a one-sample axis
    y, x = np.mgrid[0:h, 0:w].astype(np.float64)
    p = np.einsum("ij,jhw->ihw", m, np.stack([x, y, np.ones_like(x)]))
    d = (m[2, 0] * x + m[2, 1] * y) + m[2, 2]
    front, safe = d > 0, np.abs(d) > 0.05
    mx, my = tmaps.perspective(m, (h, w, 3), (H, W, 3))
    assert np.isnan(mx[~front]).all() and np.isnan(my[~front]).all()
    assert not np.isnan(mx[front]).any() and 0 < front.mean() < 1
    np.testing.assert_allclose(mx[safe & front], (p[0] / p[2])[safe & front] / 1, rtol=1e-13)
    np.testing.assert_allclose(my[safe & front], (p[1] / p[2])[safe & front] / (H - 1), rtol=1e-13)
    ax, ay = tmaps.affine(m[:2], (h, w), (H, W))
    block = tmaps.perspective(m, (50, 70), (H, W), origin=(90, 120))
    assert all(b.tobytes() == f[90:140, 120:190].tobytes() for b, f in zip(block, (mx, my)))
    np.testing.assert_allclose(ax, p[0], rtol=1e-13, atol=1e-13)
    np.testing.assert_allclose(ay, p[1] / (H - 1), rtol=1e-13, atol=1e-13)
    # beyond the horizon: NaN in float outputs, 0 in integer ones
    src = np.random.default_rng(0).random((H, W, 2)) * 200 + 20
    for dtype in (np.float64, np.uint8):
        got = tessaro.warp_perspective(src.astype(dtype), m, (h, w), interpolation=2)
        assert got.tobytes() == tessaro.warp(src.astype(dtype), mx, my, interpolation=2).tobytes()
        behind = np.isnan(got) if dtype == np.float64 else got == 0
        assert_array_equal(behind, np.broadcast_to(~front[..., None], got.shape))


def test_affine_agrees_with_scipy():
    ndimage = pytest.importorskip("scipy.ndimage")
    src = np.random.default_rng(3).random((40, 50))
    c, s = 0.97 * math.cos(math.radians(7)), 0.97 * math.sin(math.radians(7))
    m = np.array([[c, -s, 24.5 - 24.5 * c + 19.5 * s], [s, c, 19.5 - 24.5 * s - 19.5 * c]])
    got = tessaro.warp_affine(src, m, (45, 55))
    # SciPy orders the axes (row, column); it samples pixel positions, we
    # unit ones, so the two positions may differ in the last bits
    want = ndimage.affine_transform(src, [[m[1, 1], m[1, 0]], [m[0, 1], m[0, 0]]],
                                    offset=(m[1, 2], m[0, 2]), output_shape=(45, 55),
                                    order=1, mode="nearest")
    np.testing.assert_allclose(got, want, rtol=0, atol=1e-12)
