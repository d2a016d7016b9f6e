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
#include "tessaro/cython/remap_entry.hpp"

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

  remap::Source source;
  if (!remap::take_source(src, 1, &source)) return nullptr;
  remap::Maps maps;
  if (!remap::take_maps(map_x, nullptr, &maps)) return nullptr;
  const Ref& mx = maps.x;

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
  Ref dst = remap::new_output(source, src, {N, C});
  if (!dst) return nullptr;

  const int array_mode = remap::is_array_mode(bc.get(), companions);
  if (array_mode < 0) return nullptr;
  bool array_given = false;
  Ref ba = remap::border_image(bc.get(), array_mode, 2, &array_given);
  if (!ba) return nullptr;
  Ref feather_d = frame::steal(
      PyObject_CallFunctionObjArgs(companions.compute_feather_d.get(), bc.get(), c.get(), nullptr));
  if (!feather_d) return nullptr;
  Ref border_const = remap::border_constant(bc.get());
  if (!border_const) return nullptr;

  int narrowing_errors = 0;
  {
    remap::Settings settings;
    if (!remap::check_axes(source.array.get(), 2) || !remap::check_axes(mx.get(), 1) ||
        !remap::read_settings(bc.get(), border_const.get(), ba.get(), feather_d.get(),
                              interpolation.get(), 1, &settings))
      return nullptr;
    // Arrays this call made or converted: viewed directly, as (N, C).
    const ViewRecord src_view = remap::array_record(source.array.get(), 2);
    const ViewRecord dst_view = remap::array_record(dst.get(), 2);
    const ViewRecord mx_view = remap::array_record(mx.get(), 1);
    if (src_view.shape[0] != N || src_view.shape[1] != C || mx_view.shape[0] != N)
      return frame::raise(PyExc_ValueError,
                          "src and map_x do not have the shapes their attributes reported");
    const kernels::BorderSettings& border = settings.border;
    if (border.border_mode == kernels::border::ARRAY) {
      if (!remap::check_array_mode(border.border_mode, array_mode) ||
          !check_border_array(settings.border_view.record(), array_given, N, C))
        return nullptr;
    }
    if (!remap::check_feather_widths(border.feather_d_len, C)) return nullptr;
    kernels::Remap1D a;
    static_cast<kernels::BorderSettings&>(a) = border;
    a.src = src_view.data;
    a.src_stride0 = src_view.strides[0];
    a.map_x = mx_view.data;
    a.map_f32 = maps.f32;
    a.dst = dst_view.data;
    a.dst_stride0 = dst_view.strides[0];
    a.interpolation = settings.interpolation;
    a.N = N;
    a.C = C;
    remap::with_element_types(source, [&](auto s, auto d) {
      narrowing_errors = remap::run_remap<decltype(s), decltype(d)>(a);
    });
  }

  Ref result = std::move(dst);
  if (src_is_1d && !source.direct) {
    npy_intp dims[1] = {N};
    PyArray_Dims shape{dims, 1};
    result = frame::steal(PyArray_Newshape(frame::as_array(result.get()), &shape, NPY_CORDER));
    if (!result) return nullptr;
  }
  return remap::finish(std::move(result), source, src, narrowing_errors);
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
