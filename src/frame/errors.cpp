// Raising, handled exceptions, traceback entries, unpacking, slicing and the
// guarded calls into Python.
#include "frame/frame.hpp"
#include "frame/internal.hpp"

#include <cstdarg>
#include <unordered_map>
#include <utility>

#include <frameobject.h>

namespace frame {

PyObject* Name::get() {
    if (!o_) {
        o_ = PyUnicode_InternFromString(s_);
        if (!o_) fail();
    }
    return o_;
}

// ---------------------------------------------------------------------------
// Calls.  Each call into another Python object counts against the recursion
// limit, as the interpreter's own calls of Python objects do.
namespace {
struct RecursionGuard {
    explicit RecursionGuard(Loc loc) {
        if (Py_EnterRecursiveCall(" while calling a Python object")) fail(loc);
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};
}  // namespace

Ref call_args(PyObject* callable, PyObject* const* args, size_t nargs, PyObject* kwnames,
              Loc loc) {
    RecursionGuard guard(loc);
    return own(PyObject_Vectorcall(callable, args, nargs, kwnames), loc);
}

Ref call(PyObject* callable, std::initializer_list<PyObject*> args, Loc loc) {
    return call_args(callable, args.begin(), args.size(), nullptr, loc);
}

Ref call_tuple(PyObject* callable, PyObject* args, PyObject* kwargs, Loc loc) {
    Ref empty;
    if (!args) {
        empty = own(PyTuple_New(0), loc);
        args = empty.get();
    }
    RecursionGuard guard(loc);
    return own(PyObject_Call(callable, args, kwargs), loc);
}

Ref call_method(PyObject* obj, Name& name, std::initializer_list<PyObject*> args, Loc loc) {
    // stack[0] is scratch space the callee may use (PY_VECTORCALL_ARGUMENTS_OFFSET).
    PyObject* stack[9];
    size_t n = args.size() + 1;
    if (n > 8) {
        Ref meth = getattr(obj, name, loc);
        return call_args(meth.get(), args.begin(), args.size(), nullptr, loc);
    }
    stack[1] = obj;
    size_t i = 2;
    for (PyObject* a : args) stack[i++] = a;
    PyObject* nm = name.get();
    RecursionGuard guard(loc);
    return own(
        PyObject_VectorcallMethod(nm, stack + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr),
        loc);
}

Ref getattr(PyObject* o, Name& name, Loc loc) {
    return own(PyObject_GetAttr(o, name.get()), loc);
}
Ref getattr(PyObject* o, PyObject* name, Loc loc) { return own(PyObject_GetAttr(o, name), loc); }
void setattr(PyObject* o, Name& name, PyObject* v, Loc loc) {
    check(PyObject_SetAttr(o, name.get(), v), loc);
}
Ref getitem(PyObject* o, PyObject* key, Loc loc) { return own(PyObject_GetItem(o, key), loc); }
void setitem(PyObject* o, PyObject* key, PyObject* v, Loc loc) {
    check(PyObject_SetItem(o, key, v), loc);
}
void delitem(PyObject* o, PyObject* key, Loc loc) { check(PyObject_DelItem(o, key), loc); }
bool truthy(PyObject* o, Loc loc) { return check(PyObject_IsTrue(o), loc) != 0; }
bool isinstance(PyObject* o, PyObject* cls, Loc loc) {
    return check(PyObject_IsInstance(o, cls), loc) != 0;
}
bool contains(PyObject* container, PyObject* item, Loc loc) {
    return check(PySequence_Contains(container, item), loc) != 0;
}
Ref str(PyObject* o, Loc loc) { return own(PyObject_Str(o), loc); }
Ref repr(PyObject* o, Loc loc) { return own(PyObject_Repr(o), loc); }
Ref iter(PyObject* o, Loc loc) { return own(PyObject_GetIter(o), loc); }
Ref next(PyObject* it, Loc loc) {
    PyObject* r = PyIter_Next(it);
    if (!r && PyErr_Occurred()) fail(loc);
    return Ref::steal(r);
}
Ref unicode(const char* utf8, Loc loc) { return own(PyUnicode_FromString(utf8), loc); }
Ref format(PyObject* fmt, PyObject* args, Loc loc) { return own(PyUnicode_Format(fmt, args), loc); }

namespace detail {
int error_line = 0;
}

Ref pass_error(Loc loc) {
    detail::error_line = static_cast<int>(loc.line());
    return Ref();
}

// ---------------------------------------------------------------------------
// Raising.
void raise(PyObject* type, PyObject* msg, Loc loc) {
    PyObject* exc = PyObject_CallOneArg(type, msg);
    if (!exc) fail(loc);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
    Py_DECREF(exc);
    fail(loc);
}

void raise(PyObject* type, const char* msg, Loc loc) {
    Ref m = unicode(msg, loc);
    raise(type, m.get(), loc);
}

void raisef(PyObject* type, Loc loc, const char* fmt, ...) {
    va_list va;
    va_start(va, fmt);
    PyObject* m = PyUnicode_FromFormatV(fmt, va);
    va_end(va);
    if (!m) fail(loc);
    Ref msg = Ref::steal(m);
    raise(type, msg.get(), loc);
}

void raise_type(PyObject* type, Loc loc) {
    PyErr_SetNone(type);
    fail(loc);
}

// ---------------------------------------------------------------------------
// Handled exceptions.
Caught::Caught() {
#if PY_VERSION_HEX >= 0x030C0000
    value_ = Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    if (tb && v) PyException_SetTraceback(v, tb);
    Py_XDECREF(t);
    Py_XDECREF(tb);
    value_ = Ref::steal(v);
#endif
#if PY_VERSION_HEX >= 0x030B0000
    prev_ = PyErr_GetHandledException();
    PyErr_SetHandledException(value_.get());
#else
    PyErr_GetExcInfo(&prev_type_, &prev_, &prev_tb_);
    if (value_) {
        PyObject* tb = PyException_GetTraceback(value_.get());
        PyObject* t = reinterpret_cast<PyObject*>(Py_TYPE(value_.get()));
        Py_INCREF(t);
        PyErr_SetExcInfo(t, value_.new_ref(), tb);
    } else {
        PyErr_SetExcInfo(nullptr, nullptr, nullptr);
    }
#endif
}

Caught::~Caught() {
#if PY_VERSION_HEX >= 0x030B0000
    PyErr_SetHandledException(prev_);
    Py_XDECREF(prev_);
#else
    PyErr_SetExcInfo(prev_type_, prev_, prev_tb_);
#endif
}

bool Caught::matches(PyObject* type) const {
    return value_ && PyErr_GivenExceptionMatches(value_.get(), type);
}

void Caught::reraise(Loc loc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(value_.new_ref());
#else
    PyObject* v = value_.get();
    PyObject* t = reinterpret_cast<PyObject*>(Py_TYPE(v));
    Py_INCREF(t);
    PyErr_Restore(t, value_.new_ref(), PyException_GetTraceback(v));
#endif
    fail(loc);
}

// ---------------------------------------------------------------------------
// Unpacking and slicing.
namespace {
[[noreturn]] void too_many(Py_ssize_t n, Loc loc) {
    raisef(PyExc_ValueError, loc, "too many values to unpack (expected %zd)", n);
}
[[noreturn]] void too_few(Py_ssize_t got, Loc loc) {
    raisef(PyExc_ValueError, loc, "need more than %zd value%.1s to unpack", got,
           got == 1 ? "" : "s");
}
}  // namespace

void unpack(PyObject* obj, Py_ssize_t n, Ref* out, Loc loc) {
    if (PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) {
        Py_ssize_t size = Py_SIZE(obj);
        if (size > n) too_many(n, loc);
        if (size < n) too_few(size, loc);
        PyObject** items = PyTuple_CheckExact(obj)
                               ? reinterpret_cast<PyTupleObject*>(obj)->ob_item
                               : reinterpret_cast<PyListObject*>(obj)->ob_item;
        for (Py_ssize_t i = 0; i < n; i++) out[i] = Ref::borrow(items[i]);
        return;
    }
    Ref it = iter(obj, loc);
    for (Py_ssize_t i = 0; i < n; i++) {
        out[i] = next(it.get(), loc);
        if (!out[i]) {
            for (Py_ssize_t j = 0; j < i; j++) out[j].reset();
            too_few(i, loc);
        }
    }
    Ref extra = next(it.get(), loc);
    if (extra) {
        for (Py_ssize_t j = 0; j < n; j++) out[j].reset();
        too_many(n, loc);
    }
}

Ref getslice(PyObject* obj, PyObject* start, PyObject* stop, Loc loc) {
    PyMappingMethods* mp = Py_TYPE(obj)->tp_as_mapping;
    if (!mp || !mp->mp_subscript) {
        raisef(PyExc_TypeError, loc, "'%.200s' object is unsliceable", Py_TYPE(obj)->tp_name);
    }
    Ref slice = own(PySlice_New(start, stop, nullptr), loc);
    return own(mp->mp_subscript(obj, slice.get()), loc);
}

// ---------------------------------------------------------------------------
// Traceback entries.
namespace {

// One frame object per (entry name, line), made on first use and shared by
// every traceback entry with that name and line: a frame with no locals whose
// code object only carries the name, the file name and the line.
struct EntryKey {
    PyObject* name;  // interned, kept alive by the cache
    int line;
    bool operator==(const EntryKey& o) const { return name == o.name && line == o.line; }
};
struct EntryHash {
    size_t operator()(const EntryKey& k) const noexcept {
        return std::hash<const void*>()(k.name) * 31u + static_cast<size_t>(k.line);
    }
};

std::unordered_map<EntryKey, PyObject*, EntryHash>& frame_cache() {
    static auto* cache = new std::unordered_map<EntryKey, PyObject*, EntryHash>();
    return *cache;
}

PyObject* make_entry_frame(PyObject* name, int line) {
    PyObject* globals = module_globals();
    if (!globals) return nullptr;
    const char* text = PyUnicode_AsUTF8(name);
    if (!text) return nullptr;
    PyCodeObject* code = PyCode_NewEmpty(detail::traceback_file(), text, line);
    if (!code) return nullptr;
    PyFrameObject* f = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    Py_DECREF(code);
    if (!f) return nullptr;
#if PY_VERSION_HEX < 0x030B0000
    f->f_lineno = line;
    Py_CLEAR(f->f_back);  // the entry stands for itself, not for the caller
#endif
    return reinterpret_cast<PyObject*>(f);
}
}  // namespace

void add_traceback(PyObject* name, int line) {
    PyObject* frame;
    {
        ErrorStash stash;
        PyObject* key = name;
        if (!PyUnicode_CHECK_INTERNED(key)) {
            Py_INCREF(key);
            PyUnicode_InternInPlace(&key);
        } else {
            Py_INCREF(key);
        }
        auto& cache = frame_cache();
        auto found = cache.find({key, line});
        if (found != cache.end()) {
            frame = found->second;
            Py_DECREF(key);
        } else {
            frame = make_entry_frame(key, line);
            if (!frame) {
                PyErr_Clear();
                Py_DECREF(key);
                return;
            }
            cache.emplace(EntryKey{key, line}, frame);  // keeps the key's reference
        }
    }
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame));
}

void add_traceback(const char* name, int line) {
    PyObject* key;
    {
        ErrorStash stash;
        key = PyUnicode_InternFromString(name);
        if (!key) {
            PyErr_Clear();
            return;
        }
    }
    add_traceback(key, line);
    Py_DECREF(key);
}

}  // namespace frame
