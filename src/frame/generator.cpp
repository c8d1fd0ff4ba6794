// Generator objects returned by the generator functions of the package.
//
// The object drives a C++20 coroutine (GenBody, generator.hpp) and gives it
// the face of a Python generator: iteration, send/throw/close, gi_running,
// gi_yieldfrom, gi_code, writable __name__/__qualname__, finalisation of a
// suspended body, garbage collection through the body's locals.
#include "frame/generator.hpp"
#include "frame/internal.hpp"

#include <cstring>

namespace frame {

namespace {

enum class State : unsigned char { Created, Suspended, Running, Finished };

struct Generator {
    PyObject_HEAD
    GenBody::Handle body;  // empty once the generator has finished
    PyObject* name;
    PyObject* qualname;
    PyObject* yieldfrom;  // the iterator the body delegates to
    PyObject* weakreflist;
    GenDef* def;
    int line;
    State state;
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject GeneratorType = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

inline Generator* as_gen(PyObject* o) { return reinterpret_cast<Generator*>(o); }

PyObject* gen_close(PyObject* self, PyObject*);


// Destroys the coroutine (its locals are released) and drops the delegate.
void drop_body(Generator* g) {
    GenBody::Handle h = std::exchange(g->body, {});
    PyObject* yf = std::exchange(g->yieldfrom, nullptr);
    if (!h && !yf) return;
    ErrorStash stash;
    if (h) h.destroy();
    Py_XDECREF(yf);
}

void drop_delegate(Generator* g) {
    PyObject* yf = std::exchange(g->yieldfrom, nullptr);
    if (yf) {
        ErrorStash stash;
        Py_DECREF(yf);
    }
}

// An exception left the body: one traceback entry named by the plain
// __name__, and a StopIteration that escapes becomes a RuntimeError (else the
// caller would take it for the end of the iteration).
void body_failed(Generator* g, int line) {
    add_traceback(g->name, line);
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
#else
    PyObject *t, *exc, *tb;
    PyErr_Fetch(&t, &exc, &tb);
    PyErr_NormalizeException(&t, &exc, &tb);
    if (tb) PyException_SetTraceback(exc, tb);
    Py_XDECREF(t);
    Py_XDECREF(tb);
#endif
    PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* err = PyErr_GetRaisedException();
#else
    PyObject *et, *err, *etb;
    PyErr_Fetch(&et, &err, &etb);
    PyErr_NormalizeException(&et, &err, &etb);
    if (etb) PyException_SetTraceback(err, etb);
    Py_XDECREF(et);
    Py_XDECREF(etb);
#endif
    if (!err) {  // could not even make the RuntimeError
        Py_XDECREF(exc);
        return;
    }
    PyException_SetCause(err, Py_NewRef(exc));  // steals
    PyException_SetContext(err, exc);           // steals
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(err);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(err))), err,
                  PyException_GetTraceback(err));
#endif
}

// Finishes the generator after its body returned or failed.
void body_ended(Generator* g) {
    GenBody::promise_type& p = g->body.promise();
    bool failed = p.failed;
    int line = p.error_line;
    g->state = State::Finished;
    drop_body(g);
    if (failed) body_failed(g, line);
}

// Resumes the body until it yields a value (returned, new reference), ends
// (NULL, no error set) or fails (NULL, error set).  With `exc`, the current
// exception is raised in the body at its suspension point.
PyObject* resume(Generator* g, bool exc) {
    if (g->state == State::Running) {
        if (exc) PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    if (g->state == State::Finished) return nullptr;  // a thrown exception stays set
    if (g->state == State::Created && exc) {
        // Thrown into a body that never ran: it leaves at once.
        g->state = State::Finished;
        drop_body(g);
        body_failed(g, g->line);
        return nullptr;
    }
    Py_INCREF(g);
    g->state = State::Running;
    PyObject* result = nullptr;
    for (;;) {
        if (g->yieldfrom) {
            if (!exc) {
                // A chain of delegating generators recurses in C: it counts
                // against the recursion limit as calls do.
                Ref it = Ref::borrow(g->yieldfrom);
                PyObject* item = nullptr;
                if (!Py_EnterRecursiveCall(" while calling a Python object")) {
                    item = Py_TYPE(it.get())->tp_iternext(it.get());
                    Py_LeaveRecursiveCall();
                }
                if (item) {
                    result = item;
                    break;
                }
                if (PyErr_Occurred()) {
                    if (PyErr_ExceptionMatches(PyExc_StopIteration))
                        PyErr_Clear();
                    else
                        exc = true;
                }
            }
            drop_delegate(g);
        }
        GenBody::promise_type& p = g->body.promise();
        p.throw_in = exc;
        exc = false;
        g->body.resume();
        if (g->body.done()) {
            body_ended(g);
            break;
        }
        if (p.delegate) {
            g->yieldfrom = p.delegate.release();
            continue;
        }
        result = p.yielded.release();
        break;
    }
    if (g->state == State::Running) g->state = State::Suspended;
    Py_DECREF(g);
    return result;
}

// ---- the Python face ------------------------------------------------------

PyObject* gen_iternext(PyObject* self) { return resume(as_gen(self), false); }

PyObject* gen_send(PyObject* self, PyObject* value) {
    Generator* g = as_gen(self);
    if (g->state == State::Running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    if (g->state == State::Created && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
    }
    PyObject* r = resume(g, false);
    if (!r && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return r;
}

// Sets the exception that `raise typ, val, tb` describes (as the raise
// statement builds it).  Returns false with a TypeError set when the
// arguments are malformed.
bool set_thrown(PyObject* typ, PyObject* val, PyObject* tb) {
    if (tb == Py_None) {
        tb = nullptr;
    } else if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "raise: arg 3 must be a traceback or None");
        return false;
    }
    if (val == Py_None) val = nullptr;
    Ref value;
    if (PyExceptionInstance_Check(typ)) {
        if (val) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return false;
        }
        value = Ref::borrow(typ);
    } else if (PyExceptionClass_Check(typ)) {
        if (val && PyExceptionInstance_Check(val)) {
            PyObject* cls = reinterpret_cast<PyObject*>(Py_TYPE(val));
            if (cls == typ) {
                value = Ref::borrow(val);
            } else {
                int sub = PyObject_IsSubclass(cls, typ);
                if (sub < 0) return false;
                if (sub) value = Ref::borrow(val);
            }
        }
        if (!value) {
            Ref args;
            if (!val)
                args = Ref::steal(PyTuple_New(0));
            else if (PyTuple_Check(val))
                args = Ref::borrow(val);
            else
                args = Ref::steal(PyTuple_Pack(1, val));
            if (!args) return false;
            value = Ref::steal(PyObject_Call(typ, args.get(), nullptr));
            if (!value) return false;
            if (!PyExceptionInstance_Check(value.get())) {
                PyErr_Format(PyExc_TypeError,
                             "calling %R should have returned an instance of BaseException, not %R",
                             typ, reinterpret_cast<PyObject*>(Py_TYPE(value.get())));
                return false;
            }
        }
    } else {
        PyErr_SetString(PyExc_TypeError,
                        "raise: exception class must be a subclass of BaseException");
        return false;
    }
    if (tb && PyException_SetTraceback(value.get(), tb) < 0) return false;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(value.release());
#else
    PyObject* t = reinterpret_cast<PyObject*>(Py_TYPE(value.get()));
    Py_INCREF(t);
    PyErr_Restore(t, value.release(), Py_XNewRef(tb));
#endif
    return true;
}

PyObject* gen_throw(PyObject* self, PyObject* args) {
    Generator* g = as_gen(self);
    PyObject *typ, *val = nullptr, *tb = nullptr;
    if (!PyArg_UnpackTuple(args, "throw", 1, 3, &typ, &val, &tb)) return nullptr;
    if (g->state == State::Running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    if (!set_thrown(typ, val, tb)) return nullptr;
    return resume(g, true);
}

// Closes an iterator the body delegates to: close() of our own generators,
// else its `close` method when it has one.
int close_delegate(PyObject* it) {
    PyObject* r;
    if (Py_TYPE(it) == &GeneratorType) {
        r = gen_close(it, nullptr);
    } else {
        PyObject* meth = PyObject_GetAttrString(it, "close");
        if (!meth) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
            PyErr_Clear();
            return 0;
        }
        r = PyObject_CallNoArgs(meth);
        Py_DECREF(meth);
    }
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}

PyObject* gen_close(PyObject* self, PyObject*) {
    Generator* g = as_gen(self);
    if (g->state == State::Running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    if (g->state == State::Created) {
        g->state = State::Finished;
        drop_body(g);
        Py_RETURN_NONE;
    }
    if (g->state == State::Finished) Py_RETURN_NONE;
    int err = 0;
    if (g->yieldfrom) {
        Ref yf = Ref::borrow(g->yieldfrom);
        g->state = State::Running;
        err = close_delegate(yf.get());
        g->state = State::Suspended;
        drop_delegate(g);
    }
    // An error of closing the delegate is raised in the body instead.
    if (err == 0) PyErr_SetNone(PyExc_GeneratorExit);
    PyObject* r = resume(g, true);
    if (r) {
        Py_DECREF(r);
        PyErr_SetString(PyExc_RuntimeError, "generator ignored GeneratorExit");
        return nullptr;
    }
    if (!PyErr_Occurred()) Py_RETURN_NONE;
    if (PyErr_ExceptionMatches(PyExc_StopIteration) ||
        PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

// A suspended generator that is freed is closed first; what goes wrong is
// reported as unraisable.
void gen_finalize(PyObject* self) {
    Generator* g = as_gen(self);
    if (g->state != State::Suspended) return;
    ErrorStash stash;
    PyObject* r = gen_close(self, nullptr);
    if (r)
        Py_DECREF(r);
    else
        PyErr_WriteUnraisable(self);
}

int gen_traverse(PyObject* self, visitproc visit, void* arg) {
    Generator* g = as_gen(self);
    Py_VISIT(g->name);
    Py_VISIT(g->qualname);
    Py_VISIT(g->yieldfrom);
    if (g->body) {
        GenBody::promise_type& p = g->body.promise();
        int r = p.traverse_locals(p.locals, visit, arg);
        if (r) return r;
        Py_VISIT(p.yielded.get());
        Py_VISIT(p.delegate.get());
    }
    return 0;
}

int gen_clear(PyObject* self) {
    Generator* g = as_gen(self);
    if (g->state == State::Running) return 0;
    g->state = State::Finished;
    drop_body(g);
    return 0;
}

void gen_dealloc(PyObject* self) {
    Generator* g = as_gen(self);
    PyObject_GC_UnTrack(self);
    if (g->weakreflist) PyObject_ClearWeakRefs(self);
    if (g->state == State::Suspended) {
        PyObject_GC_Track(self);
        if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
        PyObject_GC_UnTrack(self);
    }
    drop_body(g);
    Py_CLEAR(g->name);
    Py_CLEAR(g->qualname);
    PyObject_GC_Del(self);
}

PyObject* gen_repr(PyObject* self) {
    return PyUnicode_FromFormat("<generator object %U at %p>", as_gen(self)->qualname, self);
}

// ---- attributes -----------------------------------------------------------

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_gen(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_gen(self)->qualname); }

int set_name(PyObject* self, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_gen(self)->name, Py_NewRef(value));
    return 0;
}

int set_qualname(PyObject* self, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_gen(self)->qualname, Py_NewRef(value));
    return 0;
}

PyObject* get_module(PyObject*, void*) { return Py_NewRef(module_path()); }

PyObject* get_running(PyObject* self, void*) {
    return PyBool_FromLong(as_gen(self)->state == State::Running);
}

PyObject* get_yieldfrom(PyObject* self, void*) {
    PyObject* yf = as_gen(self)->yieldfrom;
    return Py_NewRef(yf ? yf : Py_None);
}

PyObject* get_code(PyObject* self, void*) {
    Generator* g = as_gen(self);
    GenDef* def = g->def;
    if (!def->code) {
        PyObject* code = reinterpret_cast<PyObject*>(
            PyCode_NewEmpty(detail::traceback_file(), def->name.c_str(), g->line));
        if (!code) return nullptr;
        def->code = code;  // kept for the life of the process
    }
    return Py_NewRef(def->code);
}

PyMethodDef gen_methods[] = {
    {"send", gen_send, METH_O,
     "send(arg) -> send 'arg' into generator,\nreturn next yielded value or raise StopIteration."},
    {"throw", gen_throw, METH_VARARGS,
     "throw(typ[,val[,tb]]) -> raise exception in generator,\nreturn next yielded value or raise "
     "StopIteration."},
    {"close", gen_close, METH_NOARGS, "close() -> raise GeneratorExit inside generator."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef gen_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"gi_running", get_running, nullptr, nullptr, nullptr},
    {"gi_yieldfrom", get_yieldfrom, nullptr, "object being iterated by yield from, or None",
     nullptr},
    {"gi_code", get_code, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

void ready_generator_type() {
    if (GeneratorType.tp_flags & Py_TPFLAGS_READY) return;
    GeneratorType.tp_name = "generator";
    GeneratorType.tp_basicsize = sizeof(Generator);
    GeneratorType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    GeneratorType.tp_dealloc = gen_dealloc;
    GeneratorType.tp_repr = gen_repr;
    GeneratorType.tp_traverse = gen_traverse;
    GeneratorType.tp_clear = gen_clear;
    GeneratorType.tp_finalize = gen_finalize;
    GeneratorType.tp_iter = PyObject_SelfIter;
    GeneratorType.tp_iternext = gen_iternext;
    GeneratorType.tp_methods = gen_methods;
    GeneratorType.tp_getset = gen_getset;
    GeneratorType.tp_weaklistoffset = offsetof(Generator, weakreflist);
    check(PyType_Ready(&GeneratorType));
}

// Registers the type as a virtual subclass of `module`.Generator.
void register_with(PyObject* module) {
    Ref abc = Ref::steal(PyObject_GetAttrString(module, "Generator"));
    if (!abc) fail();
    Ref r = Ref::steal(PyObject_CallMethod(abc.get(), "register", "O",
                                           reinterpret_cast<PyObject*>(&GeneratorType)));
    if (!r) fail();
}

}  // namespace

PyTypeObject* generator_type() { return &GeneratorType; }

Delegate delegate(Ref obj, Loc loc) {
    Ref it = iter(obj.get(), loc);
    obj.reset();
    return Delegate{std::move(it)};
}

Ref make_generator(GenDef& def, GenBody body, Loc loc) {
    if (!body) {
        PyErr_NoMemory();
        fail(loc);
    }
    ready_generator_type();
    Generator* g = PyObject_GC_New(Generator, &GeneratorType);
    if (!g) fail(loc);
    std::memset(reinterpret_cast<char*>(g) + sizeof(PyObject), 0,
                sizeof(Generator) - sizeof(PyObject));
    g->def = &def;
    g->line = static_cast<int>(loc.line());
    g->state = State::Created;
    g->name = Py_NewRef(def.name.get());
    g->qualname = Py_NewRef(def.qualname.get());
    g->body = body.release();
    PyObject_GC_Track(g);
    return Ref::steal(reinterpret_cast<PyObject*>(g));
}

// Registers the generator type with the standard abstract base classes.
// Modules that define generators call this before their own statements.
void register_generator_type() {
    ready_generator_type();
    try {
        Ref abc = own(PyImport_ImportModule("collections.abc"));
        register_with(abc.get());
        PyObject* backports = PyImport_ImportModule("backports_abc");
        if (!backports) {
            PyErr_Clear();
        } else {
            Ref b = Ref::steal(backports);
            register_with(b.get());
        }
    } catch (const Error&) {
        PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(&GeneratorType));
        check(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                               "%U: could not register the generator type with "
                               "collections.abc.Generator",
                               module_path()));
    }
}

}  // namespace frame
