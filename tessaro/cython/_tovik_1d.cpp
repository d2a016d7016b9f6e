// tessaro.cython._tovik_1d: 1-D remap through a unit-space coordinate map.
//
// The same sampling formulas as the 2-D module, on one axis; the driver is
// internal to this module.

#include <algorithm>
#include <cstdint>
#include <vector>

#include "frame/convert.hpp"
#include "frame/function.hpp"
#include "frame/gil.hpp"
#include "frame/module.hpp"
#include "frame/numpy.hpp"
#include "frame/parallel.hpp"
#include "frame/view.hpp"
#include "kernels/remap.hpp"
#include "tessaro/cython/remap_call.hpp"

namespace {

namespace frame = tessaro::frame;
namespace kernels = tessaro::kernels;
namespace remap = tessaro::remap;
using frame::Ref;
using frame::ViewRecord;

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
    PyErr_SetString(PyExc_ValueError, remap::kBorderArrayMissing);
    return false;
  }
  if (ba.shape[0] < N)
    return remap::error(PyExc_ValueError, "border_array length %zd must match src length %zd",
                        ba.shape[0], N);
  if (ba.shape[1] < C)
    return remap::error(PyExc_ValueError, "border_array channels %zd must match src channels %zd",
                        ba.shape[1], C);
  return true;
}

// remap_tensor_1d's call: a map of the source's length, and C as the
// source's attributes report it. Its border checks come after the
// conversions, on the views.
struct SignalEntry {
  static constexpr int spatial = 1;
  static constexpr bool zero_sign = false;
  static constexpr bool output_like_src = true;
  static constexpr bool mode_after_output = true;
  PyObject* src_ndim;
  Py_ssize_t N;

  bool before_source(remap::Call&) const { return true; }

  bool take_shape(remap::Call& c) const {
    const int src_is_1d = remap::compare_long(src_ndim, 1, Py_EQ);
    if (src_is_1d < 0) return false;
    Ref ch;
    if (src_is_1d) {
      ch = frame::steal(PyLong_FromLong(1));
    } else {
      Ref shape = frame::getattr(c.src, "shape");
      ch = shape ? frame::steal(PySequence_GetItem(shape.get(), 1)) : Ref();
    }
    if (!ch || !frame::to_ssize(ch.get(), &c.shape.dims[1])) return false;
    c.shape.dims[0] = N;
    c.shape.channels = std::move(ch);
    c.shape.squeezed = src_is_1d;
    return true;
  }

  bool check_views(const remap::Call& c, const remap::Records& r,
                   const remap::Settings& s) const {
    const Py_ssize_t C = c.shape.dims[1];
    if (r.src.shape[0] != N || r.src.shape[1] != C || r.map_x.shape[0] != N)
      return remap::error(PyExc_ValueError,
                          "src and map_x do not have the shapes their attributes reported");
    const kernels::BorderSettings& border = s.border;
    if (border.border_mode == kernels::border::ARRAY &&
        (!remap::check_array_mode(border.border_mode, c.array_mode) ||
         !check_border_array(s.border_view.record(), c.border_given, N, C)))
      return false;
    return remap::check_feather_widths(border.feather_d_len, C);
  }
};

PyObject* remap_tensor_1d(PyObject* const* args) {
  PyObject* src = args[0];
  PyObject* map_x = args[1];
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

  remap::Call call;
  call.src = src;
  call.positions.map_x = map_x;
  call.interpolation = interpolation.get();
  call.border_config = args[3];
  return remap::remap_call(SignalEntry{src_ndim.get(), src_len}, kModule.module, call);
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
