// The module frame shared by every extension module of tavik.datastructures.
//
//   ref.hpp        owned references, the Error exception
//   names          interned attribute/global names (Name)
//   module.cpp     multi-phase init, module body helpers, imports, globals
//   function.cpp   the function type and argument binding
//   classdef.cpp   class statements
//   errors.cpp     raising, handled exceptions, traceback entries, unpacking,
//                  slicing, guarded calls
//   generator.cpp  generator objects
//
// A module source file defines its body and ends with TAVIK_MODULE(...).
#pragma once

#include "frame/ref.hpp"

#include <initializer_list>
#include <string>
#include <vector>

namespace frame {

// ---------------------------------------------------------------------------
// Names: interned strings made on first use and kept for the process.
class Name {
public:
    constexpr explicit Name(const char* s) noexcept : s_(s) {}
    PyObject* get();  // borrowed, never NULL (aborts the call with Error on failure)
    const char* c_str() const noexcept { return s_; }

private:
    const char* s_;
    PyObject* o_ = nullptr;
};

// ---------------------------------------------------------------------------
// Module identity and state (one per extension module, i.e. per shared library).
struct ModuleInfo {
    const char* short_name;  // "fieldbag"
    const char* doc;         // module docstring or nullptr
    bool defines_generators;
    void (*body)(class Body&);
};

// The module's full dotted path ("tavik.datastructures.fieldbag").
PyObject* module_path();
// The module namespace dictionary (borrowed).
PyObject* module_globals();

// Reads a module-level name: the module namespace, then builtins; NameError
// "name '%U' is not defined" when neither has it.
Ref global(Name& name, Loc loc = Loc::current());
// A built-in fetched once when the body starts (super, KeyError, open, ...).
PyObject* builtin(Name& name, Loc loc = Loc::current());

// ---------------------------------------------------------------------------
// Functions.
struct Function;

// Bound arguments: one slot per parameter, then the *args tuple and the
// **kwargs dict when the function has them.  All borrowed for the call.
struct Args {
    Function* func;
    PyObject* const* v;
    PyObject* operator[](int i) const noexcept { return v[i]; }
};

using Impl = Ref (*)(Args);

enum : unsigned {
    STATIC = 1u << 0,       // stored wrapped in staticmethod
    CLASSMETHOD = 1u << 1,  // stored wrapped in classmethod
    SUPER = 1u << 2,        // uses the zero-argument super(): receives the defining class
};

// A function definition.  `params` lists the parameter names in order; a
// name starting with "*" is the *args collector, with "**" the **kwargs one.
// `defaults` are the default values of the last positional parameters.
struct Def {
    const char* name;
    std::initializer_list<const char*> params;
    Impl impl;
    const char* doc = nullptr;
    unsigned flags = 0;
    std::initializer_list<PyObject*> defaults = {};
    const char* qualname = nullptr;  // default: "<Class>.<name>" or "<name>"
    const char* tb_name = nullptr;   // traceback entry name if not "<path>.<qualname>"
};

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Impl impl;
    unsigned flags;
    int nparams;          // positional-or-keyword parameters
    bool has_varargs;
    bool has_varkw;
    PyObject* params;     // tuple of all parameter names (including *args/**kwargs names)
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;   // tuple or NULL
    PyObject* kwdefaults; // NULL means None
    PyObject* annotations;
    PyObject* dict;
    PyObject* globals;
    PyObject* klass;      // the defining class, for super()
    PyObject* closure;    // whatever the creating code keeps for the body
    PyObject* tb_name;    // traceback entry name
    PyObject* weakreflist;
};

PyTypeObject* function_type();

// Makes a function object (not wrapped in staticmethod/classmethod).
// `owner_qualname` is the qualified name of the class it is defined in.
Ref make_function(const Def& def, const char* owner_qualname = nullptr,
                  PyObject* closure = nullptr);

// True when `o` is a function of this module whose implementation is `impl`
// (used for fast paths that skip the generic call when nothing is overridden).
inline bool is_impl(PyObject* o, Impl impl) {
    return o && Py_TYPE(o) == function_type() &&
           reinterpret_cast<Function*>(o)->impl == impl;
}

// Runs a function of the package with its arguments already bound (one per
// parameter, then the *args tuple and the **kwargs dict): the call without the
// binding step, for fast paths that found the function on a type.  Returns
// NULL with the exception set (and the function's traceback entry added).
PyObject* call_function_raw(PyObject* func, PyObject* const* slots);
inline PyObject* call_function_raw(PyObject* func, std::initializer_list<PyObject*> slots) {
    return call_function_raw(func, slots.begin());
}
inline Ref call_function(PyObject* func, std::initializer_list<PyObject*> slots,
                         Loc loc = Loc::current()) {
    return own(call_function_raw(func, slots), loc);
}

// The defining class for zero-argument super(); SystemError
// "super(): empty __class__ cell" before the class exists.
PyObject* defining_class(const Args& a, Loc loc = Loc::current());
// super().<name> inside a method: super(defining class, first argument).<name>
Ref super_attr(const Args& a, Name& name, Loc loc = Loc::current());
// super().<name>(*args): a plain method (a function or a method descriptor)
// found after the defining class is called with the instance first, as the
// bound method of super() would be, without making the super object; anything
// else goes through super_attr.  `args` holds n positional values followed by
// the values of `kwnames`.
Ref super_call(const Args& a, Name& name, PyObject* const* args, size_t n,
               PyObject* kwnames = nullptr, Loc loc = Loc::current());
inline Ref super_call(const Args& a, Name& name, std::initializer_list<PyObject*> args,
                      Loc loc = Loc::current()) {
    return super_call(a, name, args.begin(), args.size(), nullptr, loc);
}
// Looks up `name` in the method order of type(self) after the defining class
// and returns the raw class attribute (borrowed) or nullptr when absent.
// No user code runs.
PyObject* super_lookup_raw(const Args& a, PyObject* name, Loc loc = Loc::current());

// The attribute `name` in the type's own namespace (not its bases), borrowed,
// or nullptr when absent or on error (then an exception is set).  No user code
// runs.
PyObject* own_attr_raw(PyTypeObject* type, PyObject* name);
inline PyObject* own_attr(PyTypeObject* type, Name& name, Loc loc = Loc::current()) {
    PyObject* v = own_attr_raw(type, name.get());
    if (!v && PyErr_Occurred()) fail(loc);
    return v;
}
// Looks up `name` in the method order of `type` (after the class `after`
// when given) and returns the raw class attribute, borrowed, or nullptr when
// absent.  No user code runs.  The _raw form sets an exception and returns
// nullptr on failure instead of throwing.
PyObject* mro_lookup_raw(PyTypeObject* type, PyObject* name, PyObject* after = nullptr);
inline PyObject* mro_lookup(PyTypeObject* type, PyObject* name, PyObject* after = nullptr,
                            Loc loc = Loc::current()) {
    PyObject* v = mro_lookup_raw(type, name, after);
    if (!v && PyErr_Occurred()) fail(loc);
    return v;
}

// Facts about a type (which methods are the package's own, ...) computed once
// and reused until the type or one of its bases changes: the interpreter gives
// a type a new version tag whenever its attributes or those of a base change.
template <class Facts, int N = 8>
class TypeCache {
public:
    template <class Compute>
    const Facts& get(PyTypeObject* type, Compute compute) {
        // A tag of 0 is never valid; before 3.13 a flag tells as well.
#if PY_VERSION_HEX >= 0x030D0000
        const bool valid = type->tp_version_tag != 0;
#else
        const bool valid = type->tp_version_tag != 0 &&
                           PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
#endif
        if (valid) {
            for (Entry& e : entries_)
                if (e.type == type && e.tag == type->tp_version_tag) return e.facts;
        }
        Entry& e = valid ? entries_[next_++ % N] : scratch_;
        e.facts = compute(type);
        e.type = valid ? type : nullptr;
        e.tag = type->tp_version_tag;
        return e.facts;
    }

private:
    struct Entry {
        PyTypeObject* type = nullptr;
        unsigned int tag = 0;
        Facts facts{};
    };
    Entry entries_[N];
    Entry scratch_;
    unsigned next_ = 0;
};

// type(self).<name> bound to self, as the interpreter looks up special
// methods (an instance attribute of that name does not hide it).
Ref special_method(PyObject* self, Name& name, Loc loc = Loc::current());

// The reduction of a container that restores itself through its own
// __getstate__/__setstate__ pair: (copyreg.__newobj__, (type(self),),
// self.__getstate__()), so that unpickling makes a bare instance (no __init__
// runs) and hands it the state.  A subclass that defines __reduce__ gets that
// honoured instead, as object.__reduce_ex__ does.
Ref reduce_to_state(PyObject* self, Loc loc = Loc::current());

// ---------------------------------------------------------------------------
// Calls into Python.  Each counts against the recursion limit.
Ref call(PyObject* callable, std::initializer_list<PyObject*> args = {},
         Loc loc = Loc::current());
Ref call_args(PyObject* callable, PyObject* const* args, size_t nargs,
              PyObject* kwnames = nullptr, Loc loc = Loc::current());
// callable(*args_tuple, **kwargs_dict); either may be nullptr.
Ref call_tuple(PyObject* callable, PyObject* args, PyObject* kwargs,
               Loc loc = Loc::current());
// obj.<name>(args...) with the attribute looked up on the object.
Ref call_method(PyObject* obj, Name& name, std::initializer_list<PyObject*> args = {},
                Loc loc = Loc::current());

// Attribute and item helpers that throw on failure.
Ref getattr(PyObject* o, Name& name, Loc loc = Loc::current());
Ref getattr(PyObject* o, PyObject* name, Loc loc = Loc::current());
void setattr(PyObject* o, Name& name, PyObject* v, Loc loc = Loc::current());
Ref getitem(PyObject* o, PyObject* key, Loc loc = Loc::current());
void setitem(PyObject* o, PyObject* key, PyObject* v, Loc loc = Loc::current());
void delitem(PyObject* o, PyObject* key, Loc loc = Loc::current());
bool truthy(PyObject* o, Loc loc = Loc::current());
bool isinstance(PyObject* o, PyObject* cls, Loc loc = Loc::current());
bool contains(PyObject* container, PyObject* item, Loc loc = Loc::current());
Ref str(PyObject* o, Loc loc = Loc::current());
Ref repr(PyObject* o, Loc loc = Loc::current());
Ref iter(PyObject* o, Loc loc = Loc::current());
// Next item of an iterator, or an empty Ref when it is exhausted.
Ref next(PyObject* it, Loc loc = Loc::current());
Ref unicode(const char* utf8, Loc loc = Loc::current());
Ref format(PyObject* fmt, PyObject* args, Loc loc = Loc::current());  // fmt % args

// ---------------------------------------------------------------------------
// Raising.  The exception type is called with the one message argument.
[[noreturn]] void raise(PyObject* type, PyObject* msg, Loc loc = Loc::current());
[[noreturn]] void raise(PyObject* type, const char* msg, Loc loc = Loc::current());
[[noreturn]] void raisef(PyObject* type, Loc loc, const char* fmt, ...);
// Raises a built-in exception type with no message (`raise NotImplementedError`).
[[noreturn]] void raise_type(PyObject* type, Loc loc = Loc::current());

// Keeps the current exception aside while code that must run without one
// (clean-up, building a traceback entry) runs, and restores it afterwards.
class ErrorStash {
public:
#if PY_VERSION_HEX >= 0x030C0000
    ErrorStash() : exc_(PyErr_GetRaisedException()) {}
    ~ErrorStash() { PyErr_SetRaisedException(exc_); }
#else
    ErrorStash() { PyErr_Fetch(&t_, &exc_, &tb_); }
    ~ErrorStash() { PyErr_Restore(t_, exc_, tb_); }
#endif
    ErrorStash(const ErrorStash&) = delete;
    ErrorStash& operator=(const ErrorStash&) = delete;

private:
    PyObject* exc_ = nullptr;
#if PY_VERSION_HEX < 0x030C0000
    PyObject *t_ = nullptr, *tb_ = nullptr;
#endif
};

// An `except` block: takes the current exception, makes it the handled one
// (sys.exc_info(), the implicit __context__ of new exceptions) until the
// object goes out of scope.
class Caught {
public:
    Caught();
    ~Caught();
    Caught(const Caught&) = delete;
    Caught& operator=(const Caught&) = delete;
    bool matches(PyObject* type) const;
    PyObject* value() const noexcept { return value_.get(); }
    // `raise`: re-raises the caught exception.
    [[noreturn]] void reraise(Loc loc = Loc::current());

private:
    Ref value_;
    PyObject* prev_ = nullptr;  // the previously handled exception (3.11+)
    PyObject* prev_type_ = nullptr, *prev_tb_ = nullptr;
};

// Unpacks `obj` into exactly n values (`a, b = obj`).
void unpack(PyObject* obj, Py_ssize_t n, Ref* out, Loc loc = Loc::current());
// obj[start:stop] (either may be nullptr for an open end); "'%.200s' object is
// unsliceable" when the type has no subscription.
Ref getslice(PyObject* obj, PyObject* start, PyObject* stop, Loc loc = Loc::current());

// Returns "no result, an exception is set" without unwinding: for hot paths
// whose failures are common (a missing key), where throwing Error would cost
// more than the lookup.  The function wrapper adds the traceback entry at the
// line recorded here.
Ref pass_error(Loc loc = Loc::current());

// Appends a traceback entry named `name` (a str) at `line` with the module
// namespace as its globals.  An exception must be set; it stays set.
void add_traceback(PyObject* name, int line);
void add_traceback(const char* name, int line);

// ---------------------------------------------------------------------------
// The module body.
class Body {
public:
    explicit Body(PyObject* module);
    PyObject* module() const noexcept { return module_; }
    PyObject* dict() const noexcept { return dict_; }

    // `import name` (relative to the package first, then absolute).
    Ref import(const char* name, Loc loc = Loc::current());
    // `from module import a, b` (relative first, then absolute).
    void from_import(const char* module, std::initializer_list<const char*> names,
                     Loc loc = Loc::current());
    // `from .module import a, b` (relative only).
    void relative_import(const char* module, std::initializer_list<const char*> names,
                         Loc loc = Loc::current());
    void set(const char* name, PyObject* value, Loc loc = Loc::current());
    // A module-level function.
    Ref def(const Def& d, Loc loc = Loc::current());

    // Replaces the empty `__test__` dict the frame binds last.
    void set_test(PyObject* dict) { test_ = Ref::borrow(dict); }
    Ref take_test() { return std::move(test_); }

private:
    PyObject* module_;
    PyObject* dict_;
    Ref test_;
};

// A class statement.  The constructor runs steps 1-4 (metaclass, namespace,
// __module__, __qualname__, __doc__), `def`/`set` the body, `build` 6-8.
class ClassDef {
public:
    ClassDef(Body& body, const char* name, std::initializer_list<PyObject*> bases,
             const char* doc = nullptr, Loc loc = Loc::current());
    // Defines a method; returns the function object (unwrapped).
    Ref def(const Def& d, Loc loc = Loc::current());
    void set(const char* name, PyObject* value, Loc loc = Loc::current());
    // Creates the class and binds it in the module namespace.
    Ref build(Loc loc = Loc::current());
    const std::string& qualname() const noexcept { return qualname_; }

private:
    Body& body_;
    std::string name_, qualname_;
    Ref bases_, meta_, ns_;
    std::vector<Ref> super_users_;
};

// Registers the generator type with collections.abc.Generator (and
// backports_abc.Generator when importable).
void register_generator_type();

namespace detail {
PyObject* module_def(const ModuleInfo* info);
}

}  // namespace frame

#define TAVIK_STR2(x) #x
#define TAVIK_STR(x) TAVIK_STR2(x)
#define TAVIK_CAT2(a, b) a##b
#define TAVIK_CAT(a, b) TAVIK_CAT2(a, b)

// Defines the module's exported entry PyInit_<short name>.
#define TAVIK_MODULE(body_fn, doc_text, generators)                                   \
    PyMODINIT_FUNC TAVIK_CAT(PyInit_, TAVIK_MODULE_NAME)(void) {                      \
        static const ::frame::ModuleInfo info = {TAVIK_STR(TAVIK_MODULE_NAME), doc_text, \
                                                 generators, body_fn};                \
        return ::frame::detail::module_def(&info);                                    \
    }
