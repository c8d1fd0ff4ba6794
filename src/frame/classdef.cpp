// Class statements: bases, metaclass calculation, __prepare__, the namespace,
// the call of the metaclass, the defining class for super() and the binding.
#include "frame/frame.hpp"

namespace frame {

ClassDef::ClassDef(Body& body, const char* name, std::initializer_list<PyObject*> bases,
                   const char* doc, Loc loc)
    : body_(body), name_(name), qualname_(name) {
    // 1. the bases, in the order written
    bases_ = own(PyTuple_New(static_cast<Py_ssize_t>(bases.size())), loc);
    Py_ssize_t i = 0;
    for (PyObject* b : bases) PyTuple_SET_ITEM(bases_.get(), i++, Py_NewRef(b));

    // 2. the metaclass
    PyTypeObject* winner = nullptr;
    for (PyObject* b : bases) {
        PyTypeObject* t = Py_TYPE(b);
        if (!winner || PyType_IsSubtype(t, winner)) {
            winner = t;
        } else if (!PyType_IsSubtype(winner, t)) {
            raise(PyExc_TypeError,
                  "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
                  "subclass of the metaclasses of all its bases",
                  loc);
        }
    }
    meta_ = Ref::borrow(winner ? reinterpret_cast<PyObject*>(winner)
                               : reinterpret_cast<PyObject*>(&PyType_Type));

    // 3. the namespace
    Ref pyname = unicode(name, loc);
    PyObject* prepare = PyObject_GetAttrString(meta_.get(), "__prepare__");
    if (prepare) {
        Ref p = Ref::steal(prepare);
        ns_ = call(p.get(), {pyname.get(), bases_.get()}, loc);
    } else {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail(loc);
        PyErr_Clear();
        ns_ = own(PyDict_New(), loc);
    }

    // 4. __module__, __qualname__ and the docstring
    set("__module__", module_path(), loc);
    set("__qualname__", pyname.get(), loc);
    if (doc) {
        Ref d = unicode(doc, loc);
        set("__doc__", d.get(), loc);
    }
}

Ref ClassDef::def(const Def& d, Loc loc) {
    Ref f = make_function(d, qualname_.c_str());
    Ref stored = f;
    if (d.flags & STATIC) stored = own(PyStaticMethod_New(f.get()), loc);
    if (d.flags & CLASSMETHOD) stored = own(PyClassMethod_New(f.get()), loc);
    set(d.name, stored.get(), loc);
    if (d.flags & SUPER) super_users_.push_back(f);
    return f;
}

void ClassDef::set(const char* name, PyObject* value, Loc loc) {
    Ref key = own(PyUnicode_InternFromString(name), loc);
    setitem(ns_.get(), key.get(), value, loc);
}

Ref ClassDef::build(Loc loc) {
    // 6. call the metaclass with name, bases and namespace
    Ref pyname = unicode(name_.c_str(), loc);
    Ref cls = call(meta_.get(), {pyname.get(), bases_.get(), ns_.get()}, loc);
    // 7. the defining class of the functions that use super()
    for (Ref& f : super_users_) {
        Function* fn = reinterpret_cast<Function*>(f.get());
        Py_XSETREF(fn->klass, cls.new_ref());
    }
    super_users_.clear();
    // 8. bind the class in the module namespace
    body_.set(name_.c_str(), cls.get(), loc);
    return cls;
}

}  // namespace frame
