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
#include "tessaro/cython/remap_entry.hpp"

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
  kernels::BorderSettings b;
  b.border_array = border_array.data;
  b.border_array_stride0 = border_array.strides[0];
  b.border_array_stride1 = border_array.strides[1];
  b.border_array_rows = border_array.shape[0];
  b.border_array_cols = border_array.shape[1];
  b.border_array_channels = border_array.shape[2];
  b.feather_d = reinterpret_cast<const double*>(feather_d.data);
  b.feather_d_len = feather_d.shape[0];
  b.border_mode = border_mode;
  b.border_const = border_const;
  b.feathering_width = feathering_width;
  b.feathering_x_undershoot_multiplier = feathering_x_undershoot_multiplier;
  b.feathering_x_overshoot_multiplier = feathering_x_overshoot_multiplier;
  b.feathering_y_undershoot_multiplier = feathering_y_undershoot_multiplier;
  b.feathering_y_overshoot_multiplier = feathering_y_overshoot_multiplier;
  b.feathering_mode = feathering_mode;
  b.distance_mode = distance_mode;
  b.preserve_non_feather_dims = preserve_non_feather_dims;
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

  remap::Source source;
  if (!remap::take_source(src, 2, &source)) return nullptr;
  remap::Maps maps;
  if (!remap::take_maps(map_x, map_y, &maps)) return nullptr;
  const Ref& mx = maps.x;
  const Ref& my = maps.y;

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
  Ref dst = remap::new_output(source, src, {H, W, C});
  if (!dst) return nullptr;

  Ref border_array = remap::border_image(bc.get(), array_mode, 3);
  if (!border_array) return nullptr;
  Ref feather_d = frame::steal(
      PyObject_CallFunctionObjArgs(companions.compute_feather_d.get(), bc.get(), c.get(), nullptr));
  if (!feather_d) return nullptr;
  Ref border_const = remap::border_constant(bc.get());
  if (!border_const) return nullptr;

  int narrowing_errors = 0;
  {
    remap::Settings settings;
    if (!remap::check_axes(source.array.get(), 3) || !remap::check_axes(my.get(), 2) ||
        !remap::check_axes(mx.get(), 2) ||
        !remap::read_settings(bc.get(), border_const.get(), border_array.get(), feather_d.get(),
                              interpolation.get(), 2, &settings) ||
        !remap::check_array_mode(settings.border.border_mode, array_mode))
      return nullptr;
    // Arrays this call made or converted: viewed directly, as (H, W, C).
    const ViewRecord src_view = remap::array_record(source.array.get(), 3);
    const ViewRecord dst_view = remap::array_record(dst.get(), 3);
    const ViewRecord my_view = remap::array_record(my.get(), 2);
    const ViewRecord mx_view = remap::array_record(mx.get(), 2);
    if (!check_views(src_view, my_view, mx_view, settings.border_view.record(),
                     settings.feather_view.record(), settings.border.border_mode, H, W, C))
      return nullptr;
    const kernels::Remap2D args = remap::remap_args(src_view, my_view, mx_view, dst_view, settings.border,
                                                    settings.interpolation, H, W, C, maps.f32);
    remap::with_element_types(source, [&](auto s, auto d) {
      narrowing_errors = remap::run_remap<decltype(s), decltype(d)>(args);
    });
  }

  Ref result = std::move(dst);
  if (src_is_2d && !source.direct) {
    npy_intp dims[2] = {H, W};
    PyArray_Dims shape{dims, 2};
    result = frame::steal(PyArray_Newshape(frame::as_array(result.get()), &shape, NPY_CORDER));
    if (!result) return nullptr;
  }
  return remap::finish(std::move(result), source, src, narrowing_errors);
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
