// Argument coercions with the module's own error messages.
#pragma once

#include <climits>
#include <cstdint>

#include "frame/ref.hpp"

namespace tessaro::frame {

// An argument declared `int`: an exact int is used as is; any other object the
// interpreter treats as a number becomes int(value); anything else is a
// TypeError naming the parameter.
inline Ref coerce_int_arg(PyObject* value, const char* param) {
  if (PyLong_CheckExact(value)) return borrow(value);
  PyNumberMethods* nb = Py_TYPE(value)->tp_as_number;
  if (nb != nullptr && (nb->nb_int != nullptr || nb->nb_index != nullptr || nb->nb_float != nullptr))
    return steal(PyNumber_Long(value));
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
               param, "int", Py_TYPE(value)->tp_name);
  return Ref();
}

// C int conversion: integers (or objects with __index__) in the 32-bit range.
inline bool to_c_int(PyObject* value, int* out) {
  Ref index = steal(PyNumber_Index(value));
  if (!index) return false;
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || v < INT_MIN || v > INT_MAX) {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
    return false;
  }
  *out = static_cast<int>(v);
  return true;
}

// The interpreter's float conversion (numbers and objects with __float__ or __index__).
inline bool to_double(PyObject* value, double* out) {
  if (PyFloat_CheckExact(value)) {
    *out = PyFloat_AS_DOUBLE(value);
    return true;
  }
  double v = PyFloat_AsDouble(value);
  if (v == -1.0 && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

inline bool to_ssize(PyObject* value, Py_ssize_t* out) {
  Py_ssize_t v = PyLong_AsSsize_t(value);
  if (v == -1 && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

// Truth value as 0/1; -1 with an exception set.
inline int truth(PyObject* value) {
  if (value == Py_True) return 1;
  if (value == Py_False || value == Py_None) return 0;
  return PyObject_IsTrue(value);
}

}  // namespace tessaro::frame
