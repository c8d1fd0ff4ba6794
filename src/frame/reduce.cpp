// Special-method lookup and the reduction used by the containers that pickle
// and copy themselves through a state.
#include "frame/frame.hpp"

namespace frame {

namespace {
Name n_reduce("__reduce__");
Name n_getstate("__getstate__");
}  // namespace

Ref special_method(PyObject* self, Name& name, Loc loc) {
    PyTypeObject* t = Py_TYPE(self);
    PyObject* d = mro_lookup(t, name.get(), nullptr, loc);
    if (!d) {
        PyErr_SetObject(PyExc_AttributeError, name.get());
        fail(loc);
    }
    Ref hold = Ref::borrow(d);
    if (descrgetfunc get = Py_TYPE(d)->tp_descr_get)
        return own(get(d, self, reinterpret_cast<PyObject*>(t)), loc);
    return hold;
}

Ref reduce_to_state(PyObject* self, Loc loc) {
    PyObject* reduce = mro_lookup(Py_TYPE(self), n_reduce.get(), nullptr, loc);
    if (reduce && reduce != own_attr(&PyBaseObject_Type, n_reduce, loc)) {
        Ref meth = special_method(self, n_reduce, loc);
        return call(meth.get(), {}, loc);
    }
    Ref copyreg = own(PyImport_ImportModule("copyreg"), loc);
    Ref newobj = own(PyObject_GetAttrString(copyreg.get(), "__newobj__"), loc);
    Ref getstate = special_method(self, n_getstate, loc);
    Ref state = call(getstate.get(), {}, loc);
    Ref args = own(PyTuple_Pack(1, reinterpret_cast<PyObject*>(Py_TYPE(self))), loc);
    return own(PyTuple_Pack(3, newobj.get(), args.get(), state.get()), loc);
}

}  // namespace frame
