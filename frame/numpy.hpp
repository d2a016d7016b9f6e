// NumPy C-API start-up and the few array operations the entries need.
//
// Included by exactly one translation unit per extension module, so the API
// table stays private to that module.
#pragma once

#include "frame/ref.hpp"

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

}  // namespace tessaro::frame
