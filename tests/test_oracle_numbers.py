"""The scalar reference model reproduces hand-checked values.

These run without the native modules: they pin the reference model itself,
so that the bit-exactness tests of the native remaps compare against a
model whose formulas are known to give the expected values.
"""

import math

import numpy as np
import pytest

import oracle as o

NAN = math.nan
INF = math.inf


def bits(x):
    return np.float64(x).view(np.uint64)


# x, CLAMP, REFLECT, WRAP, REFLECT_101
FOLD_TABLE = [
    (-2.5, 0.0, 0.5, 0.5, 0.5),
    (-1.25, 0.0, 0.75, 0.75, 0.75),
    (-1.0, 0.0, 1.0, -0.0, 1.0),
    (-0.25, 0.0, 0.25, 0.75, 0.25),
    (-1e-17, 0.0, 0.0, 1.0, 0.0),
    (0.5, 0.5, 0.5, 0.5, 0.5),
    (1.0, 1.0, 1.0, 0.0, 1.0),
    (1.25, 1.0, 0.75, 0.25, 0.75),
    (2.0, 1.0, 0.0, 0.0, 0.0),
    (3.75, 1.0, 0.25, 0.75, 0.25),
]


@pytest.mark.parametrize("x, clamp, reflect, wrap, reflect101", FOLD_TABLE)
def test_fold_table(x, clamp, reflect, wrap, reflect101):
    assert bits(o.clamp_unit(x)) == bits(clamp)
    assert o.reflect_unit(x) == reflect
    assert bits(o.wrap_unit(x)) == bits(wrap)
    assert o.reflect101_unit(x) == reflect101


def test_reflect_formulas_differ_in_last_bit():
    assert o.reflect_unit(0.3) == 0.30000000000000004
    assert o.reflect101_unit(0.3) == 0.3


@pytest.mark.parametrize("fold", [o.reflect_unit, o.wrap_unit, o.reflect101_unit])
def test_folds_turn_infinity_and_nan_into_nan(fold):
    for x in (INF, -INF, NAN):
        assert math.isnan(fold(x))


def test_clamp_keeps_nan_and_negative_zero():
    assert math.isnan(o.clamp_unit(NAN))
    assert bits(o.clamp_unit(-0.0)) == bits(-0.0)
    assert o.clamp_unit(INF) == 1.0 and o.clamp_unit(-INF) == 0.0


def test_saturating_truncation():
    assert o.trunc_i64(NAN) == 0
    assert o.trunc_i64(INF) == o.INT64_MAX
    assert o.trunc_i64(-INF) == o.INT64_MIN
    assert o.trunc_i64(2.0**63) == o.INT64_MAX
    assert o.trunc_i64(-(2.0**63)) == o.INT64_MIN
    assert o.trunc_i64(-1e300) == o.INT64_MIN
    assert o.trunc_i64(-1.5) == -1 and o.trunc_i64(2.9999) == 2
    assert o.add_sat(o.INT64_MAX, 2) == o.INT64_MAX
    assert o.add_sat(o.INT64_MIN, -3) == o.INT64_MIN


def test_fmin_fmax_return_the_number_when_one_side_is_nan():
    assert o.c_fmin(NAN, 1.5) == 1.5 and o.c_fmin(1.5, NAN) == 1.5
    assert o.c_fmax(NAN, -2.0) == -2.0 and o.c_fmax(-2.0, NAN) == -2.0
    assert math.isnan(o.c_fmin(NAN, NAN))
    assert o.c_fmin(0.3, 0.4) == 0.3 and o.c_fmax(0.3, 0.4) == 0.4


@pytest.mark.parametrize(
    "frac, weights",
    [
        (0.5, (-0.0625, 0.5625, 0.5625, -0.0625)),
        (0.25, (-0.0703125, 0.8671875, 0.2265625, -0.0234375)),
        (0.0, (0.0, 1.0, 0.0, 0.0)),
    ],
)
def test_catmull_rom_weights(frac, weights):
    # Taps at floor-1 .. floor+2 lie at distances 1+f, f, 1-f, 2-f.
    got = tuple(o.catmull_rom_weight(abs(frac - k)) for k in (-1, 0, 1, 2))
    assert got == weights


def test_catmull_rom_weight_of_nan_is_zero():
    assert o.catmull_rom_weight(NAN) == 0.0
    assert o.catmull_rom_weight(2.0) == 0.0


def row_image(values):
    return [[[float(v)] for v in values]]


@pytest.mark.parametrize("x, expected", [(0.375, 0.5625), (0.125, -0.0625)])
def test_cubic_on_single_peak_row(x, expected):
    # W = 5: x = 0.375 is px = 1.5 and x = 0.125 is px = 0.5.
    src = row_image([0, 0, 1, 0, 0])
    assert o.sample_cubic(src, x, 0.0, 0, 1, 5) == expected


def test_cubic_at_an_exact_sample_returns_it():
    src = [[[float(r * 10 + c)] for c in range(5)] for r in range(4)]
    # px = 4 * 0.75 = 3, py = 3 * (1/3) rounds to 1.
    assert o.sample_cubic(src, 0.75, 1.0 / 3.0, 0, 4, 5) == 13.0
    assert o.sample_cubic(src, 0.0, 0.0, 0, 4, 5) == 0.0


def test_lanczos_weights():
    assert o.lanczos_weight(0.0, 3) == 1.0
    assert o.lanczos_weight(3.0, 3) == 0.0 and o.lanczos_weight(-4.0, 4) == 0.0
    off = o.lanczos_weight(1.0, 3)
    assert off != 0.0 and abs(off) < 1e-15
    total = sum(o.lanczos_weight(0.5 + k, 3) for k in range(-3, 3))
    assert round(total, 5) == 0.99430


@pytest.mark.parametrize("a", [3, 4])
def test_lanczos_on_a_constant_image(a):
    src = [[[2.75] for _ in range(7)] for _ in range(5)]
    for x, y in [(0.3, 0.6), (0.0, 1.0), (0.91, 0.07), (0.5, 0.5)]:
        assert o.sample_lanczos(src, x, y, 0, 5, 7, a) == pytest.approx(2.75, rel=1e-14)


def test_nearest_rounding():
    src = row_image(range(5))
    # W = 5: px = 4 * x, exact for these x.
    assert o.sample_nearest(src, 0.625, 0.0, 0, 1, 5) == 3.0
    assert o.sample_nearest(src, 2.4999 / 4.0, 0.0, 0, 1, 5) == 2.0
    two = row_image([0, 1])
    assert o.sample_nearest(two, 0.49999999999999994, 0.0, 0, 1, 2) == 1.0


def test_bilinear_at_the_last_column_is_that_column():
    src = row_image([0.1, 0.7, -3.3])
    assert o.sample_bilinear(src, 1.0, 0.0, 0, 1, 3) == -3.3


def test_samplers_on_a_nan_coordinate():
    src = row_image([4.0, 5.0, 6.0])
    assert math.isnan(o.sample_bilinear(src, NAN, 0.0, 0, 1, 3))
    assert o.sample_nearest(src, NAN, 0.0, 0, 1, 3) == 4.0
    assert o.sample_cubic(src, NAN, 0.0, 0, 1, 3) == 0.0
    assert o.sample_lanczos(src, NAN, 0.0, 0, 1, 3, 4) == 0.0


def test_unknown_interpolation_codes_are_bilinear():
    src = [[[float(r * 7 + c * c)] for c in range(4)] for r in range(3)]
    want = o.sample_bilinear(src, 0.37, 0.81, 0, 3, 4)
    for code in (1, 5, 7, -1):
        assert o.sample_pixel(src, 0.37, 0.81, 0, 3, 4, code) == want


@pytest.mark.parametrize(
    "mode, expected",
    [
        (1, 0.4),
        (2, 0.7),
        (3, 0.4949747468305833),
        (4, 0.5242640687119285),
        (5, 0.55),
        (6, 0.48750000000000004),
        (7, 0.5),
        (8, 0.5035900000000001),
        (0, 0.5),
        (9, 0.5),
        (-1, 0.5),
    ],
)
def test_distance_table(mode, expected):
    assert o.combine_feather_distance(0.3, 0.4, mode) == expected


def test_octagonal_constant_is_not_sqrt2_minus_1_in_double():
    assert math.sqrt(2.0) - 1.0 == 0.41421356237309515
    assert o.combine_feather_distance(1.0, 1.0, 4) == 0.41421356237309503 + 1.0


@pytest.mark.parametrize("mode", range(9))
def test_disabled_side_is_infinitely_far_in_every_mode(mode):
    assert o.combine_feather_distance(INF, 0.2, mode) == INF
    assert o.combine_feather_distance(0.0, INF, mode) == INF


def test_only_x_outside():
    dx = 0.3
    assert o.combine_feather_distance(dx, 0.0, 3) == dx * 0.7071067811865476
    assert o.combine_feather_distance(dx, 0.0, 6) == dx - (0.25 * dx) * dx
    assert o.combine_feather_distance(dx, 0.0, 8) == dx * 0.9604
    for mode in (0, 1, 2, 4, 5):
        assert o.combine_feather_distance(dx, 0.0, mode) == dx
    # The quadratic correction peaks at 2: from there on, out of every band.
    assert o.combine_feather_distance(2.0, 0.0, 6) == INF
    assert o.combine_feather_distance(4.0, 0.0, 6) == INF


def test_axis_distances():
    assert o.axis_feather_distances(-0.1, 0.5, 1.0, 1.0, 1.0, 1.0, 0) == (0.1, 0.0)
    assert o.axis_feather_distances(1.2, -0.1, 1.0, 1.0, 1.0, 1.0, 0) == (1.2 - 1.0, 0.1)
    assert o.axis_distance(-0.1, -1.0, 1.0, 0) == INF
    assert o.axis_distance(-0.1, NAN, 1.0, 0) == INF
    # Inward: distance to the nearer enabled edge, -1 when none is enabled.
    assert o.axis_distance(0.2, 1.0, 1.0, 1) == 0.2
    assert o.axis_distance(0.2, -1.0, 2.0, 1) == (1.0 - 0.2) * 2.0
    assert o.axis_distance(0.2, -1.0, -1.0, 1) == -1.0
    assert o.inward_combination(-1.0, -1.0) == INF
    assert o.inward_combination(-1.0, 0.3) == 0.3
    assert o.inward_combination(0.2, 0.3) == 0.2


def test_two_sided_1d_rule_differs_from_fmin_only_on_nan():
    # Infinite overshoot multiplier at u = 1: (1 - u) * inf is NaN.
    assert math.isnan(o.feather_distance_1d(1.0, 1.0, INF, 1))
    assert o.axis_distance(1.0, 1.0, INF, 1) == 1.0
    assert o.feather_distance_1d(0.2, 1.0, 1.0, 1) == 0.2
    assert o.feather_distance_1d(0.5, -1.0, -1.0, 1) == INF
    assert o.feather_distance_1d(0.5, 1.0, 1.0, 0) == 0.0


def test_blend_rules():
    E, u = 2.0, 10.0
    # outward: 0 at the edge, u at the width
    assert o.blend(E, u, 0.2, 0.1, True, 0.2, 0, 0, False) == (u - E) * 0.5 + E
    assert o.blend(E, u, 0.2, 0.2, True, 0.2, 0, 0, False) == u
    assert o.blend(E, u, 0.0, 0.0, True, 0.0, 0, 0, False) == u
    assert math.isnan(o.blend(E, u, NAN, 0.1, True, NAN, 0, 0, False))
    # inward
    assert o.blend(E, u, 0.1, 0.05, False, 0.1, 1, 0, False) == (u - E) * 0.5 + E
    assert o.blend(E, u, 0.1, 0.5, False, 0.1, 1, 0, False) == E
    assert o.blend(E, u, 0.1, 0.5, True, 0.1, 1, 0, False) == u
    assert o.blend(E, u, 0.0, 0.5, False, 0.1, 1, 1, True) == u
    # preserve: a zero-width channel keeps E inside the global band only
    assert o.blend(E, u, 0.0, 0.05, True, 0.1, 0, 1, True) == E
    assert o.blend(E, u, 0.0, 0.1, True, 0.1, 0, 1, True) == u
    assert o.blend(E, u, 0.0, 0.05, True, 0.1, 0, 0, True) == u


def image(H, W, C, seed=0):
    return np.random.default_rng(seed).normal(size=(H, W, C))


def call2d(src3, mx, my, interpolation=1, mode=0, const=0.0, ba=None, width=0.0,
           mult=(1.0, 1.0, 1.0, 1.0), fm=0, dm=0, preserve=False, fd=None):
    return o.remap2d(src3, mx, my, interpolation, mode, const, ba, width, *mult,
                     fm, dm, preserve, fd)


def test_remap2d_outward_feather_example():
    src = image(5, 7, 2)
    mx = np.full((5, 7), 0.5)
    my = np.full((5, 7), 0.5)
    mx[2, 3] = -0.1
    out = call2d(src, mx, my, mode=1, const=4.0, width=0.2)
    E = src[2, 0]  # bilinear at x = 0, y = 0.5 (py = 2) reads the sample
    np.testing.assert_array_equal(out[2, 3], (4.0 - E) * 0.5 + E)
    # x = y = 0.5 is px = 3, py = 2: the sample itself
    np.testing.assert_array_equal(out[0, 0], src[2, 3])


def test_remap2d_preserve_example():
    src = image(3, 4, 2, seed=1)
    mx = np.array([[-0.05, -0.15, 0.5, 1.08], [0.2, -0.5, 0.4, 1.0]] + [[0.3] * 4])
    my = np.full((3, 4), 0.5)
    kw = dict(mode=1, const=-7.0, width=0.1, fd=[0.0, 0.2])
    kept = call2d(src, mx, my, preserve=True, **kw)
    plain = call2d(src, mx, my, preserve=False, **kw)
    edge = call2d(src, np.clip(mx, 0, 1), my)
    outside = mx < 0
    outside |= mx > 1
    near = outside & (np.abs(np.where(mx < 0, mx, mx - 1)) < 0.1)
    np.testing.assert_array_equal(kept[..., 0][near], edge[..., 0][near])
    np.testing.assert_array_equal(kept[..., 0][outside & ~near], -7.0)
    np.testing.assert_array_equal(plain[..., 0][outside], -7.0)
    np.testing.assert_array_equal(kept[..., 1], plain[..., 1])
    assert near.sum() == 2 and (outside & ~near).sum() == 2


def test_remap2d_inward_all_sides_disabled():
    src = image(4, 5, 1, seed=2)
    mx = np.linspace(-0.3, 1.3, 20).reshape(4, 5)
    my = np.full((4, 5), 0.25)
    out = call2d(src, mx, my, mode=1, const=9.0, width=0.3, fm=1, mult=(-1.0,) * 4)
    edge = call2d(src, mx, my, mode=0)
    inside = (mx >= 0) & (mx <= 1)
    np.testing.assert_array_equal(out[inside], edge[inside])
    np.testing.assert_array_equal(out[~inside], 9.0)


def test_remap2d_array_border_is_indexed_at_the_output():
    src = image(3, 3, 3, seed=3)
    ba = np.arange(27.0).reshape(3, 3, 3)
    mx = np.full((3, 3), 2.0)
    my = np.full((3, 3), 0.5)
    np.testing.assert_array_equal(call2d(src, mx, my, mode=5, ba=ba), ba)
    one = ba[..., :1]
    np.testing.assert_array_equal(call2d(src, mx, my, mode=5, ba=one),
                                  np.repeat(one, 3, axis=2))


def test_remap1d_numbers():
    v = np.array([[1.0], [2.0], [4.0], [8.0], [16.0]])

    def r(u, interpolation=1, mode=0, const=0.0, width=0.0, xu=1.0, xo=1.0, fm=0, ba=None):
        m = np.full(5, u)
        return o.remap1d(v, m, interpolation, mode, const, ba, width, xu, xo, fm, None)[0, 0]

    assert r(0.3, 0) == 2.0 and r(0.375, 0) == 4.0
    assert r(0.3) == (4.0 - 2.0) * (4.0 * 0.3 - 1.0) + 2.0
    assert r(1.0) == 16.0
    assert r(0.5, 2) == 4.0  # cubic on the exact sample p = 2
    # WRAP at u = 1: last sample, or the first once inward feathering
    # resolves in-range coordinates too.
    assert r(1.0, mode=3) == 16.0 and r(1.0, mode=3, fm=1) == 1.0
    # REFLECT keeps an in-range coordinate exactly unless resolving.
    assert r(0.3, mode=2) == r(0.3)
    folded = o.sample_1d([1.0, 2.0, 4.0, 8.0, 16.0], 0.30000000000000004, 5, 1)
    assert r(0.3, mode=2, fm=1) == folded
    assert r(0.3, mode=2, fm=1) != r(0.3)
    assert r(1.1, mode=1, const=100.0, width=0.2) == pytest.approx((16.0 + 100.0) / 2, rel=1e-12)
    assert r(1.3, mode=1, const=100.0, width=0.2) == 100.0
    assert r(0.05, mode=1, const=100.0, width=0.1, fm=1) == (100.0 - 1.2) * 0.5 + 1.2
    assert r(0.5, mode=1, const=100.0, width=0.1, fm=1) == 4.0
    assert r(0.5, mode=1, const=100.0, width=0.0, fm=1) == 100.0
    assert r(1.01, mode=1, const=100.0, width=5.0, xo=-1.0) == 100.0
    for code in range(5):
        one = o.remap1d(np.array([[3.5]]), np.array([0.77]), code, 0, 0.0, None,
                        0.0, 1.0, 1.0, 0, None)
        assert one[0, 0] == 3.5
