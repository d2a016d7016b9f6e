// tessaro.cython._brisel: the sign-preserving magnitude floor.
//
// clip_abs raises every element whose magnitude lies below a threshold up to
// that threshold, keeping its sign; exact zeros take the sign the caller asks
// for. The four kernels are also published as C functions in __pyx_capi__.

#include <cmath>
#include <cstdint>
#include <cstring>

#include "frame/convert.hpp"
#include "frame/function.hpp"
#include "frame/gil.hpp"
#include "frame/module.hpp"
#include "frame/numpy.hpp"
#include "frame/parallel.hpp"
#include "frame/view.hpp"
#include "kernels/simd.hpp"

namespace {

using tessaro::frame::Ref;
using tessaro::frame::ViewRecord;
namespace frame = tessaro::frame;

// ---------------------------------------------------------------------------
// Kernels

// NaN fails `threshold > |x|` and so passes unchanged, payload and sign kept;
// a NaN threshold leaves every element alone. Written as selects so that the
// loop vectorises.
template <class T>
inline T clip_element(T x, T threshold, T negative_threshold, T zero_val) {
  const bool below = threshold > std::fabs(x);
  const T raised = x == T(0) ? zero_val : (x > T(0) ? threshold : negative_threshold);
  return below ? raised : x;
}

// Elements are moved with memcpy: a valid float64 array may sit at any byte
// address (e.g. a view into a byte buffer), and the compiler still emits
// plain vector loads for it.
template <class T>
inline T load(const char* base, std::int64_t i) {
  T x;
  std::memcpy(&x, base + i * static_cast<std::int64_t>(sizeof(T)), sizeof(T));
  return x;
}
template <class T>
inline void store(char* base, std::int64_t i, T x) {
  std::memcpy(base + i * static_cast<std::int64_t>(sizeof(T)), &x, sizeof(T));
}

template <class T>
inline void clip_range(const char* in, char* out, T threshold, T zero_val, std::int64_t begin,
                       std::int64_t end) {
  const T negative_threshold = -threshold;
  if (in == out) {  // in place: one pointer, so the loop vectorises without an overlap test
    for (std::int64_t i = begin; i < end; ++i)
      store(out, i, clip_element(load<T>(out, i), threshold, negative_threshold, zero_val));
    return;
  }
  for (std::int64_t i = begin; i < end; ++i)
    store(out, i, clip_element(load<T>(in, i), threshold, negative_threshold, zero_val));
}

// The loop in one copy per instruction set (AVX2: wider vectors, same
// element rule).
template <class T>
void clip_block(const char* in, char* out, T threshold, T zero_val, std::int64_t begin,
                std::int64_t end) {
  tessaro::kernels::simd::dispatch(
      [&]<class>() { clip_range(in, out, threshold, zero_val, begin, end); });
}

template <class T>
void clip_serial(ViewRecord in, ViewRecord out, T threshold, T zero_val, Py_ssize_t n) {
  if (n <= 0) return;
  clip_block(in.data, out.data, threshold, zero_val, 0, n);
}

// One static block of indices per thread of the default team.
template <class T>
void clip_parallel(ViewRecord in, ViewRecord out, T threshold, T zero_val, Py_ssize_t n) {
  frame::ReleasedLock unlocked;
  if (n <= 0) return;
  frame::for_static_blocks(n, true, [&](std::int64_t begin, std::int64_t end, int) {
    clip_block(in.data, out.data, threshold, zero_val, begin, end);
  });
}

void _brisel_f32_kernel(ViewRecord in, ViewRecord out, float threshold, float zero_val,
                        Py_ssize_t n) {
  clip_serial<float>(in, out, threshold, zero_val, n);
}
void _brisel_f32_parallel(ViewRecord in, ViewRecord out, float threshold, float zero_val,
                          Py_ssize_t n) {
  clip_parallel<float>(in, out, threshold, zero_val, n);
}
void _brisel_f64_kernel(ViewRecord in, ViewRecord out, double threshold, double zero_val,
                        Py_ssize_t n) {
  clip_serial<double>(in, out, threshold, zero_val, n);
}
void _brisel_f64_parallel(ViewRecord in, ViewRecord out, double threshold, double zero_val,
                          Py_ssize_t n) {
  clip_parallel<double>(in, out, threshold, zero_val, n);
}

constexpr const char kF32Signature[] =
    "void (__Pyx_memviewslice, __Pyx_memviewslice, __pyx_t_5numpy_float32_t, "
    "__pyx_t_5numpy_float32_t, Py_ssize_t)";
constexpr const char kF64Signature[] =
    "void (__Pyx_memviewslice, __Pyx_memviewslice, __pyx_t_5numpy_float64_t, "
    "__pyx_t_5numpy_float64_t, Py_ssize_t)";

const frame::Export kExports[] = {
    {"_brisel_f32_kernel", kF32Signature, frame::export_address(_brisel_f32_kernel)},
    {"_brisel_f32_parallel", kF32Signature, frame::export_address(_brisel_f32_parallel)},
    {"_brisel_f64_kernel", kF64Signature, frame::export_address(_brisel_f64_kernel)},
    {"_brisel_f64_parallel", kF64Signature, frame::export_address(_brisel_f64_parallel)},
};

// ---------------------------------------------------------------------------
// Module state and constants

bool module_body(PyObject* module);

frame::Module kModule("_brisel", "tessaro.cython._brisel",
                      "\nSign-preserving absolute-value clip kernel for float32/float64 arrays.\n",
                      "tessaro/cython/_brisel.cpp", kExports, module_body);

// Arrays of more than this many elements run in parallel: part of clip_abs's
// documented behaviour (see _brisel.pyi), compared with the array's size as
// a Python int. It is not frame::kMinParallelWork (2^15 operations) on
// purpose: that one counts remap operations, multiply-adds over taps that
// also pay for planning and gathers, while a clip element costs one compare
// and select on data streamed through memory, so a team pays off only for
// far more elements.
constexpr long kParallelThreshold = 1000000;

struct Names {
  PyObject *np, *ZERO_SIGN, *POSITIVE, *size, *dtype, *ravel, *flags, *writeable, *shape,
      *float64, *float32, *empty_like;
} names;
PyObject* parallel_threshold;  // the int 1000000

// ---------------------------------------------------------------------------
// Destinations

template <class T>
struct Precision;
template <>
struct Precision<double> {
  static constexpr int type_num = NPY_FLOAT64;
  static constexpr const char* dispatcher = "tessaro.cython._brisel._brisel_f64_dispatch";
  static PyObject* dtype_name() { return names.float64; }
  static constexpr auto serial = _brisel_f64_kernel;
  static constexpr auto parallel = _brisel_f64_parallel;
};
template <>
struct Precision<float> {
  static constexpr int type_num = NPY_FLOAT32;
  static constexpr const char* dispatcher = "tessaro.cython._brisel._brisel_f32_dispatch";
  static PyObject* dtype_name() { return names.float32; }
  static constexpr auto serial = _brisel_f32_kernel;
  static constexpr auto parallel = _brisel_f32_parallel;
};

// Byte range an ndarray's elements occupy.
struct Extent {
  const char* lo;
  const char* hi;
};
Extent extent_of(PyArrayObject* a) {
  const char* lo = PyArray_BYTES(a);
  const char* hi = lo + PyArray_ITEMSIZE(a);
  for (int d = 0; d < PyArray_NDIM(a); ++d) {
    const npy_intp span = (PyArray_DIM(a, d) - 1) * PyArray_STRIDE(a, d);
    if (PyArray_DIM(a, d) == 0) return {lo, lo};
    if (span < 0) lo += span; else hi += span;
  }
  return {lo, hi};
}

// The kernel can write straight into the destination's flattening only when
// that flattening is the destination's own memory and does not overlap the
// input except element for element.
bool writes_directly(PyObject* result, const ViewRecord& flat, Py_ssize_t n, std::size_t itemsize) {
  if (!PyArray_Check(result)) return true;
  auto* r = frame::as_array(result);
  if (!PyArray_IS_C_CONTIGUOUS(r)) return false;
  const Extent e = extent_of(r);
  const char* in_lo = flat.data;
  const char* in_hi = flat.data + n * static_cast<Py_ssize_t>(itemsize);
  const bool disjoint = in_hi <= e.lo || e.hi <= in_lo || n == 0;
  return disjoint || e.lo == in_lo;
}

template <class T>
void run_kernel(const ViewRecord& in, const ViewRecord& out, T threshold, T zero_val, Py_ssize_t n,
                bool use_parallel) {
  if (use_parallel)
    Precision<T>::parallel(in, out, threshold, zero_val, n);
  else
    Precision<T>::serial(in, out, threshold, zero_val, n);
}

// Clips into a fresh buffer and assigns it to `dest` in C order; used when the
// destination's flattening would be a copy or would alias the input.
template <class T>
bool clip_through_temporary(const ViewRecord& flat, PyObject* dest, T threshold, T zero_val,
                            Py_ssize_t n, bool use_parallel) {
  auto* d = frame::as_array(dest);
  if (PyArray_SIZE(d) != n) {
    PyErr_Format(PyExc_ValueError, "the destination holds %zd elements, not %zd",
                 static_cast<Py_ssize_t>(PyArray_SIZE(d)), n);
    return false;
  }
  Ref tmp = frame::steal(PyArray_SimpleNew(PyArray_NDIM(d), PyArray_DIMS(d), Precision<T>::type_num));
  if (!tmp) return false;
  ViewRecord out{};
  out.data = PyArray_BYTES(frame::as_array(tmp.get()));
  run_kernel<T>(flat, out, threshold, zero_val, n, use_parallel);
  return PyArray_CopyInto(d, frame::as_array(tmp.get())) == 0;
}

template <class T>
PyObject* dispatch_impl(PyObject* arr, T threshold, T zero_val, PyObject* out, int in_place,
                        int use_parallel) {
  // A read-only array is a fine input; only in-place work needs to write it.
  Ref raveled = frame::steal(PyObject_CallMethodNoArgs(arr, names.ravel));
  if (!raveled) return nullptr;
  frame::View flat;
  if (!flat.acquire<T>(raveled.get(), 1, frame::Layout::c_contiguous, in_place != 0)) return nullptr;
  Ref size = frame::getattr(arr, names.size);
  if (!size) return nullptr;
  Py_ssize_t n;
  if (!frame::to_ssize(size.get(), &n)) return nullptr;
  // The kernels trust n; an object whose size disagrees with its flattening
  // must not make them run past the buffer.
  if (flat.record().shape[0] != n)
    return frame::raise(PyExc_ValueError,
                        "arr.size is %zd but its flattening holds %zd elements", n,
                        flat.record().shape[0]);

  if (in_place) {
    Ref flags = frame::getattr(arr, names.flags);
    if (!flags) return nullptr;
    Ref writeable = frame::getattr(flags.get(), names.writeable);
    if (!writeable) return nullptr;
    const int ok = frame::truth(writeable.get());
    if (ok < 0) return nullptr;
    if (!ok)
      return frame::raise(PyExc_ValueError, "arr is not writeable; cannot use in_place=True");
    run_kernel<T>(flat.record(), flat.record(), threshold, zero_val, n, use_parallel);
    // ravel() copied a non-contiguous array: put the values back in place.
    if (PyArray_Check(arr) && PyArray_BYTES(frame::as_array(arr)) != flat.record().data) {
      auto* a = frame::as_array(arr);
      PyArray_Dims shape{PyArray_DIMS(a), PyArray_NDIM(a)};
      Ref shaped = frame::steal(
          PyArray_Newshape(frame::as_array(raveled.get()), &shape, NPY_CORDER));
      if (!shaped || PyArray_CopyInto(a, frame::as_array(shaped.get())) < 0) return nullptr;
    }
    return Py_NewRef(arr);
  }

  Ref result;
  if (out == Py_None) {
    Ref np = frame::global(kModule, names.np);
    if (!np) return nullptr;
    Ref empty_like = frame::getattr(np.get(), names.empty_like);
    Ref dtype = empty_like ? frame::getattr(np.get(), Precision<T>::dtype_name()) : Ref();
    if (!dtype) return nullptr;
    Ref kwnames = frame::steal(PyTuple_Pack(1, names.dtype));
    if (!kwnames) return nullptr;
    PyObject* call_args[] = {arr, dtype.get()};
    result = frame::steal(PyObject_Vectorcall(empty_like.get(), call_args, 1, kwnames.get()));
  } else {
    for (PyObject* attr : {names.shape, names.dtype}) {
      Ref a = frame::getattr(out, attr);
      Ref b = a ? frame::getattr(arr, attr) : Ref();
      if (!b) return nullptr;
      const int differs = PyObject_RichCompareBool(a.get(), b.get(), Py_NE);
      if (differs < 0) return nullptr;
      if (differs)
        return frame::raise(PyExc_ValueError, "out must have the same shape and dtype as arr");
    }
    result = frame::borrow(out);
  }
  if (!result) return nullptr;

  if (writes_directly(result.get(), flat.record(), n, sizeof(T))) {
    Ref dest_raveled = frame::steal(PyObject_CallMethodNoArgs(result.get(), names.ravel));
    if (!dest_raveled) return nullptr;
    frame::View dest;
    if (!dest.acquire<T>(dest_raveled.get(), 1, frame::Layout::c_contiguous, true)) return nullptr;
    if (dest.record().shape[0] != n)
      return frame::raise(PyExc_ValueError,
                          "the destination's flattening holds %zd elements, not %zd",
                          dest.record().shape[0], n);
    run_kernel<T>(flat.record(), dest.record(), threshold, zero_val, n, use_parallel);
  } else if (!clip_through_temporary<T>(flat.record(), result.get(), threshold, zero_val, n,
                                        use_parallel)) {
    return nullptr;
  }
  return result.release();
}

template <class T>
PyObject* dispatch(PyObject* arr, T threshold, T zero_val, PyObject* out, int in_place,
                   int use_parallel) {
  PyObject* r = dispatch_impl<T>(arr, threshold, zero_val, out, in_place, use_parallel);
  if (r == nullptr) frame::add_traceback(Precision<T>::dispatcher, kModule.source_file, __LINE__);
  return r;
}

// ---------------------------------------------------------------------------
// clip_abs

PyObject* clip_abs(PyObject* const* args) {
  PyObject* arr = args[0];
  PyObject* zero_sign = args[2];
  PyObject* out = args[3];
  double threshold;
  if (!frame::to_double(args[1], &threshold)) return nullptr;
  const int in_place = frame::truth(args[4]);
  if (in_place < 0) return nullptr;

  // NaN fails this too: the kernels would leave every element alone, zeros
  // included, and the result would not be safe to divide by.
  if (!(threshold >= 0)) {
    Ref value = frame::steal(PyFloat_FromDouble(threshold));
    if (!value) return nullptr;
    return frame::raise(PyExc_ValueError, "threshold must be >= 0, got %R", value.get());
  }
  Ref zero_sign_type = frame::global(kModule, names.ZERO_SIGN);
  if (!zero_sign_type) return nullptr;
  const int is_member = PyObject_IsInstance(zero_sign, zero_sign_type.get());
  if (is_member < 0) return nullptr;
  if (!is_member) {
    Ref type_name = frame::steal(PyType_GetName(Py_TYPE(zero_sign)));
    if (!type_name) return nullptr;
    return frame::raise(PyExc_TypeError, "zero_sign must be a ZERO_SIGN enum value, got %U",
                        type_name.get());
  }
  if (out != Py_None && in_place)
    return frame::raise(PyExc_ValueError, "out and in_place are mutually exclusive");

  Ref zero_sign_type_now = frame::global(kModule, names.ZERO_SIGN);
  Ref positive = zero_sign_type_now ? frame::getattr(zero_sign_type_now.get(), names.POSITIVE) : Ref();
  if (!positive) return nullptr;
  const double zero_val = zero_sign == positive.get() ? threshold : -threshold;

  Ref size = frame::getattr(arr, names.size);
  if (!size) return nullptr;
  const int use_parallel = PyObject_RichCompareBool(size.get(), parallel_threshold, Py_GT);
  if (use_parallel < 0) return nullptr;

  Ref dtype = frame::getattr(arr, names.dtype);
  Ref np = dtype ? frame::global(kModule, names.np) : Ref();
  if (!np) return nullptr;
  for (PyObject* precision : {names.float64, names.float32}) {
    Ref candidate = frame::getattr(np.get(), precision);
    if (!candidate) return nullptr;
    const int same = PyObject_RichCompareBool(dtype.get(), candidate.get(), Py_EQ);
    if (same < 0) return nullptr;
    if (!same) continue;
    if (precision == names.float64)
      return dispatch<double>(arr, threshold, zero_val, out, in_place, use_parallel);
    return dispatch<float>(arr, static_cast<float>(threshold), static_cast<float>(zero_val), out,
                           in_place, use_parallel);
  }
  return frame::raise(PyExc_TypeError, "Unsupported dtype %S; expected float32 or float64",
                      dtype.get());
}

constexpr frame::Param kClipAbsParams[] = {
    {"arr", "np.ndarray"},
    {"threshold", "float"},
    {"zero_sign", "ZERO_SIGN", false, frame::default_given},
    {"out", "np.ndarray | None", true, frame::default_none},
    {"in_place", "bool", true, frame::default_bool(false)},
};
constexpr const char* kClipAbsLocals[] = {"zero_val", "N", "use_parallel"};
const frame::FunctionSpec kClipAbs{
    "clip_abs", "tessaro.cython._brisel", "tessaro/cython/_brisel.cpp", __LINE__,
    nullptr,    kClipAbsParams,           kClipAbsLocals,               "np.ndarray",
    clip_abs};

// ---------------------------------------------------------------------------
// Module-level statements

bool module_body(PyObject* module) {
  if (!frame::intern({{&names.np, "np"},
                      {&names.ZERO_SIGN, "ZERO_SIGN"},
                      {&names.POSITIVE, "POSITIVE"},
                      {&names.size, "size"},
                      {&names.dtype, "dtype"},
                      {&names.ravel, "ravel"},
                      {&names.flags, "flags"},
                      {&names.writeable, "writeable"},
                      {&names.shape, "shape"},
                      {&names.float64, "float64"},
                      {&names.float32, "float32"},
                      {&names.empty_like, "empty_like"}}))
    return false;
  if (parallel_threshold == nullptr) parallel_threshold = PyLong_FromLong(kParallelThreshold);
  if (parallel_threshold == nullptr) return false;

  if (!frame::import_as(module, "numpy", "np")) return false;
  Ref zero_sign;
  const char* const from_names[] = {"ZERO_SIGN"};
  if (!frame::import_from(PyModule_GetDict(module), "_zero_sign", 1, from_names,
                          std::span<Ref>(&zero_sign, 1)) ||
      PyModule_AddObjectRef(module, "ZERO_SIGN", zero_sign.get()) < 0)
    return false;
  if (!frame::import_numpy_api()) return false;
  Ref positive = frame::getattr(zero_sign.get(), names.POSITIVE);
  if (!positive) return false;
  PyObject* const defaults[] = {positive.get()};
  if (!frame::define_function(module, kClipAbs, defaults)) return false;
  Ref test = frame::steal(PyDict_New());
  return test && PyModule_AddObjectRef(module, "__test__", test.get()) == 0;
}

}  // namespace

PyMODINIT_FUNC PyInit__brisel(void) { return PyModuleDef_Init(&kModule.def); }
