"""remap_tensor_1d agrees bit for bit with the scalar reference model: its
own cases (test_remap_exact.py runs those both entries share for it too).

Cases draw a short random signal and a random unit-space map (mostly in
[-0.6, 1.6], with exact 0, 0.5, 1 and grid positions mixed in) from a seed
derived from the case's parameters.  The 1-D pipeline differs from the 2-D
one in ways these cases exercise on purpose: in-range coordinates are
resolved only under inward feathering, the feather distance has its own
two-sided rule and no distance measure, and the blend has no preserve rule.

Configurations that BorderConfig rightly refuses are passed as plain
attribute bags: the entry reads the configuration by attribute name only.
"""

import importlib
import math
import types
import zlib

import numpy as np
import pytest
from numpy.testing import assert_array_equal

try:
    _tovik_1d = importlib.import_module("tessaro.cython._tovik_1d")
except ModuleNotFoundError as exc:
    if exc.name != "tessaro.cython._tovik_1d":
        raise
    pytest.skip("tessaro.cython._tovik_1d is not built", allow_module_level=True)

import oracle
from tessaro.core.border_config import BorderConfig
from tessaro.core.enums import BorderMode, FeatheringMode

NAN = math.nan
INF = math.inf
N = 11
KERNELS = [0, 1, 2, 3, 4, 7, -1]


def rng_for(*key):
    return np.random.default_rng(zlib.crc32(repr(key).encode()))


def make_src(rng, channels, n=N):
    shape = (n,) if channels == "1d" else (n, channels)
    return rng.normal(scale=2.0, size=shape)


DTYPES = ["float64", "float32", "uint8", "int8", "uint16", "int16"]


def typed_src(rng, channels, dtype):
    return oracle.typed_like(make_src(rng, channels), dtype, rng)


def make_map(rng, n=N):
    m = rng.uniform(-0.6, 1.6, size=n)
    pick = rng.random(n) < 0.3
    m[pick] = rng.choice([0.0, 0.5, 1.0, -0.0, 0.3, 0.1], size=int(pick.sum()))
    return m


def feathering(width=0.0, xu=1.0, xo=1.0, fm=0, widths=None):
    return dict(
        feathering_width=width,
        feathering_x_undershoot_multiplier=xu,
        feathering_x_overshoot_multiplier=xo,
        feathering_mode=fm,
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
    return types.SimpleNamespace(**f)


def config(name, rng, src_shape, scale=1.0, **kw):
    n = src_shape[0]
    c = 1 if len(src_shape) == 1 else src_shape[1]
    if name == "constant":
        return BorderConfig.constant(float(rng.normal(scale=3.0 * scale)), **feathering(**kw))
    if name == "array2":
        return BorderConfig.array(rng.normal(scale=3.0 * scale, size=(n, c)), **feathering(**kw))
    if name == "array1":
        assert c == 1, "one-channel borders for several channels have their own test"
        return BorderConfig.array(rng.normal(scale=3.0 * scale, size=n), **feathering(**kw))
    mode = {"clamp": BorderMode.CLAMP, "reflect": BorderMode.REFLECT, "wrap": BorderMode.WRAP,
            "reflect_101": BorderMode.REFLECT_101}[name]
    # feathering_mode matters in every mode here: inward resolves in-range
    # coordinates too.
    return BorderConfig(mode, feathering_mode=kw.get("fm", 0))


def remap(src, map_x, interpolation, bc):
    return _tovik_1d.remap_tensor_1d(src, map_x, interpolation=interpolation, border_config=bc)


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


def check(src, map_x, interpolation, bc):
    got = remap(src, map_x, interpolation, bc)
    assert got.shape == np.shape(src)
    assert got.dtype == np.asarray(src).dtype
    assert_same_values(got, oracle.entry_result(src, (map_x,), interpolation, bc))
    return got


# --------------------------------------------------------------------------
# random cases

BORDERS = ["clamp", "constant", "reflect", "wrap", "reflect_101", "array2", "array1"]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("fm", [0, 1])
@pytest.mark.parametrize("channels", ["1d", 1, 3])
@pytest.mark.parametrize("interpolation", KERNELS)
@pytest.mark.parametrize("border", BORDERS)
def test_every_border_and_kernel(border, interpolation, channels, fm, dtype):
    rng = rng_for("border-kernel", border, interpolation, channels, fm, dtype)
    if border == "array1" and channels == 3:
        # a one-channel border for several channels is its own case below
        channels = 1
    src = typed_src(rng, channels, dtype)
    mx = make_map(rng)
    mx[5], mx[7] = NAN, INF  # NaN (0 in integers) whatever the kernel; so is INF when folded
    if fm == 1:  # float32 maps are read where they lie, widened exactly
        mx = mx.astype(np.float32)
    check(src, mx, interpolation,
          config(border, rng, src.shape, scale=oracle.border_scale(dtype), width=0.3, fm=fm))


WIDTHS = {"none": None, "per-channel": (0.0, 0.35, 0.12), "single": (0.2,)}
MULTIPLIERS = [(1.0, 1.0), (0.7, 1.3), (-1.0, 1.0), (1.0, -1.0), (0.0, 0.0), (-1.0, -1.0),
               (INF, 1.0), (1.0, INF), (-INF, 2.0), (-0.0, 0.5), (NAN, 1.0), (1.0, NAN)]


@pytest.mark.parametrize("interpolation", [1, 2])
@pytest.mark.parametrize("widths", ["none", "per-channel", "single"])
@pytest.mark.parametrize("border", ["constant", "array2", "array1"])
@pytest.mark.parametrize("fm", [0, 1, 2])
@pytest.mark.parametrize("mult", MULTIPLIERS, ids=repr)
def test_feathering(mult, fm, border, widths, interpolation):
    rng = rng_for("feather", mult, fm, border, widths, interpolation)
    src = make_src(rng, 1 if border == "array1" else 3)  # array1: (N,) border
    mx = make_map(rng)
    # u = 1 exactly: with an infinite overshoot multiplier the two-sided
    # inward rule gives NaN where fmin would not.
    mx[3] = 1.0
    kw = dict(width=0.25, xu=mult[0], xo=mult[1], fm=fm, widths=WIDTHS[widths])
    if fm != 2 and not any(math.isnan(m) for m in mult):
        bc = config(border, rng, src.shape, **kw)
    else:
        plain = config(border, rng, src.shape)
        bc = bag(plain.mode, plain.array, plain.constant_value, **kw)
    check(src, mx, interpolation, bc)


# --------------------------------------------------------------------------
# worked examples with known results

FOLD_XS = np.array([-2.5, -1.25, -1.0, -0.25, -1e-17, 0.5, 1.0, 1.25, 2.0, 3.75])
FOLD_TABLE = {
    BorderMode.CLAMP: [0.0, 0.0, 0.0, 0.0, 0.0, 0.5, 1.0, 1.0, 1.0, 1.0],
    BorderMode.REFLECT: [0.5, 0.75, 1.0, 0.25, 0.0, 0.5, 1.0, 0.75, 0.0, 0.25],
    BorderMode.WRAP: [0.5, 0.75, -0.0, 0.75, 1.0, 0.5, 0.0, 0.25, 0.0, 0.75],
    BorderMode.REFLECT_101: [0.5, 0.75, 1.0, 0.25, 0.0, 0.5, 1.0, 0.75, 0.0, 0.25],
}


@pytest.mark.parametrize("fm", [0, 1])
@pytest.mark.parametrize("mode", list(FOLD_TABLE))
def test_fold_table(mode, fm):
    # On the ramp 0, 1, ..., 9 linear sampling returns p = 9 * u exactly.
    want = np.array(FOLD_TABLE[mode])
    if fm == 0:
        in_range = (FOLD_XS >= 0) & (FOLD_XS <= 1)
        want[in_range] = FOLD_XS[in_range]  # not resolved at all
    bc = BorderConfig(mode, feathering_mode=fm)
    got = check(np.arange(10.0), FOLD_XS, 1, bc)
    assert_array_equal(got, 9.0 * want)


def test_wrap_at_one():
    v = np.array([3.0, 1.0, 4.0, 1.5, 9.0])
    u = np.array([1.0, 0.5, 1.0, 0.0, 1.0])
    for code in (0, 1, 2):
        got = check(v, u, code, BorderConfig.wrap())
        assert_array_equal(got[[0, 2, 4]], 9.0)
        inward = BorderConfig(BorderMode.WRAP, feathering_mode=FeatheringMode.INWARD)
        got = check(v, u, code, inward)
        assert_array_equal(got[[0, 2, 4]], 3.0)


def test_reflect_keeps_in_range_coordinates_exact():
    v = np.array([0.0, 1.0, 10.0, 100.0, 1000.0])
    u = np.full(5, 0.3)
    at_03 = oracle.sample_1d(v.tolist(), 0.3, 5, 1)
    folded = oracle.sample_1d(v.tolist(), 0.30000000000000004, 5, 1)
    assert at_03 != folded
    assert_array_equal(check(v, u, 1, BorderConfig.reflect()), at_03)
    inward = BorderConfig(BorderMode.REFLECT, feathering_mode=FeatheringMode.INWARD)
    assert_array_equal(check(v, u, 1, inward), folded)


def test_sample_positions():
    v = np.array([1.0, 2.0, 4.0, 8.0, 16.0])
    u = np.array([0.3, 0.375, 1.0, 0.5, 0.0])
    assert_array_equal(check(v, u, 0, None)[:2], [2.0, 4.0])
    lin = check(v, u, 1, None)
    np.testing.assert_allclose(lin[0], 2.0 + 0.2 * (4.0 - 2.0), rtol=1e-15)
    assert lin[2] == 16.0
    assert check(v, u, 2, None)[3] == 4.0  # cubic at p = 2: weights (0, 1, 0, 0)


def test_outward_constant_example():
    v = np.array([1.0, 2.0, 4.0, 8.0, 16.0])
    u = np.array([1.1, 1.3, 0.5, -0.05, 0.2])
    got = check(v, u, 1, BorderConfig.constant(100.0, **feathering(width=0.2)))
    np.testing.assert_allclose(got[0], (16.0 + 100.0) / 2, rtol=1e-12)
    assert got[1] == 100.0
    assert got[2] == 4.0 and got[4] == oracle.sample_1d(v.tolist(), 0.2, 5, 1)
    hard = check(v, u, 1, BorderConfig.constant(100.0))
    assert_array_equal(hard[:2], 100.0)
    assert hard[3] == 100.0
    assert_array_equal(hard[[2, 4]], got[[2, 4]])


def test_inward_constant_example():
    v = np.array([1.0, 2.0, 4.0, 8.0, 16.0])
    u = np.array([0.05, 0.5, 1.2, -0.1, 0.97])
    got = check(v, u, 1, BorderConfig.constant(100.0, **feathering(width=0.1, fm=1)))
    E = oracle.sample_1d(v.tolist(), 0.05, 5, 1)
    assert got[0] == (100.0 - E) * 0.5 + E
    assert got[1] == 4.0
    assert_array_equal(got[[2, 3]], 100.0)
    zero = check(v, u, 1, BorderConfig.constant(100.0, **feathering(width=0.0, fm=1)))
    assert_array_equal(zero, 100.0)


def test_negative_overshoot_multiplier():
    rng = rng_for("negative-overshoot")
    v = make_src(rng, 2)
    u = make_map(rng)
    got = check(v, u, 1, BorderConfig.constant(-4.0, **feathering(width=10.0, xo=-1.0)))
    assert (u > 1).any()
    assert_array_equal(got[u > 1], -4.0)
    assert not np.any(got[u < 0] == -4.0)


def test_per_channel_widths():
    rng = rng_for("per-channel")
    v = make_src(rng, 2)
    u = make_map(rng)
    both = check(v, u, 1, BorderConfig.constant(3.0, **feathering(width=0.9, widths=(0.1, 0.4))))
    for c, w in enumerate((0.1, 0.4)):
        alone = check(v[:, c], u, 1, BorderConfig.constant(3.0, **feathering(width=w)))
        assert_array_equal(both[:, c], alone)


def test_array_border_is_indexed_at_the_output():
    v = np.arange(6.0)
    border = np.array([10.0, 11.0, 12.0, 13.0, 14.0, 15.0])
    u = np.array([-1.0, 2.0, 0.5, -3.0, 5.0, 1.5])
    got = check(v, u, 1, BorderConfig.array(border))
    assert_array_equal(got[[0, 1, 3, 4, 5]], border[[0, 1, 3, 4, 5]])


@pytest.mark.parametrize("fm", [0, 1])
@pytest.mark.parametrize("shape", [(N,), (N, 1)])
def test_one_channel_border_is_refused_for_several_channels(shape, fm):
    # A signal border must give every channel its own column; only a
    # one-channel signal takes an (N,) or (N, 1) border.
    rng = rng_for("one-channel-border", shape, fm)
    src = make_src(rng, 3)
    border = rng.normal(scale=3.0, size=shape)
    u = make_map(rng)
    with pytest.raises(ValueError, match=r"^border_array channels 1 must match src channels 3$"):
        remap(src, u, 2, BorderConfig.array(border, **feathering(width=0.3, fm=fm)))


@pytest.mark.parametrize("channels", ["1d", 3])
def test_empty_signal(channels):
    src = np.empty((0,) if channels == "1d" else (0, 3))
    got = remap(src, np.empty(0), 1, BorderConfig.constant(1.0))
    assert got.shape == src.shape and got.dtype == np.float64


@pytest.mark.parametrize("interpolation", KERNELS)
def test_single_sample(interpolation):
    u = np.array([0.77])
    for bc in (None, BorderConfig.reflect(), BorderConfig.wrap()):
        assert_array_equal(check(np.array([3.5]), u, interpolation, bc), [3.5])


# --------------------------------------------------------------------------
# arguments in other dtypes, layouts and spellings


def test_non_contiguous_inputs():
    rng = rng_for("layouts")
    big = make_src(rng, 5, 2 * N)
    src = big[::2, 1:4]
    mx = make_map(rng, 2 * N)[::2]
    check(src, mx, 3, BorderConfig.wrap())
    check(src, mx.astype(np.float32), 1, BorderConfig.clamp())
    check(np.asfortranarray(src), mx, 2, BorderConfig.constant(1.0, **feathering(width=0.4)))


