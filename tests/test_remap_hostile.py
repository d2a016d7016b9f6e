"""Hostile inputs for remap_tensor and remap_tensor_1d.

Each test runs its cases in a child interpreter, so that a crash of the
native code fails the test instead of taking the whole run down.  The child
prints one JSON report on its last line; the assertions are made here.
"""

import json
import os
import subprocess
import sys
import textwrap

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))

PRELUDE = textwrap.dedent(
    """
    import json, math
    from types import SimpleNamespace as NS
    import numpy as np
    import tessaro.core.border_config as bcm
    from tessaro.core.border_config import BorderConfig
    from tessaro.core.enums import BorderMode, FeatheringMode
    from tessaro.cython._tovik import remap_tensor
    from tessaro.cython._tovik_1d import remap_tensor_1d

    def duck(mode, two_d=True, **kw):
        attrs = dict(
            mode=NS(value=mode) if type(mode) is int else mode,
            array=None, constant_value=0.25, feathering_width=0.1,
            feathering_x_undershoot_multiplier=1.0,
            feathering_x_overshoot_multiplier=1.0,
            feathering_mode=NS(value=0),
        )
        if two_d:
            attrs.update(
                feathering_y_undershoot_multiplier=1.0,
                feathering_y_overshoot_multiplier=1.0,
                distance_mode=NS(value=0),
                preserve_non_feather_dims=False,
            )
        attrs.update(kw)
        return NS(**attrs)

    def outcome(fn):
        try:
            r = fn()
        except Exception as e:
            return ["err", type(e).__name__, str(e)]
        return ["ok", list(r.shape), str(r.dtype)]

    report = {}
    """
)


def run_child(body, timeout=120):
    code = PRELUDE + textwrap.dedent(body) + "\nprint(json.dumps(report))\n"
    proc = subprocess.run(
        [sys.executable, "-c", code],
        cwd=HERE,
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    assert proc.returncode == 0, f"child exited with {proc.returncode}\n{proc.stderr[-3000:]}"
    return json.loads(proc.stdout.strip().splitlines()[-1])


# ---------------------------------------------------------------------------
# non-finite and huge coordinates


MAP_SWEEP = """
vals = [math.nan, math.inf, -math.inf, 1e300, -1e300, 0.5, -0.5, 1.5,
        1e19, -1e19, 2.0**63, -(2.0**63), 5e-324]
n = len(vals)
MID = vals.index(0.5)     # vals[0] is the NaN
mx = np.tile(np.array(vals), (n, 1))     # x varies along a row
my = mx.T.copy()                          # y varies down a column

def configs(two_d, n, c):
    shape = (n, n, c) if two_d else (n, c)
    inward = dict(feathering_width=0.1, feathering_mode=FeatheringMode.INWARD)
    return {
        "0": BorderConfig.clamp(),
        "1": BorderConfig.constant(0.25, feathering_width=0.1),
        "1-inward": BorderConfig.constant(0.25, **inward),
        "1-disabled-sides": BorderConfig.constant(
            0.25, feathering_width=0.1,
            feathering_x_undershoot_multiplier=-1.0, feathering_y_overshoot_multiplier=-1.0),
        "2": BorderConfig.reflect(),
        "3": BorderConfig.wrap(),
        "4": BorderConfig.reflect_101(),
        "5": BorderConfig.array(np.full(shape, 7.0), feathering_width=0.1),
        # a 2-D border image serves every channel of an image
        "5-inward": BorderConfig.array(np.full(shape[:-1] if two_d else shape, 7.0), **inward),
        "6": duck(6, two_d),
        "-1": duck(-1, two_d),
        "big": duck(2**31 - 1, two_d),
    }

bad = []
calls = 0
for two_d in (True, False):
    for dtype in (np.float64, np.float32):
        for c in (None, 2):
            if two_d:
                src = np.random.default_rng(1).random((n, n) if c is None else (n, n, c)).astype(dtype)
            else:
                src = np.random.default_rng(2).random(n if c is None else (n, c)).astype(dtype)
            for name, cfg in configs(two_d, n, c or 1).items():
                for k in (0, 1, 2, 3, 4, 7, -3):
                    tag = [two_d, str(np.dtype(dtype)), c, name, k]
                    calls += 1
                    try:
                        if two_d:
                            r = remap_tensor(src, mx, my, interpolation=k, border_config=cfg)
                        else:
                            r = remap_tensor_1d(src, np.array(vals), interpolation=k, border_config=cfg)
                    except Exception as e:
                        bad.append(tag + ["raised " + type(e).__name__ + ": " + str(e)])
                        continue
                    if r.shape != src.shape or r.dtype != src.dtype:
                        bad.append(tag + ["shape/dtype " + str(r.shape) + " " + str(r.dtype)])
                    if k in (1, 7, -3):
                        # bilinear (and every unknown code) at a NaN position is NaN
                        if two_d:
                            nan_cells = [r[0, 0], r[0, MID], r[MID, 0]]
                        else:
                            nan_cells = [r[0]]
                        if not all(np.isnan(np.asarray(v, dtype=np.float64)).all() for v in nan_cells):
                            bad.append(tag + ["no NaN at a NaN position"])
report["bad"] = bad
report["cases"] = calls
"""


def test_non_finite_and_huge_coordinates_in_every_mode_and_kernel():
    report = run_child(MAP_SWEEP)
    assert report["cases"] == 672
    assert report["bad"] == []


# ---------------------------------------------------------------------------
# odd border images


BORDER_IMAGES = """
H, W = 6, 7
src2 = np.random.default_rng(3).random((H, W))
src3 = np.random.default_rng(4).random((H, W, 3))
out = np.full((H, W), 1.5)     # every pixel outside: the border image is read
cases = {
    "4-D": (src2, np.zeros((H, W, 1, 1))),
    "1-D": (src2, np.zeros(H)),
    "0-d": (src2, np.array(3.0)),
    "complex": (src2, np.zeros((H, W), complex)),
    "object-floats": (src2, np.ones((H, W), object)),
    "object-strings": (src2, np.full((H, W), "a", object)),
    "strings": (src2, np.full((H, W), "x")),
    "reversed-channels": (src3, np.random.default_rng(5).random((H, W, 3))[:, :, ::-1]),
    "fortran": (src3, np.asfortranarray(np.random.default_rng(6).random((H, W, 3)))),
    "big-endian": (src3, np.ones((H, W, 3), ">f8")),
    "float32": (src3, np.ones((H, W), np.float32)),
    "bool": (src3, np.ones((H, W, 3), bool)),
    "int": (src3, np.ones((H, W), np.int8)),
    "zero-channels": (src3, np.zeros((H, W, 0))),
    "zero-channel-src": (np.zeros((H, W, 0)), np.zeros((H, W, 0))),
    "text": (src2, "abc"),
    "list": (src2, [[0.0] * W] * H),
    "huge-values": (src3, np.full((H, W), 1e308)),
    "nan-values": (src3, np.full((H, W, 3), np.nan)),
}
report["2d"] = {
    name: outcome(lambda s=s, a=a: remap_tensor(
        s, out, out, interpolation=2, border_config=duck(BorderMode.ARRAY, array=a)))
    for name, (s, a) in cases.items()
}

class Flip:
    # a border image that shrinks after the checks have read it
    def __init__(self, first, then):
        self.reads = [first, then]
    def __get__(self, inst, owner):
        return self.reads.pop(0) if len(self.reads) > 1 else self.reads[0]

def flip_config(first, then, two_d=True):
    cfg = duck(BorderMode.ARRAY, two_d)
    cls = type("FlipConfig", (), dict(vars(cfg), array=Flip(first, then)))
    return cls()

report["2d-shrinking"] = outcome(lambda: remap_tensor(
    src2, out, out, border_config=flip_config(np.zeros((H, W)), np.zeros((2, 2)))))
report["2d-vanishing"] = outcome(lambda: remap_tensor(
    src2, out, out, border_config=flip_config(np.zeros((H, W)), None)))

N = 9
s1 = np.random.default_rng(7).random((N, 3))
u_out = np.full(N, -0.5)
cases1 = {
    "3-D": np.zeros((N, 3, 1)),
    "complex": np.zeros((N, 3), complex),
    "object-floats": np.ones((N, 3), object),
    "strings": np.full((N, 3), "x"),
    "strided": np.random.default_rng(8).random((2 * N, 6))[::2, ::2],
    "fortran": np.asfortranarray(np.ones((N, 3))),
    "larger": np.ones((N + 4, 5)),
    "big-endian": np.ones((N, 3), ">f8"),
    "bool": np.ones((N, 3), bool),
    "text": "abc",
    "0-d": np.array(1.0),
}
report["1d"] = {
    name: outcome(lambda a=a: remap_tensor_1d(
        s1, u_out, interpolation=3, border_config=duck(BorderMode.ARRAY, False, array=a)))
    for name, a in cases1.items()
}
report["1d-shrinking"] = outcome(lambda: remap_tensor_1d(
    s1, u_out, border_config=flip_config(np.zeros((N, 3)), np.zeros((2, 3)), False)))
"""


ORDINARY = {"TypeError", "ValueError", "AttributeError"}


def _acceptable(result, shape, dtype="float64"):
    if result[0] == "ok":
        return result[1] == list(shape) and result[2] == dtype
    return result[1] in ORDINARY


@pytest.fixture(scope="module")
def border_report():
    return run_child(BORDER_IMAGES)


def test_odd_border_images_2d(border_report):
    r = border_report["2d"]
    assert r["4-D"] == ["err", "ValueError", "border_array must be 2-D or 3-D, got 4-D"]
    assert r["1-D"] == ["err", "ValueError", "border_array shape (6,) must match src shape (6, 7)"]
    assert r["0-d"] == ["err", "ValueError", "border_array shape () must match src shape (6, 7)"]
    assert r["zero-channels"] == ["err", "ValueError", "border_array channels 0 must match src channels 3"]
    assert r["text"][:2] == ["err", "AttributeError"]
    assert r["list"][:2] == ["err", "AttributeError"]
    for name in ("reversed-channels", "fortran", "big-endian", "float32", "bool", "int", "huge-values", "nan-values"):
        assert r[name] == ["ok", [6, 7, 3], "float64"], name
    for name in ("complex", "object-floats", "object-strings", "strings", "zero-channel-src"):
        shape = [6, 7, 0] if name == "zero-channel-src" else [6, 7]
        assert _acceptable(r[name], shape), (name, r[name])
    # a border image that changes between reads is caught before the kernel
    assert border_report["2d-shrinking"][:2] == ["err", "ValueError"]
    assert border_report["2d-vanishing"][:2] == ["err", "ValueError"]


def test_odd_border_images_1d(border_report):
    r = border_report["1d"]
    assert r["3-D"] == ["err", "ValueError", "Buffer has wrong number of dimensions (expected 2, got 3)"]
    assert r["0-d"] == ["err", "ValueError", "border_array length 1 must match src length 9"]
    for name in ("strided", "fortran", "larger", "big-endian", "bool"):
        assert r[name] == ["ok", [9, 3], "float64"], name
    for name in ("complex", "object-floats", "strings", "text"):
        assert _acceptable(r[name], [9, 3]), (name, r[name])
    assert _acceptable(border_report["1d-shrinking"], [9, 3]), border_report["1d-shrinking"]


# ---------------------------------------------------------------------------
# feather widths and feathering settings


FEATHER = """
H, W, C = 5, 6, 3
src = np.random.default_rng(9).random((H, W, C))
mx = np.linspace(-0.5, 1.5, H * W).reshape(H, W)
my = mx[::-1].copy()
s1 = src[0]
u1 = np.linspace(-0.5, 1.5, W)
results = {
    "2-D": np.zeros((C, 1)),
    "int": np.zeros(C, np.int64),
    "float32": np.zeros(C, np.float32),
    "strided": np.zeros(2 * C)[::2],
    "list": [0.1] * C,
    "text": "abc",
    "short-1": np.full(1, 0.1),
    "short-2": np.full(2, 0.1),
    "nan": np.full(C, np.nan),
    "inf": np.full(C, np.inf),
    "negative": np.full(C, -0.5),
    "long": np.full(50, 0.2),
    "empty": np.empty(0),
    "none": None,
}
report["2d"], report["1d"] = {}, {}
cfg = BorderConfig.constant(2.0, feathering_width=0.2, preserve_non_feather_dims=True)
for name, value in results.items():
    bcm.compute_feather_d = lambda bc, C, value=value: value
    report["2d"][name] = outcome(lambda: remap_tensor(src, mx, my, border_config=cfg))
    report["1d"][name] = outcome(lambda: remap_tensor_1d(s1, u1, border_config=cfg))

# the configuration itself with non-finite or odd settings
weird = []
for fw in (math.nan, math.inf, -math.inf, -1.0, 0.0, 1e308):
    for mult in (math.nan, math.inf, -math.inf, -1.0, 0.0):
        for fmode in (0, 1, 7, -1):
            for dmode in (0, 1, 2, 3, 4, 5, 6, 8, 99, -5):
                for mode in (1, 5):
                    kw = dict(feathering_width=fw, feathering_mode=NS(value=fmode))
                    if mode == 5:
                        kw["array"] = np.ones((H, W, C))
                        m = BorderMode.ARRAY
                    else:
                        m = 1
                    c2 = duck(m, distance_mode=NS(value=dmode),
                              feathering_x_undershoot_multiplier=mult,
                              feathering_y_overshoot_multiplier=mult,
                              preserve_non_feather_dims=True, **kw)
                    weird.append(outcome(lambda: remap_tensor(src, mx, my, interpolation=3, border_config=c2)))
                    if dmode == 0:
                        c1 = duck(m, False, feathering_x_overshoot_multiplier=mult,
                                  **dict(kw, array=np.ones((W, C))) if mode == 5 else kw)
                        weird.append(outcome(lambda: remap_tensor_1d(s1, u1, interpolation=3, border_config=c1)))
report["weird"] = weird
"""


@pytest.fixture(scope="module")
def feather_report():
    return run_child(FEATHER)


@pytest.mark.parametrize("dims", ["2d", "1d"])
def test_feather_width_tables(feather_report, dims):
    r = feather_report[dims]
    shape = [5, 6, 3] if dims == "2d" else [6, 3]
    assert r["2-D"] == ["err", "ValueError", "Buffer has wrong number of dimensions (expected 1, got 2)"]
    assert r["int"][:2] == ["err", "ValueError"] and r["int"][2].startswith("Buffer dtype mismatch")
    assert r["float32"] == ["err", "ValueError", "Buffer dtype mismatch, expected 'double' but got 'float'"]
    assert r["strided"][:2] == ["err", "ValueError"]
    assert r["list"][:2] == ["err", "TypeError"]
    assert r["text"][:2] == ["err", "TypeError"]
    for name in ("short-1", "short-2"):
        assert r[name][:2] == ["err", "ValueError"] and r[name][2].startswith("compute_feather_d returned")
    for name in ("nan", "inf", "negative", "long", "empty", "none"):
        assert r[name] == ["ok", shape, "float64"], name


def test_non_finite_feathering_settings(feather_report):
    weird = feather_report["weird"]
    assert len(weird) == 6 * 5 * 4 * 10 * 2 + 6 * 5 * 4 * 2
    shapes = {("ok", 5, 6, 3), ("ok", 6, 3)}
    assert {(w[0], *w[1]) for w in weird} <= shapes, [w for w in weird if w[0] != "ok"][:3]


# ---------------------------------------------------------------------------
# arguments whose attributes disagree with their data


FAKE_SHAPES = """
class Fake:
    def __init__(self, ndim, shape, data, length=None):
        self.ndim, self.shape, self.dtype = ndim, shape, np.dtype(np.float64)
        self._data, self._length = data, length
    def __array__(self, dtype=None, copy=None):
        return self._data if dtype is None else self._data.astype(dtype)
    def __len__(self):
        return self._length if self._length is not None else self.shape[0]

class Liar(np.ndarray):
    @property
    def shape(self):
        return (40, 50)
    @property
    def ndim(self):
        return 2

m = np.full((40, 50), 0.5)
z = np.zeros
report["2d"] = [
    outcome(lambda: remap_tensor(Fake(2, (40, 50), z((2, 2))), m, m)),
    outcome(lambda: remap_tensor(Fake(2, (40, 50), z((40, 50, 3))), m, m, interpolation=4)),
    outcome(lambda: remap_tensor(Fake(3, (40, 50, 3), z((40, 50))), m, m)),
    outcome(lambda: remap_tensor(Fake(3, (40, 50, 3), z((40, 50, 1))), m, m)),
    outcome(lambda: remap_tensor(Fake(3, (40, 50, 3), z((80, 50, 3))), m, m, interpolation=3)),
    outcome(lambda: remap_tensor(z((2, 2, 1)).view(Liar), m, m, interpolation=4)),
    outcome(lambda: remap_tensor(z((40, 50)), Fake(2, (40, 50), z((2, 2))), m)),
    outcome(lambda: remap_tensor(z((40, 50)), m, Fake(2, (40, 50), z((3, 50))))),
    outcome(lambda: remap_tensor(z((40, 50)), m, z((1, 1)).view(Liar))),
]
m1 = np.full(5, 0.5)
report["1d"] = [
    outcome(lambda: remap_tensor_1d(Fake(1, (5,), z(3)), m1)),
    outcome(lambda: remap_tensor_1d(Fake(1, (5,), z((5, 2))), m1, interpolation=4)),
    outcome(lambda: remap_tensor_1d(Fake(2, (5, 3), z((5, 2))), m1)),
    outcome(lambda: remap_tensor_1d(Fake(2, (5, 3), z((5, 4))), m1)),
    outcome(lambda: remap_tensor_1d(Fake(1, (5,), z(500)), m1, interpolation=3)),
    outcome(lambda: remap_tensor_1d(z(5), Fake(1, (5,), z(3)))),
    outcome(lambda: remap_tensor_1d(z(5), Fake(1, (5,), z(5000)))),
]
"""


def test_attributes_that_misreport_the_data():
    report = run_child(FAKE_SHAPES)
    msg2 = "src and the maps do not have the shapes their attributes reported"
    msg1 = "src and map_x do not have the shapes their attributes reported"
    assert report["2d"] == [["err", "ValueError", msg2]] * 9
    assert report["1d"] == [["err", "ValueError", msg1]] * 7
