// One call of a remap entry, once the entry's own argument checks have
// passed: prepare (companions, config, source, maps, output, settings), run
// the kernels with the interpreter lock released, finish (the result in the
// source's dtype, or the caller's `out`). Every entry takes this one path;
// what differs between them, each declares in an entry type (see
// remap_call() below). The drivers that run the kernels live here too.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "kernels/remap.hpp"
#include "kernels/tap_bounds.hpp"
#include "kernels/transform.hpp"
#include "tessaro/cython/remap_entry.hpp"

namespace tessaro::remap {

// The part of a full source that a call's `src` holds: rows [row0, row0 +
// src rows) and columns [col0, col0 + src columns) of a full_H x full_W
// source.
struct Window {
  Py_ssize_t full_H = 0;
  Py_ssize_t full_W = 0;
  Py_ssize_t row0 = 0;
  Py_ssize_t col0 = 0;
};

// Where a call's positions come from: coordinate maps (map_y null for a
// signal's single map), or (map_x null) a transform of the output pixels'
// coordinates over an h x w output whose first pixel is (row0, col0) of a
// larger one.
struct Positions {
  PyObject* map_x = nullptr;
  PyObject* map_y = nullptr;
  double matrix[9] = {};
  bool perspective = false;
  Py_ssize_t h = 0;
  Py_ssize_t w = 0;
  Py_ssize_t row0 = 0;
  Py_ssize_t col0 = 0;

  bool from_maps() const { return map_x != nullptr; }
};

// ---------------------------------------------------------------------------
// Drivers

inline void set_maps(kernels::Remap2D& a, const ViewRecord& map_y, const ViewRecord& map_x,
                     bool f32) {
  a.maps_f32 = f32;
  a.map_y = map_y.data;
  a.map_y_stride0 = map_y.strides[0];
  a.map_y_stride1 = map_y.strides[1];
  a.map_x = map_x.data;
  a.map_x_stride0 = map_x.strides[0];
  a.map_x_stride1 = map_x.strides[1];
}

// The kernel arguments of one call over a whole source: the arrays from
// their views, the border settings as given.
inline kernels::Remap2D remap_args(const ViewRecord& src, const ViewRecord& map_y,
                                   const ViewRecord& map_x, const ViewRecord& dst,
                                   const kernels::BorderSettings& border, int interpolation,
                                   Py_ssize_t H, Py_ssize_t W, Py_ssize_t C,
                                   bool maps_f32 = false) {
  kernels::Remap2D a;
  static_cast<kernels::BorderSettings&>(a) = border;
  a.src = src.data;
  a.src_stride0 = src.strides[0];
  a.src_stride1 = src.strides[1];
  set_maps(a, map_y, map_x, maps_f32);
  a.dst = dst.data;
  a.dst_stride0 = dst.strides[0];
  a.dst_stride1 = dst.strides[1];
  a.interpolation = interpolation;
  a.H = H;
  a.W = W;
  a.C = C;
  a.set_whole_source();
  return a;
}

// Runs a remap with the interpreter lock released: one static block of
// output rows (2-D) or samples (1-D) per thread, or the calling thread alone
// for small work (output elements times taps). S and D are the element
// types of source and output; returns the floating-point exceptions of
// rounding results to float32 (0 for other outputs).
template <class S, class D>
inline int run_remap(const kernels::Remap2D& a) {
  frame::ReleasedLock unlocked;
  const double taps = static_cast<double>(kernels::taps_per_axis(a.interpolation));
  const double work = static_cast<double>(a.H) * static_cast<double>(a.W) *
                      static_cast<double>(a.C > 0 ? a.C : 1) * taps * taps;
  return frame::reduce_static_blocks(
      a.H, work >= static_cast<double>(frame::kMinParallelWork), 0,
      [&](std::int64_t begin, std::int64_t end) { return kernels::remap2d_rows<S, D>(a, begin, end); },
      std::bit_or<>());
}

template <class S, class D>
inline int run_remap(const kernels::Remap1D& a) {
  frame::ReleasedLock unlocked;
  const std::int64_t work = a.N * (a.C > 0 ? a.C : 1) * kernels::taps_per_axis(a.interpolation);
  return frame::reduce_static_blocks(
      a.N, work >= frame::kMinParallelWork, 0,
      [&](std::int64_t begin, std::int64_t end) { return kernels::remap1d_range<S, D>(a, begin, end); },
      std::bit_or<>());
}

// run_remap in the element types of `s`.
template <class Args>
inline int run_typed(const Source& s, const Args& a) {
  int errors = 0;
  with_element_types(s, [&](auto s_tag, auto d_tag) {
    errors = run_remap<decltype(s_tag), decltype(d_tag)>(a);
  });
  return errors;
}

// The rows and columns of the full source that the positions of a.H x a.W
// output pixels read, from the maps or the transform, found over the
// default team with the interpreter lock released.
inline kernels::TapBounds tap_bounds(const kernels::Remap2D& a) {
  frame::ReleasedLock unlocked;
  // An affine transform's rows take two positions each.
  const bool few = a.transform != nullptr && !a.perspective;
  const kernels::Transform tf(a.transform, a.perspective, a.src_H, a.src_W);
  return frame::reduce_static_blocks(
      a.H, (few ? 2 * a.H : a.H * a.W) >= frame::kMinParallelWork, kernels::TapBounds{},
      [&](std::int64_t begin, std::int64_t end) {
        return a.transform != nullptr
                   ? kernels::tap_bounds_2d(tf, a.out_row0 + begin, a.out_row0 + end, a.out_col0,
                                            a.out_col0 + a.W, a.src_H, a.src_W, a.border_mode,
                                            a.interpolation)
                   : kernels::tap_bounds_2d(a.map_x, a.map_x_stride0, a.map_x_stride1, a.map_y,
                                            a.map_y_stride0, a.map_y_stride1, a.W, begin, end,
                                            a.src_H, a.src_W, a.border_mode, a.interpolation,
                                            a.maps_f32);
      },
      [](kernels::TapBounds all, const kernels::TapBounds& part) {
        all.merge(part);
        return all;
      });
}

inline bool check_window_covers(const kernels::Remap2D& a) {
  const kernels::TapBounds b = tap_bounds(a);
  if (b.empty()) return true;
  const std::int64_t r1 = a.win_row0 + a.win_rows, c1 = a.win_col0 + a.win_cols;
  if (b.row_lo >= a.win_row0 && b.row_hi < r1 && b.col_lo >= a.win_col0 && b.col_hi < c1)
    return true;
  PyErr_Format(PyExc_ValueError,
               "source window rows [%lld, %lld) and columns [%lld, %lld) do not cover the taps of "
               "these positions, which read rows [%lld, %lld] and columns [%lld, %lld]",
               static_cast<long long>(a.win_row0), static_cast<long long>(r1),
               static_cast<long long>(a.win_col0), static_cast<long long>(c1),
               static_cast<long long>(b.row_lo), static_cast<long long>(b.row_hi),
               static_cast<long long>(b.col_lo), static_cast<long long>(b.col_hi));
  return false;
}

// Reverses the bytes of n elements of `size` bytes at p: results written in
// native order, put in the byte order of a byte-swapped `out`.
template <class U>
inline void swap_all(char* p, npy_intp n) {
  for (npy_intp i = 0; i < n; ++i) {
    U v;
    std::memcpy(&v, p + i * npy_intp{sizeof v}, sizeof v);
    if constexpr (sizeof v == 2) v = __builtin_bswap16(v);
    if constexpr (sizeof v == 4) v = __builtin_bswap32(v);
    if constexpr (sizeof v == 8) v = __builtin_bswap64(v);
    std::memcpy(p + i * npy_intp{sizeof v}, &v, sizeof v);
  }
}

inline void swap_bytes(char* p, npy_intp n, npy_intp size) {
  switch (size) {
    case 2: swap_all<std::uint16_t>(p, n); break;
    case 4: swap_all<std::uint32_t>(p, n); break;
    case 8: swap_all<std::uint64_t>(p, n); break;
    default: break;  // one byte has no order
  }
}

// With `out`, the float64 results of the conversion path go through a
// scratch of at most this many bytes (but at least one row), one block of
// rows at a time, rather than through an output-sized array.
inline constexpr npy_intp kScratchBytes = npy_intp{2} << 20;

inline npy_intp scratch_rows(npy_intp h, npy_intp row_elements) {
  const npy_intp row_bytes = row_elements * npy_intp{sizeof(double)};
  return std::min(h, std::max<npy_intp>(1, row_bytes > 0 ? kScratchBytes / row_bytes : h));
}

// n float64 results into n elements of out's dtype at `dst`, in out's byte
// order, as finish() casts them: integer dtypes by the saturating rule,
// every other dtype by NumPy's cast.
inline bool cast_block(const double* in, npy_intp n, char* dst, PyArrayObject* out) {
  PyArray_Descr* descr = PyArray_DESCR(out);
  if (PyDataType_ISINTEGER(descr) && PyDataType_ELSIZE(descr) <= 8) {
    frame::ReleasedLock unlocked;
    saturate_into(in, dst, n, descr);
    if (PyArray_ISBYTESWAPPED(out)) swap_bytes(dst, n, PyDataType_ELSIZE(descr));
    return true;
  }
  Ref from = frame::steal(PyArray_SimpleNewFromData(1, &n, NPY_FLOAT64, const_cast<double*>(in)));
  if (!from) return false;
  Py_INCREF(descr);  // stolen by the call
  Ref to = frame::steal(PyArray_NewFromDescr(&PyArray_Type, descr, 1, &n, nullptr, dst,
                                             NPY_ARRAY_CARRAY, nullptr));
  return to && PyArray_CopyInto(frame::as_array(to.get()), frame::as_array(from.get())) == 0;
}

// run_in_blocks' loop.
inline bool run_blocks(kernels::Remap2D a, PyArrayObject* scratch, PyArrayObject* out) {
  const kernels::Remap2D whole = a;
  const npy_intp rows = PyArray_DIM(scratch, 0);
  const npy_intp row_elements = whole.W * whole.C;
  for (npy_intp r0 = 0; r0 < whole.H; r0 += rows) {
    a.H = std::min(rows, whole.H - r0);
    if (whole.transform != nullptr) {
      a.out_row0 = whole.out_row0 + r0;
    } else {
      a.map_x = whole.map_x + r0 * whole.map_x_stride0;
      a.map_y = whole.map_y + r0 * whole.map_y_stride0;
    }
    // An ARRAY border image is read at output positions: it moves along.
    if (whole.border_array_rows > r0) {
      a.border_array = whole.border_array + r0 * whole.border_array_stride0;
      a.border_array_rows = whole.border_array_rows - r0;
    } else {
      a.border_array_rows = 0;
    }
    run_remap<double, double>(a);
    char* dst = PyArray_BYTES(out) + r0 * row_elements * PyArray_ITEMSIZE(out);
    if (!cast_block(reinterpret_cast<const double*>(a.dst), a.H * row_elements, dst, out))
      return false;
  }
  return true;
}

// Runs body() (which casts through NumPy) under np.errstate(all="call") with
// a callback that notes the floating-point errors of its casts, and adds them
// to *fpe: NumPy's report of them (a warning, an error, a callback, as the
// caller's np.errstate says) is then owed once, not once per cast.
template <class Body>
inline bool noting_cast_errors(Body&& body, int* fpe) {
  Ref np = frame::steal(PyImport_ImportModule("numpy"));
  Ref seen = np ? frame::steal(PyDict_New()) : Ref();
  Ref note = seen ? frame::getattr(seen.get(), "__setitem__") : Ref();
  Ref errstate = note ? frame::getattr(np.get(), "errstate") : Ref();
  Ref no_args = errstate ? frame::steal(PyTuple_New(0)) : Ref();
  Ref kwargs =
      no_args ? frame::steal(Py_BuildValue("{s:s,s:O}", "all", "call", "call", note.get())) : Ref();
  Ref state =
      kwargs ? frame::steal(PyObject_Call(errstate.get(), no_args.get(), kwargs.get())) : Ref();
  Ref entered =
      state ? frame::steal(PyObject_CallMethod(state.get(), "__enter__", nullptr)) : Ref();
  if (!entered) return false;
  const bool done = body();
  PyObject* raised = PyErr_GetRaisedException();
  Ref left = frame::steal(
      PyObject_CallMethod(state.get(), "__exit__", "OOO", Py_None, Py_None, Py_None));
  if (raised != nullptr) {
    PyErr_SetRaisedException(raised);  // the body's failure, not one of leaving
    return false;
  }
  if (!left || !done) return false;
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(seen.get(), &pos, &key, &value)) {
    const long bits = PyLong_AsLong(value);  // the cast's error bits, as fpe:: counts them
    if (bits == -1 && PyErr_Occurred()) return false;
    *fpe |= static_cast<int>(bits);
  }
  return true;
}

// The float64 results of `a` into `out`: the kernel runs over blocks of as
// many rows as `scratch` (a.dst) holds, each block cast into its rows of
// `out` before the next one runs. The casts' floating-point errors are
// reported once, at the end, as a cast of the whole output would report them.
inline bool run_in_blocks(const kernels::Remap2D& a, PyArrayObject* scratch, PyArrayObject* out) {
  PyArray_Descr* descr = PyArray_DESCR(out);
  const bool saturating = PyDataType_ISINTEGER(descr) && PyDataType_ELSIZE(descr) <= 8;
  int fpe = 0;
  const auto blocks = [&] { return run_blocks(a, scratch, out); };
  if (saturating) return blocks();  // the saturating rule reports nothing
  return noting_cast_errors(blocks, &fpe) && (fpe == 0 || frame::report_narrowing_errors(fpe));
}

// ---------------------------------------------------------------------------
// The call

// The float64 output's extents: (H, W, C) for images, (N, C) for signals.
struct Shape {
  Py_ssize_t dims[3] = {};
  Ref channels;           // C, as compute_feather_d receives it
  bool squeezed = false;  // src has no channel axis, and so has the result none
};

// One call's state: first what the entry hands over, then what the
// preparation makes.
struct Call {
  PyObject* src = nullptr;
  Positions positions;
  PyObject* interpolation = nullptr;  // an int
  PyObject* border_config = nullptr;
  PyObject* out = Py_None;
  const Window* window = nullptr;

  Companions companions;
  Ref bc;
  int array_mode = 0;
  Ref border_array;
  bool border_given = false;  // the border image came from bc.array
  Source source;
  Maps maps;
  Shape shape;

  // Whether the kernels write into `out` itself: when the results already
  // have its type (a direct source, or float64). Every other dtype of `out`
  // goes through a float64 scratch that run_in_blocks casts from.
  bool into_out() const {
    return out != Py_None &&
           (source.direct || PyArray_TYPE(frame::as_array(out)) == NPY_FLOAT64);
  }
};

// The arrays the kernels read and write, viewed directly: arrays this call
// made or converted. A transform has no maps; a signal no map_y.
struct Records {
  ViewRecord src{};
  ViewRecord map_x{};
  ViewRecord map_y{};
  ViewRecord dst{};
};

inline bool read_array_mode(Call& c) {
  c.array_mode = is_array_mode(c.bc.get(), c.companions);
  return c.array_mode >= 0;
}

// Where the kernels write: `out` or its scratch, or a new array. A new
// direct output has the source's type, and `like_src`'s shape when given
// (maps of the source's shape); the float64 output of the conversion path
// is cast by finish().
inline Ref make_output(const Call& c, int spatial, PyObject* like_src) {
  const Py_ssize_t* d = c.shape.dims;
  if (c.into_out()) return frame::borrow(c.out);
  if (c.out != Py_None) return frame::empty_f64({scratch_rows(d[0], d[1] * d[2]), d[1], d[2]});
  if (!c.source.direct)
    return spatial == 2 ? frame::empty_f64({d[0], d[1], d[2]}) : frame::empty_f64({d[0], d[1]});
  auto* descr = PyArray_DescrFromType(c.source.type);
  if (like_src != nullptr) {
    auto* a = frame::as_array(like_src);
    return frame::steal(PyArray_Empty(PyArray_NDIM(a), PyArray_DIMS(a), descr, 0));
  }
  npy_intp dims[3] = {d[0], d[1], d[2]};
  return frame::steal(PyArray_Empty(c.shape.squeezed ? spatial : spatial + 1, dims, descr, 0));
}

// The kernels read each array with a fixed number of axes.
inline bool check_taken_axes(const Call& c, int spatial) {
  return check_axes(c.source.array.get(), spatial + 1) &&
         (!c.maps.y || check_axes(c.maps.y.get(), 2)) &&
         (!c.maps.x || check_axes(c.maps.x.get(), spatial));
}

inline Records records(const Call& c, PyObject* dst, int spatial) {
  Records r;
  r.src = array_record(c.source.array.get(), spatial + 1);
  r.dst = array_record(dst, spatial + 1);
  if (c.maps.x) r.map_x = array_record(c.maps.x.get(), spatial);
  if (c.maps.y) r.map_y = array_record(c.maps.y.get(), 2);
  return r;
}

// The kernel arguments of an image call. The source's geometry is the full
// source's (a window's reads are offset), and a transform replaces the maps.
inline kernels::Remap2D image_args(const Call& c, const Records& r, const Settings& s) {
  const Py_ssize_t* d = c.shape.dims;
  kernels::Remap2D a = remap_args(r.src, r.map_y, r.map_x, r.dst, s.border, s.interpolation, d[0],
                                  d[1], d[2], c.maps.f32);
  const Positions& p = c.positions;
  if (!p.from_maps()) {
    a.transform = p.matrix;
    a.perspective = p.perspective;
    a.out_row0 = p.row0;
    a.out_col0 = p.col0;
  }
  const Window whole{r.src.shape[0], r.src.shape[1], 0, 0};
  const Window& win = c.window != nullptr ? *c.window : whole;
  a.src_H = win.full_H;
  a.src_W = win.full_W;
  a.win_row0 = win.row0;
  a.win_col0 = win.col0;
  a.win_rows = r.src.shape[0];
  a.win_cols = r.src.shape[1];
  return a;
}

inline kernels::Remap1D signal_args(const Call& c, const Records& r, const Settings& s) {
  kernels::Remap1D a;
  static_cast<kernels::BorderSettings&>(a) = s.border;
  a.src = r.src.data;
  a.src_stride0 = r.src.strides[0];
  a.map_x = r.map_x.data;
  a.map_f32 = c.maps.f32;
  a.dst = r.dst.data;
  a.dst_stride0 = r.dst.strides[0];
  a.interpolation = s.interpolation;
  a.N = c.shape.dims[0];
  a.C = c.shape.dims[1];
  return a;
}

// The result: `out` (in its byte order), or the output without the channel
// axis that src lacked, in src's dtype.
inline PyObject* finish_call(const Call& c, Ref dst, int spatial, int narrowing_errors) {
  if (c.out != Py_None) {
    auto* o = frame::as_array(c.out);
    if (PyArray_ISBYTESWAPPED(o)) {
      frame::ReleasedLock unlocked;
      swap_bytes(PyArray_BYTES(o), PyArray_SIZE(o), PyArray_ITEMSIZE(o));
    }
    if (narrowing_errors != 0 && !frame::report_narrowing_errors(narrowing_errors)) return nullptr;
    return Py_NewRef(c.out);
  }
  Ref result = std::move(dst);
  if (c.shape.squeezed && !c.source.direct) {
    npy_intp dims[2] = {c.shape.dims[0], c.shape.dims[1]};
    PyArray_Dims shape{dims, spatial};
    result = frame::steal(PyArray_Newshape(frame::as_array(result.get()), &shape, NPY_CORDER));
    if (!result) return nullptr;
  }
  return finish(std::move(result), c.source, c.src, narrowing_errors);
}

// Settings, the entry's view checks, the kernels and the result.
template <class E>
PyObject* run_call(const E& entry, Call& c, Ref dst, PyObject* feather_d, PyObject* border_const) {
  constexpr int spatial = E::spatial;
  int narrowing_errors = 0;
  {
    Settings settings;
    if (!check_taken_axes(c, spatial) ||
        !read_settings(c.bc.get(), border_const, c.border_array.get(), feather_d,
                       c.interpolation, spatial, &settings))
      return nullptr;
    const Records r = records(c, dst.get(), spatial);
    if (!entry.check_views(c, r, settings)) return nullptr;
    if constexpr (spatial == 1) {
      narrowing_errors = run_typed(c.source, signal_args(c, r, settings));
    } else {
      const kernels::Remap2D a = image_args(c, r, settings);
      if (c.window != nullptr && !check_window_covers(a)) return nullptr;
      if (c.out != Py_None && !c.into_out()) {
        if (!run_in_blocks(a, frame::as_array(dst.get()), frame::as_array(c.out))) return nullptr;
        return Py_NewRef(c.out);
      }
      narrowing_errors = run_typed(c.source, a);
    }
    if (!report_noted_maps(c.maps, &narrowing_errors)) return nullptr;
  }
  return finish_call(c, std::move(dst), spatial, narrowing_errors);
}

// The steps of remap_call() below, in its error order.
template <class E>
PyObject* prepare_and_run(const E& entry, PyObject* module, Call& c) {
  if (!import_companions(PyModule_GetDict(module), E::zero_sign, &c.companions)) return nullptr;
  c.bc = effective_config(c.border_config, c.companions);
  if (!c.bc) return nullptr;
  if (!E::mode_after_output && !read_array_mode(c)) return nullptr;
  if (!entry.before_source(c) || !take_source(c.src, E::spatial, &c.source)) return nullptr;
  // Without `out`, a report that raises leaves nothing written that the
  // caller sees, so the kernels may find the maps' signalling NaNs.
  if (c.positions.from_maps() &&
      !take_maps(c.positions.map_x, c.positions.map_y, &c.maps, c.out == Py_None))
    return nullptr;
  if (!entry.take_shape(c)) return nullptr;
  Ref dst = make_output(c, E::spatial, E::output_like_src ? c.src : nullptr);
  if (!dst) return nullptr;
  if (E::mode_after_output && !read_array_mode(c)) return nullptr;
  if (!c.border_array)
    c.border_array = border_image(c.bc.get(), c.array_mode, E::spatial + 1, &c.border_given);
  if (!c.border_array) return nullptr;
  Ref feather_d = frame::steal(PyObject_CallFunctionObjArgs(
      c.companions.compute_feather_d.get(), c.bc.get(), c.shape.channels.get(), nullptr));
  if (!feather_d) return nullptr;
  Ref border_const = border_constant(c.bc.get());
  if (!border_const) return nullptr;
  return run_call(entry, c, std::move(dst), feather_d.get(), border_const.get());
}

// The one path of every remap entry. An entry type E declares what differs:
//
//   spatial            2: images (H, W, C); 1: signals (N, C)
//   zero_sign          whether the _zero_sign companion is imported too
//   mode_after_output  whether bc.mode is compared with BorderMode.ARRAY only
//                      after the output is made, rather than before the
//                      source is taken
//   output_like_src    whether a direct output takes src's own shape (maps
//                      of the source's shape), rather than c.shape's extents
//   before_source(c)   its checks of bc.array (and `out`) before anything is
//                      converted; may make c.border_array
//   take_shape(c)      c.shape, once the source and the maps are taken
//   check_views(c, records, settings)
//                      its checks of the converted arrays and the settings
//
// The steps' order is each entry's error order: which fault is reported
// when several apply, and which companions are imported before it.
//
// A call that fails first makes the report owed for unscanned maps.
template <class E>
PyObject* remap_call(const E& entry, PyObject* module, Call& c) {
  PyObject* result = prepare_and_run(entry, module, c);
  if (result == nullptr) report_unscanned_before_failure(c.maps);
  return result;
}

}  // namespace tessaro::remap
