// Owning handle for one Python reference.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tessaro::frame {

// Move-only: exactly one owner per reference, released on every path.
class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
    Py_XDECREF(old);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  // Takes over a new reference (possibly null after a failed call).
  static Ref steal(PyObject* p) noexcept {
    Ref r;
    r.p_ = p;
    return r;
  }
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return steal(p);
  }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

inline Ref steal(PyObject* p) noexcept { return Ref::steal(p); }
inline Ref borrow(PyObject* p) noexcept { return Ref::borrow(p); }

inline Ref getattr(PyObject* obj, PyObject* name) { return steal(PyObject_GetAttr(obj, name)); }
inline Ref getattr(PyObject* obj, const char* name) {
  return steal(PyObject_GetAttrString(obj, name));
}

}  // namespace tessaro::frame
