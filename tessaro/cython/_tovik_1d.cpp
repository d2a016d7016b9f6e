// tessaro.cython._tovik_1d: 1-D remap through a unit-space coordinate map.
//
// The same sampling formulas as the 2-D module, on one axis; the driver is
// internal to this module.

#include <cstdint>

#include "frame/convert.hpp"
#include "frame/function.hpp"
#include "frame/gil.hpp"
#include "frame/module.hpp"
#include "frame/numpy.hpp"
#include "frame/parallel.hpp"
#include "frame/view.hpp"
#include "kernels/remap1d.hpp"
#include "tessaro/cython/remap_entry.hpp"

namespace {

namespace frame = tessaro::frame;
namespace kernels = tessaro::kernels;
namespace remap = tessaro::remap;
using frame::Ref;
using frame::ViewRecord;

// ---------------------------------------------------------------------------
// Parallel driver

void _tovik_1d_impl(ViewRecord src, ViewRecord map_x, ViewRecord dst, int border_mode,
                    double border_const, ViewRecord border_array, double feathering_width,
                    double feathering_x_undershoot_multiplier,
                    double feathering_x_overshoot_multiplier, int feathering_mode,
                    ViewRecord feather_d, int interpolation, Py_ssize_t N, Py_ssize_t C) {
  kernels::Remap1D a;
  a.src = src.data;
  a.src_stride0 = src.strides[0];
  a.map_x = reinterpret_cast<const double*>(map_x.data);
  a.dst = dst.data;
  a.dst_stride0 = dst.strides[0];
  a.border_array = border_array.data;
  a.border_array_stride0 = border_array.strides[0];
  a.border_array_rows = border_array.shape[0];
  a.border_array_channels = border_array.shape[1];
  a.feather_d = reinterpret_cast<const double*>(feather_d.data);
  a.feather_d_len = feather_d.shape[0];
  a.border_mode = border_mode;
  a.border_const = border_const;
  a.feathering_width = feathering_width;
  a.feathering_x_undershoot_multiplier = feathering_x_undershoot_multiplier;
  a.feathering_x_overshoot_multiplier = feathering_x_overshoot_multiplier;
  a.feathering_mode = feathering_mode;
  a.interpolation = interpolation;
  a.N = N;
  a.C = C;

  frame::ReleasedLock unlocked;
  if (N <= 0) return;
  const std::int64_t work = N * (C > 0 ? C : 1) * kernels::taps_per_axis(interpolation);
  frame::for_static_blocks(N, work >= frame::kMinParallelWork,
                           [&](std::int64_t begin, std::int64_t end, int) {
                             kernels::remap1d_range(a, begin, end);
                           });
}

bool module_body(PyObject* module);

frame::Module kModule(
    "_tovik_1d", "tessaro.cython._tovik_1d",
    "\n"
    "1D remap kernel \xe2\x80\x94 remap 1-D signals by a unit-space coordinate map.\n"
    "\n"
    "Interpolation modes: 0=nearest, 1=linear, 2=cubic, 3=lanczos3, 4=lanczos4\n"
    "Border modes: 0=CLAMP, 1=CONSTANT, 2=REFLECT, 3=WRAP, 4=REFLECT_101, 5=ARRAY\n",
    "tessaro/cython/_tovik_1d.cpp", {}, module_body);

// ---------------------------------------------------------------------------
// remap_tensor_1d

// In ARRAY mode the driver reads border_array[i, c] for every output sample
// and channel, so the array must cover (N, C).
bool check_border_array(const ViewRecord& ba, bool given, Py_ssize_t N, Py_ssize_t C) {
  if (!given) {
    PyErr_SetString(PyExc_ValueError, "ARRAY mode requires a border_array");
    return false;
  }
  if (ba.shape[0] < N) {
    PyErr_Format(PyExc_ValueError, "border_array length %zd must match src length %zd",
                 ba.shape[0], N);
    return false;
  }
  if (ba.shape[1] < C) {
    PyErr_Format(PyExc_ValueError, "border_array channels %zd must match src channels %zd",
                 ba.shape[1], C);
    return false;
  }
  return true;
}

PyObject* remap_tensor_1d(PyObject* const* args) {
  PyObject* src = args[0];
  PyObject* map_x = args[1];
  PyObject* border_config = args[3];
  Ref interpolation = frame::coerce_int_arg(args[2], "interpolation");
  if (!interpolation) return nullptr;
  Ref num_threads = frame::coerce_int_arg(args[4], "num_threads");
  if (!num_threads) return nullptr;

  Ref src_ndim = frame::getattr(src, "ndim");
  if (!src_ndim) return nullptr;
  int bad = remap::compare_long(src_ndim.get(), 1, Py_LT);
  if (bad == 0) bad = remap::compare_long(src_ndim.get(), 2, Py_GT);
  if (bad < 0) return nullptr;
  if (bad)
    return frame::raise(PyExc_ValueError, "src must be 1-D or 2-D, got ndim=%S", src_ndim.get());
  Ref map_ndim = frame::getattr(map_x, "ndim");
  if (!map_ndim || (bad = remap::compare_long(map_ndim.get(), 1, Py_NE)) < 0) return nullptr;
  if (bad) return frame::raise(PyExc_ValueError, "map_x must be 1-dimensional");
  const Py_ssize_t src_len = PyObject_Length(src);
  if (src_len < 0) return nullptr;
  const Py_ssize_t map_len = PyObject_Length(map_x);
  if (map_len < 0) return nullptr;
  if (src_len != map_len)
    return frame::raise(PyExc_ValueError, "src and map_x must have the same length");

  remap::Companions companions;
  if (!remap::import_companions(PyModule_GetDict(kModule.module), false, &companions))
    return nullptr;
  Ref bc = remap::effective_config(border_config, companions);
  if (!bc) return nullptr;

  Ref src_contig = frame::ascontiguous_f64(src);
  if (!src_contig) return nullptr;
  if (PyArray_NDIM(frame::as_array(src_contig.get())) == 1) {
    src_contig = frame::with_trailing_axis(src_contig.get());
    if (!src_contig) return nullptr;
  }
  Ref mx = frame::ascontiguous_f64(map_x);
  if (!mx) return nullptr;

  const Py_ssize_t N = src_len;
  const int src_is_1d = remap::compare_long(src_ndim.get(), 1, Py_EQ);
  if (src_is_1d < 0) return nullptr;
  Ref c;
  if (src_is_1d) {
    c = frame::steal(PyLong_FromLong(1));
  } else {
    Ref shape = frame::getattr(src, "shape");
    c = shape ? frame::steal(PySequence_GetItem(shape.get(), 1)) : Ref();
  }
  Py_ssize_t C;
  if (!c || !frame::to_ssize(c.get(), &C)) return nullptr;
  Ref dst = frame::empty_f64({N, C});
  if (!dst) return nullptr;

  Ref ba = frame::empty_f64({0, 0});
  if (!ba) return nullptr;
  const int array_mode = remap::is_array_mode(bc.get(), companions);
  if (array_mode < 0) return nullptr;
  bool array_given = false;
  if (array_mode) {
    Ref array = frame::getattr(bc.get(), "array");
    if (!array) return nullptr;
    if (array.get() != Py_None) {
      array_given = true;
      ba = frame::ascontiguous_f64(array.get());
      if (ba && PyArray_NDIM(frame::as_array(ba.get())) == 1) ba = frame::with_trailing_axis(ba.get());
      if (!ba) return nullptr;
    }
  }
  Ref feather_d = frame::steal(
      PyObject_CallFunctionObjArgs(companions.compute_feather_d.get(), bc.get(), c.get(), nullptr));
  if (!feather_d) return nullptr;
  Ref border_const_value = remap::border_constant(bc.get());
  if (!border_const_value) return nullptr;

  {
    frame::View v_src, v_mx, v_dst, v_ba, v_feather;
    int mode, feathering_mode, interp;
    double border_const, fw, xu, xo;
    using frame::Layout;
    if (!v_src.acquire<double>(src_contig.get(), 2, Layout::c_contiguous, false) ||
        !v_mx.acquire<double>(mx.get(), 1, Layout::c_contiguous, false) ||
        !v_dst.acquire<double>(dst.get(), 2, Layout::c_contiguous, true) ||
        !remap::enum_value(bc.get(), "mode", &mode) ||
        !frame::to_double(border_const_value.get(), &border_const) ||
        !v_ba.acquire<double>(ba.get(), 2, Layout::c_contiguous, false) ||
        !remap::float_attr(bc.get(), "feathering_width", &fw) ||
        !remap::float_attr(bc.get(), "feathering_x_undershoot_multiplier", &xu) ||
        !remap::float_attr(bc.get(), "feathering_x_overshoot_multiplier", &xo) ||
        !remap::enum_value(bc.get(), "feathering_mode", &feathering_mode) ||
        !v_feather.acquire<double>(feather_d.get(), 1, Layout::c_contiguous, false, true) ||
        !frame::to_c_int(interpolation.get(), &interp))
      return nullptr;
    if (v_src.record().shape[0] != N || v_src.record().shape[1] != C || v_mx.record().shape[0] != N)
      return frame::raise(PyExc_ValueError,
                          "src and map_x do not have the shapes their attributes reported");
    if (mode == kernels::border::ARRAY) {
      if (!array_mode)
        return frame::raise(PyExc_ValueError,
                            "border_config.mode has the ARRAY value 5 but does not compare equal "
                            "to BorderMode.ARRAY");
      if (!check_border_array(v_ba.record(), array_given, N, C)) return nullptr;
    }
    if (!remap::check_feather_widths(v_feather.record().shape[0], C)) return nullptr;
    _tovik_1d_impl(v_src.record(), v_mx.record(), v_dst.record(), mode, border_const,
                   v_ba.record(), fw, xu, xo, feathering_mode, v_feather.record(), interp, N, C);
  }

  Ref result = std::move(dst);
  if (src_is_1d) {
    npy_intp dims[1] = {N};
    PyArray_Dims shape{dims, 1};
    result = frame::steal(PyArray_Newshape(frame::as_array(result.get()), &shape, NPY_CORDER));
    if (!result) return nullptr;
  }
  Ref dtype = frame::getattr(src, "dtype");
  if (!dtype) return nullptr;
  return remap::as_dtype(std::move(result), dtype.get());
}

PyObject* detect_cpu_count(PyObject* const*) {
  return remap::detect_cpu_count(kModule, PyExc_BaseException);
}

constexpr frame::Param kRemapParams[] = {
    {"src", "np.ndarray"},
    {"map_x", "np.ndarray"},
    {"interpolation", "int", true, frame::default_int(1)},
    {"border_config", nullptr, true, frame::default_none},
    {"num_threads", "int", true, frame::default_int(-1)},
};
constexpr const char* kRemapLocals[] = {"bc", "src_contig", "mx", "N", "C", "dst", "ba",
                                        "feather_d", "border_const"};
const frame::FunctionSpec kRemapTensor1d{
    "remap_tensor_1d",
    "tessaro.cython._tovik_1d",
    "tessaro/cython/_tovik_1d.cpp",
    __LINE__,
    "Remap a 1-D signal using unit-space coordinates.\n"
    "\n"
    "    Args:\n"
    "        src: Input array, shape (N,) or (N, C). float64 preferred.\n"
    "        map_x: Coordinate map, shape (N,), values in [0, 1].\n"
    "        interpolation: 0=nearest, 1=linear, 2=cubic, 3=lanczos3, 4=lanczos4.\n"
    "        border_config: BorderConfig instance (or None for clamp default).\n"
    "        num_threads: Thread count (-1 = auto).\n"
    "\n"
    "    Returns:\n"
    "        Remapped array, same shape and dtype as src.\n"
    "    ",
    kRemapParams,
    kRemapLocals,
    "np.ndarray",
    remap_tensor_1d};

const frame::FunctionSpec kDetectCpuCount{
    "_detect_cpu_count", "tessaro.cython._tovik_1d", "tessaro/cython/_tovik_1d.cpp", __LINE__,
    nullptr, {}, {}, "int", detect_cpu_count};

// ---------------------------------------------------------------------------
// Module-level statements

bool module_body(PyObject* module) {
  Ref test;
  return frame::import_as(module, "numpy", "np") && frame::import_numpy_api() &&
         frame::import_as(module, "os", "os") && frame::define_function(module, kDetectCpuCount) &&
         frame::define_function(module, kRemapTensor1d) && (test = frame::steal(PyDict_New())) &&
         PyModule_AddObjectRef(module, "__test__", test.get()) == 0;
}

}  // namespace

PyMODINIT_FUNC PyInit__tovik_1d(void) { return PyModuleDef_Init(&kModule.def); }
