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
#include "kernels/remap.hpp"
#include "tessaro/cython/remap_call.hpp"

namespace {

namespace frame = tessaro::frame;
namespace kernels = tessaro::kernels;
namespace remap = tessaro::remap;
using frame::Ref;
using frame::ViewRecord;

// ---------------------------------------------------------------------------
// Parallel driver

void _tovik_impl(ViewRecord src, ViewRecord map_y, ViewRecord map_x, ViewRecord dst,
                 int border_mode, double border_const, ViewRecord border_array,
                 double feathering_width, double feathering_x_undershoot_multiplier,
                 double feathering_x_overshoot_multiplier,
                 double feathering_y_undershoot_multiplier,
                 double feathering_y_overshoot_multiplier, int feathering_mode, int distance_mode,
                 int preserve_non_feather_dims, ViewRecord feather_d, int interpolation,
                 Py_ssize_t H, Py_ssize_t W, Py_ssize_t C) {
  const kernels::BorderSettings b = remap::border_settings(
      border_mode, border_const, border_array, feathering_width,
      feathering_x_undershoot_multiplier, feathering_x_overshoot_multiplier,
      feathering_y_undershoot_multiplier, feathering_y_overshoot_multiplier, feathering_mode,
      distance_mode, preserve_non_feather_dims, feather_d, 2);
  remap::run_remap<double, double>(
      remap::remap_args(src, map_y, map_x, dst, b, interpolation, H, W, C));
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

// In ARRAY mode, bc.array's attributes against the source's: its first two
// extents the source's, and 2-D, or 3-D with the source's channels.
bool border_fits_source(PyObject* array, PyObject* src_ndim, PyObject* src_shape) {
  Ref array_shape = frame::getattr(array, "shape");
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
  Ref arr_ndim = c_src ? frame::getattr(array, "ndim") : Ref();
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
bool check_image_views(const ViewRecord& src, const ViewRecord& my, const ViewRecord& mx,
                       const ViewRecord& border_array, const ViewRecord& feather_d, int mode,
                       Py_ssize_t H, Py_ssize_t W, Py_ssize_t C) {
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

// remap_tensor's call: maps of the source's shape, and (H, W, C) as the
// source's attributes report them.
struct ImageEntry {
  static constexpr int spatial = 2;
  static constexpr bool zero_sign = true;
  static constexpr bool output_like_src = true;
  static constexpr bool mode_after_output = false;
  PyObject* src_ndim;
  PyObject* src_shape;

  bool before_source(remap::Call& c) const {
    return !c.array_mode || remap::check_border_image(c.bc.get(), [&](PyObject* array) {
             return border_fits_source(array, src_ndim, src_shape);
           });
  }

  bool take_shape(remap::Call& c) const {
    Ref h = shape_item(src_shape, 0);
    Ref w = h ? shape_item(src_shape, 1) : Ref();
    if (!w) return false;
    const int src_is_2d = remap::compare_long(src_ndim, 2, Py_EQ);
    if (src_is_2d < 0) return false;
    Ref ch = src_is_2d ? frame::steal(PyLong_FromLong(1)) : shape_item(src_shape, 2);
    Py_ssize_t* d = c.shape.dims;
    if (!ch || !frame::to_ssize(h.get(), &d[0]) || !frame::to_ssize(w.get(), &d[1]) ||
        !frame::to_ssize(ch.get(), &d[2]))
      return false;
    c.shape.channels = std::move(ch);
    c.shape.squeezed = src_is_2d;
    return true;
  }

  bool check_views(const remap::Call& c, const remap::Records& r,
                   const remap::Settings& s) const {
    const Py_ssize_t* d = c.shape.dims;
    return remap::check_array_mode(s.border.border_mode, c.array_mode) &&
           check_image_views(r.src, r.map_y, r.map_x, s.border_view.record(),
                             s.feather_view.record(), s.border.border_mode, d[0], d[1], d[2]);
  }
};

// The arguments' attributes, in this order: src.ndim, the maps' ndim and
// shapes, src.shape against the maps', and src's spatial extents.
bool check_arguments(PyObject* src, PyObject* map_x, PyObject* map_y, Ref* src_ndim,
                     Ref* src_shape) {
  *src_ndim = frame::getattr(src, "ndim");
  if (!*src_ndim) return false;
  int bad = remap::compare_long(src_ndim->get(), 2, Py_LT);
  if (bad < 0) return false;
  if (bad)
    return remap::error(PyExc_ValueError, "src must be at least 2-dimensional, got ndim=%S",
                 src_ndim->get());
  for (PyObject* map : {map_x, map_y}) {
    Ref ndim = frame::getattr(map, "ndim");
    if (!ndim || (bad = remap::compare_long(ndim.get(), 2, Py_NE)) < 0) return false;
    if (bad) return remap::error(PyExc_ValueError, "map_x and map_y must be 2-dimensional");
  }
  Ref mx_shape = frame::getattr(map_x, "shape");
  Ref my_shape = mx_shape ? frame::getattr(map_y, "shape") : Ref();
  if (!my_shape || (bad = remap::compare(mx_shape.get(), my_shape.get(), Py_NE)) < 0) return false;
  if (bad) return remap::error(PyExc_ValueError, "map_x and map_y must have the same shape");
  *src_shape = frame::getattr(src, "shape");
  if (!*src_shape) return false;
  for (Py_ssize_t axis : {0, 1}) {
    Ref s = shape_item(src_shape->get(), axis);
    Ref m = s ? shape_item(mx_shape.get(), axis) : Ref();
    if (!m || (bad = remap::compare(s.get(), m.get(), Py_NE)) < 0) return false;
    if (bad) {
      Ref src_hw = frame::steal(PySequence_GetSlice(src_shape->get(), 0, 2));
      if (!src_hw) return false;
      return remap::error(PyExc_ValueError, "src shape %S and map shape %S must match",
                 src_hw.get(), mx_shape.get());
    }
  }
  for (Py_ssize_t axis : {0, 1}) {
    Ref s = shape_item(src_shape->get(), axis);
    if (!s || (bad = remap::compare_long(s.get(), 0, Py_EQ)) < 0) return false;
    if (bad) return remap::error(PyExc_ValueError, "src must have non-zero spatial dimensions");
  }
  return true;
}

PyObject* remap_tensor(PyObject* const* args) {
  Ref interpolation = frame::coerce_int_arg(args[3], "interpolation");
  if (!interpolation) return nullptr;
  Ref num_threads = frame::coerce_int_arg(args[5], "num_threads");
  if (!num_threads) return nullptr;
  Ref src_ndim, src_shape;
  if (!check_arguments(args[0], args[1], args[2], &src_ndim, &src_shape)) return nullptr;
  remap::Call call;
  call.src = args[0];
  call.positions.map_x = args[1];
  call.positions.map_y = args[2];
  call.interpolation = interpolation.get();
  call.border_config = args[4];
  return remap::remap_call(ImageEntry{src_ndim.get(), src_shape.get()}, kModule.module, call);
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
