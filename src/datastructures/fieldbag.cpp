// tavik.datastructures.fieldbag: dictionaries whose keys are also attributes,
// and the nested variant addressed by dotted keys.
#include "frame/frame.hpp"

#include <cstring>

using frame::Args;
using frame::Name;
using frame::Ref;

namespace {

const char kModuleDoc[] =
    "Extends the built-in dict so that its key-values can be accessed as object\n"
    "attributes (obj.key) in addition to the item form obj['key'].";

const char kFieldBagDoc[] =
    "A dict whose content can also be accessed as object attributes.\n"
    "\n"
    "    >>> fb = FieldBag(colour='red')\n"
    "    >>> fb['colour'], fb.colour\n"
    "    ('red', 'red')\n"
    "    >>> fb.size = 3\n"
    "    >>> fb['size']\n"
    "    3\n"
    "\n"
    "Known limitation: keys that are not valid identifiers (containing a dot,\n"
    "comma, brackets, hyphen, quotes, slashes and the like) cannot be reached in\n"
    "attribute form; use the item form obj['key'] for them.";

const char kInitDoc[] =
    "Every object keeps its attributes in a dictionary named __dict__. That\n"
    "dictionary need not be a plain dict, so once the dict initialiser has made\n"
    "this instance behave as a dictionary, the instance itself is assigned to\n"
    "its own __dict__: its items are its attributes.";

Name n_itertools("itertools");
Name n_chain("chain");
Name n_Mapping("Mapping");
Name n_MutableMapping("MutableMapping");
Name n_FieldBag("FieldBag");
Name n_init("__init__");
Name n_repr("__repr__");
Name n_dict("__dict__");
Name n_class("__class__");
Name n_name("__name__");
Name n_getitem("__getitem__");
Name n_setitem("__setitem__");
Name n_delitem("__delitem__");
Name n_contains("__contains__");
Name n_setdefault("setdefault");
Name n_update("update");
Name n_items("items");
Name n_index("index");
Name n_get("get");
Name n_pop("pop");

// ---------------------------------------------------------------------------
// super() of the bag classes: the next class's operation.  When that is
// dict's own slot (always, unless a subclass puts another class in between),
// call the dict slot directly instead of making a super object.
PyObject* dict_descr(Name& name) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* d = PyType_GetDict(&PyDict_Type);
    PyObject* v = PyDict_GetItemWithError(d, name.get());
    Py_DECREF(d);
    return v;
#else
    return PyDict_GetItemWithError(PyDict_Type.tp_dict, name.get());
#endif
}

bool super_is_dict(const Args& a, Name& name) {
    PyObject* found = frame::super_lookup_raw(a, name.get());
    return found && found == dict_descr(name);
}

Ref super_getitem(const Args& a, PyObject* key) {
    if (super_is_dict(a, n_getitem))
        return frame::own(PyDict_Type.tp_as_mapping->mp_subscript(a[0], key));
    Ref m = frame::super_attr(a, n_getitem);
    return frame::call(m.get(), {key});
}

void super_setitem(const Args& a, PyObject* key, PyObject* value) {
    if (super_is_dict(a, n_setitem)) {
        frame::check(PyDict_Type.tp_as_mapping->mp_ass_subscript(a[0], key, value));
        return;
    }
    Ref m = frame::super_attr(a, n_setitem);
    frame::call(m.get(), {key, value});
}

void super_delitem(const Args& a, PyObject* key) {
    if (super_is_dict(a, n_delitem)) {
        frame::check(PyDict_Type.tp_as_mapping->mp_ass_subscript(a[0], key, nullptr));
        return;
    }
    Ref m = frame::super_attr(a, n_delitem);
    frame::call(m.get(), {key});
}

bool super_contains(const Args& a, PyObject* key) {
    if (super_is_dict(a, n_contains))
        return frame::check(PyDict_Type.tp_as_sequence->sq_contains(a[0], key)) != 0;
    Ref m = frame::super_attr(a, n_contains);
    return frame::truthy(frame::call(m.get(), {key}).get());
}

// A dotted key: a str holding ".", split once at the first ".".
bool split_dotted(PyObject* key, Ref& head, Ref& rest) {
    if (!PyUnicode_Check(key)) return false;
    Py_ssize_t len = PyUnicode_GET_LENGTH(key);
    Py_ssize_t dot = PyUnicode_FindChar(key, '.', 0, len, 1);
    if (dot == -2) frame::fail();
    if (dot < 0) return false;
    head = frame::own(PyUnicode_Substring(key, 0, dot));
    rest = frame::own(PyUnicode_Substring(key, dot + 1, len));
    return true;
}

// ---------------------------------------------------------------------------
// FieldBag

Ref FieldBag_init(Args a) {
    PyObject* self = a[0];
    Ref init = frame::super_attr(a, n_init);
    frame::call_tuple(init.get(), a[1], a[2]);
    frame::setattr(self, n_dict, self);
    return frame::none();
}

Ref FieldBag_repr(Args a) {
    PyObject* self = a[0];
    Ref cls = frame::getattr(self, n_class);
    Ref name = frame::getattr(cls.get(), n_name);
    Ref fieldbag = frame::global(n_FieldBag);
    Ref sup = frame::call(reinterpret_cast<PyObject*>(&PySuper_Type), {fieldbag.get(), self});
    Ref r = frame::call_method(sup.get(), n_repr);
    static Name fmt("%s(%s)");
    Ref args = frame::own(PyTuple_Pack(2, name.get(), r.get()));
    return frame::format(fmt.get(), args.get());
}

// ---------------------------------------------------------------------------
// NestedFieldBag

Ref NFB_init(Args a) {
    PyObject* self = a[0];
    Ref init = frame::super_attr(a, n_init);
    frame::call(init.get());
    Ref update = frame::getattr(self, n_update);
    frame::call_tuple(update.get(), a[1], a[2]);
    return frame::none();
}

Ref NFB_getitem(Args a) {
    PyObject* key = a[1];
    Ref head, rest;
    if (!split_dotted(key, head, rest)) return super_getitem(a, key);
    Ref value = super_getitem(a, head.get());
    return frame::getitem(value.get(), rest.get());
}

Ref NFB_setitem(Args a) {
    PyObject* self = a[0];
    PyObject* key = a[1];
    PyObject* value = a[2];
    Ref head, rest;
    if (!split_dotted(key, head, rest)) {
        super_setitem(a, key, value);
        return frame::none();
    }
    Ref setdefault = frame::getattr(self, n_setdefault);
    PyObject* cls = reinterpret_cast<PyObject*>(Py_TYPE(self));
    Ref fresh = frame::call(cls);
    Ref level = frame::call(setdefault.get(), {head.get(), fresh.get()});
    if (!frame::isinstance(level.get(), cls)) {
        static Name fmt("target key \"%s\" is a value, cannot update value against another %s");
        Ref tname = frame::getattr(cls, n_name);
        Ref args = frame::own(PyTuple_Pack(2, head.get(), tname.get()));
        Ref msg = frame::format(fmt.get(), args.get());
        frame::raise(PyExc_KeyError, msg.get());
    }
    frame::setitem(level.get(), rest.get(), value);
    return frame::none();
}

Ref NFB_contains(Args a) {
    PyObject* key = a[1];
    Ref head, rest;
    if (!split_dotted(key, head, rest)) return frame::boolean(super_contains(a, key));
    if (!super_contains(a, head.get())) return frame::boolean(false);
    Ref value = super_getitem(a, head.get());
    return frame::boolean(frame::contains(value.get(), rest.get()));
}

Ref NFB_delitem(Args a) {
    PyObject* key = a[1];
    Ref head, rest;
    if (!split_dotted(key, head, rest)) {
        super_delitem(a, key);
        return frame::none();
    }
    Ref value = super_getitem(a, head.get());
    frame::delitem(value.get(), rest.get());
    return frame::none();
}

Ref NFB_update(Args a) {
    PyObject* self = a[0];
    PyObject* args = a[1];
    PyObject* kwargs = a[2];
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > 1)
        frame::raisef(PyExc_TypeError, frame::Loc::current(),
                      "expected at most 1 arguments, got %d", static_cast<int>(nargs));
    Ref source;
    if (nargs == 1) {
        PyObject* other = PyTuple_GET_ITEM(args, 0);
        Ref mapping = frame::global(n_Mapping);
        if (frame::isinstance(other, mapping.get()))
            source = frame::call_method(other, n_items);
        else
            source = Ref::borrow(other);
    } else {
        source = frame::own(PyTuple_New(0));
    }
    Ref itertools = frame::global(n_itertools);
    Ref chain = frame::getattr(itertools.get(), n_chain);
    Ref kwitems = frame::call_method(kwargs, n_items);
    Ref iterable = frame::call(chain.get(), {source.get(), kwitems.get()});
    Ref it = frame::iter(iterable.get());
    PyObject* cls = reinterpret_cast<PyObject*>(Py_TYPE(self));
    while (Ref item = frame::next(it.get())) {
        Py_ssize_t len = frame::check_size(PyObject_Size(item.get()));
        if (len != 2) {
            Ref pos = frame::call_method(source.get(), n_index, {item.get()});
            static Name fmt("cannot convert dictionary update sequence element #%s to a sequence");
            Ref msg = frame::format(fmt.get(), frame::own(PyTuple_Pack(1, pos.get())).get());
            frame::raise(PyExc_TypeError, msg.get());
        }
        Ref kv[2];
        frame::unpack(item.get(), 2, kv);
        Ref mapping = frame::global(n_Mapping);
        if (frame::isinstance(kv[1].get(), mapping.get())) {
            Ref setdefault = frame::getattr(self, n_setdefault);
            Ref fresh = frame::call(cls);
            Ref level = frame::call(setdefault.get(), {kv[0].get(), fresh.get()});
            frame::call_method(level.get(), n_update, {kv[1].get()});
        } else {
            frame::setitem(self, kv[0].get(), kv[1].get());
        }
    }
    return frame::none();
}

void body(frame::Body& b) {
    b.import("itertools");
    b.from_import("collections.abc", {"Mapping", "MutableMapping"});

    {
        frame::ClassDef c(b, "FieldBag", {reinterpret_cast<PyObject*>(&PyDict_Type)},
                          kFieldBagDoc);
        c.def({"__init__", {"self", "*args", "**kwargs"}, FieldBag_init, kInitDoc, frame::SUPER});
        c.def({"__repr__", {"self"}, FieldBag_repr});
        c.build();
    }
    {
        Ref fieldbag = frame::global(n_FieldBag);
        Ref mm = frame::global(n_MutableMapping);
        frame::ClassDef c(b, "NestedFieldBag", {fieldbag.get(), mm.get()});
        c.def({"__init__", {"self", "*args", "**kwargs"}, NFB_init, nullptr, frame::SUPER});
        c.def({"__getitem__", {"self", "key"}, NFB_getitem, nullptr, frame::SUPER});
        c.def({"__setitem__", {"self", "key", "value"}, NFB_setitem, nullptr, frame::SUPER});
        c.def({"__contains__", {"self", "key"}, NFB_contains, nullptr, frame::SUPER});
        c.def({"__delitem__", {"self", "key"}, NFB_delitem, nullptr, frame::SUPER});
        for (Name* n : {&n_get, &n_pop, &n_setdefault}) {
            Ref base = frame::global(n_MutableMapping);
            Ref fn = frame::getattr(base.get(), *n);
            c.set(n->c_str(), fn.get());
        }
        c.def({"update", {"self", "*args", "**kwargs"}, NFB_update});
        c.build();
    }
}

}  // namespace

TAVIK_MODULE(body, kModuleDoc, false)
