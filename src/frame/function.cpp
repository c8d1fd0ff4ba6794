// The function type: a callable that binds like a Python function, and the
// argument binding with its refusal messages.
#include "frame/frame.hpp"
#include "frame/internal.hpp"

#include <cstddef>
#include <cstring>
#include <new>
#include <string>

namespace frame {

namespace {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject FunctionType = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

inline Function* as_func(PyObject* o) { return reinterpret_cast<Function*>(o); }

Py_ssize_t ndefaults(Function* f) { return f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0; }

const char* plain_name(Function* f) {
    const char* s = PyUnicode_AsUTF8(f->name);
    if (!s) {
        PyErr_Clear();
        return "?";
    }
    return s;
}

// "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"
[[noreturn]] void count_error(Function* f, Py_ssize_t given, bool too_many) {
    Py_ssize_t nd = ndefaults(f);
    const char* word;
    Py_ssize_t number;
    if (!f->has_varargs && nd == 0) {
        word = "exactly";
        number = f->nparams;
    } else if (too_many) {
        word = "at most";
        number = f->nparams;
    } else {
        word = "at least";
        number = f->nparams - nd;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 plain_name(f), word, number, number == 1 ? "" : "s", given);
    fail();
}

bool same_name(PyObject* a, PyObject* b) {
    if (a == b) return true;
    return PyUnicode_Check(a) && PyUnicode_Check(b) && PyUnicode_Compare(a, b) == 0;
}

// Runs the body.  Like a Python frame, every call of a function of the
// package counts against the recursion limit, so that recursion through
// nested containers ends in RecursionError instead of exhausting the C stack.
PyObject* invoke(Function* f, PyObject* const* slots) {
    if (Py_EnterRecursiveCall(" while calling a Python object")) {
        add_traceback(f->tb_name, 0);
        return nullptr;
    }
    struct Leave {
        ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;
    try {
        Ref r = f->impl(Args{f, slots});
        if (!r) {
            if (PyErr_Occurred())
                add_traceback(f->tb_name, detail::error_line);
            else
                PyErr_SetString(PyExc_SystemError, "function returned NULL without an exception");
        }
        return r.release();
    } catch (const Error& e) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
        add_traceback(f->tb_name, e.line);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        add_traceback(f->tb_name, 0);
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
        add_traceback(f->tb_name, 0);
    }
    return nullptr;
}

// Binds positional arguments and keywords to the parameters, then runs the body.
PyObject* func_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                          PyObject* kwnames) {
    Function* f = as_func(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    const Py_ssize_t n = f->nparams;
    if (nkw == 0 && nargs == n && !f->has_varargs && !f->has_varkw) return invoke(f, args);

    constexpr int kStack = 12;
    PyObject* stack_slots[kStack];
    char stack_used[kStack];
    PyObject** slots = stack_slots;
    char* used = stack_used;
    std::string heap_slots, heap_used;  // storage when the stacks are too small
    try {
        if (n + 2 > kStack) {
            heap_slots.assign((n + 2) * sizeof(PyObject*), '\0');
            slots = reinterpret_cast<PyObject**>(heap_slots.data());
        }
        if (nkw > kStack) {
            heap_used.assign(nkw, '\0');
            used = heap_used.data();
        }
        for (Py_ssize_t i = 0; i < n + 2; i++) slots[i] = nullptr;
        for (Py_ssize_t j = 0; j < nkw; j++) used[j] = 0;

        // 1. surplus positional arguments without *args
        if (nargs > n && !f->has_varargs) count_error(f, nargs, true);
        // 2. positional binding
        const Py_ssize_t bound = nargs < n ? nargs : n;
        for (Py_ssize_t i = 0; i < bound; i++) slots[i] = args[i];
        Ref varargs, varkw;
        if (f->has_varargs) {
            varargs = own(PyTuple_New(nargs > n ? nargs - n : 0));
            for (Py_ssize_t i = n; i < nargs; i++) {
                Py_INCREF(args[i]);
                PyTuple_SET_ITEM(varargs.get(), i - n, args[i]);
            }
        }
        // 3. remaining parameters from the keywords
        PyObject* const* kwvalues = args + nargs;
        const Py_ssize_t first_default = n - ndefaults(f);
        for (Py_ssize_t i = bound; i < n; i++) {
            PyObject* pname = PyTuple_GET_ITEM(f->params, i);
            for (Py_ssize_t j = 0; j < nkw; j++) {
                if (!used[j] && same_name(PyTuple_GET_ITEM(kwnames, j), pname)) {
                    slots[i] = kwvalues[j];
                    used[j] = 1;
                    break;
                }
            }
            if (!slots[i] && i < first_default) count_error(f, i, false);
        }
        // 4. the other keywords, in order
        for (Py_ssize_t j = 0; j < nkw; j++) {
            if (used[j]) continue;
            PyObject* key = PyTuple_GET_ITEM(kwnames, j);
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", plain_name(f));
                fail();
            }
            for (Py_ssize_t i = 0; i < bound; i++) {
                if (same_name(key, PyTuple_GET_ITEM(f->params, i))) {
                    PyErr_Format(PyExc_TypeError,
                                 "%s() got multiple values for keyword argument '%U'",
                                 plain_name(f), key);
                    fail();
                }
            }
            if (!f->has_varkw) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                             plain_name(f), key);
                fail();
            }
            if (!varkw) varkw = own(PyDict_New());
            check(PyDict_SetItem(varkw.get(), key, kwvalues[j]));
        }
        // 5. defaults
        for (Py_ssize_t i = bound; i < n; i++)
            if (!slots[i]) slots[i] = PyTuple_GET_ITEM(f->defaults, i - first_default);
        Py_ssize_t k = n;
        if (f->has_varargs) slots[k++] = varargs.get();
        if (f->has_varkw) {
            if (!varkw) varkw = own(PyDict_New());
            slots[k++] = varkw.get();
        }
        return invoke(f, slots);
    } catch (const Error& e) {
        add_traceback(f->tb_name, e.line);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    return nullptr;
}

}  // namespace

PyObject* call_function_raw(PyObject* func, PyObject* const* slots) {
    return invoke(as_func(func), slots);
}

namespace {

PyObject* func_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* func_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_func(self)->qualname, self);
}

int func_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* f = as_func(self);
    Py_VISIT(f->params);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    Py_VISIT(f->globals);
    Py_VISIT(f->klass);
    Py_VISIT(f->closure);
    Py_VISIT(f->tb_name);
    return 0;
}

int func_clear(PyObject* self) {
    Function* f = as_func(self);
    Py_CLEAR(f->params);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->klass);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->tb_name);
    return 0;
}

void func_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_func(self)->weakreflist) PyObject_ClearWeakRefs(self);
    func_clear(self);
    PyObject_GC_Del(self);
}

// ---- attributes -----------------------------------------------------------

PyObject* get_str_field(PyObject* self, void* offset) {
    PyObject* v = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) +
                                                reinterpret_cast<std::ptrdiff_t>(offset));
    return Py_NewRef(v ? v : Py_None);
}

int set_string_attr(PyObject* self, PyObject* value, std::ptrdiff_t offset, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    PyObject** slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + offset);
    Py_INCREF(value);
    Py_XSETREF(*slot, value);
    return 0;
}

int set_name(PyObject* self, PyObject* value, void*) {
    return set_string_attr(self, value, offsetof(Function, name), "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_string_attr(self, value, offsetof(Function, qualname), "__qualname__");
}

int set_any(PyObject* self, PyObject* value, void* offset) {
    PyObject** slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) +
                                                   reinterpret_cast<std::ptrdiff_t>(offset));
    Py_XINCREF(value);
    Py_XSETREF(*slot, value);
    return 0;
}

int set_defaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Function* f = as_func(self);
    if (value && PyTuple_GET_SIZE(value) > f->nparams) {
        PyErr_SetString(PyExc_ValueError, "__defaults__ has more values than parameters");
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(f->defaults, value);
    return 0;
}

int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(as_func(self)->kwdefaults, value);
    return 0;
}

PyObject* get_annotations(PyObject* self, void*) {
    Function* f = as_func(self);
    if (!f->annotations) {
        f->annotations = PyDict_New();
        if (!f->annotations) return nullptr;
    }
    return Py_NewRef(f->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(as_func(self)->annotations, value);
    return 0;
}

// The parameter list as an inspect.Signature.
PyObject* get_signature(PyObject* self, void*) {
    Function* f = as_func(self);
    try {
        Ref inspect = own(PyImport_ImportModule("inspect"));
        Ref Parameter = own(PyObject_GetAttrString(inspect.get(), "Parameter"));
        Ref Signature = own(PyObject_GetAttrString(inspect.get(), "Signature"));
        Ref pos_kw = own(PyObject_GetAttrString(Parameter.get(), "POSITIONAL_OR_KEYWORD"));
        Ref var_pos = own(PyObject_GetAttrString(Parameter.get(), "VAR_POSITIONAL"));
        Ref var_kw = own(PyObject_GetAttrString(Parameter.get(), "VAR_KEYWORD"));
        Ref list = own(PyList_New(0));
        Ref kw_default = unicode("default");
        Ref kwnames = own(PyTuple_Pack(1, kw_default.get()));
        const Py_ssize_t first_default = f->nparams - ndefaults(f);
        Py_ssize_t total = PyTuple_GET_SIZE(f->params);
        for (Py_ssize_t i = 0; i < total; i++) {
            PyObject* pname = PyTuple_GET_ITEM(f->params, i);
            Ref p;
            if (i < f->nparams) {
                if (i >= first_default) {
                    PyObject* argv[3] = {pname, pos_kw.get(),
                                         PyTuple_GET_ITEM(f->defaults, i - first_default)};
                    p = call_args(Parameter.get(), argv, 2, kwnames.get());
                } else {
                    p = call(Parameter.get(), {pname, pos_kw.get()});
                }
            } else {
                bool is_kw = f->has_varkw && i == total - 1;
                p = call(Parameter.get(), {pname, is_kw ? var_kw.get() : var_pos.get()});
            }
            check(PyList_Append(list.get(), p.get()));
        }
        return call(Signature.get(), {list.get()}).release();
    } catch (const Error&) {
        return nullptr;
    }
}

PyObject* func_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_func(self)->qualname); }

PyMethodDef func_methods[] = {
    {"__reduce__", func_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

#define FIELD(f) reinterpret_cast<void*>(offsetof(Function, f))
PyGetSetDef func_getset[] = {
    {"__name__", get_str_field, set_name, nullptr, FIELD(name)},
    {"__qualname__", get_str_field, set_qualname, nullptr, FIELD(qualname)},
    {"__module__", get_str_field, set_any, nullptr, FIELD(module)},
    {"__doc__", get_str_field, set_any, nullptr, FIELD(doc)},
    {"__defaults__", get_str_field, set_defaults, nullptr, FIELD(defaults)},
    {"__kwdefaults__", get_str_field, set_kwdefaults, nullptr, FIELD(kwdefaults)},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__globals__", get_str_field, nullptr, nullptr, FIELD(globals)},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
#undef FIELD

}  // namespace

namespace detail {
void ready_function_type() {
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) return;
    FunctionType.tp_name = "tavik_function";
    FunctionType.tp_basicsize = sizeof(Function);
    FunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                            Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL;
    FunctionType.tp_vectorcall_offset = offsetof(Function, vectorcall);
    FunctionType.tp_call = PyVectorcall_Call;
    FunctionType.tp_descr_get = func_descr_get;
    FunctionType.tp_repr = func_repr;
    FunctionType.tp_traverse = func_traverse;
    FunctionType.tp_clear = func_clear;
    FunctionType.tp_dealloc = func_dealloc;
    FunctionType.tp_dictoffset = offsetof(Function, dict);
    FunctionType.tp_weaklistoffset = offsetof(Function, weakreflist);
    FunctionType.tp_getset = func_getset;
    FunctionType.tp_methods = func_methods;
    FunctionType.tp_doc = "A function of a tavik.datastructures module.";
    check(PyType_Ready(&FunctionType));
}
}  // namespace detail

PyTypeObject* function_type() { return &FunctionType; }

Ref make_function(const Def& d, const char* owner_qualname, PyObject* closure) {
    Function* f = PyObject_GC_New(Function, &FunctionType);
    if (!f) fail();
    // Zero every field after the header before anything can fail.
    std::memset(reinterpret_cast<char*>(f) + sizeof(PyObject), 0,
                sizeof(Function) - sizeof(PyObject));
    Ref owner = Ref::steal(reinterpret_cast<PyObject*>(f));
    f->vectorcall = func_vectorcall;
    f->impl = d.impl;
    f->flags = d.flags;

    Ref params = own(PyTuple_New(static_cast<Py_ssize_t>(d.params.size())));
    Py_ssize_t i = 0;
    int positional = 0;
    for (const char* p : d.params) {
        const char* bare = p;
        if (std::strncmp(p, "**", 2) == 0) {
            f->has_varkw = true;
            bare = p + 2;
        } else if (p[0] == '*') {
            f->has_varargs = true;
            bare = p + 1;
        } else {
            positional++;
        }
        PyObject* s = PyUnicode_InternFromString(bare);
        if (!s) fail();
        PyTuple_SET_ITEM(params.get(), i++, s);
    }
    f->nparams = positional;
    f->params = params.release();

    std::string qual = owner_qualname ? std::string(owner_qualname) + "." + d.name : d.name;
    if (d.qualname) qual = d.qualname;
    f->name = own(PyUnicode_InternFromString(d.name)).release();
    f->qualname = own(PyUnicode_FromString(qual.c_str())).release();
    f->module = Py_NewRef(module_path());
    f->doc = d.doc ? own(PyUnicode_FromString(d.doc)).release() : nullptr;
    if (d.defaults.size()) {
        Ref defaults = own(PyTuple_New(static_cast<Py_ssize_t>(d.defaults.size())));
        Py_ssize_t k = 0;
        for (PyObject* v : d.defaults) PyTuple_SET_ITEM(defaults.get(), k++, Py_NewRef(v));
        f->defaults = defaults.release();
    }
    f->globals = Py_XNewRef(module_globals());
    f->closure = Py_XNewRef(closure);
    std::string tb = PyUnicode_AsUTF8(module_path());
    tb += ".";
    tb += d.tb_name ? d.tb_name : qual.c_str();
    f->tb_name = own(PyUnicode_InternFromString(tb.c_str())).release();
    PyObject_GC_Track(f);
    return owner;
}

PyObject* defining_class(const Args& a, Loc loc) {
    if (!a.func->klass) raise(PyExc_SystemError, "super(): empty __class__ cell", loc);
    return a.func->klass;
}

Ref super_attr(const Args& a, Name& name, Loc loc) {
    PyObject* cls = defining_class(a, loc);
    Ref sup = call(reinterpret_cast<PyObject*>(&PySuper_Type), {cls, a[0]}, loc);
    return getattr(sup.get(), name, loc);
}

PyObject* own_attr_raw(PyTypeObject* type, PyObject* name) {
#if PY_VERSION_HEX >= 0x030C0000
    // Static built-in types keep their namespace in the interpreter state.
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
        PyObject* dict = PyType_GetDict(type);
        PyObject* v = dict ? PyDict_GetItemWithError(dict, name) : nullptr;
        Py_XDECREF(dict);  // the type keeps its namespace alive
        return v;
    }
#endif
    return type->tp_dict ? PyDict_GetItemWithError(type->tp_dict, name) : nullptr;
}

PyObject* mro_lookup_raw(PyTypeObject* type, PyObject* name, PyObject* after) {
    PyObject* mro = type->tp_mro;
    if (!mro) return nullptr;
    Py_ssize_t n = PyTuple_GET_SIZE(mro), i = 0;
    if (after) {
        while (i < n && PyTuple_GET_ITEM(mro, i) != after) i++;
        i++;
    }
    for (; i < n; i++) {
        PyObject* v =
            own_attr_raw(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i)), name);
        if (v || PyErr_Occurred()) return v;
    }
    return nullptr;
}

Ref super_call(const Args& a, Name& name, PyObject* const* args, size_t n, PyObject* kwnames,
               Loc loc) {
    const size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    PyObject* raw = super_lookup_raw(a, name.get(), loc);
    PyTypeObject* t = raw ? Py_TYPE(raw) : nullptr;
    if (t == &PyFunction_Type || t == &PyMethodDescr_Type || t == &PyWrapperDescr_Type ||
        t == &FunctionType) {
        Ref keep = Ref::borrow(raw);
        std::vector<PyObject*> stack(n + nkw + 1);
        stack[0] = a[0];
        for (size_t i = 0; i < n + nkw; i++) stack[i + 1] = args[i];
        return call_args(keep.get(), stack.data(), n + 1, kwnames, loc);
    }
    Ref meth = super_attr(a, name, loc);
    return call_args(meth.get(), args, n, kwnames, loc);
}

PyObject* super_lookup_raw(const Args& a, PyObject* name, Loc loc) {
    return mro_lookup(Py_TYPE(a[0]), name, defining_class(a, loc), loc);
}

}  // namespace frame
