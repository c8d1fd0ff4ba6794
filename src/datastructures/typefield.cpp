// tavik.datastructures.typefield: read-only, class-level computed attributes.
#include "frame/frame.hpp"

#include <new>

using frame::Args;
using frame::Name;
using frame::Ref;

namespace {

const char kDescriptorDoc[] =
    "A descriptor that gives classes properties of their own.\n"
    "\n"
    "The decorated function is called with the class through which the\n"
    "attribute is read (the class itself, or the subclass it is read on, also\n"
    "when read on an instance), so subclasses inherit the property and may\n"
    "override it.  It adds read-only class properties: there is no setter.\n"
    "Use it as a decorator:\n"
    "\n"
    "    >>> class Shape:\n"
    "    ...     @typefield\n"
    "    ...     def kind(cls):\n"
    "    ...         return cls.__name__.lower()\n"
    "    >>> class Square(Shape):\n"
    "    ...     pass\n"
    "    >>> Shape.kind, Square.kind, Square().kind\n"
    "    ('shape', 'square', 'square')\n";

Name n_func("func");
Name n_get("__get__");

Ref TFD_init(Args a) {
    frame::setattr(a[0], n_func, a[1]);
    return frame::none();
}

Ref TFD_get(Args a) {
    Ref func = frame::getattr(a[0], n_func);
    return frame::call(func.get(), {a[2]});
}

// ---------------------------------------------------------------------------
// Reading a decorated attribute runs the descriptor type's tp_descr_get.  The
// interpreter's generic slot looks up __get__ and calls it through a
// variadic call; this slot runs the body of __get__ directly, as long as
// __get__ is still this module's function (reassigning it makes the
// interpreter install its generic slot again), and otherwise does what the
// generic slot does.

// `__get__` as found in the method order of `t` (borrowed, or nullptr).
PyObject* lookup_get(PyTypeObject* t) { return frame::mro_lookup_raw(t, n_get.get()); }

PyObject* typefield_descr_get(PyObject* self, PyObject* obj, PyObject* type) {
    PyObject* func = lookup_get(Py_TYPE(self));
    if (!func) return PyErr_Occurred() ? nullptr : Py_NewRef(self);
    if (!obj) obj = Py_None;
    if (!type) type = Py_None;
    if (!frame::is_impl(func, TFD_get))
        return PyObject_CallFunctionObjArgs(func, self, obj, type, nullptr);
    Ref hold = Ref::borrow(func);
    frame::Function* fn = reinterpret_cast<frame::Function*>(func);
    PyObject* slots[3] = {self, obj, type};
    try {
        return TFD_get(Args{fn, slots}).release();
    } catch (const frame::Error& e) {
        frame::add_traceback(fn->tb_name, e.line);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        frame::add_traceback(fn->tb_name, 0);
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
        frame::add_traceback(fn->tb_name, 0);
    }
    return nullptr;
}

void body(frame::Body& b) {
    frame::ClassDef c(b, "TypeFieldDescriptor",
                      {reinterpret_cast<PyObject*>(&PyBaseObject_Type)}, kDescriptorDoc);
    c.def({"__init__", {"self", "func"}, TFD_init});
    c.def({"__get__", {"self", "obj", "owner"}, TFD_get});
    Ref cls = c.build();
    reinterpret_cast<PyTypeObject*>(cls.get())->tp_descr_get = typefield_descr_get;
    b.set("typefield", cls.get());
}

}  // namespace

TAVIK_MODULE(body, nullptr, false)
