// tessaro.cython._warp: sampling a source through coordinate maps of any
// shape, or through a transform of the output pixels' coordinates (no maps
// in memory), into a new array or the caller's buffer, from the whole
// source or from a window of a larger one.
//
// The same preparation and kernels as remap_tensor: with maps of the
// source's shape, warp gives remap_tensor's result bit for bit. A window
// call computes every position, fold, clamp and feather distance from the
// full source's geometry and only offsets its reads, so that tiles of a
// large warp are bit-identical to the whole call.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "frame/convert.hpp"
#include "frame/function.hpp"
#include "frame/gil.hpp"
#include "frame/module.hpp"
#include "frame/numpy.hpp"
#include "frame/parallel.hpp"
#include "frame/view.hpp"
#include "kernels/remap.hpp"
#include "kernels/tap_bounds.hpp"
#include "kernels/transform.hpp"
#include "tessaro/cython/remap_call.hpp"

namespace {

namespace frame = tessaro::frame;
namespace kernels = tessaro::kernels;
namespace remap = tessaro::remap;
using frame::Ref;
using frame::ViewRecord;

bool module_body(PyObject* module);

frame::Module kModule(
    "_warp", "tessaro.cython._warp",
    "Sampling through unit-space coordinate maps of any shape, in place or\n"
    "from a window of a larger source; the engine of tessaro.warp and\n"
    "tessaro.dask.warp.\n",
    "tessaro/cython/_warp.cpp", {}, module_body);

// Pixel coordinates are doubles: every one below 2^53 is exact.
constexpr Py_ssize_t kExactCoordinates = Py_ssize_t{1} << 53;

// Real numbers only: bool, integers and floats.
bool is_real(PyArrayObject* a) {
  const char kind = PyArray_DESCR(a)->kind;
  return kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f';
}

Ref as_ndarray(PyObject* obj) { return frame::steal(PyArray_FromAny(obj, nullptr, 0, 0, 0, nullptr)); }

// The lowest and one past the highest byte an array's elements occupy.
void byte_range(PyArrayObject* a, std::uintptr_t* lo, std::uintptr_t* hi) {
  std::intptr_t low = 0, high = 0;
  for (int d = 0; d < PyArray_NDIM(a); ++d) {
    const std::intptr_t span = (PyArray_DIM(a, d) - 1) * PyArray_STRIDE(a, d);
    (span < 0 ? low : high) += span;
  }
  const auto base = reinterpret_cast<std::uintptr_t>(PyArray_BYTES(a));
  *lo = base + low;
  *hi = base + high + PyArray_ITEMSIZE(a);
}

bool overlaps(PyArrayObject* a, PyArrayObject* b) {
  if (PyArray_SIZE(a) == 0 || PyArray_SIZE(b) == 0) return false;
  std::uintptr_t alo, ahi, blo, bhi;
  byte_range(a, &alo, &ahi);
  byte_range(b, &blo, &bhi);
  return alo < bhi && blo < ahi;
}

// `out` must be what the call would return: the output's shape and src's
// dtype, a C-contiguous, aligned, writeable ndarray that shares no memory
// with the inputs.
bool check_out(PyObject* out, PyObject* expected_shape, PyArrayObject* src,
               std::initializer_list<PyArrayObject*> inputs) {
  if (!PyArray_Check(out)) {
    PyErr_Format(PyExc_TypeError, "out must be a numpy.ndarray, got %.200s", Py_TYPE(out)->tp_name);
    return false;
  }
  auto* o = frame::as_array(out);
  Ref shape = frame::getattr(out, "shape");
  if (!shape) return false;
  const int differs = PyObject_RichCompareBool(shape.get(), expected_shape, Py_NE);
  if (differs < 0) return false;
  if (differs) {
    PyErr_Format(PyExc_ValueError, "out has shape %S; the output's shape is %S", shape.get(),
                 expected_shape);
    return false;
  }
  if (!PyArray_EquivTypes(PyArray_DESCR(o), PyArray_DESCR(src))) {
    PyErr_Format(PyExc_TypeError, "out has dtype %S; the output's dtype is src's, %S",
                 reinterpret_cast<PyObject*>(PyArray_DESCR(o)),
                 reinterpret_cast<PyObject*>(PyArray_DESCR(src)));
    return false;
  }
  if (!PyArray_IS_C_CONTIGUOUS(o) || !PyArray_ISALIGNED(o) || !PyArray_ISWRITEABLE(o)) {
    PyErr_SetString(PyExc_ValueError, "out must be C-contiguous, aligned and writeable");
    return false;
  }
  for (PyArrayObject* in : inputs) {
    if (in != nullptr && overlaps(o, in)) {
      PyErr_SetString(PyExc_ValueError, "out must not share memory with src, the maps or the border image");
      return false;
    }
  }
  return true;
}

// In ARRAY mode the border image is read at output positions: it must have
// the output's (h, w), and one channel or the output's C.
bool border_fits_output(PyObject* array, Py_ssize_t h, Py_ssize_t w, Py_ssize_t C,
                        bool src_is_2d) {
  Ref a = as_ndarray(array);
  if (!a) return false;
  auto* arr = frame::as_array(a.get());
  const int nd = PyArray_NDIM(arr);
  const bool fits = (nd == 2 || nd == 3) && PyArray_DIM(arr, 0) == h && PyArray_DIM(arr, 1) == w &&
                    (nd == 2 || PyArray_DIM(arr, 2) == 1 || PyArray_DIM(arr, 2) == C);
  if (fits) return true;
  Ref got = frame::getattr(a.get(), "shape");
  if (!got) return false;
  if (src_is_2d)
    return remap::error(PyExc_ValueError,
                        "border_array shape %S must match the output's shape (%zd, %zd)",
                        got.get(), h, w);
  return remap::error(PyExc_ValueError,
                      "border_array shape %S must match the output's shape (%zd, %zd, %zd) or "
                      "(%zd, %zd)",
                      got.get(), h, w, C, h, w);
}

// The half-open rows and columns (y0, y1, x0, x1) of a src_H x src_W source
// that the maps' positions read, or None when no position reads a sample.
// The Dask layer cuts its source windows with this, so that a window and the
// taps the kernels form follow from the same folds.
PyObject* tap_window(PyObject* map_x_arg, PyObject* map_y_arg, Py_ssize_t src_H, Py_ssize_t src_W,
                     PyObject* interpolation_arg, PyObject* border_config) {
  Ref interpolation = frame::coerce_int_arg(interpolation_arg, "interpolation");
  int code = 0, mode = kernels::border::CLAMP;
  if (!interpolation || !frame::to_c_int(interpolation.get(), &code)) return nullptr;
  if (border_config != Py_None && !remap::enum_value(border_config, "mode", &mode)) return nullptr;
  Ref map_x = as_ndarray(map_x_arg);
  Ref map_y = map_x ? as_ndarray(map_y_arg) : Ref();
  if (!map_y) return nullptr;
  auto* mx = frame::as_array(map_x.get());
  auto* my = frame::as_array(map_y.get());
  if (PyArray_NDIM(mx) != 2 || PyArray_NDIM(my) != 2)
    return frame::raise(PyExc_ValueError, "map_x and map_y must be 2-dimensional");
  if (PyArray_DIM(mx, 0) != PyArray_DIM(my, 0) || PyArray_DIM(mx, 1) != PyArray_DIM(my, 1))
    return frame::raise(PyExc_ValueError, "map_x and map_y must have the same shape");
  if (!is_real(mx) || !is_real(my))
    return frame::raise(PyExc_TypeError, "the maps must have integer or floating dtypes");
  if (src_H == 0 || src_W == 0)
    return frame::raise(PyExc_ValueError, "src must have non-zero spatial dimensions");
  remap::Maps maps;
  if (!remap::take_maps(map_x.get(), map_y.get(), &maps)) return nullptr;
  kernels::Remap2D a;
  const ViewRecord x = remap::array_record(maps.x.get(), 2), y = remap::array_record(maps.y.get(), 2);
  remap::set_maps(a, y, x, maps.f32);
  a.H = x.shape[0];
  a.W = x.shape[1];
  a.src_H = src_H;
  a.src_W = src_W;
  a.border_mode = mode;
  a.interpolation = code;
  const kernels::TapBounds b = remap::tap_bounds(a);
  if (b.empty()) Py_RETURN_NONE;
  using ll = long long;
  return Py_BuildValue("(LLLL)", static_cast<ll>(b.row_lo), static_cast<ll>(b.row_hi + 1),
                       static_cast<ll>(b.col_lo), static_cast<ll>(b.col_hi + 1));
}

// A pair of non-negative ints, for full_shape and origin.
bool read_pair(PyObject* obj, const char* what, Py_ssize_t* a, Py_ssize_t* b) {
  Ref seq = frame::steal(PySequence_Fast(obj, "a pair of ints"));
  if (!seq || PySequence_Fast_GET_SIZE(seq.get()) != 2) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s must be a pair of ints", what);
    return false;
  }
  Ref first = frame::steal(PyNumber_Index(PySequence_Fast_GET_ITEM(seq.get(), 0)));
  Ref second = first ? frame::steal(PyNumber_Index(PySequence_Fast_GET_ITEM(seq.get(), 1))) : Ref();
  if (!second || !frame::to_ssize(first.get(), a) || !frame::to_ssize(second.get(), b)) return false;
  if (*a < 0 || *b < 0) {
    PyErr_Format(PyExc_ValueError, "%s must not be negative", what);
    return false;
  }
  return true;
}

// A transform's matrix as nine row-major doubles: 3x3 for a perspective
// transform; 2x3, or 3x3 with the last row exactly [0, 0, 1], for an
// affine one (whose last row the positions never read). Every entry finite.
bool read_matrix(PyObject* matrix, bool perspective, double* t) {
  Ref m = as_ndarray(matrix);
  if (!m) return false;
  auto* a = frame::as_array(m.get());
  if (!is_real(a)) {
    PyErr_Format(PyExc_TypeError, "matrix has dtype %S; it must hold real numbers",
                 reinterpret_cast<PyObject*>(PyArray_DESCR(a)));
    return false;
  }
  const npy_intp rows = PyArray_NDIM(a) == 2 && PyArray_DIM(a, 1) == 3 ? PyArray_DIM(a, 0) : 0;
  if (!(rows == 3 || (rows == 2 && !perspective))) {
    Ref shape = frame::getattr(m.get(), "shape");
    if (shape)
      PyErr_Format(PyExc_ValueError, "%s matrix must be %s, got shape %S",
                   perspective ? "a perspective" : "an affine",
                   perspective ? "3x3" : "2x3 or 3x3", shape.get());
    return false;
  }
  Ref f = frame::ascontiguous_f64(m.get());
  if (!f) return false;
  const auto* d = static_cast<const double*>(PyArray_DATA(frame::as_array(f.get())));
  for (int k = 0; k < 9; ++k) t[k] = k < 3 * rows ? d[k] : (k == 8 ? 1.0 : 0.0);
  for (int k = 0; k < 9; ++k) {
    if (!std::isfinite(t[k])) {
      PyErr_SetString(PyExc_ValueError, "the matrix must hold finite numbers only");
      return false;
    }
  }
  if (!perspective && !(t[6] == 0.0 && t[7] == 0.0 && t[8] == 1.0)) {
    PyErr_SetString(PyExc_ValueError, "the last row of a 3x3 affine matrix must be [0, 0, 1]");
    return false;
  }
  return true;
}

// The leading (h, w) of a shape: a sequence of at least two non-negative
// ints (further entries are ignored).
bool read_shape(PyObject* obj, Py_ssize_t* h, Py_ssize_t* w) {
  Ref seq = frame::steal(PySequence_Fast(obj, "shape must be a sequence of ints"));
  if (!seq) return false;
  if (PySequence_Fast_GET_SIZE(seq.get()) < 2) {
    PyErr_SetString(PyExc_ValueError, "shape must hold at least two entries, (h, w)");
    return false;
  }
  Ref first = frame::steal(PyNumber_Index(PySequence_Fast_GET_ITEM(seq.get(), 0)));
  Ref second = first ? frame::steal(PyNumber_Index(PySequence_Fast_GET_ITEM(seq.get(), 1))) : Ref();
  if (!second || !frame::to_ssize(first.get(), h) || !frame::to_ssize(second.get(), w)) return false;
  if (*h < 0 || *w < 0) {
    PyErr_SetString(PyExc_ValueError, "shape must not be negative");
    return false;
  }
  return true;
}

// A warp call: positions of any shape or a transform's, an output of
// (h, w, C) whose ARRAY border image has its (h, w), and an optional `out`,
// checked (with the border image made) before the source is taken.
struct WarpEntry {
  static constexpr int spatial = 2;
  static constexpr bool zero_sign = false;
  static constexpr bool output_like_src = false;
  static constexpr bool mode_after_output = false;
  PyArrayObject* src;
  PyArrayObject* map_x;  // null for a transform, as is map_y
  PyArrayObject* map_y;
  Py_ssize_t h, w, C;
  bool src_is_2d;

  bool before_source(remap::Call& c) const {
    if (c.array_mode && !remap::check_border_image(c.bc.get(), [&](PyObject* array) {
          return border_fits_output(array, h, w, C, src_is_2d);
        }))
      return false;
    c.border_array = remap::border_image(c.bc.get(), c.array_mode, 3);
    if (!c.border_array) return false;
    Ref out_shape = src_is_2d ? frame::steal(Py_BuildValue("(nn)", h, w))
                              : frame::steal(Py_BuildValue("(nnn)", h, w, C));
    if (!out_shape) return false;
    PyArrayObject* border = c.array_mode ? frame::as_array(c.border_array.get()) : nullptr;
    return c.out == Py_None || check_out(c.out, out_shape.get(), src, {src, map_x, map_y, border});
  }

  bool take_shape(remap::Call& c) const {
    c.shape.dims[0] = h;
    c.shape.dims[1] = w;
    c.shape.dims[2] = C;
    c.shape.channels = frame::steal(PyLong_FromSsize_t(C));
    c.shape.squeezed = src_is_2d;
    return static_cast<bool>(c.shape.channels);
  }

  bool check_views(const remap::Call& c, const remap::Records&, const remap::Settings& s) const {
    return remap::check_array_mode(s.border.border_mode, c.array_mode) &&
           remap::check_feather_widths(s.border.feather_d_len, C);
  }
};

PyObject* sample(PyObject* src_arg, const remap::Positions& positions, PyObject* interpolation_arg,
                 PyObject* border_config, PyObject* out, const remap::Window* window) {
  Ref interpolation = frame::coerce_int_arg(interpolation_arg, "interpolation");
  if (!interpolation) return nullptr;
  Ref src = as_ndarray(src_arg);
  if (!src) return nullptr;
  Ref map_x, map_y;
  if (positions.from_maps()) {
    map_x = as_ndarray(positions.map_x);
    map_y = map_x ? as_ndarray(positions.map_y) : Ref();
    if (!map_y) return nullptr;
  }
  auto* s = frame::as_array(src.get());
  auto* mx = map_x ? frame::as_array(map_x.get()) : nullptr;
  auto* my = map_y ? frame::as_array(map_y.get()) : nullptr;
  const int nd = PyArray_NDIM(s);
  if (nd != 2 && nd != 3)
    return frame::raise(PyExc_ValueError, "src must be (H, W) or (H, W, C), got ndim=%d", nd);
  if (mx != nullptr) {
    if (PyArray_NDIM(mx) != 2 || PyArray_NDIM(my) != 2)
      return frame::raise(PyExc_ValueError, "map_x and map_y must be 2-dimensional");
    if (PyArray_DIM(mx, 0) != PyArray_DIM(my, 0) || PyArray_DIM(mx, 1) != PyArray_DIM(my, 1))
      return frame::raise(PyExc_ValueError, "map_x and map_y must have the same shape");
  }
  if (!is_real(s))
    return frame::raise(PyExc_TypeError, "src has dtype %S; only bool, integer and floating "
                        "dtypes can be sampled", reinterpret_cast<PyObject*>(PyArray_DESCR(s)));
  if (mx != nullptr && (!is_real(mx) || !is_real(my)))
    return frame::raise(PyExc_TypeError, "the maps must have integer or floating dtypes");
  const remap::Window whole{PyArray_DIM(s, 0), PyArray_DIM(s, 1), 0, 0};
  const remap::Window& win = window != nullptr ? *window : whole;
  if (win.full_H == 0 || win.full_W == 0)
    return frame::raise(PyExc_ValueError, "src must have non-zero spatial dimensions");
  if (window != nullptr &&
      (win.row0 + PyArray_DIM(s, 0) > win.full_H || win.col0 + PyArray_DIM(s, 1) > win.full_W ||
       PyArray_DIM(s, 0) == 0 || PyArray_DIM(s, 1) == 0))
    return frame::raise(PyExc_ValueError,
                        "source window of shape (%zd, %zd) at origin (%zd, %zd) does not fit "
                        "in a source of shape (%zd, %zd), or is empty",
                        PyArray_DIM(s, 0), PyArray_DIM(s, 1), win.row0, win.col0, win.full_H,
                        win.full_W);

  remap::Call call;
  call.src = src.get();
  call.positions = positions;
  call.positions.map_x = map_x.get();
  call.positions.map_y = map_y.get();
  call.interpolation = interpolation.get();
  call.border_config = border_config;
  call.out = out;
  call.window = window;
  const WarpEntry entry{s,
                        mx,
                        my,
                        mx != nullptr ? PyArray_DIM(mx, 0) : positions.h,
                        mx != nullptr ? PyArray_DIM(mx, 1) : positions.w,
                        nd == 3 ? PyArray_DIM(s, 2) : 1,
                        nd == 2};
  return remap::remap_call(entry, kModule.module, call);
}

PyObject* warp(PyObject* const* args) {
  remap::Positions maps;
  maps.map_x = args[1];
  maps.map_y = args[2];
  return sample(args[0], maps, args[3], args[4], args[5], nullptr);
}

PyObject* warp_window(PyObject* const* args) {
  remap::Window window;
  if (!read_pair(args[3], "full_shape", &window.full_H, &window.full_W) ||
      !read_pair(args[4], "origin", &window.row0, &window.col0))
    return nullptr;
  remap::Positions maps;
  maps.map_x = args[1];
  maps.map_y = args[2];
  return sample(args[0], maps, args[5], args[6], args[7], &window);
}

// The transform of an entry's arguments: its matrix and perspective flag.
bool read_transform(PyObject* matrix, PyObject* perspective, remap::Positions* p) {
  const int flag = frame::truth(perspective);
  if (flag < 0) return false;
  p->perspective = flag != 0;
  return read_matrix(matrix, p->perspective, p->matrix);
}

// A block [r0, r1) x [c0, c1) of an output: four ints, r0 <= r1 and
// c0 <= c1, all non-negative and below 2^53.
bool read_block(PyObject* obj, Py_ssize_t* block) {
  Ref seq = frame::steal(PySequence_Fast(obj, "a sequence of four ints"));
  if (!seq || PySequence_Fast_GET_SIZE(seq.get()) != 4) {
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError, "block must be four ints (r0, r1, c0, c1)");
    return false;
  }
  for (int k = 0; k < 4; ++k) {
    Ref v = frame::steal(PyNumber_Index(PySequence_Fast_GET_ITEM(seq.get(), k)));
    if (!v || !frame::to_ssize(v.get(), &block[k])) return false;
  }
  if (block[0] < 0 || block[2] < 0 || block[1] < block[0] || block[3] < block[2] ||
      block[1] > kExactCoordinates || block[3] > kExactCoordinates) {
    PyErr_SetString(PyExc_ValueError,
                    "block (r0, r1, c0, c1) must have 0 <= r0 <= r1 and 0 <= c0 <= c1, below 2**53");
    return false;
  }
  return true;
}

PyObject* warp_transform(PyObject* const* args) {
  remap::Positions transform;
  if (!read_transform(args[1], args[3], &transform)) return nullptr;
  if (args[2] == Py_None) {
    Ref src = as_ndarray(args[0]);
    if (!src) return nullptr;
    auto* s = frame::as_array(src.get());
    if (PyArray_NDIM(s) < 2)
      return frame::raise(PyExc_ValueError, "src must be (H, W) or (H, W, C), got ndim=%d",
                          PyArray_NDIM(s));
    transform.h = PyArray_DIM(s, 0);
    transform.w = PyArray_DIM(s, 1);
  } else if (!read_shape(args[2], &transform.h, &transform.w)) {
    return nullptr;
  }
  if (transform.h > kExactCoordinates || transform.w > kExactCoordinates)
    return frame::raise(PyExc_ValueError, "shape must be below 2**53");
  return sample(args[0], transform, args[4], args[5], args[6], nullptr);
}

PyObject* warp_transform_window(PyObject* const* args) {
  remap::Positions transform;
  Py_ssize_t block[4];
  remap::Window window;
  if (!read_transform(args[1], args[2], &transform) || !read_block(args[3], block) ||
      !read_pair(args[4], "full_shape", &window.full_H, &window.full_W) ||
      !read_pair(args[5], "origin", &window.row0, &window.col0))
    return nullptr;
  transform.row0 = block[0];
  transform.h = block[1] - block[0];
  transform.col0 = block[2];
  transform.w = block[3] - block[2];
  return sample(args[0], transform, args[6], args[7], Py_None, &window);
}

// (y0, y1, x0, x1): the half-open rows and columns of a src_shape source
// that a transform's positions over an output block read, or (0, 1, 0, 1)
// when no position reads a sample (an empty block, or all beyond the
// horizon): a one-sample window serves such a call.
PyObject* transform_window(PyObject* const* args) {
  remap::Positions transform;
  Py_ssize_t block[4];
  Py_ssize_t H, W;
  if (!read_transform(args[0], args[1], &transform) || !read_block(args[2], block) ||
      !read_pair(args[3], "src_shape", &H, &W))
    return nullptr;
  if (H == 0 || W == 0)
    return frame::raise(PyExc_ValueError, "src must have non-zero spatial dimensions");
  Ref interpolation = frame::coerce_int_arg(args[4], "interpolation");
  int code = 0;
  if (!interpolation || !frame::to_c_int(interpolation.get(), &code)) return nullptr;
  remap::Companions companions;
  if (!remap::import_companions(PyModule_GetDict(kModule.module), false, &companions))
    return nullptr;
  Ref bc = remap::effective_config(args[5], companions);
  int mode = 0;
  if (!bc || !remap::enum_value(bc.get(), "mode", &mode)) return nullptr;
  kernels::Remap2D a;
  a.transform = transform.matrix;
  a.perspective = transform.perspective;
  a.out_row0 = block[0];
  a.out_col0 = block[2];
  a.H = block[1] - block[0];
  a.W = block[3] - block[2];
  a.src_H = H;
  a.src_W = W;
  a.border_mode = mode;
  a.interpolation = code;
  const kernels::TapBounds b = remap::tap_bounds(a);
  if (b.empty()) return Py_BuildValue("(nnnn)", Py_ssize_t{0}, Py_ssize_t{1}, Py_ssize_t{0}, Py_ssize_t{1});
  return Py_BuildValue("(LLLL)", static_cast<long long>(b.row_lo), static_cast<long long>(b.row_hi + 1),
                       static_cast<long long>(b.col_lo), static_cast<long long>(b.col_hi + 1));
}

constexpr frame::Param kWarpParams[] = {
    {"src", "np.ndarray"},
    {"map_x", "np.ndarray"},
    {"map_y", "np.ndarray"},
    {"interpolation", "int", true, frame::default_int(1)},
    {"border_config", nullptr, true, frame::default_none},
    {"out", "np.ndarray | None", true, frame::default_none},
};
const frame::FunctionSpec kWarp{
    "warp",
    "tessaro.cython._warp",
    "tessaro/cython/_warp.cpp",
    __LINE__,
    "Sample src through unit-space coordinate maps of any shape.\n"
    "\n"
    "    Args:\n"
    "        src: Source, shape (H, W) or (H, W, C); bool, integer or floating.\n"
    "        map_x: Column coordinates, shape (h, w); 0 and 1 are src's first and\n"
    "            last column.\n"
    "        map_y: Row coordinates, shape (h, w).\n"
    "        interpolation: 0=nearest, 1=bilinear, 2=cubic, 3=lanczos3, 4=lanczos4.\n"
    "        border_config: BorderConfig (None: clamp). An ARRAY border image has\n"
    "            the output's shape.\n"
    "        out: Optional C-contiguous array of the output's shape and src's\n"
    "            dtype, written in place and returned.\n"
    "\n"
    "    Returns:\n"
    "        Array of shape (h, w) or (h, w, C) in src's dtype. With maps of\n"
    "        src's shape, the result of remap_tensor bit for bit.\n"
    "    ",
    kWarpParams,
    {},
    "np.ndarray",
    warp};

constexpr frame::Param kWindowParams[] = {
    {"src_window", "np.ndarray"},
    {"map_x", "np.ndarray"},
    {"map_y", "np.ndarray"},
    {"full_shape", "tuple[int, int]"},
    {"origin", "tuple[int, int]"},
    {"interpolation", "int", true, frame::default_int(1)},
    {"border_config", nullptr, true, frame::default_none},
    {"out", "np.ndarray | None", true, frame::default_none},
};
const frame::FunctionSpec kWarpWindow{
    "_warp_window",
    "tessaro.cython._warp",
    "tessaro/cython/_warp.cpp",
    __LINE__,
    "warp() from a window of a larger source.\n"
    "\n"
    "    src_window is src[y0:y1, x0:x1] of a source whose (H, W) is full_shape,\n"
    "    with origin (y0, x0). Positions, folds and feathering come from the\n"
    "    full source; the result equals warp(src, ...) bit for bit. Raises\n"
    "    ValueError when the window does not hold every sample the positions\n"
    "    read; nothing outside the window is ever read.\n"
    "    ",
    kWindowParams,
    {},
    "np.ndarray",
    warp_window};

PyObject* source_window(PyObject* const* args) {
  Py_ssize_t src_H, src_W;
  if (!read_pair(args[2], "src_shape", &src_H, &src_W)) return nullptr;
  return tap_window(args[0], args[1], src_H, src_W, args[3], args[4]);
}

constexpr frame::Param kSourceWindowParams[] = {
    {"map_x", "np.ndarray"},
    {"map_y", "np.ndarray"},
    {"src_shape", "tuple[int, int]"},
    {"interpolation", "int", true, frame::default_int(1)},
    {"border_config", nullptr, true, frame::default_none},
};

constexpr frame::Param kTransformParams[] = {
    {"src", "np.ndarray"},
    {"matrix", "np.ndarray"},
    {"shape", "tuple[int, ...] | None"},
    {"perspective", "bool"},
    {"interpolation", "int", true, frame::default_int(1)},
    {"border_config", nullptr, true, frame::default_none},
    {"out", "np.ndarray | None", true, frame::default_none},
};
const frame::FunctionSpec kWarpTransform{
    "_warp_transform",
    "tessaro.cython._warp",
    "tessaro/cython/_warp.cpp",
    __LINE__,
    "warp() with the positions of a transform instead of maps.\n"
    "\n"
    "    Output pixel (x, y) = (column, row) samples src at the unit coordinates\n"
    "    that tessaro.maps.affine / tessaro.maps.perspective give it, computed\n"
    "    in the kernel: matrix is 2x3 or 3x3 (last row [0, 0, 1]) when\n"
    "    perspective is false, else 3x3; a perspective position whose\n"
    "    denominator is not positive is NaN. shape's first two entries (None:\n"
    "    src's) are the output's (h, w). Otherwise as warp().\n"
    "    ",
    kTransformParams,
    {},
    "np.ndarray",
    warp_transform};

constexpr frame::Param kTransformWindowParams[] = {
    {"src_window", "np.ndarray"},
    {"matrix", "np.ndarray"},
    {"perspective", "bool"},
    {"block", "tuple[int, int, int, int]"},
    {"full_shape", "tuple[int, int]"},
    {"origin", "tuple[int, int]"},
    {"interpolation", "int", true, frame::default_int(1)},
    {"border_config", nullptr, true, frame::default_none},
};
const frame::FunctionSpec kWarpTransformWindow{
    "_warp_transform_window",
    "tessaro.cython._warp",
    "tessaro/cython/_warp.cpp",
    __LINE__,
    "_warp_transform() of the output block block = (r0, r1, c0, c1), from a\n"
    "    window of a larger source, as _warp_window() (an ARRAY border image\n"
    "    has the block's shape). Equals the block of the whole call bit for bit.\n"
    "    ",
    kTransformWindowParams,
    {},
    "np.ndarray",
    warp_transform_window};

constexpr frame::Param kTransformWindowBlockParams[] = {
    {"matrix", "np.ndarray"},
    {"perspective", "bool"},
    {"block", "tuple[int, int, int, int]"},
    {"src_shape", "tuple[int, int]"},
    {"interpolation", "int", true, frame::default_int(1)},
    {"border_config", nullptr, true, frame::default_none},
};
const frame::FunctionSpec kSourceWindow{
    "_source_window",
    "tessaro.cython._warp",
    "tessaro/cython/_warp.cpp",
    __LINE__,
    "The part of a source of shape src_shape (H, W) that warp() reads.\n"
    "\n"
    "    Returns (y0, y1, x0, x1): every sample the positions of the maps read\n"
    "    lies in rows [y0, y1) and columns [x0, x1). None when no position reads\n"
    "    a sample (every coordinate NaN, or folded to NaN). Only the border\n"
    "    configuration's mode matters.\n"
    "    ",
    kSourceWindowParams,
    {},
    "tuple[int, int, int, int] | None",
    source_window};
const frame::FunctionSpec kTransformWindow{
    "_transform_window",
    "tessaro.cython._warp",
    "tessaro/cython/_warp.cpp",
    __LINE__,
    "(y0, y1, x0, x1): the half-open rows and columns of a source of spatial\n"
    "    shape src_shape that a transform's positions over the output block\n"
    "    (r0, r1, c0, c1) read, tap by tap, as the sampling would; (0, 1, 0, 1)\n"
    "    when none reads a sample.\n"
    "    ",
    kTransformWindowBlockParams,
    {},
    "tuple[int, int, int, int]",
    transform_window};

bool module_body(PyObject* module) {
  return frame::import_as(module, "numpy", "np") && frame::import_numpy_api() &&
         frame::define_function(module, kWarp) && frame::define_function(module, kWarpWindow) &&
         frame::define_function(module, kSourceWindow) &&
         frame::define_function(module, kWarpTransform) &&
         frame::define_function(module, kWarpTransformWindow) &&
         frame::define_function(module, kTransformWindow);
}

}  // namespace

PyMODINIT_FUNC PyInit__warp(void) { return PyModuleDef_Init(&kModule.def); }
