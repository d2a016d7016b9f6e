// Multi-phase module initialisation shared by the extension modules.
//
// One module object per process: a later import (also after the module was
// removed from sys.modules) gets the same object back and re-runs nothing; a
// second interpreter is refused, because the module's state is process-wide.
#pragma once

#include <cstdint>
#include <span>
#include <type_traits>

#include "frame/errors.hpp"

namespace tessaro::frame {

// One entry of the C-level export table: key, capsule name (the exact C
// signature consumers compare against) and the function's address.
struct Export {
  const char* name;
  const char* signature;
  void* address;
};

template <class F>
void* export_address(F* fn) {
  return reinterpret_cast<void*>(fn);
}

struct Module {
  PyModuleDef def;  // first member: the interpreter hands it back to create()
  PyModuleDef_Slot slots[3];
  const char* qualified_name;  // "tessaro.cython._tovik"
  const char* source_file;
  std::span<const Export> exports;  // empty: the module has no __pyx_capi__
  // The module-level statements (imports, function definitions); returns
  // false with an exception set.
  bool (*body)(PyObject* module);

  // Process-wide state, written only during initialisation.
  std::int64_t interpreter_id;
  PyObject* module;

  Module(const char* name, const char* qualified, const char* doc, const char* file,
         std::span<const Export> table, bool (*statements)(PyObject*));
};

namespace detail {

inline Module& owner(PyModuleDef* def) { return *reinterpret_cast<Module*>(def); }

// Copies a spec attribute into the module dict; a missing attribute is skipped.
inline bool copy_spec_attr(PyObject* spec, const char* from, PyObject* dict, const char* to,
                           bool skip_none) {
  Ref value = getattr(spec, from);
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    return true;
  }
  if (skip_none && value.get() == Py_None) return true;
  return PyDict_SetItemString(dict, to, value.get()) == 0;
}

inline PyObject* create(PyObject* spec, PyModuleDef* def) {
  Module& m = owner(def);
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return nullptr;
  if (m.interpreter_id == -1) {
    m.interpreter_id = id;
  } else if (id != m.interpreter_id) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return nullptr;
  }
  if (m.module != nullptr) return Py_NewRef(m.module);
  Ref name = getattr(spec, "name");
  if (!name) return nullptr;
  Ref module = steal(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  PyObject* dict = PyModule_GetDict(module.get());
  if (!copy_spec_attr(spec, "loader", dict, "__loader__", false) ||
      !copy_spec_attr(spec, "origin", dict, "__file__", false) ||
      !copy_spec_attr(spec, "parent", dict, "__package__", false) ||
      !copy_spec_attr(spec, "submodule_search_locations", dict, "__path__", true))
    return nullptr;
  return module.release();
}

inline bool warn_on_version_mismatch(const char* qualified) {
  const int major = static_cast<int>((Py_Version >> 24) & 0xff);
  const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
  if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
  return PyErr_WarnFormat(nullptr, 1,
                          "compile time Python version %d.%d of module '%.100s' %s runtime "
                          "version %d.%d",
                          PY_MAJOR_VERSION, PY_MINOR_VERSION, qualified, "does not match", major,
                          minor) == 0;
}

inline bool publish_exports(PyObject* module, std::span<const Export> exports) {
  Ref table = getattr(module, "__pyx_capi__");
  if (!table) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    table = steal(PyDict_New());
    if (!table || PyObject_SetAttrString(module, "__pyx_capi__", table.get()) < 0) return false;
  }
  for (const Export& e : exports) {
    Ref capsule = steal(PyCapsule_New(e.address, e.signature, nullptr));
    if (!capsule || PyDict_SetItemString(table.get(), e.name, capsule.get()) < 0) return false;
  }
  return true;
}

inline bool run_exec(Module& m, PyObject* module) {
  Ref builtins = steal(PyImport_ImportModule("builtins"));
  if (!builtins || PyObject_SetAttrString(module, "__builtins__", builtins.get()) < 0) return false;
  if (!warn_on_version_mismatch(m.qualified_name)) return false;
  PyObject* modules = PyImport_GetModuleDict();
  Ref key = steal(PyUnicode_FromString(m.qualified_name));
  if (!key) return false;
  const int present = PyDict_Contains(modules, key.get());
  if (present < 0 || (present == 0 && PyDict_SetItem(modules, key.get(), module) < 0)) return false;
  if (!m.exports.empty() && !publish_exports(module, m.exports)) return false;
  return m.body(module);
}

inline int exec(PyObject* module) {
  Module& m = owner(PyModule_GetDef(module));
  if (m.module != nullptr) {
    if (m.module == module) return 0;
    PyErr_Format(PyExc_RuntimeError,
                 "Module '%s' has already been imported. Re-initialisation is not supported.",
                 m.def.m_name);
    return -1;
  }
  m.module = Py_NewRef(module);
  if (run_exec(m, module)) return 0;
  Ref name = steal(PyUnicode_FromFormat("init %s", m.qualified_name));
  if (name) add_traceback(PyUnicode_AsUTF8(name.get()), m.source_file, 1);
  Py_CLEAR(m.module);
  return -1;
}

}  // namespace detail

inline Module::Module(const char* name, const char* qualified, const char* doc, const char* file,
                      std::span<const Export> table, bool (*statements)(PyObject*))
    : def{PyModuleDef_HEAD_INIT, name, doc, 0, nullptr, slots, nullptr, nullptr, nullptr},
      slots{{Py_mod_create, reinterpret_cast<void*>(detail::create)},
            {Py_mod_exec, reinterpret_cast<void*>(detail::exec)},
            {0, nullptr}},
      qualified_name(qualified),
      source_file(file),
      exports(table),
      body(statements),
      interpreter_id(-1),
      module(nullptr) {}

static_assert(std::is_standard_layout_v<Module>);

// Module-level `import name` (or `import name as alias`).
inline bool import_as(PyObject* module, const char* name, const char* alias) {
  Ref imported = steal(PyImport_ImportModule(name));
  return imported && PyModule_AddObjectRef(module, alias, imported.get()) == 0;
}

// What a call site of import_from keeps between calls: its names as Python
// strings, and the absolute module name its relative name resolved to for
// the globals' __package__ and __spec__ of the last call (held, so that no
// other object can take their identity).
struct ImportSite {
  PyObject* from_name = nullptr;
  PyObject* fromlist = nullptr;
  PyObject* package = nullptr;
  PyObject* spec = nullptr;
  PyObject* absolute = nullptr;
};

namespace detail {

// The absolute name of `from` at `level` relative to `package`, computed as
// the import system computes it; null (and no error) when the import system
// would take another road (no package string, a package that disagrees with
// its spec, a level beyond the top package).
inline Ref resolve_relative(PyObject* package, PyObject* spec, PyObject* from_name, int level) {
  if (package == nullptr || !PyUnicode_Check(package)) return Ref();
  if (spec != nullptr && spec != Py_None) {
    Ref parent = getattr(spec, "parent");
    const int same = parent ? PyObject_RichCompareBool(package, parent.get(), Py_EQ) : -1;
    if (same != 1) {
      PyErr_Clear();
      return Ref();
    }
  }
  Ref base = borrow(package);
  for (int k = 1; k < level; ++k) {
    const Py_ssize_t dot = PyUnicode_FindChar(base.get(), '.', 0, PyUnicode_GET_LENGTH(base.get()), -1);
    if (dot < 0) {
      PyErr_Clear();
      return Ref();
    }
    base = steal(PyUnicode_Substring(base.get(), 0, dot));
    if (!base) return Ref();
  }
  Ref name = steal(PyUnicode_FromFormat("%U.%U", base.get(), from_name));
  if (name) PyUnicode_InternInPlace(reinterpret_cast<PyObject**>(&name));
  return name;
}

}  // namespace detail

// `from <level dots><from> import names...` relative to `globals`, as Python
// code in the module would run it; fills `out` with new references.
//
// With a `site`, once the relative name has been resolved for the globals'
// current __package__ and __spec__, later calls with the same two objects
// look the module up by its absolute name (PyImport_GetModule: the module
// table, waiting for a module still being initialised, as the import
// statement does) and only go through the full import machinery when the
// module is not loaded.
inline bool import_from(PyObject* globals, const char* from, int level,
                        std::span<const char* const> names, std::span<Ref> out,
                        ImportSite* site = nullptr) {
  // Without a site the names live for this call only.
  ImportSite local;
  Ref local_from, local_list;
  ImportSite& s = site != nullptr ? *site : local;
  if (s.from_name == nullptr) {
    Ref fromlist = steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!fromlist) return false;
    for (std::size_t i = 0; i < names.size(); ++i) {
      PyObject* n = PyUnicode_InternFromString(names[i]);
      if (n == nullptr) return false;
      PyTuple_SET_ITEM(fromlist.get(), static_cast<Py_ssize_t>(i), n);
    }
    Ref from_name = steal(PyUnicode_InternFromString(from));
    if (!from_name) return false;
    if (site != nullptr) {
      s.fromlist = fromlist.release();
      s.from_name = from_name.release();
    } else {
      local_list = std::move(fromlist);
      local_from = std::move(from_name);
      s.fromlist = local_list.get();
      s.from_name = local_from.get();
    }
  }

  PyObject* package = PyDict_GetItemWithError(globals, interned("__package__"));
  PyObject* spec = package || !PyErr_Occurred() ? PyDict_GetItemWithError(globals, interned("__spec__")) : nullptr;
  if (PyErr_Occurred()) return false;
  Ref mod;
  if (s.absolute != nullptr && package == s.package && spec == s.spec) {
    mod = steal(PyImport_GetModule(s.absolute));
    if (!mod && PyErr_Occurred()) return false;
    if (mod.get() == Py_None) mod = Ref();  // the full import reports it
  }
  if (!mod) {
    mod = steal(PyImport_ImportModuleLevelObject(s.from_name, globals, nullptr, s.fromlist, level));
    if (!mod) return false;
    if (site != nullptr) {
      Ref absolute = detail::resolve_relative(package, spec, s.from_name, level);
      if (!absolute && PyErr_Occurred()) PyErr_Clear();
      Py_XSETREF(s.absolute, absolute.release());
      Py_XINCREF(package);
      Py_XSETREF(s.package, package);
      Py_XINCREF(spec);
      Py_XSETREF(s.spec, spec);
    }
  }
  for (std::size_t i = 0; i < names.size(); ++i) {
    PyObject* n = PyTuple_GET_ITEM(s.fromlist, static_cast<Py_ssize_t>(i));
    out[i] = getattr(mod.get(), n);
    if (!out[i]) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
      PyErr_Clear();
      Ref mod_name = getattr(mod.get(), "__name__");
      if (!mod_name) PyErr_Clear();
      PyErr_Format(PyExc_ImportError, "cannot import name %R from %R", n,
                   mod_name ? mod_name.get() : s.from_name);
      return false;
    }
  }
  return true;
}

}  // namespace tessaro::frame

namespace tessaro::frame {

// Interned names and texts a module keeps for its whole life (modules are
// never unloaded, so these are never released).
struct Interned {
  PyObject** slot;
  const char* text;
};
inline bool intern(std::initializer_list<Interned> items) {
  for (const Interned& it : items) {
    *it.slot = PyUnicode_InternFromString(it.text);
    if (*it.slot == nullptr) return false;
  }
  return true;
}

// A module global as Python code in the module would see it: the module's
// dict first, then builtins.
inline Ref global(const Module& m, PyObject* name) {
  PyObject* dict = PyModule_GetDict(m.module);
  PyObject* v = PyDict_GetItemWithError(dict, name);
  if (v == nullptr && !PyErr_Occurred()) {
    PyObject* builtins = PyEval_GetBuiltins();
    v = builtins != nullptr ? PyDict_GetItemWithError(builtins, name) : nullptr;
    if (v == nullptr && !PyErr_Occurred())
      PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  }
  return borrow(v);
}

}  // namespace tessaro::frame
