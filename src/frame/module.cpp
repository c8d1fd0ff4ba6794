// Multi-phase module initialisation, the module body helpers (imports,
// bindings) and module-level name lookup.
//
// Each extension module links its own copy of this file, so the statics below
// are the per-module process state: the module object once created and the
// interpreter that first imported it.
#include "frame/frame.hpp"
#include "frame/internal.hpp"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

namespace frame {

namespace {
const ModuleInfo* g_info = nullptr;
PyModuleDef g_def;
PyModuleDef_Slot g_slots[3];
int64_t g_interpreter = -1;
PyObject* g_module = nullptr;   // owned once the body starts
PyObject* g_globals = nullptr;  // borrowed from g_module
PyObject* g_path = nullptr;     // "tavik.datastructures.<short>", owned
std::string g_tb_file;
std::string g_init_name;

PyObject* builtins_module() {
    static PyObject* mod = nullptr;
    if (!mod) {
        mod = PyImport_ImportModule("builtins");
        if (!mod) fail();
    }
    return mod;
}

// Create step.
PyObject* create(PyObject* spec, PyModuleDef*) {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (g_interpreter == -1) {
        g_interpreter = id;
    } else if (g_interpreter != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into "
                        "one interpreter per process.");
        return nullptr;
    }
    if (g_module) {
        Py_INCREF(g_module);
        return g_module;
    }
    try {
        Ref name = own(PyObject_GetAttrString(spec, "name"));
        Ref module = own(PyModule_NewObject(name.get()));
        PyObject* dict = PyModule_GetDict(module.get());
        static const char* const copies[][2] = {{"loader", "__loader__"},
                                                {"origin", "__file__"},
                                                {"parent", "__package__"},
                                                {"submodule_search_locations", "__path__"}};
        for (const auto& c : copies) {
            PyObject* value = PyObject_GetAttrString(spec, c[0]);
            if (!value) {
                if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail();
                PyErr_Clear();
                continue;
            }
            Ref v = Ref::steal(value);
            if (std::strcmp(c[1], "__path__") == 0 && v.get() == Py_None) continue;
            check(PyDict_SetItemString(dict, c[1], v.get()));
        }
        return module.release();
    } catch (const Error&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
}

void version_check() {
    char build[32], run[32];
    std::snprintf(build, sizeof build, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    int major = 0, minor = 0;
    std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor);
    std::snprintf(run, sizeof run, "%d.%d", major, minor);
    if (std::strcmp(build, run) != 0) {
        check(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                               "compiletime version %s of module '%.100s' does not match "
                               "runtime version %s",
                               build, PyUnicode_AsUTF8(g_path), run));
    }
}

void drop_module() {
    g_globals = nullptr;
    Py_CLEAR(g_module);
}

// Execute step: the module body.
int exec(PyObject* module) {
    if (g_module) {
        if (g_module == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not "
                     "supported.",
                     g_info->short_name);
        return -1;
    }
    try {
        version_check();
        Py_INCREF(module);
        g_module = module;
        g_globals = PyModule_GetDict(module);
    } catch (const Error&) {
        return -1;
    }
    try {
        check(PyObject_SetAttrString(module, "__builtins__", builtins_module()));
        PyObject* modules = PyImport_GetModuleDict();
        PyObject* present = PyDict_GetItemWithError(modules, g_path);
        if (!present) {
            if (PyErr_Occurred()) fail();
            check(PyDict_SetItem(modules, g_path, module));
        }
        if (g_info->defines_generators) register_generator_type();
        Body body(module);
        g_info->body(body);
        Ref test = body.take_test();
        if (!test) test = own(PyDict_New());
        check(PyDict_SetItemString(g_globals, "__test__", test.get()));
        return 0;
    } catch (const Error& e) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ImportError, g_init_name.c_str());
        } else {
            add_traceback(g_init_name.c_str(), e.line);
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        add_traceback(g_init_name.c_str(), 0);
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in module body");
        add_traceback(g_init_name.c_str(), 0);
    }
    drop_module();
    return -1;
}

}  // namespace

namespace detail {

PyObject* module_def(const ModuleInfo* info) {
    if (!g_info) {
        g_info = info;
        g_path = PyUnicode_FromFormat("tavik.datastructures.%s", info->short_name);
        if (!g_path) return nullptr;
        g_tb_file = std::string("src/tavik/datastructures/") + info->short_name;
        g_init_name = std::string("init tavik.datastructures.") + info->short_name;
        try {
            ready_function_type();
        } catch (const Error&) {
            return nullptr;
        }
        g_slots[0] = {Py_mod_create, reinterpret_cast<void*>(create)};
        g_slots[1] = {Py_mod_exec, reinterpret_cast<void*>(exec)};
        g_slots[2] = {0, nullptr};
        g_def = {PyModuleDef_HEAD_INIT,
                 info->short_name,
                 info->doc,
                 0,
                 nullptr,
                 g_slots,
                 nullptr,
                 nullptr,
                 nullptr};
    }
    return PyModuleDef_Init(&g_def);
}

const char* traceback_file() { return g_tb_file.c_str(); }
const char* short_name() { return g_info ? g_info->short_name : "?"; }

}  // namespace detail

PyObject* module_path() { return g_path; }
PyObject* module_globals() { return g_globals; }

Ref global(Name& name, Loc loc) {
    PyObject* key = name.get();
    if (g_globals) {
        PyObject* v = PyDict_GetItemWithError(g_globals, key);
        if (v) return Ref::borrow(v);
        if (PyErr_Occurred()) fail(loc);
    }
    PyObject* b = PyModule_GetDict(builtins_module());
    PyObject* v = PyDict_GetItemWithError(b, key);
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) fail(loc);
    raisef(PyExc_NameError, loc, "name '%U' is not defined", key);
}

PyObject* builtin(Name& name, Loc loc) {
    // Fetched once: later changes to the builtins module do not show.
    struct Entry {
        Name* name;
        PyObject* value;
    };
    static std::vector<Entry>* cache = new std::vector<Entry>();
    for (const Entry& e : *cache)
        if (e.name == &name) return e.value;
    PyObject* v = PyObject_GetAttr(builtins_module(), name.get());
    if (!v) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            raisef(PyExc_NameError, loc, "name '%U' is not defined", name.get());
        }
        fail(loc);
    }
    cache->push_back({&name, v});
    return v;
}

// ---------------------------------------------------------------------------
// The module body.

Body::Body(PyObject* module) : module_(module), dict_(PyModule_GetDict(module)) {}

namespace {
// Imports `name` the way the module body does: relative to the package
// first (when `relative_first`), then absolute; or relative only.
Ref import_module(PyObject* globals, const char* name, PyObject* fromlist, int mode, Loc loc) {
    Ref uname = unicode(name, loc);
    Ref empty = own(PyDict_New(), loc);
    if (mode != 0) {  // relative attempt
        PyObject* m = PyImport_ImportModuleLevelObject(uname.get(), globals, empty.get(),
                                                       fromlist, 1);
        if (m) return Ref::steal(m);
        if (mode == 2 || !PyErr_ExceptionMatches(PyExc_ImportError)) fail(loc);
        PyErr_Clear();
    }
    return own(PyImport_ImportModuleLevelObject(uname.get(), globals, empty.get(), fromlist, 0),
               loc);
}

void bind_from(Body& b, PyObject* module, std::initializer_list<const char*> names, Loc loc) {
    for (const char* n : names) {
        Ref key = own(PyUnicode_InternFromString(n), loc);
        PyObject* v = PyObject_GetAttr(module, key.get());
        if (!v) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                raisef(PyExc_ImportError, loc, "cannot import name %S", key.get());
            }
            fail(loc);
        }
        Ref value = Ref::steal(v);
        check(PyDict_SetItem(b.dict(), key.get(), value.get()), loc);
    }
}

Ref name_tuple(std::initializer_list<const char*> names, Loc loc) {
    Ref t = own(PyTuple_New(static_cast<Py_ssize_t>(names.size())), loc);
    Py_ssize_t i = 0;
    for (const char* n : names) PyTuple_SET_ITEM(t.get(), i++, unicode(n, loc).release());
    return t;
}
}  // namespace

Ref Body::import(const char* name, Loc loc) {
    Ref m = import_module(dict_, name, nullptr, 1, loc);
    set(name, m.get(), loc);
    return m;
}

void Body::from_import(const char* module, std::initializer_list<const char*> names, Loc loc) {
    Ref fromlist = name_tuple(names, loc);
    Ref m = import_module(dict_, module, fromlist.get(), 1, loc);
    bind_from(*this, m.get(), names, loc);
}

void Body::relative_import(const char* module, std::initializer_list<const char*> names,
                           Loc loc) {
    Ref fromlist = name_tuple(names, loc);
    Ref m = import_module(dict_, module, fromlist.get(), 2, loc);
    bind_from(*this, m.get(), names, loc);
}

void Body::set(const char* name, PyObject* value, Loc loc) {
    Ref key = own(PyUnicode_InternFromString(name), loc);
    check(PyDict_SetItem(dict_, key.get(), value), loc);
}

Ref Body::def(const Def& d, Loc loc) {
    Ref f = make_function(d, nullptr);
    set(d.name, f.get(), loc);
    return f;
}

}  // namespace frame
