// The preparation path the remap entries share: the companion imports, the
// source in the type the kernels read, the output, the border and feathering
// settings as plain numbers, and the result in the source's dtype.
// remap_call.hpp puts them in the order every call takes.
#pragma once

#include <algorithm>
#include <functional>
#include <optional>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "frame/convert.hpp"
#include "frame/gil.hpp"
#include "frame/module.hpp"
#include "frame/numpy.hpp"
#include "frame/parallel.hpp"
#include "frame/view.hpp"
#include "kernels/border_settings.hpp"
#include "kernels/remap.hpp"
#include "kernels/strided.hpp"
#include "kernels/writer.hpp"

namespace tessaro::remap {

using frame::Ref;
using frame::ViewRecord;

// The companions are imported on every call, as `from ..core... import ...`
// in the module would; modules already loaded are just looked up.
struct Companions {
  Ref BorderConfig;
  Ref compute_feather_d;
  Ref BorderMode;
};

inline bool import_companions(PyObject* globals, bool with_zero_sign, Companions* c) {
  static frame::ImportSite zero_sign_site, border_config_site, enums_site;
  if (with_zero_sign) {
    // Nothing reads ZERO_SIGN here; importing it keeps a missing companion
    // from going unnoticed until the clipping module needs it.
    const char* const zs_names[] = {"ZERO_SIGN"};
    Ref zs;
    if (!frame::import_from(globals, "_zero_sign", 1, zs_names, std::span<Ref>(&zs, 1),
                            &zero_sign_site))
      return false;
  }
  const char* const bc_names[] = {"BorderConfig", "compute_feather_d"};
  Ref bc[2];
  if (!frame::import_from(globals, "core.border_config", 2, bc_names, bc, &border_config_site))
    return false;
  const char* const enum_names[] = {"BorderMode"};
  Ref mode;
  if (!frame::import_from(globals, "core.enums", 2, enum_names, std::span<Ref>(&mode, 1),
                          &enums_site))
    return false;
  c->BorderConfig = std::move(bc[0]);
  c->compute_feather_d = std::move(bc[1]);
  c->BorderMode = std::move(mode);
  return true;
}

// `border_config`, or BorderConfig.clamp() when it is None.
inline Ref effective_config(PyObject* border_config, const Companions& c) {
  if (border_config != Py_None) return frame::borrow(border_config);
  Ref clamp = frame::getattr(c.BorderConfig.get(), "clamp");
  return clamp ? frame::steal(PyObject_CallNoArgs(clamp.get())) : Ref();
}

// `bc.mode == BorderMode.ARRAY`, by Python equality.
inline int is_array_mode(PyObject* bc, const Companions& c) {
  Ref mode = frame::getattr(bc, "mode");
  Ref array_member = mode ? frame::getattr(c.BorderMode.get(), "ARRAY") : Ref();
  if (!array_member) return -1;
  return PyObject_RichCompareBool(mode.get(), array_member.get(), Py_EQ);
}

// A 0-d array stands for its scalar, any other array for 0.0, None for 0.0;
// everything else goes to the float conversion as it is.
inline Ref border_constant(PyObject* bc) {
  Ref value = frame::getattr(bc, "constant_value");
  if (!value) return value;
  if (PyArray_Check(value.get())) {
    if (PyArray_NDIM(frame::as_array(value.get())) == 0)
      return frame::steal(PyNumber_Float(value.get()));
    return frame::steal(PyFloat_FromDouble(0.0));
  }
  if (value.get() == Py_None) return frame::steal(PyFloat_FromDouble(0.0));
  return value;
}

// `obj.<attr>.value` as a C int. A member without `value` (a plain int, say)
// raises the same AttributeError, with a message that names the attribute.
inline bool enum_value(PyObject* obj, const char* attr, int* out) {
  Ref member = frame::getattr(obj, attr);
  if (!member) return false;
  Ref value = frame::getattr(member.get(), "value");
  if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Format(PyExc_AttributeError,
                 "%s.value: '%.200s' object has no attribute 'value' (%s must be an enum member)",
                 attr, Py_TYPE(member.get())->tp_name, attr);
  }
  return value && frame::to_c_int(value.get(), out);
}

inline bool float_attr(PyObject* obj, const char* attr, double* out) {
  Ref value = frame::getattr(obj, attr);
  return value && frame::to_double(value.get(), out);
}

// A per-channel width table must cover every channel; empty means "none".
inline bool check_feather_widths(Py_ssize_t widths, Py_ssize_t channels) {
  if (widths == 0 || widths >= channels) return true;
  PyErr_Format(PyExc_ValueError,
               "compute_feather_d returned %zd feather widths for %zd channels; expected none or "
               "at least one per channel",
               widths, channels);
  return false;
}

// os.cpu_count(), or 1 when it is unknown or unusable. `swallowed` selects
// which failures turn into 1.
inline PyObject* detect_cpu_count(const frame::Module& m, PyObject* swallowed) {
  Ref os_name = frame::steal(PyUnicode_InternFromString("os"));
  Ref os = os_name ? frame::global(m, os_name.get()) : Ref();
  Ref count = os ? frame::steal(PyObject_CallMethod(os.get(), "cpu_count", nullptr)) : Ref();
  Ref result;
  if (count) {
    const int truthy = frame::truth(count.get());
    if (truthy == 0) {
      result = frame::steal(PyLong_FromLong(1));
    } else if (truthy > 0) {
      if (PyLong_CheckExact(count.get())) {
        result = std::move(count);
      } else if (PyNumberMethods* nb = Py_TYPE(count.get())->tp_as_number;
                 nb != nullptr && (nb->nb_int || nb->nb_index || nb->nb_float)) {
        result = frame::steal(PyNumber_Long(count.get()));
      } else {
        PyErr_Format(PyExc_TypeError, "Expected %.200s, got %.200s", "int",
                     Py_TYPE(count.get())->tp_name);
      }
    }
  }
  if (!result && PyErr_ExceptionMatches(swallowed)) {
    PyErr_Clear();
    result = frame::steal(PyLong_FromLong(1));
  }
  return result.release();
}

// arr.astype(dtype, copy=False): the array itself when the dtype already matches.
inline PyObject* as_dtype(Ref arr, PyObject* dtype) {
  if (PyArray_DescrCheck(dtype) &&
      PyArray_EquivTypes(reinterpret_cast<PyArray_Descr*>(dtype),
                         PyArray_DESCR(frame::as_array(arr.get()))))
    return arr.release();
  Ref astype = frame::getattr(arr.get(), "astype");
  Ref kwnames = frame::steal(Py_BuildValue("(s)", "copy"));
  if (!astype || !kwnames) return nullptr;
  PyObject* args[] = {dtype, Py_False};
  return PyObject_Vectorcall(astype.get(), args, 1, kwnames.get());
}

// frame::raise for the checks that answer with a bool.
template <class... Args>
inline bool error(PyObject* exc_type, const char* format, Args... args) {
  PyErr_Format(exc_type, format, args...);
  return false;
}

// Python's `a op b` tested for truth, for the attribute checks of the entries.
inline int compare(PyObject* a, PyObject* b, int op) { return PyObject_RichCompareBool(a, b, op); }

inline int compare_long(PyObject* a, long b, int op) {
  Ref rhs = frame::steal(PyLong_FromLong(b));
  return rhs ? PyObject_RichCompareBool(a, rhs.get(), op) : -1;
}

// ---------------------------------------------------------------------------
// Source and output

// Calls f(T{}) with the element type of a NumPy type number that the kernels
// read where it lies and write in its own type; false for every other type.
template <class F>
inline bool with_direct_type(int type, F&& f) {
  switch (type) {
    case NPY_FLOAT64: f(double{}); return true;
    case NPY_FLOAT32: f(float{}); return true;
    case NPY_UINT8: f(std::uint8_t{}); return true;
    case NPY_INT8: f(std::int8_t{}); return true;
    case NPY_UINT16: f(std::uint16_t{}); return true;
    case NPY_INT16: f(std::int16_t{}); return true;
    default: return false;
  }
}

// The source as the kernels read it: C-contiguous, aligned, native order,
// with a trailing channel axis. `direct`: in its own element type `type`,
// results written straight into an output of that type in the source's
// shape; otherwise converted to float64, results in a float64 (.., C)
// array that finish() casts.
struct Source {
  Ref array;
  int type = NPY_FLOAT64;
  bool direct = false;
};

// Whether a float32 buffer holds a signalling NaN: in blocks over the
// default team, with the interpreter lock released, for large buffers.
inline bool has_signalling_nan(const char* data, std::int64_t n) {
  const auto scan = [&](std::int64_t begin, std::int64_t end) {
    return kernels::simd::dispatch([&]<class>() {
      return kernels::has_signalling_nan_f32(data + 4 * begin, end - begin);
    });
  };
  const bool parallel = n >= (std::int64_t{1} << 18);
  std::optional<frame::ReleasedLock> unlocked;
  if (parallel) unlocked.emplace();
  return frame::reduce_static_blocks(n, parallel, false, scan, std::logical_or<>());
}

// `spatial` is the number of non-channel axes (2 for images, 1 for
// signals). An ndarray of a direct type other than float64 with `spatial`
// or `spatial` + 1 axes is read in its own type, copied only when not
// C-contiguous, aligned and in native order: the values are those of its
// float64 conversion, so the results are the same. float64 and everything
// else go through the float64 conversion (a float64 array that already
// fits is used as it is).
inline bool take_source(PyObject* src, int spatial, Source* s) {
  if (PyArray_Check(src)) {
    auto* a = frame::as_array(src);
    const int type = PyArray_TYPE(a);
    const int nd = PyArray_NDIM(a);
    s->direct = type != NPY_FLOAT64 && (nd == spatial || nd == spatial + 1) &&
                with_direct_type(type, [](auto) {});
    s->type = s->direct ? type : NPY_FLOAT64;
  }
  if (s->direct) {
    s->array = frame::steal(PyArray_FromAny(
        src, PyArray_DescrFromType(s->type), 0, 0,
        NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_ENSUREARRAY, nullptr));
    if (!s->array) return false;
    // The float64 copy is not made, but the caller still gets NumPy's
    // report of the signalling NaNs it would have met.
    auto* a = frame::as_array(s->array.get());
    if (s->type == NPY_FLOAT32 && has_signalling_nan(PyArray_BYTES(a), PyArray_SIZE(a)) &&
        !frame::report_widening_invalid())
      return false;
  } else {
    s->array = frame::ascontiguous_f64(src);
    if (!s->array) return false;
  }
  if (PyArray_NDIM(frame::as_array(s->array.get())) == spatial)
    s->array = frame::with_trailing_axis(s->array.get());
  return static_cast<bool>(s->array);
}

// The coordinate maps as the kernels read them. When every map is a float32
// ndarray, they stay float32 (C-contiguous, aligned, native order; copied
// only when not): widening a float32 to double is exact, so the results
// are those of the float64 conversion, which every other dtype goes
// through. A map holding a signalling NaN still gets NumPy's report of it.
struct Maps {
  Ref x;
  Ref y;
  bool f32 = false;
  // The float32 maps were taken without a scan for signalling NaNs: the
  // kernels note them as they read the maps, and the call owes the report
  // after its run, or before any failure that comes first.
  bool unscanned = false;
};

inline bool is_f32_array(PyObject* obj) {
  return PyArray_Check(obj) && PyArray_TYPE(frame::as_array(obj)) == NPY_FLOAT32;
}

inline bool holds_signalling_nan(const Ref& map) {
  if (!map) return false;
  auto* arr = frame::as_array(map.get());
  return has_signalling_nan(PyArray_BYTES(arr), PyArray_SIZE(arr));
}

// NumPy's report of converting maps that held signalling NaNs, x's first.
inline bool report_signalling_maps(bool x, bool y) {
  return (!x || frame::report_widening_invalid()) && (!y || frame::report_widening_invalid());
}

inline Ref f32_map(PyObject* map, bool scan) {
  Ref a = frame::steal(PyArray_FromAny(
      map, PyArray_DescrFromType(NPY_FLOAT32), 0, 0,
      NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_ENSUREARRAY, nullptr));
  if (scan && holds_signalling_nan(a) && !report_signalling_maps(true, false)) return Ref();
  return a;
}

// `map_y` is null for the 1-D remap's single map. With `defer_scan`, float32
// maps are left unscanned (m->unscanned): for calls whose kernels read every
// map element and whose output nobody sees if the report raises.
inline bool take_maps(PyObject* map_x, PyObject* map_y, Maps* m, bool defer_scan = false) {
  m->f32 = is_f32_array(map_x) && (map_y == nullptr || is_f32_array(map_y));
  m->unscanned = m->f32 && defer_scan;
  const auto take = [&](PyObject* map) {
    return m->f32 ? f32_map(map, !m->unscanned) : frame::ascontiguous_f64(map);
  };
  m->x = take(map_x);
  if (!m->x) return false;
  if (map_y == nullptr) return true;
  m->y = take(map_y);
  return static_cast<bool>(m->y);
}

// The report owed for unscanned maps when a call fails before its kernels
// ran: the float64 conversion would have made it first, so it comes before
// the pending exception, and replaces it if it raises.
inline void report_unscanned_before_failure(Maps& m) {
  if (!m.unscanned) return;
  m.unscanned = false;
  PyObject* pending = PyErr_GetRaisedException();
  if (report_signalling_maps(holds_signalling_nan(m.x), holds_signalling_nan(m.y)))
    PyErr_SetRaisedException(pending);
  else
    Py_XDECREF(pending);
}

// The report owed for unscanned maps once the kernels ran, from the bits
// they noted, which leave `errors`.
inline bool report_noted_maps(Maps& m, int* errors) {
  const int noted = *errors & (kernels::kSignallingMapX | kernels::kSignallingMapY);
  *errors &= ~noted;
  if (!m.unscanned) return true;
  m.unscanned = false;
  return report_signalling_maps((noted & kernels::kSignallingMapX) != 0,
                                (noted & kernels::kSignallingMapY) != 0);
}

// A C-contiguous (d0, .., dk) array as a view record of `nd` axes, the
// missing trailing axis (a single channel) added with extent 1.
inline ViewRecord array_record(PyObject* array, int nd) {
  auto* a = frame::as_array(array);
  ViewRecord r{};
  r.memview = Py_None;
  r.data = PyArray_BYTES(a);
  for (int d = 0; d < nd; ++d) {
    const bool has = d < PyArray_NDIM(a);
    r.shape[d] = has ? PyArray_DIM(a, d) : 1;
    r.strides[d] = has ? PyArray_STRIDE(a, d) : PyArray_ITEMSIZE(a);
    r.suboffsets[d] = -1;
  }
  return r;
}

// Calls f(S{}, D{}) with the element types of source and output.
template <class F>
inline void with_element_types(const Source& s, F&& f) {
  if (!s.direct) {
    f(double{}, double{});
    return;
  }
  with_direct_type(s.type, [&](auto t) { f(t, t); });
}

// The float64 result cast to an integer dtype by the saturating rule.
template <class D>
inline void saturate_all(const double* in, char* out, npy_intp n) {
  for (npy_intp i = 0; i < n; ++i) {
    const D d = kernels::saturate<D>(in[i]);
    std::memcpy(out + i * static_cast<npy_intp>(sizeof(D)), &d, sizeof d);
  }
}

// n results into n elements of the integer dtype `dtype` (in native order).
inline void saturate_into(const double* in, char* dst, npy_intp n, PyArray_Descr* dtype) {
  const bool is_signed = PyDataType_ISSIGNED(dtype);
  switch (PyDataType_ELSIZE(dtype)) {
    case 1: is_signed ? saturate_all<std::int8_t>(in, dst, n) : saturate_all<std::uint8_t>(in, dst, n); break;
    case 2: is_signed ? saturate_all<std::int16_t>(in, dst, n) : saturate_all<std::uint16_t>(in, dst, n); break;
    case 4: is_signed ? saturate_all<std::int32_t>(in, dst, n) : saturate_all<std::uint32_t>(in, dst, n); break;
    default: is_signed ? saturate_all<std::int64_t>(in, dst, n) : saturate_all<std::uint64_t>(in, dst, n); break;
  }
}

inline Ref saturating_cast(PyObject* result, PyArray_Descr* dtype) {
  PyArray_Descr* native = PyArray_DescrNewByteorder(dtype, NPY_NATIVE);
  if (native == nullptr) return Ref();
  auto* r = frame::as_array(result);
  Ref out = frame::steal(PyArray_Empty(PyArray_NDIM(r), PyArray_DIMS(r), native, 0));
  if (!out) return out;
  saturate_into(reinterpret_cast<const double*>(PyArray_DATA(r)),
                PyArray_BYTES(frame::as_array(out.get())), PyArray_SIZE(r), dtype);
  return out;
}

// The result in the source's dtype. A direct output already is (but for
// byte order); the float64 output of the conversion path becomes integer
// dtypes by the saturating rule, every other dtype by NumPy's cast.
// `narrowing_errors`: what rounding results to float32 raised, reported as
// NumPy's cast of the float64 output would have reported it.
inline PyObject* finish(Ref result, const Source& s, PyObject* src, int narrowing_errors) {
  Ref dtype = frame::getattr(src, "dtype");
  if (!dtype) return nullptr;
  if (narrowing_errors != 0 && !frame::report_narrowing_errors(narrowing_errors)) return nullptr;
  if (!s.direct && PyArray_DescrCheck(dtype.get())) {
    auto* descr = reinterpret_cast<PyArray_Descr*>(dtype.get());
    if (PyDataType_ISINTEGER(descr) && PyDataType_ELSIZE(descr) <= 8) {
      result = saturating_cast(result.get(), descr);
      if (!result) return nullptr;
    }
  }
  return as_dtype(std::move(result), dtype.get());
}

// The kernels read each array with a fixed number of axes. Arrays that
// came from the arguments' conversion may have more, whatever their
// attributes said: refused with the message a buffer request would give.
inline bool check_axes(PyObject* array, int nd) {
  const int got = PyArray_NDIM(frame::as_array(array));
  if (got == nd) return true;
  PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)",
               nd, got);
  return false;
}

// ---------------------------------------------------------------------------
// Border and feathering settings

// An empty float64 border array of `nd` axes, for calls that read none: one
// per process once made (a failed allocation is tried again next call).
inline Ref no_border_image(int nd) {
  static PyObject* made[2] = {nullptr, nullptr};  // guarded by the interpreter lock
  PyObject*& slot = made[nd == 3 ? 1 : 0];
  if (slot == nullptr) {
    slot = nd == 3 ? frame::empty_f64({0, 0, 0}).release() : frame::empty_f64({0, 0}).release();
    if (slot == nullptr) return Ref();
  }
  return frame::borrow(slot);
}

// The border image as the kernels read it: in ARRAY mode bc.array as
// C-contiguous float64 with `nd` axes (a channel axis added to one without),
// else (or when it is None) the empty placeholder. `given`: whether it came
// from bc.array.
inline Ref border_image(PyObject* bc, int array_mode, int nd, bool* given = nullptr) {
  if (given != nullptr) *given = false;
  if (array_mode) {
    Ref array = frame::getattr(bc, "array");
    if (!array) return array;
    if (array.get() != Py_None) {
      if (given != nullptr) *given = true;
      Ref converted = frame::ascontiguous_f64(array.get());
      if (converted && PyArray_NDIM(frame::as_array(converted.get())) == nd - 1)
        converted = frame::with_trailing_axis(converted.get());
      return converted;
    }
  }
  return no_border_image(nd);
}

// The settings of `bc` as the kernels read them, with the views that keep
// their arrays. `axes` is 2 for images, 1 for signals (which have no y
// multipliers, distance mode or preserve rule).
struct Settings {
  kernels::BorderSettings border;
  int interpolation = 0;
  frame::View border_view;
  frame::View feather_view;
};

// The settings the kernels read, from plain numbers and the views of the
// border array and the feather widths. `axes` is 2 for images, whose border
// array is (H, W, C), and 1 for signals, whose border array is (N, C).
inline kernels::BorderSettings border_settings(
    int border_mode, double border_const, const ViewRecord& border_array, double feathering_width,
    double x_undershoot, double x_overshoot, double y_undershoot, double y_overshoot,
    int feathering_mode, int distance_mode, int preserve_non_feather_dims,
    const ViewRecord& feather_d, int axes) {
  kernels::BorderSettings b;
  b.border_array = border_array.data;
  b.border_array_stride0 = border_array.strides[0];
  b.border_array_rows = border_array.shape[0];
  if (axes == 2) {
    b.border_array_stride1 = border_array.strides[1];
    b.border_array_cols = border_array.shape[1];
  }
  b.border_array_channels = border_array.shape[axes];
  b.feather_d = reinterpret_cast<const double*>(feather_d.data);
  b.feather_d_len = feather_d.shape[0];
  b.border_mode = border_mode;
  b.border_const = border_const;
  b.feathering_width = feathering_width;
  b.feathering_x_undershoot_multiplier = x_undershoot;
  b.feathering_x_overshoot_multiplier = x_overshoot;
  b.feathering_y_undershoot_multiplier = y_undershoot;
  b.feathering_y_overshoot_multiplier = y_overshoot;
  b.feathering_mode = feathering_mode;
  b.distance_mode = distance_mode;
  b.preserve_non_feather_dims = preserve_non_feather_dims;
  return b;
}

// The distance mode and the preserve flag, which only images have.
inline bool read_image_rules(PyObject* bc, int* distance_mode, int* preserve) {
  if (!enum_value(bc, "distance_mode", distance_mode)) return false;
  Ref flag = frame::getattr(bc, "preserve_non_feather_dims");
  const int truthy = flag ? frame::truth(flag.get()) : -1;
  if (truthy < 0) return false;
  *preserve = truthy;
  return true;
}

// Reads, in this order: the mode, the border constant, the border array's
// view, the width, the multipliers, the feathering mode, (the distance mode
// and the preserve flag,) the feather widths' view and the interpolation.
inline bool read_settings(PyObject* bc, PyObject* border_const, PyObject* border_array,
                          PyObject* feather_d, PyObject* interpolation, int axes, Settings* s) {
  using frame::Layout;
  const bool image = axes == 2;
  int mode = 0, feathering_mode = 0, distance_mode = 0, preserve = 0;
  double constant = 0.0, width = 0.0, x_under = 0.0, x_over = 0.0, y_under = 0.0, y_over = 0.0;
  if (!enum_value(bc, "mode", &mode) || !frame::to_double(border_const, &constant) ||
      !s->border_view.acquire<double>(border_array, axes + 1,
                                      image ? Layout::last_contiguous : Layout::c_contiguous, false) ||
      !float_attr(bc, "feathering_width", &width) ||
      !float_attr(bc, "feathering_x_undershoot_multiplier", &x_under) ||
      !float_attr(bc, "feathering_x_overshoot_multiplier", &x_over))
    return false;
  if (image && (!float_attr(bc, "feathering_y_undershoot_multiplier", &y_under) ||
                !float_attr(bc, "feathering_y_overshoot_multiplier", &y_over)))
    return false;
  if (!enum_value(bc, "feathering_mode", &feathering_mode) ||
      (image && !read_image_rules(bc, &distance_mode, &preserve)) ||
      !s->feather_view.acquire<double>(feather_d, 1, Layout::c_contiguous, false, true) ||
      !frame::to_c_int(interpolation, &s->interpolation))
    return false;
  s->border = border_settings(mode, constant, s->border_view.record(), width, x_under, x_over,
                              y_under, y_over, feathering_mode, distance_mode, preserve,
                              s->feather_view.record(), axes);
  return true;
}

inline constexpr const char* kBorderArrayMissing = "ARRAY mode requires a border_array";

// The ARRAY-mode check of bc.array before anything is converted: it must be
// given, and `fits(array)` then holds it against what the entry reads (each
// entry with its own rule and message).
template <class Fits>
inline bool check_border_image(PyObject* bc, Fits&& fits) {
  Ref array = frame::getattr(bc, "array");
  if (!array) return false;
  if (array.get() == Py_None) {
    PyErr_SetString(PyExc_ValueError, kBorderArrayMissing);
    return false;
  }
  return fits(array.get());
}

// What a mode value of ARRAY needs besides: the config's mode must also
// compare equal to BorderMode.ARRAY, which chose whether to prepare the
// border image.
inline bool check_array_mode(int mode, int array_mode) {
  if (mode != kernels::border::ARRAY || array_mode) return true;
  PyErr_SetString(PyExc_ValueError,
                  "border_config.mode has the ARRAY value 5 but does not compare equal to "
                  "BorderMode.ARRAY");
  return false;
}

}  // namespace tessaro::remap
