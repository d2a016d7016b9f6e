// Introspectable native function objects, declared as data.
//
// A module describes each Python-visible function with a FunctionSpec (name,
// parameters, defaults, annotations, docstring) and a C++ body that receives
// the bound arguments in declaration order. The object behaves like a Python
// function for introspection: inspect.signature() reads its __code__,
// __defaults__, __kwdefaults__ and __annotations__.
#pragma once

#include <cstddef>
#include <span>

#include "frame/errors.hpp"

namespace tessaro::frame {

inline constexpr std::size_t kMaxParams = 8;

struct Default {
  enum class Kind { required, none, integer, boolean, given };
  Kind kind = Kind::required;
  long value = 0;
};
inline constexpr Default kRequired{};
inline constexpr Default default_none{Default::Kind::none};
inline constexpr Default default_int(long v) { return {Default::Kind::integer, v}; }
inline constexpr Default default_bool(bool v) { return {Default::Kind::boolean, v}; }
// The value is supplied when the function object is made (e.g. an enum member).
inline constexpr Default default_given{Default::Kind::given};

struct Param {
  const char* name;
  const char* annotation = nullptr;  // stored as a string, never evaluated
  bool keyword_only = false;
  Default default_value = kRequired;
};

// Receives borrowed references to the bound arguments, in declaration order.
using Body = PyObject* (*)(PyObject* const* args);

struct FunctionSpec {
  const char* name;
  const char* module;  // e.g. "tessaro.cython._brisel"
  const char* file;    // source file named in traceback entries
  int line;
  const char* doc;  // nullptr: no docstring
  std::span<const Param> params;
  std::span<const char* const> locals;  // further variable names shown by __code__
  const char* return_annotation;
  Body body;
};

struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FunctionSpec* spec;
  PyObject* dict;
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* defaults;
  PyObject* kwdefaults;
  PyObject* annotations;
  PyObject* code;
  PyObject* globals;
  PyObject* traceback_name;
  PyObject* param_names[kMaxParams];
  PyObject* default_values[kMaxParams];  // null for a required parameter
};

namespace detail {

template <class F>
void for_each_ref(FunctionObject* f, F&& fn) {
  for (PyObject** slot : {&f->dict, &f->name, &f->qualname, &f->module, &f->doc, &f->defaults,
                          &f->kwdefaults, &f->annotations, &f->code, &f->globals,
                          &f->traceback_name})
    fn(slot);
  for (std::size_t i = 0; i < kMaxParams; ++i) {
    fn(&f->param_names[i]);
    fn(&f->default_values[i]);
  }
}

inline std::size_t positional_count(const FunctionSpec& s) {
  std::size_t n = 0;
  while (n < s.params.size() && !s.params[n].keyword_only) ++n;
  return n;
}

inline std::size_t required_count(const FunctionSpec& s) {
  std::size_t n = 0;
  while (n < s.params.size() && !s.params[n].keyword_only &&
         s.params[n].default_value.kind == Default::Kind::required)
    ++n;
  return n;
}

inline void raise_positional_count(const FunctionSpec& s, Py_ssize_t given) {
  auto min = static_cast<Py_ssize_t>(required_count(s));
  auto max = static_cast<Py_ssize_t>(positional_count(s));
  const char* bound = given < min ? "at least" : "at most";
  Py_ssize_t expected = given < min ? min : max;
  if (min == max) bound = "exactly";
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               s.name, bound, expected, expected == 1 ? "" : "s", given);
}

inline Py_ssize_t find_param(const FunctionObject* f, PyObject* key) {
  const std::size_t n = f->spec->params.size();
  for (std::size_t i = 0; i < n; ++i)
    if (f->param_names[i] == key) return static_cast<Py_ssize_t>(i);
  if (!PyUnicode_Check(key)) return -1;
  for (std::size_t i = 0; i < n; ++i)
    if (PyUnicode_Compare(f->param_names[i], key) == 0) return static_cast<Py_ssize_t>(i);
  return -1;
}

// Binds positional and keyword arguments the way the interpreter binds a
// Python function's, with the same kinds of messages.
inline bool bind(const FunctionObject* f, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, PyObject** bound) {
  const FunctionSpec& s = *f->spec;
  if (s.params.empty()) {
    // Worded as for any builtin that takes no arguments.
    if (nargs > 0) {
      PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", s.name, nargs);
      return false;
    }
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
      PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", s.name);
      return false;
    }
    return true;
  }
  if (nargs > static_cast<Py_ssize_t>(positional_count(s))) {
    raise_positional_count(s, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t j = 0; j < nkw; ++j) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, j);
    Py_ssize_t i = find_param(f, key);
    if (i < 0) {
      if (!PyUnicode_Check(key))
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", s.name);
      else
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", s.name, key);
      return false;
    }
    if (bound[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", s.name,
                   key);
      return false;
    }
    bound[i] = args[nargs + j];
  }
  for (std::size_t i = 0; i < s.params.size(); ++i) {
    if (bound[i] != nullptr) continue;
    if (f->default_values[i] != nullptr) {
      bound[i] = f->default_values[i];
    } else if (!s.params[i].keyword_only) {
      raise_positional_count(s, static_cast<Py_ssize_t>(i));
      return false;
    } else {
      PyErr_Format(PyExc_TypeError, "%s() needs keyword-only argument %s", s.name,
                   s.params[i].name);
      return false;
    }
  }
  return true;
}

inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                            PyObject* kwnames) {
  auto* f = reinterpret_cast<FunctionObject*>(callable);
  PyObject* bound[kMaxParams] = {};
  PyObject* result = nullptr;
  if (bind(f, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) result = f->spec->body(bound);
  if (result == nullptr)
    add_traceback(PyUnicode_AsUTF8(f->traceback_name), f->spec->file, f->spec->line);
  return result;
}

inline int traverse(PyObject* self, visitproc visit, void* arg) {
  int rc = 0;
  for_each_ref(reinterpret_cast<FunctionObject*>(self), [&](PyObject** slot) {
    if (rc == 0 && *slot != nullptr) rc = visit(*slot, arg);
  });
  if (rc == 0) Py_VISIT(Py_TYPE(self));
  return rc;
}

inline int clear(PyObject* self) {
  for_each_ref(reinterpret_cast<FunctionObject*>(self), [](PyObject** slot) { Py_CLEAR(*slot); });
  return 0;
}

inline void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

inline PyObject* repr(PyObject* self) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

// Pickled by reference: the module attribute of the same name.
inline PyObject* reduce(PyObject* self, PyObject*) {
  return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualname);
}

inline PyTypeObject* function_type() {
  static PyTypeObject* type = nullptr;
  if (type != nullptr) return type;
  static PyMemberDef members[] = {
      {"__name__", Py_T_OBJECT_EX, offsetof(FunctionObject, name), Py_READONLY, nullptr},
      {"__qualname__", Py_T_OBJECT_EX, offsetof(FunctionObject, qualname), Py_READONLY, nullptr},
      {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module), Py_READONLY, nullptr},
      {"__doc__", Py_T_OBJECT_EX, offsetof(FunctionObject, doc), Py_READONLY, nullptr},
      {"__defaults__", Py_T_OBJECT_EX, offsetof(FunctionObject, defaults), Py_READONLY, nullptr},
      {"__kwdefaults__", Py_T_OBJECT_EX, offsetof(FunctionObject, kwdefaults), Py_READONLY,
       nullptr},
      {"__annotations__", Py_T_OBJECT_EX, offsetof(FunctionObject, annotations), Py_READONLY,
       nullptr},
      {"__code__", Py_T_OBJECT_EX, offsetof(FunctionObject, code), Py_READONLY, nullptr},
      {"__globals__", Py_T_OBJECT_EX, offsetof(FunctionObject, globals), Py_READONLY, nullptr},
      {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
      {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY,
       nullptr},
      {nullptr, 0, 0, 0, nullptr}};
  static PyMethodDef methods[] = {{"__reduce__", reduce, METH_NOARGS, nullptr},
                                  {nullptr, nullptr, 0, nullptr}};
  static PyType_Slot slots[] = {
      {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
      {Py_tp_repr, reinterpret_cast<void*>(repr)},
      {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(clear)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
      {Py_tp_members, members},
      {Py_tp_methods, methods},
      {0, nullptr}};
  static PyType_Spec spec = {
      "tessaro.native_function", sizeof(FunctionObject), 0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
          Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
      slots};
  type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  return type;
}

inline Ref make_code(const FunctionSpec& s, PyObject* qualname) {
  Ref code = steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(s.file, s.name, s.line)));
  if (!code) return code;
  const std::size_t npos = positional_count(s);
  const std::size_t nvars = s.params.size() + s.locals.size();
  Ref varnames = steal(PyTuple_New(static_cast<Py_ssize_t>(nvars)));
  if (!varnames) return Ref();
  std::size_t i = 0;
  for (const Param& p : s.params) {
    PyObject* n = PyUnicode_InternFromString(p.name);
    if (n == nullptr) return Ref();
    PyTuple_SET_ITEM(varnames.get(), i++, n);
  }
  for (const char* local : s.locals) {
    PyObject* n = PyUnicode_InternFromString(local);
    if (n == nullptr) return Ref();
    PyTuple_SET_ITEM(varnames.get(), i++, n);
  }
  Ref replace = getattr(code.get(), "replace");
  Ref kwargs = steal(PyDict_New());
  if (!replace || !kwargs) return Ref();
  Ref argcount = steal(PyLong_FromSize_t(npos));
  Ref kwonly = steal(PyLong_FromSize_t(s.params.size() - npos));
  Ref nlocals = steal(PyLong_FromSize_t(nvars));
  Ref flags = steal(PyLong_FromLong(CO_OPTIMIZED | CO_NEWLOCALS));
  if (!argcount || !kwonly || !nlocals || !flags) return Ref();
  if (PyDict_SetItemString(kwargs.get(), "co_argcount", argcount.get()) < 0 ||
      PyDict_SetItemString(kwargs.get(), "co_kwonlyargcount", kwonly.get()) < 0 ||
      PyDict_SetItemString(kwargs.get(), "co_nlocals", nlocals.get()) < 0 ||
      PyDict_SetItemString(kwargs.get(), "co_varnames", varnames.get()) < 0 ||
      PyDict_SetItemString(kwargs.get(), "co_flags", flags.get()) < 0 ||
      PyDict_SetItemString(kwargs.get(), "co_qualname", qualname) < 0)
    return Ref();
  Ref empty = steal(PyTuple_New(0));
  if (!empty) return Ref();
  return steal(PyObject_Call(replace.get(), empty.get(), kwargs.get()));
}

inline Ref make_default(const Default& d, std::span<PyObject* const>& given) {
  switch (d.kind) {
    case Default::Kind::none:
      return borrow(Py_None);
    case Default::Kind::integer:
      return steal(PyLong_FromLong(d.value));
    case Default::Kind::boolean:
      return borrow(d.value ? Py_True : Py_False);
    case Default::Kind::given: {
      PyObject* v = given.front();
      given = given.subspan(1);
      return borrow(v);
    }
    case Default::Kind::required:
      break;
  }
  return Ref();
}

inline bool fill(FunctionObject* f, const FunctionSpec& s, PyObject* module_dict,
                 std::span<PyObject* const> given) {
  f->name = PyUnicode_InternFromString(s.name);
  f->qualname = Py_XNewRef(f->name);
  f->module = PyUnicode_FromString(s.module);
  f->traceback_name = PyUnicode_FromFormat("%s.%s", s.module, s.name);
  f->doc = s.doc != nullptr ? PyUnicode_FromString(s.doc) : Py_NewRef(Py_None);
  f->globals = Py_NewRef(module_dict);
  f->annotations = PyDict_New();
  if (!f->name || !f->module || !f->traceback_name || !f->doc || !f->annotations) return false;
  Ref defaults = steal(PyList_New(0));
  Ref kwdefaults = steal(PyDict_New());
  if (!defaults || !kwdefaults) return false;
  for (std::size_t i = 0; i < s.params.size(); ++i) {
    const Param& p = s.params[i];
    f->param_names[i] = PyUnicode_InternFromString(p.name);
    if (f->param_names[i] == nullptr) return false;
    if (p.annotation != nullptr) {
      Ref a = steal(PyUnicode_FromString(p.annotation));
      if (!a || PyDict_SetItem(f->annotations, f->param_names[i], a.get()) < 0) return false;
    }
    if (p.default_value.kind == Default::Kind::required) continue;
    Ref d = make_default(p.default_value, given);
    if (!d) return false;
    int rc = p.keyword_only ? PyDict_SetItem(kwdefaults.get(), f->param_names[i], d.get())
                            : PyList_Append(defaults.get(), d.get());
    if (rc < 0) return false;
    f->default_values[i] = d.release();
  }
  if (s.return_annotation != nullptr) {
    Ref a = steal(PyUnicode_FromString(s.return_annotation));
    if (!a || PyDict_SetItemString(f->annotations, "return", a.get()) < 0) return false;
  }
  f->defaults = PyList_GET_SIZE(defaults.get()) > 0 ? PyList_AsTuple(defaults.get())
                                                    : Py_NewRef(Py_None);
  f->kwdefaults = PyDict_GET_SIZE(kwdefaults.get()) > 0 ? kwdefaults.release() : Py_NewRef(Py_None);
  if (f->defaults == nullptr) return false;
  Ref code = make_code(s, f->qualname);
  f->code = code.release();
  return f->code != nullptr;
}

}  // namespace detail

// Creates the function object and stores it as a module global.
inline bool define_function(PyObject* module, const FunctionSpec& spec,
                            std::span<PyObject* const> given_defaults = {}) {
  PyTypeObject* type = detail::function_type();
  if (type == nullptr) return false;
  auto* f = PyObject_GC_New(FunctionObject, type);
  if (f == nullptr) return false;
  Ref owner = steal(reinterpret_cast<PyObject*>(f));
  f->vectorcall = detail::vectorcall;
  f->spec = &spec;
  detail::for_each_ref(f, [](PyObject** slot) { *slot = nullptr; });
  PyObject_GC_Track(f);
  if (!detail::fill(f, spec, PyModule_GetDict(module), given_defaults)) return false;
  return PyModule_AddObjectRef(module, spec.name, owner.get()) == 0;
}

}  // namespace tessaro::frame
