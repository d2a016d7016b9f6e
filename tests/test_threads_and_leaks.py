"""Threads and leaks.

Threads
  * 8 Python threads each run every case (valid calls big enough for the
    parallel kernels, small serial ones, and calls that raise at different
    checks) many times in their own order; every outcome must equal the
    serial one, bit for bit or message for message.
  * The interpreter lock is released inside the parallel kernels and held
    everywhere else. The switch interval is raised to 5 s, so the calling
    thread never hands the lock over on its own; a second thread that wakes
    every 0.5 ms and records the time can then run only while the call has
    released the lock. Its records that fall between two timestamps of the
    calling thread therefore prove a release inside the calls in between,
    and their absence proves there was none (the measuring windows last far
    less than 5 s).

Leaks
  * 10^4 calls of each entry, half of them raising at different checks
    (argument conversion, shape checks, configuration reads before and after
    the array views are taken, companion failures), leave unchanged: the
    reference counts of every input and of the shared objects the entries
    use, the number of objects tracked by the garbage collector, the memory
    traced by tracemalloc (NumPy reports its array buffers there), and the
    resident size of the process (/proc/self/statm).
"""

import contextlib
import ctypes
import gc
import hashlib
import os
import random
import resource
import sys
import threading
import time
import tracemalloc

import numpy as np
import pytest

import tessaro.core.border_config as border_config_module
import tessaro.cython._brisel as brisel
import tessaro.cython._tovik as tovik
from tessaro.core.border_config import BorderConfig
from tessaro.core.enums import BorderMode, DistanceMode, FeatheringMode
from tessaro.cython._brisel import clip_abs
from tessaro.cython._tovik import remap_tensor
from tessaro.cython._tovik_1d import remap_tensor_1d
from tessaro.cython._warp import _transform_window, _warp_transform, _warp_transform_window
from tessaro.cython._zero_sign import ZERO_SIGN

STRESS = os.environ.get("TESSARO_STRESS") == "1"
SANITIZED = os.environ.get("TESSARO_SANITIZED") == "1"
RNG = np.random.default_rng(20240611)


class Duck:
    def __init__(self, **attrs):
        self.__dict__.update(attrs)


def duck_config(**overrides):
    attrs = dict(mode=BorderMode.CONSTANT, array=None, constant_value=0.5,
                 feathering_width=0.1, feathering_x_undershoot_multiplier=1.0,
                 feathering_x_overshoot_multiplier=1.0, feathering_y_undershoot_multiplier=1.0,
                 feathering_y_overshoot_multiplier=1.0, feathering_mode=FeatheringMode.OUTWARD,
                 distance_mode=DistanceMode.EUCLIDEAN, preserve_non_feather_dims=False)
    attrs.update(overrides)
    return Duck(**attrs)


class NoValue:
    """An enum stand-in without `.value`."""


def maps(H, W, lo=-0.25, hi=1.25):
    return RNG.uniform(lo, hi, (H, W)), RNG.uniform(lo, hi, (H, W))


# ---------------------------------------------------------------------------
# Cases: (name, zero-argument callable). Inputs are shared and never written
# by the entries, except where a case makes its own (out=, in_place=).


def remap2d_cases(big=True):
    cases = []
    if big:
        src = RNG.standard_normal((64, 64, 3))
        mx, my = maps(64, 64)
        feathered = BorderConfig.constant(0.5, feathering_width=0.2, feather_widths=[0.1, 0.2, 0.0],
                                          preserve_non_feather_dims=True)
        cases += [
            ("2d lanczos4 feathered (parallel)",
             lambda: remap_tensor(src, mx, my, interpolation=4, border_config=feathered)),
            ("2d cubic reflect (parallel)",
             lambda: remap_tensor(src, mx, my, interpolation=2, border_config=BorderConfig.reflect())),
        ]
    small = RNG.standard_normal((32, 32, 3)).astype(np.float32)
    sx, sy = maps(32, 32)
    image = RNG.standard_normal((32, 32))
    array_mode = BorderConfig.array(image, feathering_width=0.3)
    two_channels = np.zeros((32, 32, 2))
    tiny = RNG.standard_normal((5, 7))
    tx, ty = maps(5, 7)
    cases += [
        ("2d float32 bilinear", lambda: remap_tensor(small, sx, sy)),
        ("2d ARRAY mode, one border channel", lambda: remap_tensor(small, sx, sy,
                                                                    border_config=array_mode)),
        ("2d tiny nearest wrap", lambda: remap_tensor(tiny, tx, ty, interpolation=0,
                                                      border_config=BorderConfig.wrap())),
        # raising, at different checks
        ("2d bad interpolation type", lambda: remap_tensor(tiny, tx, ty, interpolation="2")),
        ("2d 1-D source", lambda: remap_tensor(tiny[0], tx, ty)),
        ("2d map shapes differ", lambda: remap_tensor(tiny, tx, ty[:4])),
        ("2d ARRAY without array", lambda: remap_tensor(
            small, sx, sy, border_config=duck_config(mode=BorderMode.ARRAY))),
        ("2d border channels", lambda: remap_tensor(
            small, sx, sy, border_config=duck_config(mode=BorderMode.ARRAY,
                                                     array=two_channels))),
        ("2d companion refuses widths", lambda: remap_tensor(
            small, sx, sy, border_config=duck_config(feather_widths=[-1.0]))),
        ("2d constant_value not a number (views taken)", lambda: remap_tensor(
            small, sx, sy, border_config=duck_config(constant_value="zero"))),
        ("2d distance_mode without value (views taken)", lambda: remap_tensor(
            small, sx, sy, border_config=duck_config(distance_mode=NoValue()))),
        ("2d interpolation overflows at the last conversion",
         lambda: remap_tensor(small, sx, sy, interpolation=2**40)),
    ]
    return cases


def remap1d_cases(big=True):
    cases = []
    if big:
        signal = RNG.standard_normal((40000, 2))
        line = RNG.uniform(-0.2, 1.2, 40000)
        inward = BorderConfig.constant(1.0, feathering_width=0.05,
                                       feathering_mode=FeatheringMode.INWARD)
        cases.append(("1d cubic inward (parallel)",
                      lambda: remap_tensor_1d(signal, line, interpolation=2, border_config=inward)))
    small = RNG.standard_normal((300, 3))
    sline = RNG.uniform(-0.3, 1.3, 300)
    mono = RNG.standard_normal(300).astype(np.float32)
    array_mode = BorderConfig.array(RNG.standard_normal((300, 3)), feathering_width=0.2)
    short_border = np.zeros((299, 3))
    cases += [
        ("1d lanczos3", lambda: remap_tensor_1d(small, sline, interpolation=3)),
        ("1d ARRAY", lambda: remap_tensor_1d(small, sline, border_config=array_mode)),
        ("1d float32 mono reflect_101", lambda: remap_tensor_1d(
            mono, sline, border_config=BorderConfig.reflect_101())),
        ("1d 3-D source", lambda: remap_tensor_1d(small[:, :, None], sline)),
        ("1d lengths differ", lambda: remap_tensor_1d(small, sline[:-1])),
        ("1d border array too short", lambda: remap_tensor_1d(
            small, sline, border_config=duck_config(mode=BorderMode.ARRAY,
                                                    array=short_border))),
        ("1d feathering_width not a number (views taken)", lambda: remap_tensor_1d(
            small, sline, border_config=duck_config(feathering_width="wide"))),
        ("1d interpolation overflows", lambda: remap_tensor_1d(small, sline,
                                                               interpolation=-(2**40))),
    ]
    return cases


def clip_cases(big=True):
    cases = []
    if big:
        big64 = RNG.uniform(-1, 1, 1_000_001)
        big32 = RNG.uniform(-1, 1, 1_200_000).astype(np.float32)
        cases += [
            ("clip f64 1000001 (parallel)", lambda: clip_abs(big64, 0.3)),
            ("clip f32 in place (parallel)",
             lambda: clip_abs(big32.copy(), 0.3, ZERO_SIGN.NEGATIVE, in_place=True)),
        ]
    small = RNG.uniform(-1, 1, (40, 50))
    small[::7, ::3] = 0.0
    strided = RNG.uniform(-1, 1, (30, 30)).astype(np.float32)[::2, ::-3]
    ints = small.astype(np.int64)
    wrong_out = np.empty((50, 40))
    readonly = _readonly(small)
    cases += [
        ("clip f64 out", lambda: clip_abs(small, 0.25, out=np.empty_like(small))),
        ("clip f32 strided", lambda: clip_abs(strided, 0.5, ZERO_SIGN.NEGATIVE)),
        ("clip in place on a copy", lambda: clip_abs(small.copy(), 0.1, in_place=True)),
        ("clip negative threshold", lambda: clip_abs(small, -1.0)),
        ("clip zero_sign None", lambda: clip_abs(small, 0.1, None)),
        ("clip int64", lambda: clip_abs(ints, 0.1)),
        ("clip out shape", lambda: clip_abs(small, 0.1, out=wrong_out)),
        ("clip read-only in place", lambda: clip_abs(readonly, 0.1, in_place=True)),
    ]
    return cases


def _readonly(a):
    b = a.copy()
    b.flags.writeable = False
    return b


def raises(fn):
    try:
        fn()
    except Exception:  # noqa: BLE001
        return True
    return False


def outcome_of(fn):
    """What a call did, comparable across threads: the result's dtype,
    shape and a digest of its bytes, or the exception's type and message."""
    try:
        result = fn()
    except Exception as exc:  # noqa: BLE001
        return ("raised", type(exc).__name__, str(exc))
    digest = hashlib.blake2b(np.ascontiguousarray(result).tobytes(), digest_size=16).hexdigest()
    return ("ok", result.dtype.str, result.shape, digest)


# ---------------------------------------------------------------------------
# 8 threads give the serial results


def test_eight_threads_give_the_serial_results():
    cases = remap2d_cases() + remap1d_cases() + clip_cases() + transform_cases()
    assert sum(1 for _, fn in cases if outcome_of(fn)[0] == "raised") >= len(cases) // 3
    serial = {name: outcome_of(fn) for name, fn in cases}
    rounds = 12 if STRESS else 3
    mismatches = []
    calls = []
    barrier = threading.Barrier(8)

    def worker(seed):
        order = cases * rounds
        random.Random(seed).shuffle(order)
        barrier.wait()
        done = 0
        for name, fn in order:
            got = outcome_of(fn)
            done += 1
            if got != serial[name]:
                mismatches.append((name, got, serial[name]))
        calls.append(done)

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sum(calls) == 8 * rounds * len(cases)
    print(f"8 threads: {sum(calls)} calls of {len(cases)} cases, {len(mismatches)} mismatches")
    assert not mismatches, mismatches[:3]


# ---------------------------------------------------------------------------
# Where the interpreter lock is released


class Ticker(threading.Thread):
    """Wakes every 0.5 ms and records the time, which needs the lock."""

    def __init__(self):
        super().__init__(daemon=True)
        self.ticks = []
        self.stopping = threading.Event()

    def run(self):
        while not self.stopping.is_set():
            time.sleep(0.0005)
            self.ticks.append(time.perf_counter())


@contextlib.contextmanager
def ticking():
    previous = sys.getswitchinterval()
    sys.setswitchinterval(5.0)
    ticker = Ticker()
    ticker.start()
    try:
        yield ticker
    finally:
        ticker.stopping.set()
        ticker.join()
        sys.setswitchinterval(previous)


def ticks_while_calling(ticker, fn, seconds=0.25, until_ticks=None, limit=2.5):
    """Calls fn repeatedly for `seconds` (or until `until_ticks` ticks were
    seen, within `limit` seconds); returns (ticks inside the window, calls)."""
    time.sleep(0.01)  # the ticker is running and asleep
    t0 = time.perf_counter()
    calls = 0
    while True:
        fn()
        calls += 1
        now = time.perf_counter()
        inside = sum(1 for t in ticker.ticks if t > t0)
        if now - t0 >= limit or (now - t0 >= seconds and (until_ticks is None
                                                          or inside >= until_ticks)):
            break
    t1 = time.perf_counter()
    assert t1 - t0 < 4.0, "the window must stay well below the switch interval"
    return sum(1 for t in ticker.ticks if t0 < t < t1), calls


def _call_ignoring_errors(fn):
    def call():
        try:
            fn()
        except Exception:  # noqa: BLE001
            pass
    return call


def test_parallel_kernels_release_the_lock():
    src = RNG.standard_normal((128, 128, 3))
    mx, my = maps(128, 128)
    signal = RNG.standard_normal((200000, 2))
    line = RNG.uniform(-0.2, 1.2, 200000)
    big64 = RNG.uniform(-1, 1, 2_000_001)
    big32 = RNG.uniform(-1, 1, 2_000_001).astype(np.float32)
    calls = {
        "remap_tensor": lambda: remap_tensor(src, mx, my, interpolation=3),
        "remap_tensor_1d": lambda: remap_tensor_1d(signal, line, interpolation=4),
        "clip_abs float64, parallel path": lambda: clip_abs(big64, 0.5),
        "clip_abs float32, parallel path": lambda: clip_abs(big32, 0.5),
    }
    with ticking() as ticker:
        for name, fn in calls.items():
            ticks, n = ticks_while_calling(ticker, fn, seconds=0.2, until_ticks=5)
            print(f"{name}: {ticks} ticks of the other thread during {n} calls")
            assert ticks >= 5, f"{name}: another thread ran only {ticks} times during {n} calls"


def test_the_lock_is_held_outside_the_parallel_kernels():
    """The serial clipping kernel (up to 10^6 elements) and all of the entries'
    own work (argument checks, configuration reads, conversions, errors
    raised before or after the views are taken) keep the lock."""
    serial64 = RNG.uniform(-1, 1, 1_000_000)
    serial32 = RNG.uniform(-1, 1, 1_000_000).astype(np.float32)
    raising = [fn for _, fn in raising_cases_without_casts()]
    assert all(outcome_of(fn)[0] == "raised" for fn in raising)

    def all_raising():
        for fn in raising:
            _call_ignoring_errors(fn)()

    calls = {
        "clip_abs float64, 10^6 elements (serial)": lambda: clip_abs(serial64, 0.5),
        "clip_abs float32, 10^6 elements (serial)": lambda: clip_abs(serial32, 0.5),
        "calls that raise": all_raising,
    }
    with ticking() as ticker:
        # The ticker does run when the lock is free: the control.
        time.sleep(0.05)
        assert len(ticker.ticks) >= 3
        for name, fn in calls.items():
            ticks, n = ticks_while_calling(ticker, fn, seconds=0.25, limit=1.0)
            print(f"{name}: {ticks} ticks of the other thread during {n} calls")
            assert n >= 2
            assert ticks == 0, f"{name}: another thread ran {ticks} times during {n} calls"


def raising_cases_without_casts():
    """Calls that fail at different checks, before and after the views are
    taken, on C-contiguous float64 inputs: NumPy itself releases the lock in
    large casts and copies, so the inputs must need neither."""
    src = RNG.standard_normal((32, 32, 3))
    mx, my = maps(32, 32)
    two_channels = np.zeros((32, 32, 2))
    signal = RNG.standard_normal((300, 3))
    line = RNG.uniform(-0.3, 1.3, 300)
    short_border = np.zeros((299, 3))
    values = RNG.uniform(-1, 1, (40, 50))
    ints = values.astype(np.int64)
    wrong_out = np.empty((50, 40))
    readonly = _readonly(values)
    return [
        ("2d interpolation type", lambda: remap_tensor(src, mx, my, interpolation="2")),
        ("2d 2-D maps expected", lambda: remap_tensor(src, mx[0], my)),
        ("2d map shapes", lambda: remap_tensor(src, mx, my[:31])),
        ("2d ARRAY without array", lambda: remap_tensor(
            src, mx, my, border_config=duck_config(mode=BorderMode.ARRAY))),
        ("2d border channels", lambda: remap_tensor(
            src, mx, my, border_config=duck_config(mode=BorderMode.ARRAY, array=two_channels))),
        ("2d companion refuses widths", lambda: remap_tensor(
            src, mx, my, border_config=duck_config(feather_widths=[-1.0]))),
        ("2d constant_value (views taken)", lambda: remap_tensor(
            src, mx, my, border_config=duck_config(constant_value="zero"))),
        ("2d distance_mode (views taken)", lambda: remap_tensor(
            src, mx, my, border_config=duck_config(distance_mode=NoValue()))),
        ("2d interpolation overflow (last conversion)",
         lambda: remap_tensor(src, mx, my, interpolation=2**40)),
        ("1d 3-D source", lambda: remap_tensor_1d(signal[:, :, None], line)),
        ("1d lengths", lambda: remap_tensor_1d(signal, line[:-1])),
        ("1d border too short", lambda: remap_tensor_1d(
            signal, line, border_config=duck_config(mode=BorderMode.ARRAY, array=short_border))),
        ("1d feathering_width (views taken)", lambda: remap_tensor_1d(
            signal, line, border_config=duck_config(feathering_width="wide"))),
        ("1d interpolation overflow", lambda: remap_tensor_1d(signal, line,
                                                              interpolation=-(2**40))),
        ("clip negative threshold", lambda: clip_abs(values, -1.0)),
        ("clip zero_sign", lambda: clip_abs(values, 0.1, None)),
        ("clip int64", lambda: clip_abs(ints, 0.1)),
        ("clip out shape", lambda: clip_abs(values, 0.1, out=wrong_out)),
        ("clip read-only in place", lambda: clip_abs(readonly, 0.1, in_place=True)),
    ]


# The exports, called from Python code holding the lock.
class ViewRecord(ctypes.Structure):
    _fields_ = [("memview", ctypes.c_void_p), ("data", ctypes.c_void_p),
                ("shape", ctypes.c_ssize_t * 8), ("strides", ctypes.c_ssize_t * 8),
                ("suboffsets", ctypes.c_ssize_t * 8)]


def _record(a):
    r = ViewRecord()
    r.memview = id(a)
    r.data = a.__array_interface__["data"][0]
    for d in range(a.ndim):
        r.shape[d], r.strides[d], r.suboffsets[d] = a.shape[d], a.strides[d], -1
    return r


def _export(module, key, argtypes):
    name_of = ctypes.pythonapi.PyCapsule_GetName
    name_of.restype, name_of.argtypes = ctypes.c_char_p, [ctypes.py_object]
    pointer = ctypes.pythonapi.PyCapsule_GetPointer
    pointer.restype, pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    capsule = module.__pyx_capi__[key]
    return ctypes.PYFUNCTYPE(None, *argtypes)(pointer(capsule, name_of(capsule)))


def test_exports_release_the_lock_only_in_their_parallel_loops():
    VR, I, D, S = ViewRecord, ctypes.c_int, ctypes.c_double, ctypes.c_ssize_t
    impl = _export(tovik, "_tovik_impl", [VR, VR, VR, VR, I, D, VR, D, D, D, D, D, I, I, I, VR,
                                          I, S, S, S])
    serial = _export(brisel, "_brisel_f64_kernel", [VR, VR, D, D, S])
    parallel = _export(brisel, "_brisel_f64_parallel", [VR, VR, D, D, S])
    H = W = 128
    src = RNG.standard_normal((H, W, 3))
    mx, my = maps(H, W)
    dst = np.empty_like(src)
    none3, none1 = np.empty((0, 0, 0)), np.empty(0)
    x = RNG.uniform(-1, 1, 1_000_000)
    y = np.empty_like(x)
    calls = {
        "_tovik_impl": (lambda: impl(_record(src), _record(my), _record(mx), _record(dst), 1, 0.0,
                                     _record(none3), 0.1, 1.0, 1.0, 1.0, 1.0, 0, 0, 0,
                                     _record(none1), 4, H, W, 3), True),
        "_brisel_f64_parallel": (lambda: parallel(_record(x), _record(y), 0.5, 0.5, x.size), True),
        "_brisel_f64_kernel": (lambda: serial(_record(x), _record(y), 0.5, 0.5, x.size), False),
    }
    with ticking() as ticker:
        for name, (fn, releases) in calls.items():
            if releases:
                ticks, n = ticks_while_calling(ticker, fn, seconds=0.2, until_ticks=5)
                print(f"{name}: {ticks} ticks of the other thread during {n} calls")
                assert ticks >= 5, f"{name}: another thread ran only {ticks} times in {n} calls"
            else:
                ticks, n = ticks_while_calling(ticker, fn, seconds=0.25, limit=1.0)
                print(f"{name}: {ticks} ticks of the other thread during {n} calls")
                assert ticks == 0, f"{name}: another thread ran {ticks} times in {n} calls"
    assert np.array_equal(y, clip_abs(x, 0.5))
    assert np.array_equal(dst, remap_tensor(src, mx, my, interpolation=4,
                                            border_config=BorderConfig.constant(
                                                0.0, feathering_width=0.1)))


# ---------------------------------------------------------------------------
# Leaks

CALLS = 10_000


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def measure(cases, tracked, calls=CALLS, warm_up=5000):
    """Runs the cases round-robin: `warm_up` calls, then three windows of
    `calls` calls each, and returns the growth of every measure over each
    window. The first window shows any growth at all; the later ones
    separate a leak, which grows by the same amount in every window, from
    the interpreter's and NumPy's caches filling up, which grow by fits and
    starts and level off (seen without a leak: up to ~46 KB in the first
    window; later windows between -0.1 and 14.5 KB, over 120,000 calls a
    total of 22 KB)."""
    fns = [_call_ignoring_errors(fn) for _, fn in cases]
    raising = sum(1 for _, fn in cases if raises(fn))

    def state():
        gc.collect()
        return dict(refs=[sys.getrefcount(o) for o in tracked], objects=len(gc.get_objects()),
                    traced=tracemalloc.get_traced_memory()[0], rss=resident_bytes(),
                    maxrss=resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)

    def growth(before, after):
        return {
            "refcounts": [(repr(o)[:60], a - b) for o, b, a in
                          zip(tracked, before["refs"], after["refs"]) if a != b],
            "gc objects": after["objects"] - before["objects"],
            "traced bytes": after["traced"] - before["traced"],
            "resident bytes": after["rss"] - before["rss"],
            "max resident KiB": after["maxrss"] - before["maxrss"],
        }

    tracemalloc.start()
    try:
        for i in range(warm_up):
            fns[i % len(fns)]()
        windows = [state()]
        for _ in range(3):
            for i in range(calls):
                fns[i % len(fns)]()
            windows.append(state())
    finally:
        tracemalloc.stop()
    result = [growth(before, after) for before, after in zip(windows, windows[1:])]
    print(f"{len(cases)} cases ({raising} raising), 3 x {calls} calls: {result}")
    return result, raising


def assert_no_growth(windows):
    first, *later = windows
    for g in windows:
        assert g["refcounts"] == [], g["refcounts"]
        assert g["gc objects"] <= 50, g
        # Under AddressSanitizer freed memory sits in its quarantine (up to
        # 256 MB) before it is reused, so the resident size grows anyway.
        if not SANITIZED:
            assert g["resident bytes"] < 8 * 1024 * 1024, g
    # One leaked object (>= 16 bytes) per raising call adds >= 80 KB to
    # every window, an array leaked by a valid call far more, and an object
    # of >= 20 bytes leaked by a single case (>= 833 calls a window) still
    # adds >= 16 KB to every window.
    assert first["traced bytes"] < 128 * 1024, windows
    assert min(g["traced bytes"] for g in later) < 16 * 1024, windows


def transform_cases(big=True):
    """The warps by a matrix, their windows, and their refusals."""
    rot = np.array([[0.9, -0.3, 4.0], [0.3, 0.9, -3.0]])
    homography = np.array([[1.0, 0.2, -2.0], [0.0, 1.1, 1.0], [0.004, -0.02, 1.0]])
    cases = []
    if big:
        src = RNG.standard_normal((64, 64, 3))
        cases += [
            ("affine cubic (parallel)", lambda: _warp_transform(src, rot, None, False,
                                                                interpolation=2)),
            ("perspective lanczos3 reflect (parallel)", lambda: _warp_transform(
                src, homography, (80, 70), True, interpolation=3,
                border_config=BorderConfig.reflect())),
        ]
    small = RNG.standard_normal((12, 14, 2)).astype(np.float32)
    cases += [
        ("perspective into out", lambda: _warp_transform(small, homography, (9, 11), True,
                                                         out=np.empty((9, 11, 2), np.float32))),
        ("window of a block", lambda: np.array(_transform_window(homography, True, (2, 6, 3, 9),
                                                                 (12, 14)))),
        ("affine from a window", lambda: _warp_transform_window(
            small[1:, 2:], rot, False, (0, 4, 0, 5), (12, 14), (1, 2))),
        # raising, at different checks
        ("window too small", lambda: _warp_transform_window(
            small[5:6, 5:6], rot, False, (0, 4, 0, 5), (12, 14), (5, 5))),
        ("affine matrix with a perspective row", lambda: _warp_transform(small, homography, None,
                                                                         False)),
        ("matrix with NaN", lambda: _warp_transform(small, rot * np.nan, None, False)),
        ("shape too short", lambda: _warp_transform(small, rot, (3,), False)),
        ("block upside down", lambda: _transform_window(rot, False, (4, 2, 0, 1), (12, 14))),
    ]
    return cases


def shared_objects():
    """Objects every call touches: their reference counts must not drift."""
    return [BorderConfig.clamp(), BorderMode.ARRAY, BorderMode.CONSTANT, FeatheringMode.OUTWARD,
            DistanceMode.EUCLIDEAN, border_config_module.compute_feather_d, BorderConfig,
            np.dtype(np.float64), np.dtype(np.float32), ZERO_SIGN.POSITIVE, ZERO_SIGN.NEGATIVE,
            ZERO_SIGN, remap_tensor, remap_tensor_1d, clip_abs]


def leak_inputs(cases):
    """Every object a case's closure holds (arrays, configurations, their
    attributes)."""
    found = []
    for _, fn in cases:
        for cell in fn.__closure__ or ():
            value = cell.cell_contents
            found.append(value)
            if isinstance(value, (Duck, BorderConfig)):
                for name in dir(value):
                    if not name.startswith("__"):
                        attr = getattr(value, name)
                        if not callable(attr) or isinstance(attr, np.ndarray):
                            found.append(attr)
    # immortal objects (None, True, small ints) have no meaningful count
    return [o for o in found if sys.getrefcount(o) < 2**30]


@pytest.mark.parametrize("entry", ["remap_tensor", "remap_tensor_1d", "clip_abs", "transforms"])
def test_no_leaks_over_ten_thousand_calls(entry):
    cases = {"remap_tensor": remap2d_cases, "remap_tensor_1d": remap1d_cases,
             "clip_abs": clip_cases, "transforms": transform_cases}[entry](big=False)
    growth, raising = measure(cases, leak_inputs(cases) + shared_objects())
    assert raising * 2 >= len(cases), "half of the calls must raise"
    assert_no_growth(growth)


@pytest.mark.parametrize("leak", ["array per call", "small object in one case of ten",
                                  "reference to an input"])
def test_leak_measure_sees_a_leak(leak):
    """The measure itself: each kind of leak fails assert_no_growth."""
    kept = []
    src = RNG.standard_normal((8, 8, 3))
    mx, my = maps(8, 8)
    raising = [(f"raising {i}", lambda: remap_tensor(src[0, 0], mx, my)) for i in range(9)]
    leaky = {
        "array per call": lambda: kept.append(remap_tensor(src, mx, my)),
        "small object in one case of ten": lambda: kept.append(object()),
        "reference to an input": lambda: kept.append(src) or remap_tensor(src, mx, my),
    }[leak]
    calls = 1000 if leak == "array per call" else CALLS
    growth, _ = measure([("leaky", leaky)] + raising, [src, mx, my], calls=calls, warm_up=100)
    kept.clear()
    with pytest.raises(AssertionError):
        assert_no_growth(growth)
