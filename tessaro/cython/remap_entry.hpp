// Pieces the 2-D and 1-D remap entries share: the companion imports, the
// border constant, channel-count checks and _detect_cpu_count.
#pragma once

#include <cstdint>

#include "frame/convert.hpp"
#include "frame/module.hpp"
#include "frame/numpy.hpp"

namespace tessaro::remap {

using frame::Ref;

// The companions are imported on every call, as `from ..core... import ...`
// in the module would; modules already loaded are just looked up.
struct Companions {
  Ref BorderConfig;
  Ref compute_feather_d;
  Ref BorderMode;
};

inline bool import_companions(PyObject* globals, bool with_zero_sign, Companions* c) {
  static frame::ImportSite zero_sign_site, border_config_site, enums_site;
  if (with_zero_sign) {
    // Nothing reads ZERO_SIGN here; importing it keeps a missing companion
    // from going unnoticed until the clipping module needs it.
    const char* const zs_names[] = {"ZERO_SIGN"};
    Ref zs;
    if (!frame::import_from(globals, "_zero_sign", 1, zs_names, std::span<Ref>(&zs, 1),
                            &zero_sign_site))
      return false;
  }
  const char* const bc_names[] = {"BorderConfig", "compute_feather_d"};
  Ref bc[2];
  if (!frame::import_from(globals, "core.border_config", 2, bc_names, bc, &border_config_site))
    return false;
  const char* const enum_names[] = {"BorderMode"};
  Ref mode;
  if (!frame::import_from(globals, "core.enums", 2, enum_names, std::span<Ref>(&mode, 1),
                          &enums_site))
    return false;
  c->BorderConfig = std::move(bc[0]);
  c->compute_feather_d = std::move(bc[1]);
  c->BorderMode = std::move(mode);
  return true;
}

// `border_config`, or BorderConfig.clamp() when it is None.
inline Ref effective_config(PyObject* border_config, const Companions& c) {
  if (border_config != Py_None) return frame::borrow(border_config);
  Ref clamp = frame::getattr(c.BorderConfig.get(), "clamp");
  return clamp ? frame::steal(PyObject_CallNoArgs(clamp.get())) : Ref();
}

// `bc.mode == BorderMode.ARRAY`, by Python equality.
inline int is_array_mode(PyObject* bc, const Companions& c) {
  Ref mode = frame::getattr(bc, "mode");
  Ref array_member = mode ? frame::getattr(c.BorderMode.get(), "ARRAY") : Ref();
  if (!array_member) return -1;
  return PyObject_RichCompareBool(mode.get(), array_member.get(), Py_EQ);
}

// A 0-d array stands for its scalar, any other array for 0.0, None for 0.0;
// everything else goes to the float conversion as it is.
inline Ref border_constant(PyObject* bc) {
  Ref value = frame::getattr(bc, "constant_value");
  if (!value) return value;
  if (PyArray_Check(value.get())) {
    if (PyArray_NDIM(frame::as_array(value.get())) == 0)
      return frame::steal(PyNumber_Float(value.get()));
    return frame::steal(PyFloat_FromDouble(0.0));
  }
  if (value.get() == Py_None) return frame::steal(PyFloat_FromDouble(0.0));
  return value;
}

// `obj.<attr>.value` as a C int. A member without `value` (a plain int, say)
// raises the same AttributeError, with a message that names the attribute.
inline bool enum_value(PyObject* obj, const char* attr, int* out) {
  Ref member = frame::getattr(obj, attr);
  if (!member) return false;
  Ref value = frame::getattr(member.get(), "value");
  if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Format(PyExc_AttributeError,
                 "%s.value: '%.200s' object has no attribute 'value' (%s must be an enum member)",
                 attr, Py_TYPE(member.get())->tp_name, attr);
  }
  return value && frame::to_c_int(value.get(), out);
}

inline bool float_attr(PyObject* obj, const char* attr, double* out) {
  Ref value = frame::getattr(obj, attr);
  return value && frame::to_double(value.get(), out);
}

// A per-channel width table must cover every channel; empty means "none".
inline bool check_feather_widths(Py_ssize_t widths, Py_ssize_t channels) {
  if (widths == 0 || widths >= channels) return true;
  PyErr_Format(PyExc_ValueError,
               "compute_feather_d returned %zd feather widths for %zd channels; expected none or "
               "at least one per channel",
               widths, channels);
  return false;
}

// os.cpu_count(), or 1 when it is unknown or unusable. `swallowed` selects
// which failures turn into 1.
inline PyObject* detect_cpu_count(const frame::Module& m, PyObject* swallowed) {
  Ref os_name = frame::steal(PyUnicode_InternFromString("os"));
  Ref os = os_name ? frame::global(m, os_name.get()) : Ref();
  Ref count = os ? frame::steal(PyObject_CallMethod(os.get(), "cpu_count", nullptr)) : Ref();
  Ref result;
  if (count) {
    const int truthy = frame::truth(count.get());
    if (truthy == 0) {
      result = frame::steal(PyLong_FromLong(1));
    } else if (truthy > 0) {
      if (PyLong_CheckExact(count.get())) {
        result = std::move(count);
      } else if (PyNumberMethods* nb = Py_TYPE(count.get())->tp_as_number;
                 nb != nullptr && (nb->nb_int || nb->nb_index || nb->nb_float)) {
        result = frame::steal(PyNumber_Long(count.get()));
      } else {
        PyErr_Format(PyExc_TypeError, "Expected %.200s, got %.200s", "int",
                     Py_TYPE(count.get())->tp_name);
      }
    }
  }
  if (!result && PyErr_ExceptionMatches(swallowed)) {
    PyErr_Clear();
    result = frame::steal(PyLong_FromLong(1));
  }
  return result.release();
}

// arr.astype(dtype, copy=False): the array itself when the dtype already matches.
inline PyObject* as_dtype(Ref arr, PyObject* dtype) {
  if (PyArray_DescrCheck(dtype) &&
      PyArray_EquivTypes(reinterpret_cast<PyArray_Descr*>(dtype),
                         PyArray_DESCR(frame::as_array(arr.get()))))
    return arr.release();
  Ref astype = frame::getattr(arr.get(), "astype");
  Ref kwnames = frame::steal(Py_BuildValue("(s)", "copy"));
  if (!astype || !kwnames) return nullptr;
  PyObject* args[] = {dtype, Py_False};
  return PyObject_Vectorcall(astype.get(), args, 1, kwnames.get());
}

// Python's `a op b` tested for truth, for the attribute checks of the entries.
inline int compare(PyObject* a, PyObject* b, int op) { return PyObject_RichCompareBool(a, b, op); }

inline int compare_long(PyObject* a, long b, int op) {
  Ref rhs = frame::steal(PyLong_FromLong(b));
  return rhs ? PyObject_RichCompareBool(a, rhs.get(), op) : -1;
}

}  // namespace tessaro::remap
