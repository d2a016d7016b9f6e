// The strided array view record that crosses the C-level interface, and its
// acquisition from any buffer-protocol object.
#pragma once

#include <cstdint>
#include <cstring>

#include "frame/ref.hpp"

#include <numpy/ndarrayobject.h>

namespace tessaro::frame {

inline constexpr int kMaxDims = 8;

// Binary layout shared with every consumer of the exported functions; passed
// by value. `memview` owns nothing here: the View that filled the record keeps
// the buffer export (and the array) alive for the duration of the call.
struct ViewRecord {
  PyObject* memview;
  char* data;
  Py_ssize_t shape[kMaxDims];
  Py_ssize_t strides[kMaxDims];
  Py_ssize_t suboffsets[kMaxDims];
};
static_assert(sizeof(ViewRecord) == 2 * sizeof(void*) + 3 * kMaxDims * sizeof(Py_ssize_t));

template <class T>
struct ElementName;
template <>
struct ElementName<double> {
  static constexpr char code = 'd';
  static constexpr const char* name = "double";
};
template <>
struct ElementName<float> {
  static constexpr char code = 'f';
  static constexpr const char* name = "float";
};

enum class Layout {
  last_contiguous,  // any strides, but the last axis steps by one element
  c_contiguous,
};

namespace detail {

inline const char* describe_format(const char* fmt, bool* big_endian) {
  *big_endian = false;
  if (fmt == nullptr) return "unsigned char";
  if (*fmt == '>' || *fmt == '!') {
    *big_endian = true;
    ++fmt;
  } else if (*fmt == '<' || *fmt == '=' || *fmt == '@') {
    ++fmt;
  }
  static constexpr struct {
    const char* code;
    const char* name;
  } names[] = {{"d", "double"},         {"f", "float"},         {"e", "half"},
               {"g", "long double"},    {"b", "signed char"},   {"B", "unsigned char"},
               {"?", "bool"},           {"h", "short"},         {"H", "unsigned short"},
               {"i", "int"},            {"I", "unsigned int"},  {"l", "long"},
               {"L", "unsigned long"},  {"q", "long long"},     {"Q", "unsigned long long"},
               {"Zf", "complex float"}, {"Zd", "complex double"}, {"Zg", "complex long double"},
               {"O", "Python object"}};
  for (const auto& n : names)
    if (std::strcmp(fmt, n.code) == 0) return n.name;
  return fmt;
}

// Little-endian or native order, exactly one element of T.
template <class T>
bool format_matches(const Py_buffer& b) {
  if (b.itemsize != static_cast<Py_ssize_t>(sizeof(T))) return false;
  const char* f = b.format != nullptr ? b.format : "B";
  if (*f == '<' || *f == '=' || *f == '@') ++f;
  return f[0] == ElementName<T>::code && f[1] == '\0';
}

}  // namespace detail

// One acquired view, released when the View goes out of scope.
class View {
 public:
  View() noexcept { clear_record(); }
  ~View() { release(); }
  View(const View&) = delete;
  View& operator=(const View&) = delete;

  // Acquires a view of `obj` with `ndim` dimensions of T. None gives the empty
  // view when `none_is_empty` is set. Returns false with a Python exception set.
  template <class T>
  bool acquire(PyObject* obj, int ndim, Layout layout, bool writable, bool none_is_empty = false) {
    release();
    if (obj == Py_None && none_is_empty) return true;
    if (!writable && view_ndarray<T>(obj, ndim, layout)) return true;
    int flags = PyBUF_FORMAT |
                (layout == Layout::c_contiguous ? PyBUF_C_CONTIGUOUS : PyBUF_STRIDES) |
                (writable ? PyBUF_WRITABLE : 0);
    if (PyObject_GetBuffer(obj, &buffer_, flags) < 0) return false;
    owned_ = true;
    if (buffer_.ndim != ndim) {
      PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)",
                   ndim, buffer_.ndim);
      release();
      return false;
    }
    if (!detail::format_matches<T>(buffer_)) {
      bool big = false;
      const char* got = detail::describe_format(buffer_.format, &big);
      PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s'%s'", "'",
                   ElementName<T>::name, "'", big ? "big-endian " : "", got);
      release();
      return false;
    }
    if (ndim > 0 && buffer_.shape[ndim - 1] > 1 &&
        buffer_.strides[ndim - 1] != static_cast<Py_ssize_t>(sizeof(T))) {
      PyErr_SetString(PyExc_ValueError, "Buffer is not contiguous in its last dimension");
      release();
      return false;
    }
    record_.memview = buffer_.obj;
    record_.data = static_cast<char*>(buffer_.buf);
    for (int d = 0; d < ndim; ++d) {
      record_.shape[d] = buffer_.shape[d];
      record_.strides[d] = buffer_.strides[d];
      record_.suboffsets[d] = -1;
    }
    return true;
  }

  const ViewRecord& record() const noexcept { return record_; }

  void release() noexcept {
    if (owned_) {
      PyBuffer_Release(&buffer_);
      owned_ = false;
    }
    clear_record();
  }

 private:
  void clear_record() noexcept {
    std::memset(&record_, 0, sizeof record_);
    record_.memview = Py_None;
  }

  // An exact ndarray that a read-only buffer request would accept as it is:
  // its record is filled from the array itself, which gives the same record
  // without the cost of a buffer export. Anything else (including every
  // case the request would refuse, and writable requests, which NumPy may
  // answer with a warning) goes through the buffer protocol.
  template <class T>
  bool view_ndarray(PyObject* obj, int ndim, Layout layout) {
    if (!PyArray_CheckExact(obj)) return false;
    auto* a = reinterpret_cast<PyArrayObject*>(obj);
    constexpr int type = sizeof(T) == 8 ? NPY_FLOAT64 : NPY_FLOAT32;
    if (PyArray_NDIM(a) != ndim || PyArray_TYPE(a) != type || !PyArray_ISNOTSWAPPED(a) ||
        !PyArray_ISALIGNED(a))
      return false;
    if (layout == Layout::c_contiguous ? !PyArray_IS_C_CONTIGUOUS(a)
                                        : ndim > 0 && PyArray_DIM(a, ndim - 1) > 1 &&
                                              PyArray_STRIDE(a, ndim - 1) != static_cast<npy_intp>(sizeof(T)))
      return false;
    record_.memview = obj;
    record_.data = PyArray_BYTES(a);
    for (int d = 0; d < ndim; ++d) {
      record_.shape[d] = PyArray_DIM(a, d);
      record_.strides[d] = PyArray_STRIDE(a, d);
      record_.suboffsets[d] = -1;
    }
    return true;
  }

  Py_buffer buffer_{};
  ViewRecord record_{};
  bool owned_ = false;
};

}  // namespace tessaro::frame
