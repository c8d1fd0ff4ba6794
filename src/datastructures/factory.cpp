// tavik.datastructures.factory: a metaclass whose classes can be told, in
// the call, to instantiate one of their subclasses.
#include "frame/frame.hpp"

#include <new>

using frame::Args;
using frame::Name;
using frame::Ref;

namespace {

const char kFactoryDoc[] =
    "MetaClassFactory Metaclass\n"
    "\n"
    "Lets the call of a class create an instance of one of its subclasses,\n"
    "named in the call: when the keyword arguments hold the key 'class', its\n"
    "value is instantiated instead of the called class.  A loader of data\n"
    "files can thus take the concrete class from the data, and classes can be\n"
    "replaced at run time without chains of tests.\n"
    "\n"
    "Conditions:\n"
    "  - the class given must be a subclass of the called class (or that\n"
    "    class itself), else TypeError;\n"
    "  - the 'class' argument is removed before the instance is made;\n"
    "  - keywords must be used: 'class' is a reserved word, so pass it in a\n"
    "    mapping unpacked into the call.\n"
    "\n"
    "    >>> class Animal(metaclass=MetaClassFactory):\n"
    "    ...     def __init__(self, name):\n"
    "    ...         self.name = name\n"
    "    >>> class Dog(Animal):\n"
    "    ...     pass\n"
    "    >>> pet = Animal(**{'class': Dog, 'name': 'Rex'})\n"
    "    >>> type(pet).__name__, pet.name\n"
    "    ('Dog', 'Rex')\n";

const char kCallDoc[] =
    "MetaClassFactory.__call__\n"
    "\n"
    "Takes over the instantiation before __new__ is called: swaps in the\n"
    "class named by the 'class' keyword, then lets the next __call__ in line\n"
    "(normally type.__call__) run __new__ and __init__.";

Name n_class("class");
Name n_call("__call__");
Name n_MetaClassFactory("MetaClassFactory");

// type.__call__ as stored in type's namespace (borrowed, lives as long as
// the type).
PyObject* type_call_descr() {
    static PyObject* descr = nullptr;
    if (!descr) descr = frame::own_attr(&PyType_Type, n_call);
    return descr;
}

// Whether super(start, obj).__call__ is type.__call__ bound to obj: obj is an
// instance (not a subclass) of start, and the first __call__ after start in
// type(obj).__mro__ is type's own.  Runs no user code.
bool super_call_is_type_call(PyObject* start, PyObject* obj) {
    if (!PyType_Check(start)) return false;
    PyTypeObject* st = reinterpret_cast<PyTypeObject*>(start);
    if (PyType_Check(obj) && PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(obj), st))
        return false;
    if (!PyType_IsSubtype(Py_TYPE(obj), st)) return false;
    PyObject* v = frame::mro_lookup(Py_TYPE(obj), n_call.get(), start);
    if (v) return v == type_call_descr();
    return false;
}

// The body of __call__: `kwargs` may be nullptr (no keywords) and, unless
// `own_kwargs`, belongs to the caller and is copied before it is changed.
Ref factory_call(PyObject* called, PyObject* args, PyObject* kwargs, bool own_kwargs) {
    Ref cls = Ref::borrow(called);
    Ref kw = Ref::borrow(kwargs);
    if (kwargs && PyDict_GET_SIZE(kwargs)) {
        PyObject* chosen = PyDict_GetItemWithError(kwargs, n_class.get());
        if (chosen) {
            Ref target = Ref::borrow(chosen);
            if (!frame::check(PyObject_IsSubclass(target.get(), cls.get()))) {
                static Name fmt("%s is not a subclass of %s");
                Ref again = frame::getitem(kw.get(), n_class.get());
                Ref pair = frame::own(PyTuple_Pack(2, again.get(), cls.get()));
                frame::raise(PyExc_TypeError, frame::format(fmt.get(), pair.get()).get());
            }
            if (!own_kwargs) kw = frame::own(PyDict_Copy(kw.get()));
            frame::delitem(kw.get(), n_class.get());
            cls = std::move(target);
        } else if (PyErr_Occurred()) {
            frame::fail();
        }
    }
    if (kw && !PyDict_GET_SIZE(kw.get())) kw.reset();
    Ref mcf = frame::global(n_MetaClassFactory);
    if (super_call_is_type_call(mcf.get(), cls.get())) {
        // type.__call__(cls, *args, **kwargs): __new__, then __init__.
        if (Py_EnterRecursiveCall(" while calling a Python object")) frame::fail();
        PyObject* r = PyType_Type.tp_call(cls.get(), args, kw.get());
        Py_LeaveRecursiveCall();
        return frame::own(r);
    }
    Ref sup = frame::call(reinterpret_cast<PyObject*>(&PySuper_Type), {mcf.get(), cls.get()});
    Ref call = frame::getattr(sup.get(), n_call);
    return frame::call_tuple(call.get(), args, kw.get());
}

Ref MCF_call(Args a) { return factory_call(a[0], a[1], a[2], true); }

// ---------------------------------------------------------------------------
// Calling a class whose metaclass is MetaClassFactory runs the metaclass's
// tp_call.  The interpreter's generic slot would look up __call__, re-pack
// the argument tuple and keyword dict into a vector, and the function would
// bind them back into a new tuple and dict.  This slot hands the tuple and
// dict it receives straight to the body of __call__, as long as __call__ in
// the metaclass's namespace is still that function (reassigning it makes
// the interpreter install its generic slot again) and the keywords need no
// binding errors; otherwise it calls the function object.
bool keywords_bind_freely(PyObject* kwargs) {
    if (!kwargs) return true;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) return false;
        if (PyUnicode_CompareWithASCIIString(key, "cls") == 0) return false;
    }
    return true;
}

// `__call__` as found in the method order of `meta` (borrowed, or nullptr).
PyObject* lookup_call(PyTypeObject* meta) { return frame::mro_lookup_raw(meta, n_call.get()); }

// What the interpreter's generic call slot does: call the `__call__` found,
// unbound with the class in front when it is a method descriptor.
PyObject* generic_call(PyObject* func, PyObject* cls, PyObject* args, PyObject* kwargs) {
    Ref f = Ref::borrow(func);
    if (PyType_HasFeature(Py_TYPE(func), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
        Py_ssize_t n = PyTuple_GET_SIZE(args);
        PyObject* full = PyTuple_New(n + 1);
        if (!full) return nullptr;
        PyTuple_SET_ITEM(full, 0, Py_NewRef(cls));
        for (Py_ssize_t i = 0; i < n; i++)
            PyTuple_SET_ITEM(full, i + 1, Py_NewRef(PyTuple_GET_ITEM(args, i)));
        PyObject* r = PyObject_Call(func, full, kwargs);
        Py_DECREF(full);
        return r;
    }
    descrgetfunc get = Py_TYPE(func)->tp_descr_get;
    if (!get) return PyObject_Call(func, args, kwargs);
    PyObject* bound = get(func, cls, reinterpret_cast<PyObject*>(Py_TYPE(cls)));
    if (!bound) return nullptr;
    PyObject* r = PyObject_Call(bound, args, kwargs);
    Py_DECREF(bound);
    return r;
}

PyObject* factory_tp_call(PyObject* cls, PyObject* args, PyObject* kwargs) {
    PyObject* func = lookup_call(Py_TYPE(cls));
    if (!func) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_TypeError, "'%.200s' object is not callable",
                         Py_TYPE(cls)->tp_name);
        return nullptr;
    }
    if (!frame::is_impl(func, MCF_call) || !keywords_bind_freely(kwargs))
        return generic_call(func, cls, args, kwargs);
    Ref hold = Ref::borrow(func);
    PyObject* tb_name = reinterpret_cast<frame::Function*>(func)->tb_name;
    try {
        return factory_call(cls, args, kwargs, false).release();
    } catch (const frame::Error& e) {
        frame::add_traceback(tb_name, e.line);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        frame::add_traceback(tb_name, 0);
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
        frame::add_traceback(tb_name, 0);
    }
    return nullptr;
}

void body(frame::Body& b) {
    frame::ClassDef c(b, "MetaClassFactory", {reinterpret_cast<PyObject*>(&PyType_Type)},
                      kFactoryDoc);
    c.def({"__call__", {"cls", "*args", "**kwargs"}, MCF_call, kCallDoc});
    Ref cls = c.build();
    reinterpret_cast<PyTypeObject*>(cls.get())->tp_call = factory_tp_call;
}

}  // namespace

TAVIK_MODULE(body, nullptr, false)
