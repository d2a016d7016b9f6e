// Traceback entries and error helpers shared by the extension modules.
#pragma once

#include "frame/ref.hpp"

#include <frameobject.h>

namespace tessaro::frame {

// Adds a traceback entry naming a native function, so that a failure inside
// e.g. clip_abs shows up as "tessaro.cython._brisel.clip_abs" in the report.
inline void add_traceback(const char* function, const char* file, int line) {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return;
  Ref code = steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, function, line)));
  Ref globals = steal(PyDict_New());
  Ref frame;
  if (code && globals) {
    frame = steal(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                    globals.get(), nullptr)));
  }
  if (!frame) {
    // Losing the traceback entry must not lose the original error.
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    return;
  }
  PyErr_SetRaisedException(exc);
  PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

// Raises exc_type with a message built like PyUnicode_FromFormat; returns null.
template <class... Args>
PyObject* raise(PyObject* exc_type, const char* format, Args... args) {
  PyErr_Format(exc_type, format, args...);
  return nullptr;
}

}  // namespace tessaro::frame
