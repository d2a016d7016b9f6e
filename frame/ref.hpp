// Owning handle for one Python reference.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
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

// The interned str of a C string that lives as long as the process (a
// literal), made on its first use and kept: attribute names are then not
// rebuilt on every call. The table is only touched with the interpreter
// lock held; when it is full, null is returned and callers build the str.
inline PyObject* interned(const char* text) {
  constexpr std::size_t kSlots = 256;
  static const char* keys[kSlots];
  static PyObject* values[kSlots];
  std::size_t h = (reinterpret_cast<std::uintptr_t>(text) >> 3) % kSlots;
  for (std::size_t probe = 0; probe < kSlots; ++probe, h = (h + 1) % kSlots) {
    if (keys[h] == text) return values[h];
    if (keys[h] == nullptr) {
      PyObject* s = PyUnicode_InternFromString(text);
      if (s == nullptr) return nullptr;
      keys[h] = text;
      values[h] = s;
      return s;
    }
  }
  return nullptr;
}

inline Ref getattr(PyObject* obj, PyObject* name) { return steal(PyObject_GetAttr(obj, name)); }
inline Ref getattr(PyObject* obj, const char* name) {
  PyObject* n = interned(name);
  if (n != nullptr) return steal(PyObject_GetAttr(obj, n));
  if (PyErr_Occurred()) return Ref();
  return steal(PyObject_GetAttrString(obj, name));
}

}  // namespace tessaro::frame
