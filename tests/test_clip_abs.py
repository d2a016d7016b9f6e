"""clip_abs: the element rule, destinations, argument checks and threading."""

import fractions
import threading
import traceback

import numpy as np
import pytest

from tessaro.cython import _brisel
from tessaro.cython._brisel import clip_abs
from tessaro.cython._zero_sign import ZERO_SIGN

POS = ZERO_SIGN.POSITIVE
NEG = ZERO_SIGN.NEGATIVE
F64 = np.float64
F32 = np.float32
UINT = {np.dtype(F64): np.uint64, np.dtype(F32): np.uint32}
PARALLEL_ABOVE = 1_000_000

NAN_BITS = {
    F64: [0x7FF8000000000000, 0xFFF8000000000000, 0x7FF0000000000001,
          0xFFF4000000000ABC, 0x7FFFFFFFFFFFFFFF, 0xFFF0000000000001],
    F32: [0x7FC00000, 0xFFC00000, 0x7F800001, 0xFF812345, 0x7FFFFFFF, 0xFF800001],
}

CLIP_FN = "tessaro.cython._brisel.clip_abs"
F64_DISPATCH = "tessaro.cython._brisel._brisel_f64_dispatch"
F32_DISPATCH = "tessaro.cython._brisel._brisel_f32_dispatch"
WRITEABLE_MSG = "arr is not writeable; cannot use in_place=True"
SHAPE_MSG = "out must have the same shape and dtype as arr"


# ---------------------------------------------------------------------------
# helpers

def bits(a):
    a = np.asarray(a)
    return np.ascontiguousarray(a).view(UINT[a.dtype])


def assert_same_bits(got, want):
    assert got.dtype == want.dtype
    assert got.shape == want.shape
    np.testing.assert_array_equal(bits(got), bits(want))


def as_precision(value, dtype):
    with np.errstate(over="ignore", under="ignore"):
        return np.array(value, dtype=np.float64).astype(dtype)[()]


def oracle(arr, threshold, zero_sign=POS):
    """Element-by-element reference; values are picked, never computed, so
    NaN payloads and zero signs survive untouched."""
    dtype = arr.dtype.type
    t = as_precision(threshold, dtype)
    zero_val = as_precision(threshold if zero_sign is POS else -threshold, dtype)
    neg_t = -t
    expected = np.array(arr, copy=True, order="C")
    flat = expected.reshape(-1)
    for i, x in enumerate(np.asarray(arr).ravel().tolist()):
        if x != x:
            continue
        if float(t) > abs(x):
            if x == 0:
                flat[i] = zero_val
            elif x > 0:
                flat[i] = t
            else:
                flat[i] = neg_t
    return expected


def vector_oracle(arr, threshold, zero_sign=POS):
    """Whole-array reference for large inputs; selects values, never computes them."""
    dtype = arr.dtype.type
    t = as_precision(threshold, dtype)
    zero_val = as_precision(threshold if zero_sign is POS else -threshold, dtype)
    with np.errstate(invalid="ignore"):
        raised = np.where(arr == 0, zero_val, np.where(arr > 0, t, -t)).astype(dtype)
        return np.where(t > np.abs(arr), raised, arr)


def special_values(dtype):
    info = np.finfo(dtype)
    base = [0.0, -0.0, np.inf, -np.inf, info.max, -info.max, info.tiny, -info.tiny,
            info.smallest_subnormal, -info.smallest_subnormal, 0.1, -0.1, 0.05, -0.05,
            1.0, -1.0, 1e-40, -1e-40, 1e-310, -1e-310, 1e-50, -1e-50, 1e39, -1e39]
    with np.errstate(over="ignore", under="ignore"):
        vals = np.array(base, dtype=np.float64).astype(dtype)
    nans = np.array(NAN_BITS[dtype], dtype=UINT[np.dtype(dtype)]).view(dtype)
    # neighbours of the thresholds used below, so |x| == threshold is hit exactly
    around = [np.nextafter(v, dtype(np.inf)) for v in vals[10:12]]
    around += [np.nextafter(v, dtype(0)) for v in vals[10:12]]
    return np.concatenate([vals, nans, np.array(around, dtype=dtype)])


def random_values(dtype, n, seed):
    rng = np.random.default_rng(seed)
    info = np.finfo(dtype)
    lo = np.log10(float(info.smallest_subnormal))
    hi = np.log10(float(info.max))
    mags = 10.0 ** rng.uniform(lo, hi, n)
    signs = rng.choice([-1.0, 1.0], n)
    with np.errstate(over="ignore", under="ignore"):
        vals = (mags * signs).astype(dtype)
    sub = (rng.uniform(-1, 1, n // 8) * float(info.tiny)).astype(dtype)  # subnormals
    return np.concatenate([vals, sub])


def sample(dtype, n=1500, seed=0):
    rng = np.random.default_rng(seed + 1)
    specials = special_values(dtype)
    data = np.concatenate([random_values(dtype, n, seed), np.tile(specials, 4)])
    return data[rng.permutation(data.size)]


def big_sample(dtype, n, seed):
    """Large array with magnitudes around 1e-3 so both branches are busy,
    plus zeros of both signs and NaNs."""
    rng = np.random.default_rng(seed)
    data = (rng.standard_normal(n) * 10.0 ** rng.uniform(-6, 0, n)).astype(dtype)
    idx = rng.choice(n, n // 50, replace=False)
    data[idx[0::3]] = 0.0
    data[idx[1::3]] = -0.0
    data[idx[2::3]] = np.nan
    return data


def serial_reference(arr, threshold, zero_sign=POS):
    """clip_abs in chunks short enough for the serial kernel."""
    flat = np.ascontiguousarray(arr).reshape(-1)
    chunks = [clip_abs(c.copy(), threshold, zero_sign)
              for c in np.array_split(flat, max(1, -(-flat.size // PARALLEL_ABOVE)))]
    assert all(c.size <= PARALLEL_ABOVE for c in chunks)
    return np.concatenate(chunks).reshape(arr.shape)


def tb_names(exc_info):
    return [entry.name for entry in traceback.extract_tb(exc_info.value.__traceback__)]


# ---------------------------------------------------------------------------
# the element rule

THRESHOLDS = [0.0, -0.0, np.inf, 0.1, 1e39, 1e-50, 1e-310, 1e-40]


@pytest.mark.parametrize("dtype", [F64, F32])
@pytest.mark.parametrize("zero_sign", [POS, NEG])
@pytest.mark.parametrize("threshold", THRESHOLDS)
def test_matches_scalar_oracle_bit_for_bit(dtype, zero_sign, threshold):
    arr = sample(dtype, seed=THRESHOLDS.index(threshold))
    before = arr.copy()
    got = clip_abs(arr, threshold, zero_sign)
    assert got is not arr
    assert_same_bits(got, oracle(arr, threshold, zero_sign))
    assert_same_bits(arr, before)


@pytest.mark.parametrize("dtype", [F64, F32])
def test_nan_inputs_keep_their_bits_for_any_threshold(dtype):
    nans = np.array(NAN_BITS[dtype], dtype=UINT[np.dtype(dtype)]).view(dtype)
    for threshold in (0.0, 0.5, np.inf):
        for zero_sign in (POS, NEG):
            assert_same_bits(clip_abs(nans, threshold, zero_sign), nans)


EXAMPLE = [0.05, -0.05, 0.0, -0.0, 0.5, np.nan]
KERNEL_EXAMPLE = [0.05, -0.05, 0.0, -0.0, 0.1, -0.1, 0.5, np.nan, np.inf]


@pytest.mark.parametrize("values, threshold, zero_sign, expected", [
    (EXAMPLE, 0.1, POS, [0.1, -0.1, 0.1, 0.1, 0.5, np.nan]),
    (EXAMPLE, 0.1, NEG, [0.1, -0.1, -0.1, -0.1, 0.5, np.nan]),
    (KERNEL_EXAMPLE, 0.1, POS, [0.1, -0.1, 0.1, 0.1, 0.1, -0.1, 0.5, np.nan, np.inf]),
    (KERNEL_EXAMPLE, 0.1, NEG, [0.1, -0.1, -0.1, -0.1, 0.1, -0.1, 0.5, np.nan, np.inf]),
    ([0.25, -0.25, 3.0], 0.25, POS, [0.25, -0.25, 3.0]),
    ([1e-300, -1e-300, 5e-324, -5e-324], 1e-200, POS, [1e-200, -1e-200, 1e-200, -1e-200]),
    ([1.0, -2.0, 0.0, -0.0, np.inf, -np.inf], np.inf, POS,
     [np.inf, -np.inf, np.inf, np.inf, np.inf, -np.inf]),
    ([1.0, -2.0, 0.0, -0.0, np.inf, -np.inf], np.inf, NEG,
     [np.inf, -np.inf, -np.inf, -np.inf, np.inf, -np.inf]),
], ids=["pos", "neg", "kernel-pos", "kernel-neg", "equal-to-threshold", "subnormals",
        "inf-pos", "inf-neg"])
def test_documented_examples_float64(values, threshold, zero_sign, expected):
    arr = np.array(values, dtype=F64)
    before = arr.copy()
    got = clip_abs(arr, threshold, zero_sign)
    assert got.dtype == F64
    assert_same_bits(got, np.array(expected, dtype=F64))
    assert_same_bits(arr, before)


@pytest.mark.parametrize("dtype", [F64, F32])
@pytest.mark.parametrize("threshold", [0, 0.0, -0.0])
@pytest.mark.parametrize("zero_sign", [POS, NEG])
def test_zero_and_negative_zero_thresholds_return_an_equal_copy(dtype, threshold, zero_sign):
    arr = sample(dtype, n=200)
    got = clip_abs(arr, threshold, zero_sign)
    assert got is not arr
    assert_same_bits(got, arr)


@pytest.mark.parametrize("zero_sign, zero", [(POS, np.inf), (NEG, -np.inf)])
def test_float32_threshold_beyond_range_becomes_infinity(zero_sign, zero):
    arr = np.array([1.0, -2.0, 1e-45, -3e38, 0.0, -0.0, np.inf, -np.inf, np.nan], dtype=F32)
    got = clip_abs(arr, 1e39, zero_sign)
    assert got.dtype == F32
    expected = np.array([np.inf, -np.inf, np.inf, -np.inf, zero, zero, np.inf, -np.inf, np.nan],
                        dtype=F32)
    assert_same_bits(got, expected)


@pytest.mark.parametrize("zero_sign", [POS, NEG])
def test_float32_tiny_threshold_becomes_zero(zero_sign):
    arr = np.array([1e-45, -1e-45, 0.0, -0.0, 1.0, np.nan], dtype=F32)
    got = clip_abs(arr, 1e-50, zero_sign)
    assert_same_bits(got, arr)


def test_float32_zero_value_is_rounded_from_the_threshold():
    arr = np.array([0.0, -0.0, 0.01, -0.01], dtype=F32)
    t = F32(0.1)
    assert_same_bits(clip_abs(arr, 0.1, NEG), np.array([-t, -t, t, -t], dtype=F32))
    assert_same_bits(clip_abs(arr, 0.1, POS), np.array([t, t, t, -t], dtype=F32))


@pytest.mark.parametrize("dtype", [F64, F32])
@pytest.mark.parametrize("shape", [(0,), (3, 0), (0, 2, 5)])
def test_empty_arrays_keep_shape_and_dtype(dtype, shape):
    arr = np.empty(shape, dtype=dtype)
    got = clip_abs(arr, 0.1)
    assert got is not arr
    assert got.shape == shape and got.dtype == dtype
    assert clip_abs(arr, 0.1, in_place=True) is arr
    out = np.empty(shape, dtype=dtype)
    assert clip_abs(arr, 0.1, out=out) is out


@pytest.mark.parametrize("dtype", [F64, F32])
def test_zero_dimensional_array(dtype):
    arr = np.array(-0.05, dtype=dtype)
    got = clip_abs(arr, 0.1)
    assert got.shape == () and got.dtype == dtype
    assert got[()] == -dtype(0.1)
    assert clip_abs(arr, 0.1, in_place=True) is arr
    assert arr[()] == -dtype(0.1)


@pytest.mark.parametrize("dtype", [F64, F32])
def test_multidimensional_result_keeps_shape(dtype):
    arr = sample(dtype, n=600)[:600].reshape(4, 5, 30)
    got = clip_abs(arr, 1e-3, NEG)
    assert got.shape == arr.shape and got.dtype == dtype
    assert got.flags.c_contiguous and got.flags.writeable
    assert_same_bits(got, oracle(arr, 1e-3, NEG))


class IndexOnly:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class FloatLike:
    def __float__(self):
        return 0.25


@pytest.mark.parametrize("given, as_float", [
    (1, 1.0),
    (True, 1.0),
    (F32(0.1), float(F32(0.1))),
    (np.float64(0.3), 0.3),
    (np.int64(2), 2.0),
    (fractions.Fraction(1, 10), 0.1),
    (IndexOnly(3), 3.0),
    (FloatLike(), 0.25),
])
def test_threshold_goes_through_float_conversion(given, as_float):
    arr = np.array([0.01, -0.2, 0.0, 2.5, -4.0], dtype=F64)
    assert_same_bits(clip_abs(arr, given), clip_abs(arr, as_float))


@pytest.mark.parametrize("given, exc", [
    ("0.1", TypeError),
    (None, TypeError),
    (10 ** 400, OverflowError),
    ([0.1], TypeError),
])
def test_threshold_conversion_failure_propagates(given, exc):
    with pytest.raises(exc):
        clip_abs(np.zeros(3), given)


# ---------------------------------------------------------------------------
# serial and parallel paths

@pytest.mark.parametrize("dtype", [F64, F32])
def test_serial_and_parallel_sizes_agree(dtype):
    big = big_sample(dtype, PARALLEL_ABOVE + 1, seed=7)
    small = big[:PARALLEL_ABOVE].copy()
    threshold = 1e-3
    got_big = clip_abs(big, threshold, NEG)
    got_small = clip_abs(small, threshold, NEG)
    assert_same_bits(got_big[:PARALLEL_ABOVE], got_small)
    assert_same_bits(got_big, serial_reference(big, threshold, NEG))
    assert_same_bits(got_big, vector_oracle(big, threshold, NEG))

    in_big, in_small = big.copy(), small.copy()
    assert clip_abs(in_big, threshold, NEG, in_place=True) is in_big
    assert clip_abs(in_small, threshold, NEG, in_place=True) is in_small
    assert_same_bits(in_big, got_big)
    assert_same_bits(in_small, got_small)

    out = np.full_like(big, 7.0)
    assert clip_abs(big, threshold, NEG, out=out) is out
    assert_same_bits(out, got_big)


@pytest.mark.parametrize("dtype", [F64, F32])
def test_parallel_path_with_non_contiguous_destinations(dtype):
    base = big_sample(dtype, 1001 * 1000, seed=11).reshape(1001, 1000)
    arr = np.asfortranarray(base)
    expected = vector_oracle(base, 1e-3)

    got = clip_abs(arr, 1e-3)
    assert got.flags.f_contiguous
    assert_same_bits(got, expected)

    transposed = base.copy().T
    assert clip_abs(transposed, 1e-3, in_place=True) is transposed
    assert_same_bits(transposed, expected.T)

    # overlapping out, one element further on
    buf = np.concatenate([base.reshape(-1), np.zeros(1, dtype=dtype)])
    flat_in = buf[:-1]
    out = buf[1:]
    want = vector_oracle(flat_in.copy(), 1e-3)
    assert clip_abs(flat_in, 1e-3, out=out) is out
    assert_same_bits(out, want)


# ---------------------------------------------------------------------------
# destinations and return identity

@pytest.mark.parametrize("dtype", [F64, F32])
class TestDestinations:
    def data(self, dtype, shape=(6, 8), seed=3):
        n = int(np.prod(shape))
        return sample(dtype, n=n, seed=seed)[:n].reshape(shape).copy()

    def test_new_array(self, dtype):
        arr = self.data(dtype)
        before = arr.copy()
        got = clip_abs(arr, 0.1)
        assert got is not arr and not np.shares_memory(got, arr)
        assert_same_bits(got, oracle(before, 0.1))
        assert_same_bits(arr, before)

    def test_in_place_returns_arr(self, dtype):
        arr = self.data(dtype)
        expected = oracle(arr, 0.1, NEG)
        assert clip_abs(arr, 0.1, NEG, in_place=True) is arr
        assert_same_bits(arr, expected)

    def test_out_returns_out(self, dtype):
        arr = self.data(dtype)
        before = arr.copy()
        out = np.full_like(arr, 9.0)
        assert clip_abs(arr, 0.1, out=out) is out
        assert_same_bits(out, oracle(before, 0.1))
        assert_same_bits(arr, before)

    def test_out_is_arr(self, dtype):
        arr = self.data(dtype)
        expected = oracle(arr, 0.1)
        assert clip_abs(arr, 0.1, out=arr) is arr
        assert_same_bits(arr, expected)

    def test_out_is_arr_strided(self, dtype):
        base = self.data(dtype, (6, 16))
        arr = base[:, ::2]
        expected_base = base.copy()
        expected_base[:, ::2] = oracle(arr, 0.1)
        assert clip_abs(arr, 0.1, out=arr) is arr
        assert_same_bits(base, expected_base)

    def test_in_place_on_transposed(self, dtype):
        base = self.data(dtype)
        expected = oracle(base, 0.1)
        view = base.T
        assert clip_abs(view, 0.1, in_place=True) is view
        assert_same_bits(base, expected)

    def test_in_place_on_strided_view(self, dtype):
        base = self.data(dtype, (9, 12))
        view = base[::2, 1::3]
        expected = base.copy()
        expected[::2, 1::3] = oracle(view, 0.1)
        assert clip_abs(view, 0.1, in_place=True) is view
        assert_same_bits(base, expected)

    def test_in_place_on_reversed_view(self, dtype):
        base = self.data(dtype, (40,))
        view = base[::-1]
        expected = oracle(base, 0.1)
        assert clip_abs(view, 0.1, in_place=True) is view
        assert_same_bits(base, expected)

    @pytest.mark.parametrize("order, region", [
        ("C", np.s_[:, ::2]),
        ("C", np.s_[::-1, 1::2]),
        ("F", np.s_[:, 3:11]),
        ("F", np.s_[:, ::-2]),
    ], ids=["strided", "reversed-rows", "fortran", "fortran-reversed"])
    def test_strided_out(self, dtype, order, region):
        arr = self.data(dtype)
        buf = np.full((6, 16), 5.5, dtype=dtype, order=order)
        out = buf[region]
        assert out.shape == arr.shape and np.shares_memory(out, buf)
        assert not out.flags.c_contiguous
        assert clip_abs(arr, 0.1, out=out) is out
        assert_same_bits(out, oracle(arr, 0.1))
        # elements of buf outside `out` keep their value
        outside = np.ones(buf.shape, bool)
        outside[region] = False
        assert np.all(buf[outside] == 5.5)

    def test_fortran_arr_new_result(self, dtype):
        arr = np.asfortranarray(self.data(dtype))
        got = clip_abs(arr, 0.1)
        assert got.flags.f_contiguous
        assert_same_bits(got, oracle(arr, 0.1))

    def test_fortran_arr_into_c_out(self, dtype):
        arr = np.asfortranarray(self.data(dtype))
        out = np.empty(arr.shape, dtype=dtype)
        assert clip_abs(arr, 0.1, out=out) is out
        assert_same_bits(out, oracle(arr, 0.1))

    @pytest.mark.parametrize("split", ["out-after", "out-before", "out-reversed", "2d-shift"])
    def test_out_overlapping_arr(self, dtype, split):
        buf = self.data(dtype, (64,))
        if split == "out-after":
            arr, out = buf[:-1], buf[1:]
        elif split == "out-before":
            arr, out = buf[1:], buf[:-1]
        elif split == "out-reversed":
            arr, out = buf, buf[::-1]
        else:
            buf = buf.reshape(8, 8)
            arr, out = buf[:, :-1], buf[:, 1:]
        expected = oracle(arr.copy(), 0.1)
        assert clip_abs(arr, 0.1, out=out) is out
        assert_same_bits(out, expected)

    @pytest.mark.parametrize("layout", ["c", "strided"])
    def test_read_only_arr_is_a_valid_input(self, dtype, layout):
        base = self.data(dtype, (6, 16))
        arr = base if layout == "c" else base[:, ::2]
        before = arr.copy()
        base.flags.writeable = False
        arr.flags.writeable = False
        got = clip_abs(arr, 0.1)
        assert got.flags.writeable
        assert_same_bits(got, oracle(before, 0.1))
        out = np.empty_like(before)
        assert clip_abs(arr, 0.1, out=out) is out
        assert_same_bits(out, got)
        assert_same_bits(arr, before)

    def test_in_place_read_only_contiguous_fails_at_buffer_request(self, dtype):
        arr = self.data(dtype)
        arr.flags.writeable = False
        before = arr.copy()
        with pytest.raises(ValueError) as info:
            clip_abs(arr, 0.1, in_place=True)
        assert str(info.value) != WRITEABLE_MSG
        assert_same_bits(arr, before)

    def test_in_place_read_only_strided_raises_own_message(self, dtype):
        base = self.data(dtype, (6, 16))
        base.flags.writeable = False
        arr = base[:, ::2]
        before = base.copy()
        with pytest.raises(ValueError) as info:
            clip_abs(arr, 0.1, in_place=True)
        assert str(info.value) == WRITEABLE_MSG
        assert_same_bits(base, before)

    @pytest.mark.parametrize("layout", ["c", "strided"])
    def test_read_only_out_fails_untouched(self, dtype, layout):
        arr = self.data(dtype)
        buf = np.full((6, 16), 2.0, dtype=dtype)
        out = buf[:, :8].copy() if layout == "c" else buf[:, ::2]
        out.flags.writeable = False
        with pytest.raises(ValueError):
            clip_abs(arr, 0.1, out=out)
        assert np.all(buf == 2.0) and np.all(out == 2.0)


@pytest.mark.parametrize("in_place", [False, 0, None, [], "", 0.0])
def test_falsy_in_place_with_out_uses_out(in_place):
    arr = np.array([0.01, -0.02, 0.0, 4.0])
    out = np.empty_like(arr)
    assert clip_abs(arr, 0.1, out=out, in_place=in_place) is out
    assert_same_bits(out, np.array([0.1, -0.1, 0.1, 4.0]))
    assert_same_bits(arr, np.array([0.01, -0.02, 0.0, 4.0]))


@pytest.mark.parametrize("in_place", [True, 1, "yes", [0], np.True_])
def test_truthy_in_place_works_in_place(in_place):
    arr = np.array([0.01, -0.02, -0.0, 4.0])
    assert clip_abs(arr, 0.1, NEG, in_place=in_place) is arr
    assert_same_bits(arr, np.array([0.1, -0.1, -0.1, 4.0]))


class BadBool:
    def __bool__(self):
        raise ZeroDivisionError("no truth here")


def test_in_place_truth_error_propagates_before_threshold_check():
    arr = np.zeros(3)
    with pytest.raises(ZeroDivisionError, match="no truth here"):
        clip_abs(arr, -1.0, None, in_place=BadBool())


def test_threshold_conversion_precedes_in_place_truth():
    with pytest.raises(TypeError):
        clip_abs(np.zeros(3), "x", in_place=BadBool())


# ---------------------------------------------------------------------------
# errors and their order

I64 = np.arange(3, dtype=np.int64)


def small_f64():
    return np.array([0.05, -0.5, 0.0])


@pytest.mark.parametrize("args, kwargs, exc, msg", [
    ((small_f64(), -1), {}, ValueError, "threshold must be >= 0, got -1.0"),
    ((small_f64(), -np.inf), {}, ValueError, "threshold must be >= 0, got -inf"),
    ((small_f64(), -1e-300), {}, ValueError, "threshold must be >= 0, got -1e-300"),
    ((small_f64(), np.nan), {"in_place": True}, ValueError, "threshold must be >= 0, got nan"),
    ((small_f64(), 0.1, None), {}, TypeError, "zero_sign must be a ZERO_SIGN enum value, got NoneType"),
    ((small_f64(), 0.1, 1), {}, TypeError, "zero_sign must be a ZERO_SIGN enum value, got int"),
    ((small_f64(), 0.1, "POSITIVE"), {}, TypeError,
     "zero_sign must be a ZERO_SIGN enum value, got str"),
    ((small_f64(), 0.1, ZERO_SIGN), {}, TypeError,
     "zero_sign must be a ZERO_SIGN enum value, got EnumType"),
    ((small_f64(), 0.1), {"out": small_f64(), "in_place": True}, ValueError,
     "out and in_place are mutually exclusive"),
    ((I64, 0.1), {"out": I64.copy(), "in_place": True}, ValueError,
     "out and in_place are mutually exclusive"),
    ((I64, 0.1), {}, TypeError, "Unsupported dtype int64; expected float32 or float64"),
    ((small_f64().astype(np.float16), 0.1), {}, TypeError,
     "Unsupported dtype float16; expected float32 or float64"),
    ((small_f64().astype(">f8"), 0.1), {}, TypeError,
     "Unsupported dtype >f8; expected float32 or float64"),
    ((small_f64().astype(np.complex128), 0.1), {}, TypeError,
     "Unsupported dtype complex128; expected float32 or float64"),
    ((np.zeros(3, dtype=np.longdouble), 0.1), {}, TypeError,
     "Unsupported dtype " + str(np.dtype(np.longdouble)) + "; expected float32 or float64"),
    ((I64, 0.1), {"out": np.zeros(5)}, TypeError,
     "Unsupported dtype int64; expected float32 or float64"),
    ((np.zeros((1, 3)), 0.1), {"out": np.zeros(3)}, ValueError, SHAPE_MSG),
    ((np.zeros(3), 0.1), {"out": np.zeros((1, 3))}, ValueError, SHAPE_MSG),
    ((np.zeros(3), 0.1), {"out": np.zeros(3, dtype=F32)}, ValueError, SHAPE_MSG),
    ((np.zeros(3, dtype=F32), 0.1), {"out": np.zeros(3)}, ValueError, SHAPE_MSG),
    ((np.zeros(3), 0.1), {"out": np.zeros(3, dtype=">f8")}, ValueError, SHAPE_MSG),
    # order of the checks
    ((small_f64(), -1.0, None), {"out": small_f64(), "in_place": True}, ValueError,
     "threshold must be >= 0, got -1.0"),
    ((I64, -2), {}, ValueError, "threshold must be >= 0, got -2.0"),
    ((small_f64(), 0.1, None), {"out": small_f64(), "in_place": True}, TypeError,
     "zero_sign must be a ZERO_SIGN enum value, got NoneType"),
    ((I64, 0.1, 0), {}, TypeError, "zero_sign must be a ZERO_SIGN enum value, got int"),
    (([0.5, 1.0], -1.0), {}, ValueError, "threshold must be >= 0, got -1.0"),
    (([0.5, 1.0], 0.1, None), {}, TypeError,
     "zero_sign must be a ZERO_SIGN enum value, got NoneType"),
    (([0.5, 1.0], 0.1), {"out": small_f64(), "in_place": True}, ValueError,
     "out and in_place are mutually exclusive"),
])
def test_error_messages_and_order(args, kwargs, exc, msg):
    kept = [np.array(a, copy=True) for a in args if isinstance(a, np.ndarray)]
    with pytest.raises(exc) as info:
        clip_abs(*args, **kwargs)
    assert type(info.value) is exc
    assert str(info.value) == msg
    for a, k in zip([a for a in args if isinstance(a, np.ndarray)], kept):
        np.testing.assert_array_equal(a, k)


@pytest.mark.parametrize("arr", [[0.5, 1.0], (0.5,), 3.0, None])
def test_non_array_arr_raises_attribute_error(arr):
    with pytest.raises(AttributeError, match="size"):
        clip_abs(arr, 0.1)


class SizeOnly:
    size = 3


def test_arr_without_dtype_raises_attribute_error():
    with pytest.raises(AttributeError, match="dtype"):
        clip_abs(SizeOnly(), 0.1)


def test_failed_out_check_leaves_out_untouched():
    arr = np.array([0.01, 0.02, 0.03])
    out = np.full(3, 8.0, dtype=F32)
    with pytest.raises(ValueError, match=SHAPE_MSG):
        clip_abs(arr, 0.1, out=out)
    assert np.all(out == 8.0)


# ---------------------------------------------------------------------------
# traceback entries

@pytest.mark.parametrize("call", [
    lambda: clip_abs(np.zeros(2), -1.0),
    lambda: clip_abs(np.zeros(2), 0.1, None),
    lambda: clip_abs(np.zeros(2, dtype=np.int32), 0.1),
    lambda: clip_abs(np.zeros(2), 0.1, out=np.zeros(2), in_place=True),
    lambda: clip_abs(np.zeros(2)),
    lambda: clip_abs([1.0], 0.1),
], ids=["threshold", "zero_sign", "dtype", "exclusive", "binding", "attribute"])
def test_entry_failures_name_clip_abs(call):
    with pytest.raises(Exception) as info:
        call()
    names = tb_names(info)
    assert CLIP_FN in names
    assert F64_DISPATCH not in names and F32_DISPATCH not in names


def _read_only(dtype):
    a = np.zeros(4, dtype=dtype)
    a.flags.writeable = False
    return a


@pytest.mark.parametrize("call, dispatcher", [
    (lambda: clip_abs(_read_only(F64), 0.1, in_place=True), F64_DISPATCH),
    (lambda: clip_abs(_read_only(F32), 0.1, in_place=True), F32_DISPATCH),
    (lambda: clip_abs(_read_only(F64)[::-1], 0.1, in_place=True), F64_DISPATCH),
    (lambda: clip_abs(np.zeros(4), 0.1, out=np.zeros(3)), F64_DISPATCH),
    (lambda: clip_abs(np.zeros(4, F32), 0.1, out=_read_only(F32)), F32_DISPATCH),
], ids=["f64-read-only", "f32-read-only", "f64-not-writeable", "f64-out-shape",
        "f32-read-only-out"])
def test_dispatcher_failures_name_both_functions(call, dispatcher):
    with pytest.raises(ValueError) as info:
        call()
    names = tb_names(info)
    assert CLIP_FN in names and dispatcher in names
    assert names.index(CLIP_FN) < names.index(dispatcher)


# ---------------------------------------------------------------------------
# threads

def test_concurrent_calls_from_python_threads():
    n_threads = 8
    specs = []
    for k in range(n_threads):
        dtype = F64 if k % 2 == 0 else F32
        n = 1_200_000 if k % 3 == 0 else 40_000 + k
        specs.append((big_sample(dtype, n, seed=100 + k), 10.0 ** -(2 + k % 3),
                      POS if k % 4 < 2 else NEG))
    expected = [serial_reference(a, t, z) for a, t, z in specs]
    barrier = threading.Barrier(n_threads)
    results = [None] * n_threads
    errors = []

    def work(k):
        try:
            a, t, z = specs[k]
            barrier.wait()
            runs = []
            for _ in range(3):
                runs.append(clip_abs(a, t, z))
                own = a.copy()
                clip_abs(own, t, z, in_place=True)
                runs.append(own)
            results[k] = runs
        except BaseException as e:  # reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(n_threads)]
    for th in threads:
        th.start()
    for th in threads:
        th.join(timeout=120)
    assert not errors
    for k in range(n_threads):
        assert results[k] is not None
        for got in results[k]:
            assert_same_bits(got, expected[k])


# ---------------------------------------------------------------------------
# module globals read per call

def test_rebound_zero_sign_global_is_used_while_default_stays(monkeypatch):
    import enum

    class Other(enum.Enum):
        POSITIVE = 1
        NEGATIVE = -1
        SIDEWAYS = 0

    arr = np.array([0.0, -0.0, 0.01])
    monkeypatch.setattr(_brisel, "ZERO_SIGN", Other)
    assert clip_abs.__defaults__[0] is POS
    with pytest.raises(TypeError) as info:
        clip_abs(arr, 0.1)
    assert str(info.value) == "zero_sign must be a ZERO_SIGN enum value, got ZERO_SIGN"
    assert_same_bits(clip_abs(arr, 0.1, Other.POSITIVE), np.array([0.1, 0.1, 0.1]))
    for member in (Other.NEGATIVE, Other.SIDEWAYS):
        assert_same_bits(clip_abs(arr, 0.1, member), np.array([-0.1, -0.1, 0.1]))


def test_zero_sign_positive_is_looked_up_at_call_time(monkeypatch):
    class Meta(type):
        def __instancecheck__(cls, obj):
            return True

    class Anything(metaclass=Meta):
        POSITIVE = "chosen"

    monkeypatch.setattr(_brisel, "ZERO_SIGN", Anything)
    arr = np.array([0.0, -0.0])
    assert_same_bits(clip_abs(arr, 0.5, "chosen"), np.array([0.5, 0.5]))
    # an equal object that is not the very POSITIVE object makes zeros negative
    equal = "".join(["cho", "sen"])
    assert equal == "chosen" and equal is not Anything.POSITIVE
    assert_same_bits(clip_abs(arr, 0.5, equal), np.array([-0.5, -0.5]))


def test_instance_check_error_propagates(monkeypatch):
    class Meta(type):
        def __instancecheck__(cls, obj):
            raise LookupError("instance check failed")

    class Broken(metaclass=Meta):
        POSITIVE = None

    monkeypatch.setattr(_brisel, "ZERO_SIGN", Broken)
    with pytest.raises(LookupError, match="instance check failed"):
        clip_abs(np.zeros(2), 0.1, POS)
