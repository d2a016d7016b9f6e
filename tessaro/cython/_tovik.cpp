// tessaro.cython._tovik: 2-D remap through unit-space coordinate maps.
//
// remap_tensor validates and converts its arguments while holding the
// interpreter lock, then hands plain numbers and array views to the parallel
// driver _tovik_impl, which is also published in __pyx_capi__.

#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "frame/convert.hpp"
#include "frame/function.hpp"
#include "frame/gil.hpp"
#include "frame/module.hpp"
#include "frame/numpy.hpp"
#include "frame/parallel.hpp"
#include "frame/view.hpp"
#include "kernels/remap2d.hpp"
#include "tessaro/cython/remap_entry.hpp"

namespace {

namespace frame = tessaro::frame;
namespace kernels = tessaro::kernels;
namespace remap = tessaro::remap;
using frame::Ref;
using frame::ViewRecord;

// ---------------------------------------------------------------------------
// Parallel driver

// The kernel arguments of one call, from the views of its arrays.
kernels::Remap2D remap_args(const ViewRecord& src, const ViewRecord& map_y, const ViewRecord& map_x,
                            const ViewRecord& dst, int border_mode, double border_const,
                            const ViewRecord& border_array, double feathering_width,
                            double feathering_x_undershoot_multiplier,
                            double feathering_x_overshoot_multiplier,
                            double feathering_y_undershoot_multiplier,
                            double feathering_y_overshoot_multiplier, int feathering_mode,
                            int distance_mode, int preserve_non_feather_dims,
                            const ViewRecord& feather_d, int interpolation, Py_ssize_t H,
                            Py_ssize_t W, Py_ssize_t C) {
  kernels::Remap2D a;
  a.src = src.data;
  a.src_stride0 = src.strides[0];
  a.src_stride1 = src.strides[1];
  a.map_y = map_y.data;
  a.map_y_stride0 = map_y.strides[0];
  a.map_y_stride1 = map_y.strides[1];
  a.map_x = map_x.data;
  a.map_x_stride0 = map_x.strides[0];
  a.map_x_stride1 = map_x.strides[1];
  a.dst = dst.data;
  a.dst_stride0 = dst.strides[0];
  a.dst_stride1 = dst.strides[1];
  a.border_array = border_array.data;
  a.border_array_stride0 = border_array.strides[0];
  a.border_array_stride1 = border_array.strides[1];
  a.border_array_rows = border_array.shape[0];
  a.border_array_cols = border_array.shape[1];
  a.border_array_channels = border_array.shape[2];
  a.feather_d = reinterpret_cast<const double*>(feather_d.data);
  a.feather_d_len = feather_d.shape[0];
  a.border_mode = border_mode;
  a.border_const = border_const;
  a.feathering_width = feathering_width;
  a.feathering_x_undershoot_multiplier = feathering_x_undershoot_multiplier;
  a.feathering_x_overshoot_multiplier = feathering_x_overshoot_multiplier;
  a.feathering_y_undershoot_multiplier = feathering_y_undershoot_multiplier;
  a.feathering_y_overshoot_multiplier = feathering_y_overshoot_multiplier;
  a.feathering_mode = feathering_mode;
  a.distance_mode = distance_mode;
  a.preserve_non_feather_dims = preserve_non_feather_dims;
  a.interpolation = interpolation;
  a.H = H;
  a.W = W;
  a.C = C;
  return a;
}

// Runs the remap over the rows of `a` with the interpreter lock released:
// one static block of rows per thread, or the calling thread alone for
// small work. S and D are the element types of source and output; returns
// the floating-point exceptions of rounding results to float32 (0 for D =
// double).
template <class S, class D>
int run_remap(const kernels::Remap2D& a) {
  frame::ReleasedLock unlocked;
  if (a.H <= 0) return 0;
  const double taps = static_cast<double>(kernels::taps_per_axis(a.interpolation));
  const double work = static_cast<double>(a.H) * static_cast<double>(a.W) *
                      static_cast<double>(a.C > 0 ? a.C : 1) * taps * taps;
  const bool parallel = work >= static_cast<double>(frame::kMinParallelWork);
  if constexpr (std::is_same_v<D, double>) {
    frame::for_static_blocks(a.H, parallel, [&](std::int64_t begin, std::int64_t end, int) {
      kernels::remap2d_rows<S, D>(a, begin, end);
    });
    return 0;
  } else {
    // One slot per thread, so that no thread writes where another does.
    std::vector<int> errors(static_cast<std::size_t>(std::max(1, omp_get_max_threads())), 0);
    frame::for_static_blocks(a.H, parallel, [&](std::int64_t begin, std::int64_t end, int t) {
      errors[static_cast<std::size_t>(t)] = kernels::remap2d_rows<S, D>(a, begin, end);
    });
    int all = 0;
    for (int e : errors) all |= e;
    return all;
  }
}

void _tovik_impl(ViewRecord src, ViewRecord map_y, ViewRecord map_x, ViewRecord dst,
                 int border_mode, double border_const, ViewRecord border_array,
                 double feathering_width, double feathering_x_undershoot_multiplier,
                 double feathering_x_overshoot_multiplier,
                 double feathering_y_undershoot_multiplier,
                 double feathering_y_overshoot_multiplier, int feathering_mode, int distance_mode,
                 int preserve_non_feather_dims, ViewRecord feather_d, int interpolation,
                 Py_ssize_t H, Py_ssize_t W, Py_ssize_t C) {
  run_remap<double, double>(remap_args(
      src, map_y, map_x, dst, border_mode, border_const, border_array, feathering_width,
      feathering_x_undershoot_multiplier, feathering_x_overshoot_multiplier,
      feathering_y_undershoot_multiplier, feathering_y_overshoot_multiplier, feathering_mode,
      distance_mode, preserve_non_feather_dims, feather_d, interpolation, H, W, C));
}

const frame::Export kExports[] = {
    {"_tovik_impl",
     "void (__Pyx_memviewslice, __Pyx_memviewslice, __Pyx_memviewslice, __Pyx_memviewslice, int, "
     "double, __Pyx_memviewslice, double, double, double, double, double, int, int, int, "
     "__Pyx_memviewslice, int, Py_ssize_t, Py_ssize_t, Py_ssize_t)",
     frame::export_address(_tovik_impl)},
};

bool module_body(PyObject* module);

frame::Module kModule(
    "_tovik", "tessaro.cython._tovik",
    "\n"
    "The package's primary image sampler, used in place of OpenCV's cv2.remap.\n"
    "\n"
    "Interpolation modes:\n"
    "  0=nearest, 1=bilinear, 2=cubic (Catmull-Rom),\n"
    "  3=lanczos3, 4=lanczos4\n"
    "  Also accepts InterpMethod enum (NEAREST_*, LINEAR, CUBIC, LANCZOS4)\n"
    "Border modes: 0=CLAMP, 1=CONSTANT, 2=REFLECT, 3=WRAP, 4=REFLECT_101, 5=ARRAY\n",
    "tessaro/cython/_tovik.cpp", kExports, module_body);

// ---------------------------------------------------------------------------
// remap_tensor

Ref shape_item(PyObject* shape, Py_ssize_t i) {
  return frame::steal(PySequence_GetItem(shape, i));
}

// The ARRAY-mode checks on bc.array against the source.
bool check_border_image(PyObject* bc, PyObject* src_ndim, PyObject* src_shape) {
  Ref array = frame::getattr(bc, "array");
  if (!array) return false;
  if (array.get() == Py_None) {
    PyErr_SetString(PyExc_ValueError, "ARRAY mode requires a border_array");
    return false;
  }
  Ref array_shape = frame::getattr(array.get(), "shape");
  Ref array_hw = array_shape ? frame::steal(PySequence_GetSlice(array_shape.get(), 0, 2)) : Ref();
  Ref src_hw = array_hw ? frame::steal(PySequence_GetSlice(src_shape, 0, 2)) : Ref();
  if (!src_hw) return false;
  int differs = remap::compare(array_hw.get(), src_hw.get(), Py_NE);
  if (differs < 0) return false;
  if (differs) {
    PyErr_Format(PyExc_ValueError, "border_array shape %S must match src shape %S", array_hw.get(),
                 src_hw.get());
    return false;
  }
  const int src_is_2d = remap::compare_long(src_ndim, 2, Py_EQ);
  if (src_is_2d < 0) return false;
  Ref c_src = src_is_2d ? frame::steal(PyLong_FromLong(1)) : shape_item(src_shape, 2);
  Ref arr_ndim = c_src ? frame::getattr(array.get(), "ndim") : Ref();
  if (!arr_ndim) return false;
  const int not2 = remap::compare_long(arr_ndim.get(), 2, Py_NE);
  const int not3 = not2 > 0 ? remap::compare_long(arr_ndim.get(), 3, Py_NE) : 0;
  if (not2 < 0 || not3 < 0) return false;
  if (not2 && not3) {
    PyErr_Format(PyExc_ValueError, "border_array must be 2-D or 3-D, got %S-D", arr_ndim.get());
    return false;
  }
  if (!not2) return true;
  Ref array_c = shape_item(array_shape.get(), 2);
  if (!array_c) return false;
  differs = remap::compare(array_c.get(), c_src.get(), Py_NE);
  if (differs < 0) return false;
  if (differs) {
    PyErr_Format(PyExc_ValueError, "border_array channels %S must match src channels %S",
                 array_c.get(), c_src.get());
    return false;
  }
  return true;
}

// The driver reads only data and strides, so every extent it relies on is
// checked here, whatever the arguments' attributes claimed.
bool check_views(const ViewRecord& src, const ViewRecord& my, const ViewRecord& mx,
                 const ViewRecord& border_array, const ViewRecord& feather_d, int mode, Py_ssize_t H,
                 Py_ssize_t W, Py_ssize_t C) {
  const bool src_ok = src.shape[0] == H && src.shape[1] == W && src.shape[2] == C;
  const bool maps_ok = my.shape[0] == H && my.shape[1] == W && mx.shape[0] == H && mx.shape[1] == W;
  if (!src_ok || !maps_ok) {
    PyErr_SetString(PyExc_ValueError,
                    "src and the maps do not have the shapes their attributes reported");
    return false;
  }
  if (mode == kernels::border::ARRAY &&
      (border_array.shape[0] != H || border_array.shape[1] != W ||
       (border_array.shape[2] != 1 && border_array.shape[2] < C))) {
    PyErr_Format(PyExc_ValueError,
                 "border_array of shape (%zd, %zd, %zd) does not cover an output of shape "
                 "(%zd, %zd, %zd)",
                 border_array.shape[0], border_array.shape[1], border_array.shape[2], H, W, C);
    return false;
  }
  return remap::check_feather_widths(feather_d.shape[0], C);
}

// Whether a float32 buffer holds a signalling NaN: in blocks over the
// default team, with the interpreter lock released, for large buffers.
bool has_signalling_nan(const char* data, std::int64_t n) {
  const auto scan = [&](std::int64_t begin, std::int64_t end) {
    return kernels::simd::dispatch([&]<class>() {
      return kernels::has_signalling_nan_f32(data + 4 * begin, end - begin);
    });
  };
  if (n < (std::int64_t{1} << 18)) return scan(0, n);
  std::vector<char> found(static_cast<std::size_t>(std::max(1, omp_get_max_threads())), 0);
  {
    frame::ReleasedLock unlocked;
    frame::for_static_blocks(n, true, [&](std::int64_t begin, std::int64_t end, int t) {
      found[static_cast<std::size_t>(t)] = scan(begin, end);
    });
  }
  return std::find(found.begin(), found.end(), 1) != found.end();
}

// Sources the entry samples in float32 without converting them.
bool is_direct_f32(PyObject* src) {
  if (!PyArray_CheckExact(src)) return false;
  auto* a = frame::as_array(src);
  return PyArray_TYPE(a) == NPY_FLOAT32 && PyArray_ISNOTSWAPPED(a) && PyArray_ISALIGNED(a) &&
         PyArray_IS_C_CONTIGUOUS(a) && (PyArray_NDIM(a) == 2 || PyArray_NDIM(a) == 3);
}

// A C-contiguous (H, W) or (H, W, C) array as the (H, W, C) view record the
// driver reads (a 2-D image has one channel).
ViewRecord image_record(PyObject* array) {
  auto* a = frame::as_array(array);
  ViewRecord r{};
  r.memview = Py_None;
  r.data = PyArray_BYTES(a);
  for (int d = 0; d < 3; ++d) {
    const bool has = d < PyArray_NDIM(a);
    r.shape[d] = has ? PyArray_DIM(a, d) : 1;
    r.strides[d] = has ? PyArray_STRIDE(a, d) : PyArray_ITEMSIZE(a);
    r.suboffsets[d] = -1;
  }
  return r;
}

PyObject* remap_tensor(PyObject* const* args) {
  PyObject* src = args[0];
  PyObject* map_x = args[1];
  PyObject* map_y = args[2];
  PyObject* border_config = args[4];
  Ref interpolation = frame::coerce_int_arg(args[3], "interpolation");
  if (!interpolation) return nullptr;
  Ref num_threads = frame::coerce_int_arg(args[5], "num_threads");
  if (!num_threads) return nullptr;

  Ref src_ndim = frame::getattr(src, "ndim");
  if (!src_ndim) return nullptr;
  int bad = remap::compare_long(src_ndim.get(), 2, Py_LT);
  if (bad < 0) return nullptr;
  if (bad)
    return frame::raise(PyExc_ValueError, "src must be at least 2-dimensional, got ndim=%S",
                        src_ndim.get());
  for (PyObject* map : {map_x, map_y}) {
    Ref ndim = frame::getattr(map, "ndim");
    if (!ndim || (bad = remap::compare_long(ndim.get(), 2, Py_NE)) < 0) return nullptr;
    if (bad) return frame::raise(PyExc_ValueError, "map_x and map_y must be 2-dimensional");
  }
  Ref mx_shape = frame::getattr(map_x, "shape");
  Ref my_shape = mx_shape ? frame::getattr(map_y, "shape") : Ref();
  if (!my_shape || (bad = remap::compare(mx_shape.get(), my_shape.get(), Py_NE)) < 0) return nullptr;
  if (bad) return frame::raise(PyExc_ValueError, "map_x and map_y must have the same shape");
  Ref src_shape = frame::getattr(src, "shape");
  if (!src_shape) return nullptr;
  for (Py_ssize_t axis : {0, 1}) {
    Ref s = shape_item(src_shape.get(), axis);
    Ref m = s ? shape_item(mx_shape.get(), axis) : Ref();
    if (!m || (bad = remap::compare(s.get(), m.get(), Py_NE)) < 0) return nullptr;
    if (bad) {
      Ref src_hw = frame::steal(PySequence_GetSlice(src_shape.get(), 0, 2));
      if (!src_hw) return nullptr;
      return frame::raise(PyExc_ValueError, "src shape %S and map shape %S must match",
                          src_hw.get(), mx_shape.get());
    }
  }
  for (Py_ssize_t axis : {0, 1}) {
    Ref s = shape_item(src_shape.get(), axis);
    if (!s || (bad = remap::compare_long(s.get(), 0, Py_EQ)) < 0) return nullptr;
    if (bad) return frame::raise(PyExc_ValueError, "src must have non-zero spatial dimensions");
  }

  remap::Companions companions;
  if (!remap::import_companions(PyModule_GetDict(kModule.module), true, &companions))
    return nullptr;
  Ref bc = remap::effective_config(border_config, companions);
  if (!bc) return nullptr;
  const int array_mode = remap::is_array_mode(bc.get(), companions);
  if (array_mode < 0) return nullptr;
  if (array_mode && !check_border_image(bc.get(), src_ndim.get(), src_shape.get()))
    return nullptr;

  // A C-contiguous float32 ndarray in native byte order is sampled where it
  // lies: its float64 copy would hold the same values (widening is exact),
  // and the results, computed in double, are rounded to float32 once, as the
  // final cast of the float64 output would round them.
  const bool direct_f32 = is_direct_f32(src);
  Ref src_contig;
  if (direct_f32) {
    // The float64 copy is not made, but the caller still gets its report of
    // signalling NaNs.
    auto* a = frame::as_array(src);
    if (has_signalling_nan(PyArray_BYTES(a), PyArray_SIZE(a)) && !frame::report_widening_invalid())
      return nullptr;
  } else {
    src_contig = frame::ascontiguous_f64(src);
    if (!src_contig) return nullptr;
    if (PyArray_NDIM(frame::as_array(src_contig.get())) == 2) {
      src_contig = frame::with_trailing_axis(src_contig.get());
      if (!src_contig) return nullptr;
    }
  }
  Ref mx = frame::ascontiguous_f64(map_x);
  Ref my = mx ? frame::ascontiguous_f64(map_y) : Ref();
  if (!my) return nullptr;

  Ref h = shape_item(src_shape.get(), 0);
  Ref w = h ? shape_item(src_shape.get(), 1) : Ref();
  if (!w) return nullptr;
  const int src_is_2d = remap::compare_long(src_ndim.get(), 2, Py_EQ);
  if (src_is_2d < 0) return nullptr;
  Ref c = src_is_2d ? frame::steal(PyLong_FromLong(1)) : shape_item(src_shape.get(), 2);
  Py_ssize_t H, W, C;
  if (!c || !frame::to_ssize(h.get(), &H) || !frame::to_ssize(w.get(), &W) ||
      !frame::to_ssize(c.get(), &C))
    return nullptr;
  // The float32 path writes the result in its final shape and type.
  Ref dst = direct_f32 ? frame::empty_like_f32(src) : frame::empty_f64({H, W, C});
  if (!dst) return nullptr;

  // Modes other than ARRAY get an empty placeholder; one serves every call
  // (nothing reads or writes it).
  static PyObject* const no_border_array = frame::empty_f64({0, 0, 0}).release();
  if (no_border_array == nullptr) return frame::raise(PyExc_MemoryError, "no border placeholder");
  Ref border_array = frame::borrow(no_border_array);
  if (array_mode) {
    Ref array = frame::getattr(bc.get(), "array");
    if (!array) return nullptr;
    if (array.get() != Py_None) {
      border_array = frame::ascontiguous_f64(array.get());
      if (border_array && PyArray_NDIM(frame::as_array(border_array.get())) == 2)
        border_array = frame::with_trailing_axis(border_array.get());
      if (!border_array) return nullptr;
    }
  }
  Ref feather_d = frame::steal(
      PyObject_CallFunctionObjArgs(companions.compute_feather_d.get(), bc.get(), c.get(), nullptr));
  if (!feather_d) return nullptr;
  Ref border_const_value = remap::border_constant(bc.get());
  if (!border_const_value) return nullptr;

  int narrowing_errors = 0;
  {
    frame::View v_src, v_my, v_mx, v_border, v_feather;
    int mode, feathering_mode, distance_mode, interp;
    double border_const, fw, xu, xo, yu, yo;
    using frame::Layout;
    // The output is this call's own fresh array, and a float32 source is a
    // C-contiguous ndarray: they are viewed directly (as 3-D (H, W, C)), as
    // requesting their buffers could not fail.
    ViewRecord src_f32{};
    const ViewRecord dst_view = image_record(dst.get());
    if (direct_f32) src_f32 = image_record(src);
    if (!(direct_f32 || v_src.acquire<double>(src_contig.get(), 3, Layout::last_contiguous, false)) ||
        !v_my.acquire<double>(my.get(), 2, Layout::last_contiguous, false) ||
        !v_mx.acquire<double>(mx.get(), 2, Layout::last_contiguous, false) ||
        !remap::enum_value(bc.get(), "mode", &mode) ||
        !frame::to_double(border_const_value.get(), &border_const) ||
        !v_border.acquire<double>(border_array.get(), 3, Layout::last_contiguous, false) ||
        !remap::float_attr(bc.get(), "feathering_width", &fw) ||
        !remap::float_attr(bc.get(), "feathering_x_undershoot_multiplier", &xu) ||
        !remap::float_attr(bc.get(), "feathering_x_overshoot_multiplier", &xo) ||
        !remap::float_attr(bc.get(), "feathering_y_undershoot_multiplier", &yu) ||
        !remap::float_attr(bc.get(), "feathering_y_overshoot_multiplier", &yo) ||
        !remap::enum_value(bc.get(), "feathering_mode", &feathering_mode) ||
        !remap::enum_value(bc.get(), "distance_mode", &distance_mode))
      return nullptr;
    Ref preserve_attr = frame::getattr(bc.get(), "preserve_non_feather_dims");
    const int preserve = preserve_attr ? frame::truth(preserve_attr.get()) : -1;
    if (preserve < 0 ||
        !v_feather.acquire<double>(feather_d.get(), 1, Layout::c_contiguous, false, true) ||
        !frame::to_c_int(interpolation.get(), &interp))
      return nullptr;
    if (mode == kernels::border::ARRAY && !array_mode)
      return frame::raise(PyExc_ValueError,
                          "border_config.mode has the ARRAY value 5 but does not compare equal to "
                          "BorderMode.ARRAY");
    const ViewRecord& src_view = direct_f32 ? src_f32 : v_src.record();
    if (!check_views(src_view, v_my.record(), v_mx.record(), v_border.record(),
                     v_feather.record(), mode, H, W, C))
      return nullptr;
    if (direct_f32) {
      narrowing_errors = run_remap<float, float>(remap_args(
          src_view, v_my.record(), v_mx.record(), dst_view, mode, border_const, v_border.record(),
          fw, xu, xo, yu, yo, feathering_mode, distance_mode, preserve, v_feather.record(), interp,
          H, W, C));
    } else {
      _tovik_impl(src_view, v_my.record(), v_mx.record(), dst_view, mode, border_const,
                  v_border.record(), fw, xu, xo, yu, yo, feathering_mode, distance_mode, preserve,
                  v_feather.record(), interp, H, W, C);
    }
  }

  Ref result = std::move(dst);
  if (src_is_2d && !direct_f32) {
    npy_intp dims[2] = {H, W};
    PyArray_Dims shape{dims, 2};
    result = frame::steal(PyArray_Newshape(frame::as_array(result.get()), &shape, NPY_CORDER));
    if (!result) return nullptr;
  }
  Ref dtype = frame::getattr(src, "dtype");
  if (!dtype) return nullptr;
  if (direct_f32) {
    // What the cast of the float64 output to float32 would have reported.
    if (narrowing_errors != 0 && !frame::report_narrowing_errors(narrowing_errors)) return nullptr;
    return result.release();
  }
  return remap::as_dtype(std::move(result), dtype.get());
}

PyObject* detect_cpu_count(PyObject* const*) {
  return remap::detect_cpu_count(kModule, PyExc_Exception);
}

constexpr frame::Param kRemapParams[] = {
    {"src", "np.ndarray"},
    {"map_x", "np.ndarray"},
    {"map_y", "np.ndarray"},
    {"interpolation", "int", true, frame::default_int(1)},
    {"border_config", nullptr, true, frame::default_none},
    {"num_threads", "int", true, frame::default_int(-1)},
};
constexpr const char* kRemapLocals[] = {"bc",  "C_src", "arr_ndim", "src_contig",   "mx",
                                        "my",  "H",     "W",        "C",            "dst",
                                        "border_array", "feather_d", "border_const"};
const frame::FunctionSpec kRemapTensor{
    "remap_tensor",
    "tessaro.cython._tovik",
    "tessaro/cython/_tovik.cpp",
    __LINE__,
    "Remap an image using unit-space coordinates.\n"
    "\n"
    "    Args:\n"
    "        src: Input array, shape (H, W) or (H, W, C). float64 preferred.\n"
    "        map_x: X-coordinate map, shape (H, W), values in [0, 1].\n"
    "        map_y: Y-coordinate map, shape (H, W), values in [0, 1].\n"
    "        interpolation: Interpolation mode (0=nearest, 1=bilinear).\n"
    "        border_config: BorderConfig instance (or None for clamp default).\n"
    "        num_threads: Thread count (-1 = auto).\n"
    "\n"
    "    Returns:\n"
    "        Remapped array, same shape and dtype as src.\n"
    "    ",
    kRemapParams,
    kRemapLocals,
    "np.ndarray",
    remap_tensor};

const frame::FunctionSpec kDetectCpuCount{
    "_detect_cpu_count", "tessaro.cython._tovik", "tessaro/cython/_tovik.cpp", __LINE__,
    "Detect available CPU cores.", {}, {}, "int", detect_cpu_count};

// ---------------------------------------------------------------------------
// Module-level statements

bool module_body(PyObject* module) {
  Ref test;
  return frame::import_as(module, "numpy", "np") && frame::import_numpy_api() &&
         frame::import_as(module, "os", "os") && frame::define_function(module, kDetectCpuCount) &&
         frame::define_function(module, kRemapTensor) && (test = frame::steal(PyDict_New())) &&
         PyModule_AddObjectRef(module, "__test__", test.get()) == 0;
}

}  // namespace

PyMODINIT_FUNC PyInit__tovik(void) { return PyModuleDef_Init(&kModule.def); }
