// NumPy C-API start-up and the few array operations the entries need.
//
// Included by exactly one translation unit per extension module, so the API
// table stays private to that module.
#pragma once

#include "frame/ref.hpp"
#include "kernels/fpe.hpp"

#include <cstdint>
#include <cstring>

#include <numpy/arrayobject.h>

namespace tessaro::frame {

// NumPy's own import facility; any ordinary failure becomes the ImportError
// users expect, with NumPy's reason kept as its context.
inline bool import_numpy_api() {
  if (_import_array() >= 0) return true;
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
  PyObject* cause = PyErr_GetRaisedException();
  PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
  PyObject* exc = PyErr_GetRaisedException();
  PyException_SetContext(exc, cause);  // steals `cause`
  PyErr_SetRaisedException(exc);
  return false;
}

// np.ascontiguousarray(obj, dtype=np.float64): a base-class, C-contiguous,
// aligned float64 array with at least one dimension, cast from any dtype
// NumPy can cast (unsafe casts included, as NumPy's own function does); no
// copy when `obj` already is one.
inline Ref ascontiguous_f64(PyObject* obj) {
  PyArray_Descr* descr = PyArray_DescrFromType(NPY_FLOAT64);  // steals by FromAny
  Ref arr = steal(PyArray_FromAny(obj, descr, 0, 0,
                                  NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_ENSUREARRAY |
                                      NPY_ARRAY_FORCECAST,
                                  nullptr));
  if (!arr || PyArray_NDIM(reinterpret_cast<PyArrayObject*>(arr.get())) != 0) return arr;
  npy_intp one = 1;
  PyArray_Dims dims = {&one, 1};
  return steal(PyArray_Newshape(reinterpret_cast<PyArrayObject*>(arr.get()), &dims, NPY_CORDER));
}

inline Ref empty_f64(std::initializer_list<npy_intp> shape) {
  return steal(PyArray_Empty(static_cast<int>(shape.size()), const_cast<npy_intp*>(shape.begin()),
                             PyArray_DescrFromType(NPY_FLOAT64), 0));
}

// np.empty(arr.shape, dtype=np.float32): C-contiguous, uninitialised.
inline Ref empty_like_f32(PyObject* arr) {
  auto* a = reinterpret_cast<PyArrayObject*>(arr);
  return steal(PyArray_Empty(PyArray_NDIM(a), PyArray_DIMS(a), PyArray_DescrFromType(NPY_FLOAT32), 0));
}

// arr[..., np.newaxis] for a C-contiguous array: a view with a trailing axis of 1.
inline Ref with_trailing_axis(PyObject* arr) {
  auto* a = reinterpret_cast<PyArrayObject*>(arr);
  const int nd = PyArray_NDIM(a);
  npy_intp dims[NPY_MAXDIMS];
  for (int d = 0; d < nd; ++d) dims[d] = PyArray_DIM(a, d);
  dims[nd] = 1;
  PyArray_Dims newshape = {dims, nd + 1};
  return steal(PyArray_Newshape(a, &newshape, NPY_CORDER));
}

inline PyArrayObject* as_array(PyObject* o) { return reinterpret_cast<PyArrayObject*>(o); }

namespace detail {

// Casts `n` elements of `bytes` (of type `from`) to type `to` through
// NumPy, for the floating-point error report of that cast.
inline bool numpy_cast(const void* bytes, npy_intp n, int from, int to) {
  Ref values = steal(PyArray_SimpleNew(1, &n, from));
  if (!values) return false;
  std::memcpy(PyArray_DATA(as_array(values.get())), bytes,
              static_cast<std::size_t>(n) * PyArray_ITEMSIZE(as_array(values.get())));
  Ref cast = steal(PyArray_CastToType(as_array(values.get()), PyArray_DescrFromType(to), 0));
  return static_cast<bool>(cast);
}

}  // namespace detail

// An entry that skips one of NumPy's float casts still owes the caller that
// cast's floating-point error report (a warning, an error, a callback or
// nothing, as np.errstate says). These produce it by casting, through NumPy,
// values that raise exactly the same exceptions; false with an exception
// set when the caller's errstate turns the report into an error.

// float32 -> float64 of an array holding a signalling NaN: "invalid".
inline bool report_widening_invalid() {
  const std::uint32_t signalling_nan = 0x7f800001u;
  return detail::numpy_cast(&signalling_nan, 1, NPY_FLOAT32, NPY_FLOAT64);
}

// float64 -> float32 of values that raised `fpe` (fpe:: bits).
inline bool report_narrowing_errors(int fpe) {
  double values[3];
  npy_intp n = 0;
  if (fpe & fpe::OVERFLOW) values[n++] = 1e300;
  if (fpe & fpe::UNDERFLOW) values[n++] = 1e-300;
  if (fpe & fpe::INVALID) {
    const std::uint64_t signalling_nan = 0x7ff0000000000001ull;
    std::memcpy(&values[n++], &signalling_nan, sizeof(double));
  }
  return n == 0 || detail::numpy_cast(values, n, NPY_FLOAT64, NPY_FLOAT32);
}

}  // namespace tessaro::frame
