"""Scalar reference model of the remap kernels, for bit-exact comparison.

Every formula is written out on plain Python floats, one operation at a
time and in the operand order of the native code.  Python floats are IEEE
doubles and CPython never contracts a*b + c into a fused multiply-add, so
each intermediate rounds exactly as the native code (built with
-ffp-contract=off) rounds it.  NumPy is used only to unpack inputs and to
pack results, never inside a formula.

The model also fixes what the native code does where the formulas alone
leave it open:
  * double -> int64 conversion saturates (NaN -> 0, beyond the int64 range
    -> the nearest end, otherwise truncation toward zero), tap offsets are
    added with saturation, and each tap is then clamped into [0, n-1];
  * the linear samplers clamp the position itself into [0, n-1] (ordered
    comparisons, NaN kept) before taking its integer part, so a NaN
    coordinate gives NaN and no read leaves the source;
  * a border image with one channel gives its single value to every
    channel;
  * a NaN coordinate has no position: every channel of its result is NaN,
    whatever the kernel, border mode or feathering; so has an infinite one
    under REFLECT, WRAP and REFLECT_101, whose folds make it NaN;
  * results become an integer dtype by saturation (NaN gives 0, values
    beyond the dtype's range its nearest end, the rest round to the nearest
    integer, ties to even, as numpy.rint); every other dtype takes NumPy's
    cast.
"""

import math

import numpy as np

INF = math.inf
PI = 3.141592653589793
INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1
_TWO_63 = 9223372036854775808.0


# --------------------------------------------------------------------------
# C library functions with C semantics (the math module raises instead)


def c_fmod(x, y):
    if math.isinf(x) or math.isnan(x) or math.isnan(y):
        return math.nan
    return math.fmod(x, y)


def c_sqrt(x):
    if x < 0.0:
        return math.nan
    return math.sqrt(x)


def c_fmin(x, y):
    if x <= y:
        return x
    if x > y:
        return y
    # Unordered: a NaN argument loses to the other one.
    return x if y != y else y


def c_fmax(x, y):
    if x >= y:
        return x
    if x < y:
        return y
    return x if y != y else y


def trunc_i64(p):
    if p != p:
        return 0
    if p >= _TWO_63:
        return INT64_MAX
    if p < -_TWO_63:
        return INT64_MIN
    return math.trunc(p)


def add_sat(a, b):
    s = a + b
    if s > INT64_MAX:
        return INT64_MAX
    if s < INT64_MIN:
        return INT64_MIN
    return s


def tap_clamp(i, n):
    if i < 0:
        return 0
    if i >= n:
        return n - 1
    return i


def i2d(i):
    # int64 -> double, round to nearest even, as the hardware conversion.
    return float(i)


# --------------------------------------------------------------------------
# Border folds and clamp


def reflect_unit(x):
    a = c_fmod(x, 2.0)
    if 0.0 > a:
        a = a + 2.0
    return 1.0 - abs(a - 1.0)


def wrap_unit(x):
    a = c_fmod(x, 1.0)
    if 0.0 > a:
        a = a + 1.0
    return a


def reflect101_unit(x):
    a = c_fmod(x, 2.0)
    if 0.0 > a:
        a = a + 2.0
    if a <= 1.0:
        return a
    return 2.0 - a


def clamp_unit(x):
    if x < 0.0:
        return 0.0
    if x > 1.0:
        return 1.0
    return x


def clamp_position(p, n):
    hi = i2d(n - 1)
    if p < 0.0:
        return 0.0
    if p > hi:
        return hi
    return p


# --------------------------------------------------------------------------
# Kernel weights


def catmull_rom_weight(d):
    if d < 1.0:
        return ((d * d) * d) * 1.5 - (d * d) * 2.5 + 1.0
    if d < 2.0:
        return (((d * d) * d) * (-0.5) + (d * d) * 2.5) - d * 4.0 + 2.0
    return 0.0


def lanczos_weight(t, a):
    a = float(a)
    if abs(t) < 1e-15:
        return 1.0
    if abs(t) < a:
        return (math.sin((t * PI) / a) * (math.sin(t * PI) * a)) / ((t * PI) * (t * PI))
    return 0.0


# --------------------------------------------------------------------------
# 2-D samplers; src is a nested list [row][col][channel] of floats


def sample_nearest(src, x, y, k, H, W):
    px = i2d(W - 1) * x
    py = i2d(H - 1) * y
    col = tap_clamp(trunc_i64(px + 0.5), W)
    row = tap_clamp(trunc_i64(py + 0.5), H)
    return src[row][col][k]


def sample_bilinear(src, x, y, k, H, W):
    px = clamp_position(i2d(W - 1) * x, W)
    py = clamp_position(i2d(H - 1) * y, H)
    x0 = trunc_i64(px)
    y0 = trunc_i64(py)
    x1 = x0 + 1 if x0 + 1 < W else x0
    y1 = y0 + 1 if y0 + 1 < H else y0
    fx = px - i2d(x0)
    fy = py - i2d(y0)
    tl = src[y0][x0][k]
    tr = src[y0][x1][k]
    bl = src[y1][x0][k]
    br = src[y1][x1][k]
    top = (tr - tl) * fx + tl
    bottom = (br - bl) * fx + bl
    return (bottom - top) * fy + top


def sample_cubic(src, x, y, k, H, W):
    px = i2d(W - 1) * x
    py = i2d(H - 1) * y
    x0 = trunc_i64(px)
    y0 = trunc_i64(py)
    sumw = 0.0
    acc = 0.0
    for dr in (-1, 0, 1, 2):
        row = add_sat(y0, dr)
        wy = catmull_rom_weight(abs(py - i2d(row)))
        src_row = src[tap_clamp(row, H)]
        for dc in (-1, 0, 1, 2):
            col = add_sat(x0, dc)
            wx = catmull_rom_weight(abs(px - i2d(col)))
            v = src_row[tap_clamp(col, W)][k]
            sumw = wx * wy + sumw
            acc = (wx * v) * wy + acc
    if sumw != 0.0:
        return acc / sumw
    return 0.0


def sample_lanczos(src, x, y, k, H, W, a):
    px = i2d(W - 1) * x
    py = i2d(H - 1) * y
    col0 = add_sat(trunc_i64(px), -(a - 1))
    row0 = add_sat(trunc_i64(py), -(a - 1))
    sumw = 0.0
    acc = 0.0
    for r in range(2 * a):
        row = add_sat(row0, r)
        wy = lanczos_weight(py - i2d(row), a)
        src_row = src[tap_clamp(row, H)]
        for c in range(2 * a):
            col = add_sat(col0, c)
            wx = lanczos_weight(px - i2d(col), a)
            v = src_row[tap_clamp(col, W)][k]
            sumw = wx * wy + sumw
            acc = (wx * v) * wy + acc
    if sumw != 0.0:
        return acc / sumw
    return 0.0


def sample_pixel(src, x, y, k, H, W, interpolation):
    if interpolation == 0:
        return sample_nearest(src, x, y, k, H, W)
    if interpolation == 2:
        return sample_cubic(src, x, y, k, H, W)
    if interpolation == 3:
        return sample_lanczos(src, x, y, k, H, W, 3)
    if interpolation == 4:
        return sample_lanczos(src, x, y, k, H, W, 4)
    return sample_bilinear(src, x, y, k, H, W)


# --------------------------------------------------------------------------
# Feathering


def axis_distance(v, mu, mo, feathering_mode):
    if v < 0.0:
        return (-v) * mu if mu >= 0.0 else INF
    if v > 1.0:
        return (v - 1.0) * mo if mo >= 0.0 else INF
    if feathering_mode == 1:
        mu_on = mu >= 0.0
        mo_on = mo >= 0.0
        if mu_on and mo_on:
            return c_fmin(v * mu, (1.0 - v) * mo)
        if mu_on:
            return v * mu
        if mo_on:
            return (1.0 - v) * mo
        return -1.0
    return 0.0


def axis_feather_distances(x, y, xu, xo, yu, yo, feathering_mode):
    return (
        axis_distance(x, xu, xo, feathering_mode),
        axis_distance(y, yu, yo, feathering_mode),
    )


def inward_combination(dx, dy):
    if dx == -1.0 and dy == -1.0:
        return INF
    if dx == -1.0:
        return dy
    if dy == -1.0:
        return dx
    return c_fmin(dx, dy)


def combine_feather_distance(dx, dy, distance_mode):
    if dx == INF or dy == INF:
        return INF
    mn = c_fmin(dx, dy)
    mx = c_fmax(dx, dy)
    if distance_mode == 1:
        return mx
    if distance_mode == 2:
        return dx + dy
    if distance_mode == 3:
        return (dx + dy) * 0.7071067811865476
    if distance_mode == 4:
        return mn * 0.41421356237309503 + mx
    if distance_mode == 5:
        return mn * 0.5 + mx
    if distance_mode == 6:
        if mx >= 2.0:
            return INF
        return ((mn * 0.5 + mx) - (0.25 * dx) * dx) - (0.25 * dy) * dy
    if distance_mode == 8:
        return mx * 0.9604 + mn * 0.3981
    return c_sqrt(dx * dx + dy * dy)


def blend(E, u, t, feather_dist, outside, feathering_width, feathering_mode,
          preserve, has_feather_d):
    if (preserve != 0 and has_feather_d and t <= 0.0 and feathering_width > 0.0
            and feathering_mode != 1 and feathering_width > feather_dist):
        return E
    if feathering_mode == 1:
        if outside or t <= 0.0:
            return u
        if feather_dist >= t:
            return E
        return (u - E) * (1.0 - feather_dist / t) + E
    if t <= 0.0 or feather_dist >= t:
        return u
    return (u - E) * (feather_dist / t) + E


# --------------------------------------------------------------------------
# 2-D driver


def _floats(a, ndim):
    a = np.asarray(a, dtype=np.float64)
    assert a.ndim == ndim, (a.shape, ndim)
    return a.tolist()


def _widths(feather_d):
    if feather_d is None:
        return []
    return [float(w) for w in np.asarray(feather_d, dtype=np.float64).reshape(-1)]


def remap2d(src3, map_x, map_y, interpolation, mode, border_const, border_array3,
            feathering_width, xu, xo, yu, yo, feathering_mode, distance_mode,
            preserve, feather_d):
    """Output (h, w, C) float64 of the 2-D driver for a (H, W, C) source and
    (h, w) maps (the same shape as the source for remap_tensor).

    ``border_array3`` is read only in mode 5: (h, w, C) or (h, w, 1).
    ``feather_d`` is None, empty, or holds at least C widths.
    """
    src3 = np.asarray(src3, dtype=np.float64)
    H, W, C = src3.shape
    h, w = np.shape(map_x)
    src = src3.tolist()
    mxs = _floats(map_x, 2)
    mys = _floats(map_y, 2)
    mode = int(mode)
    interpolation = int(interpolation)
    feathering_mode = int(feathering_mode)
    distance_mode = int(distance_mode)
    preserve = 1 if preserve else 0
    border_const = float(border_const)
    feathering_width = float(feathering_width)
    xu, xo, yu, yo = float(xu), float(xo), float(yu), float(yo)
    widths = _widths(feather_d)
    has_feather_d = len(widths) > 0
    if mode == 5:
        ba = _floats(border_array3, 3)
        one_channel = np.asarray(border_array3).shape[2] == 1

    out = np.empty((h, w, C), dtype=np.float64)
    for i in range(h):
        for j in range(w):
            x = mxs[i][j]
            y = mys[i][j]
            if math.isnan(x) or math.isnan(y):
                out[i, j, :] = math.nan
                continue
            outside = x < 0.0 or x > 1.0 or y < 0.0 or y > 1.0
            feather_dist = 0.0
            if mode == 0:
                x = clamp_unit(x)
                y = clamp_unit(y)
            elif mode == 1 or mode == 5:
                dx, dy = axis_feather_distances(x, y, xu, xo, yu, yo, feathering_mode)
                if feathering_mode == 1:
                    feather_dist = inward_combination(dx, dy)
                else:
                    feather_dist = combine_feather_distance(dx, dy, distance_mode)
                x = clamp_unit(x)
                y = clamp_unit(y)
            elif mode == 2:
                x = reflect_unit(x)
                y = reflect_unit(y)
            elif mode == 3:
                x = wrap_unit(x)
                y = wrap_unit(y)
            elif mode == 4:
                x = reflect101_unit(x)
                y = reflect101_unit(y)
            if math.isnan(x) or math.isnan(y):
                out[i, j, :] = math.nan
                continue

            if (mode == 1 or mode == 5) and (outside or feathering_mode == 1):
                for k in range(C):
                    E = sample_pixel(src, x, y, k, H, W, interpolation)
                    t = widths[k] if has_feather_d else feathering_width
                    if mode == 1:
                        u = border_const
                    else:
                        u = ba[i][j][0 if one_channel else k]
                    out[i, j, k] = blend(E, u, t, feather_dist, outside, feathering_width,
                                         feathering_mode, preserve, has_feather_d)
            else:
                for k in range(C):
                    out[i, j, k] = sample_pixel(src, x, y, k, H, W, interpolation)
    return out


# --------------------------------------------------------------------------
# 1-D samplers; v is a list of floats (one channel)


def sample_1d(v, u, n, interpolation):
    p = i2d(n - 1) * u
    if interpolation == 0:
        return v[tap_clamp(trunc_i64(p + 0.5), n)]
    if interpolation == 2:
        k0 = trunc_i64(p)
        sumw = 0.0
        acc = 0.0
        for off in (-1, 0, 1, 2):
            k = add_sat(k0, off)
            w = catmull_rom_weight(abs(p - i2d(k)))
            acc = w * v[tap_clamp(k, n)] + acc
            sumw = w + sumw
        if sumw != 0.0:
            return acc / sumw
        return 0.0
    if interpolation == 3:
        return lanczos_1d(v, u, n, 3)
    if interpolation == 4:
        return lanczos_1d(v, u, n, 4)
    p = clamp_position(p, n)
    k0 = trunc_i64(p)
    k1 = k0 + 1 if k0 + 1 < n else k0
    f = p - i2d(k0)
    return (v[k1] - v[k0]) * f + v[k0]


def lanczos_1d(v, u, n, a):
    p = i2d(n - 1) * u
    first = add_sat(trunc_i64(p), -(a - 1))
    sumw = 0.0
    acc = 0.0
    for m in range(2 * a):
        k = add_sat(first, m)
        w = lanczos_weight(p - i2d(k), a)
        acc = w * v[tap_clamp(k, n)] + acc
        sumw = w + sumw
    if sumw != 0.0:
        return acc / sumw
    return 0.0


def feather_distance_1d(u, mu, mo, feathering_mode):
    if u < 0.0:
        return (-u) * mu if mu >= 0.0 else INF
    if u > 1.0:
        return (u - 1.0) * mo if mo >= 0.0 else INF
    if feathering_mode != 1:
        return 0.0
    mu_on = mu >= 0.0
    mo_on = mo >= 0.0
    if mu_on and mo_on:
        dl = u * mu
        dr = (1.0 - u) * mo
        return dl if dr >= dl else dr
    if mu_on:
        return u * mu
    if mo_on:
        return (1.0 - u) * mo
    return INF


def blend_1d(E, b, t, feather_dist, outside, feathering_mode):
    if feathering_mode == 1:
        if outside or t <= 0.0:
            return b
        if feather_dist >= t:
            return E
        return (b - E) * (1.0 - feather_dist / t) + E
    if t <= 0.0 or feather_dist >= t:
        return b
    return (b - E) * (feather_dist / t) + E


def remap1d(src2, map_x, interpolation, mode, border_const, border_array2,
            feathering_width, xu, xo, feathering_mode, feather_d):
    """Output (N, C) float64 of the 1-D driver for an (N, C) source.

    ``border_array2`` is read only in mode 5: (N, C) or (N, 1).
    """
    src2 = np.asarray(src2, dtype=np.float64)
    N, C = src2.shape
    columns = src2.T.tolist()
    us = _floats(map_x, 1)
    mode = int(mode)
    interpolation = int(interpolation)
    feathering_mode = int(feathering_mode)
    border_const = float(border_const)
    feathering_width = float(feathering_width)
    xu, xo = float(xu), float(xo)
    widths = _widths(feather_d)
    has_feather_d = len(widths) > 0
    if mode == 5:
        ba = _floats(border_array2, 2)
        one_channel = np.asarray(border_array2).shape[1] == 1
    # The mode is compared as an unsigned number: negative codes act as
    # codes above 5.
    umode = mode & 0xFFFFFFFF

    out = np.empty((N, C), dtype=np.float64)
    for i in range(N):
        u = us[i]
        if math.isnan(u):
            out[i, :] = math.nan
            continue
        outside = u < 0.0 or u > 1.0
        feather_dist = 0.0
        if outside or feathering_mode == 1:
            if umode == 0:
                u = clamp_unit(u)
            elif umode == 1 or umode == 5:
                feather_dist = feather_distance_1d(u, xu, xo, feathering_mode)
                u = clamp_unit(u)
            elif umode == 2:
                u = reflect_unit(u)
            elif umode == 3:
                u = wrap_unit(u)
            elif umode == 4:
                u = reflect101_unit(u)
            if math.isnan(u):
                out[i, :] = math.nan
                continue

        if (mode == 1 or mode == 5) and (outside or feathering_mode == 1):
            for c in range(C):
                E = sample_1d(columns[c], u, N, interpolation)
                t = widths[c] if has_feather_d else feathering_width
                if mode == 1:
                    b = border_const
                else:
                    b = ba[i][0 if one_channel else c]
                out[i, c] = blend_1d(E, b, t, feather_dist, outside, feathering_mode)
        else:
            for c in range(C):
                out[i, c] = sample_1d(columns[c], u, N, interpolation)
    return out


# --------------------------------------------------------------------------
# which samples a 2-D remap reads


def resolve_2d(mode, v):
    """A raw unit coordinate as the 2-D pipeline resolves it."""
    if mode in (0, 1, 5):
        return clamp_unit(v)
    return {2: reflect_unit, 3: wrap_unit, 4: reflect101_unit}.get(mode, lambda u: u)(v)


def tap_span(u, n, interpolation):
    """First and last tap index read for a resolved coordinate u on n samples."""
    p = i2d(n - 1) * u
    if interpolation == 0:
        k = tap_clamp(trunc_i64(p + 0.5), n)
        return k, k
    if interpolation in (2, 3, 4):
        first, taps = {2: (-1, 4), 3: (-2, 6), 4: (-3, 8)}[interpolation]
        k = trunc_i64(p)
        return tap_clamp(add_sat(k, first), n), tap_clamp(add_sat(k, first + taps - 1), n)
    k0 = trunc_i64(clamp_position(p, n))
    return k0, k0 + 1 if k0 + 1 < n else k0


def read_window(map_x, map_y, H, W, interpolation, mode):
    """(row_lo, row_hi, col_lo, col_hi), inclusive, of the samples read; None
    when no position reads (its coordinate NaN, or folded to NaN)."""
    rows, cols = [], []
    for x, y in zip(np.ravel(map_x).tolist(), np.ravel(map_y).tolist()):
        u, v = resolve_2d(mode, x), resolve_2d(mode, y)
        if math.isnan(u) or math.isnan(v):
            continue
        rows += tap_span(v, H, interpolation)
        cols += tap_span(u, W, interpolation)
    return (min(rows), max(rows), min(cols), max(cols)) if rows else None


# --------------------------------------------------------------------------
# results in the source's dtype


def saturate(r, dtype):
    """One float64 result as an integer of ``dtype`` by the saturating rule."""
    info = np.iinfo(dtype)
    if math.isnan(r):
        return 0
    if r <= info.min:
        return info.min
    if r >= info.max:
        return info.max
    return round(r)  # nearest, ties to even


def typed_like(src, dtype, rng):
    """The float64 test source ``src`` in ``dtype``; integer sources get step
    edges between their extremes, where cubic and Lanczos overshoot."""
    dtype = np.dtype(dtype)
    if dtype.kind == "f":
        return src.astype(dtype)
    info = np.iinfo(dtype)
    edges = np.where(src > 0, dtype.type(info.max), dtype.type(info.min))
    spread = rng.integers(info.min, info.max, size=src.shape, endpoint=True,
                          dtype=np.uint64 if info.max > INT64_MAX else np.int64)
    return np.where(rng.random(src.shape) < 0.6, edges, spread).astype(dtype)


def border_scale(dtype):
    """A factor for border values in ``dtype``: for integers, it sends them
    beyond the dtype's range as often as not."""
    dtype = np.dtype(dtype)
    return 1.0 if dtype.kind == "f" else float(np.iinfo(dtype).max) / 2.0


def cast_result(out, dtype):
    """The float64 output ``out`` in ``dtype``, as the entries return it."""
    dtype = np.dtype(dtype)
    if dtype.kind not in "iu":
        return out.astype(dtype, copy=False)
    flat = [saturate(r, dtype) for r in np.asarray(out, dtype=np.float64).reshape(-1).tolist()]
    return np.array(flat, dtype=dtype).reshape(np.shape(out))


def entry_result(src, maps, interpolation, bc):
    """What remap_tensor (maps = (map_x, map_y)) or remap_tensor_1d (maps =
    (map_x,)) returns: the model fed the settings of ``bc`` (None: clamp) as
    the entry hands them to its driver, the result in src's dtype."""
    if bc is None:
        from tessaro.core.border_config import BorderConfig

        bc = BorderConfig.clamp()
    src = np.asarray(src)
    spatial = len(maps)
    full = src[..., None] if src.ndim == spatial else src
    cv = bc.constant_value
    if isinstance(cv, np.ndarray):
        cv = float(cv) if cv.ndim == 0 else 0.0
    elif cv is None:
        cv = 0.0
    border = None
    if bc.mode.value == 5 and bc.array is not None:
        border = np.asarray(bc.array, dtype=np.float64)
        if border.ndim == spatial:
            border = border[..., None]
    widths = getattr(bc, "feather_widths", None)
    if widths is not None and len(widths) == 1:
        widths = list(widths) * full.shape[-1]
    x_settings = (bc.feathering_width, bc.feathering_x_undershoot_multiplier,
                  bc.feathering_x_overshoot_multiplier)
    if spatial == 1:
        out = remap1d(full.astype(np.float64), maps[0], int(interpolation), bc.mode.value, cv,
                      border, *x_settings, bc.feathering_mode.value, widths)
    else:
        out = remap2d(full.astype(np.float64), *maps, int(interpolation), bc.mode.value, cv,
                      border, *x_settings, bc.feathering_y_undershoot_multiplier,
                      bc.feathering_y_overshoot_multiplier, bc.feathering_mode.value,
                      bc.distance_mode.value, bool(bc.preserve_non_feather_dims), widths)
    return cast_result(out[..., 0] if src.ndim == spatial else out, src.dtype)
