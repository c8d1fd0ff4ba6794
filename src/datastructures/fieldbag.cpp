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
// What the bag classes look like from the inside.  The methods below follow
// their Python-level definitions call for call; where a type's method is
// known to be this module's own (not overridden) and the operation beneath it
// is dict's own slot, the code calls the C++ implementation or the dict slot
// directly instead of going through attribute lookup, super objects and the
// interpreter's slot wrappers.  Results and calls into user code are the same.

PyObject* g_FieldBag = nullptr;        // the classes, as built by the body
PyObject* g_NestedFieldBag = nullptr;
PyObject* g_setdefault = nullptr;      // MutableMapping.setdefault as stored in the class
PyObject* g_Mapping = nullptr;         // collections.abc.Mapping as imported
PyObject* g_chain = nullptr;           // itertools.chain as imported

Ref NFB_getitem(Args a);
Ref NFB_setitem(Args a);
Ref NFB_contains(Args a);
Ref NFB_update(Args a);
Ref NFB_init(Args a);
Ref FieldBag_init(Args a);

PyObject* dict_descr(Name& name) { return frame::own_attr(&PyDict_Type, name); }

struct BagFacts {
    // super() of FieldBag / NestedFieldBag methods reaches dict's own slot
    bool fb_dict_init = false;
    bool dict_getitem = false, dict_setitem = false, dict_delitem = false,
         dict_contains = false, nfb_dict_init = false;
    // the type's method when it is a function of the package, else nullptr
    PyObject* getitem = nullptr;
    PyObject* setitem = nullptr;
    PyObject* contains = nullptr;
    bool update = false;  // the type's update is NestedFieldBag.update
    bool fast_new = false;  // calling the type runs no user code
};

frame::TypeCache<BagFacts> g_facts;

const BagFacts& facts(PyTypeObject* type) {
    return g_facts.get(type, [](PyTypeObject* t) {
        BagFacts f;
        auto mine = [&](Name& n, frame::Impl impl) -> PyObject* {
            PyObject* v = frame::mro_lookup(t, n.get());
            return frame::is_impl(v, impl) ? v : nullptr;
        };
        // Any function of the package taking exactly `nparams` positional
        // parameters: the interpreter's slot wrapper would call it with just
        // those, so calling it directly is the same call.
        auto package_function = [&](Name& n, int nparams) -> PyObject* {
            PyObject* v = frame::mro_lookup(t, n.get());
            if (!v || Py_TYPE(v) != frame::function_type()) return nullptr;
            auto* fn = reinterpret_cast<frame::Function*>(v);
            return fn->nparams == nparams && !fn->has_varargs && !fn->has_varkw &&
                           !fn->defaults
                       ? v
                       : nullptr;
        };
        auto after_is_dict = [&](PyObject* cls, Name& n) {
            PyObject* v = cls ? frame::mro_lookup(t, n.get(), cls) : nullptr;
            return v && v == dict_descr(n);
        };
        f.fb_dict_init = after_is_dict(g_FieldBag, n_init);
        f.dict_getitem = after_is_dict(g_NestedFieldBag, n_getitem);
        f.dict_setitem = after_is_dict(g_NestedFieldBag, n_setitem);
        f.dict_delitem = after_is_dict(g_NestedFieldBag, n_delitem);
        f.dict_contains = after_is_dict(g_NestedFieldBag, n_contains);
        f.getitem = package_function(n_getitem, 2);
        f.setitem = package_function(n_setitem, 3);
        f.contains = package_function(n_contains, 2);
        f.update = mine(n_update, NFB_update) != nullptr;
        PyObject* nfb_init_next =
            g_NestedFieldBag ? frame::mro_lookup(t, n_init.get(), g_NestedFieldBag) : nullptr;
        f.fast_new = f.update && f.fb_dict_init && mine(n_init, NFB_init) &&
                     frame::is_impl(nfb_init_next, FieldBag_init) &&
                     t->tp_new == PyDict_Type.tp_new &&
                     Py_TYPE(t)->tp_call == PyType_Type.tp_call;
        return f;
    });
}

const BagFacts& facts_of(const Args& a) { return facts(Py_TYPE(a[0])); }

// super().__getitem__(key) etc. inside NestedFieldBag methods.
PyObject* super_getitem_raw(const Args& a, PyObject* key) {
    if (facts_of(a).dict_getitem) return PyDict_Type.tp_as_mapping->mp_subscript(a[0], key);
    try {
        Ref m = frame::super_attr(a, n_getitem);
        return frame::call(m.get(), {key}).release();
    } catch (const frame::Error&) {
        return nullptr;
    }
}

Ref super_getitem(const Args& a, PyObject* key) {
    return frame::own(super_getitem_raw(a, key));
}

void super_setitem(const Args& a, PyObject* key, PyObject* value) {
    if (facts_of(a).dict_setitem) {
        frame::check(PyDict_Type.tp_as_mapping->mp_ass_subscript(a[0], key, value));
        return;
    }
    Ref m = frame::super_attr(a, n_setitem);
    frame::call(m.get(), {key, value});
}

void super_delitem(const Args& a, PyObject* key) {
    if (facts_of(a).dict_delitem) {
        frame::check(PyDict_Type.tp_as_mapping->mp_ass_subscript(a[0], key, nullptr));
        return;
    }
    Ref m = frame::super_attr(a, n_delitem);
    frame::call(m.get(), {key});
}

// -1 with an exception set, else 0/1.
int super_contains(const Args& a, PyObject* key) {
    if (facts_of(a).dict_contains) return PyDict_Type.tp_as_sequence->sq_contains(a[0], key);
    try {
        Ref m = frame::super_attr(a, n_contains);
        return frame::truthy(frame::call(m.get(), {key}).get()) ? 1 : 0;
    } catch (const frame::Error&) {
        return -1;
    }
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

// type(self)(): a new empty level.  Skips the interpreter's class call when
// every step of it is this module's own and dict's.
Ref new_level(PyObject* cls) {
    PyTypeObject* t = reinterpret_cast<PyTypeObject*>(cls);
    if (facts(t).fast_new) {
        // NestedFieldBag.__init__ ends with self.update(), which reads the
        // module-level itertools.chain: keep that observable.
        Ref itertools = frame::global(n_itertools);
        Ref chain = frame::getattr(itertools.get(), n_chain);
        if (chain.get() == g_chain) {
            static PyObject* empty = PyTuple_New(0);
            if (!empty) frame::fail();
            Ref obj = frame::own(t->tp_new(t, empty, nullptr));
            frame::setattr(obj.get(), n_dict, obj.get());
            return obj;
        }
    }
    return frame::call(cls);
}

// meth(key, default), where meth is self.setdefault as looked up before the
// new level was made.
Ref call_setdefault(PyObject* self, PyObject* meth, PyObject* key, PyObject* dflt) {
    if (!(PyMethod_Check(meth) && PyMethod_GET_FUNCTION(meth) == g_setdefault &&
          PyMethod_GET_SELF(meth) == self))
        return frame::call(meth, {key, dflt});
    // The standard setdefault: try: return self[key]
    //                          except KeyError: self[key] = default; return default
    const BagFacts& f = facts(Py_TYPE(self));
    PyObject* found;
    if (f.getitem)
        found = frame::call_function_raw(f.getitem, {self, key});
    else
        found = PyObject_GetItem(self, key);
    if (found) return Ref::steal(found);
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) frame::fail();
    frame::Caught missing;
    if (f.setitem)
        frame::call_function(f.setitem, {self, key, dflt});
    else
        frame::setitem(self, key, dflt);
    return Ref::borrow(dflt);
}

// level.update(value)
void call_update(PyObject* level, PyObject* value) {
    Ref meth = frame::getattr(level, n_update);
    if (PyMethod_Check(meth.get()) && PyMethod_GET_SELF(meth.get()) == level &&
        frame::is_impl(PyMethod_GET_FUNCTION(meth.get()), NFB_update)) {
        Ref args = frame::own(PyTuple_Pack(1, value));
        Ref kwargs = frame::own(PyDict_New());
        frame::call_function(PyMethod_GET_FUNCTION(meth.get()), {level, args.get(), kwargs.get()});
        return;
    }
    frame::call(meth.get(), {value});
}

// self[key] = value
void store(PyObject* self, PyObject* key, PyObject* value) {
    if (PyObject* fn = facts(Py_TYPE(self)).setitem)
        frame::call_function(fn, {self, key, value});
    else
        frame::setitem(self, key, value);
}

PyObject* g_abc_token = nullptr;      // abc.get_cache_token
PyObject* g_token_at_import = nullptr;

// True while no class was registered with any abstract base class since the
// import: then the built-in scalar types are still known not to be mappings.
bool abc_registry_unchanged() {
    Ref token = frame::call(g_abc_token);
    return token.get() == g_token_at_import ||
           PyObject_RichCompareBool(token.get(), g_token_at_import, Py_EQ) == 1;
}

// isinstance(value, mapping).  `plain_known`: the answer for built-in types
// may be taken without asking the abstract base class.
bool is_mapping(PyObject* value, PyObject* mapping, bool plain_known = false) {
    if (mapping == g_Mapping) {
        PyTypeObject* t = Py_TYPE(value);
        // dict is registered with Mapping for good, so every dict subclass
        // (the bags included) is one whatever else happens to the registry.
        if (PyDict_Check(value)) return true;
        if (plain_known &&
            (t == &PyLong_Type || t == &PyUnicode_Type || t == &PyFloat_Type ||
             t == &PyBool_Type || t == Py_TYPE(Py_None) || t == &PyList_Type ||
             t == &PyTuple_Type || t == &PyBytes_Type))
            return false;
    }
    return frame::isinstance(value, mapping);
}

// ---------------------------------------------------------------------------
// FieldBag

Ref FieldBag_init(Args a) {
    PyObject* self = a[0];
    if (facts_of(a).fb_dict_init) {
        frame::check(PyDict_Type.tp_init(self, a[1], a[2]));
    } else {
        Ref init = frame::super_attr(a, n_init);
        frame::call_tuple(init.get(), a[1], a[2]);
    }
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

// Pickling and copying.  The default reduction of a dict subclass restores the
// items through the subclass's own item assignment (which would split dotted
// keys again and convert values again) and its attribute dictionary as a
// separate dict (which would unlink the items from the attributes).  A bag is
// therefore rebuilt from a bare instance of its class (no __init__ runs, as
// for any unpickled Python object) and a plain dict of its items, which
// __setstate__ stores with dict's own update before linking the instance to
// itself again.  copy.copy and copy.deepcopy go the same way.

Ref FieldBag_reduce_ex(Args a) { return frame::reduce_to_state(a[0]); }

Ref FieldBag_getstate(Args a) { return frame::own(PyDict_Copy(a[0])); }

Ref FieldBag_setstate(Args a) {
    PyObject* self = a[0];
    frame::check(PyDict_Update(self, a[1]));
    frame::setattr(self, n_dict, self);
    return frame::none();
}

const char kReduceExDoc[] =
    "Pickling support: a bare instance of the class, then __setstate__ with\n"
    "the value of __getstate__.";
const char kGetstateDoc[] = "A plain dict of the items.";
const char kSetstateDoc[] =
    "Stores the items of `state` with dict's own update (no item assignment of\n"
    "a subclass runs) and links the instance to its attributes again.";

// ---------------------------------------------------------------------------
// NestedFieldBag

Ref NFB_init(Args a) {
    PyObject* self = a[0];
    if (PyObject* next = frame::super_lookup_raw(a, n_init.get());
        frame::is_impl(next, FieldBag_init)) {
        static PyObject* empty = PyTuple_New(0);
        if (!empty) frame::fail();
        Ref kwargs = frame::own(PyDict_New());
        frame::call_function(next, {self, empty, kwargs.get()});
    } else {
        Ref init = frame::super_attr(a, n_init);
        frame::call(init.get());
    }
    Ref update = frame::getattr(self, n_update);
    if (PyMethod_Check(update.get()) && PyMethod_GET_SELF(update.get()) == self &&
        frame::is_impl(PyMethod_GET_FUNCTION(update.get()), NFB_update))
        frame::call_function(PyMethod_GET_FUNCTION(update.get()), {self, a[1], a[2]});
    else
        frame::call_tuple(update.get(), a[1], a[2]);
    return frame::none();
}

Ref NFB_getitem(Args a) {
    PyObject* key = a[1];
    Ref head, rest;
    if (!split_dotted(key, head, rest)) {
        PyObject* r = super_getitem_raw(a, key);
        return r ? Ref::steal(r) : frame::pass_error();
    }
    PyObject* v = super_getitem_raw(a, head.get());
    if (!v) return frame::pass_error();
    Ref value = Ref::steal(v);
    PyObject* r;
    if (PyObject* fn = facts(Py_TYPE(v)).getitem)
        r = frame::call_function_raw(fn, {v, rest.get()});
    else
        r = PyObject_GetItem(v, rest.get());
    return r ? Ref::steal(r) : frame::pass_error();
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
    PyObject* cls = reinterpret_cast<PyObject*>(Py_TYPE(self));
    Ref level;
    {
        Ref meth = frame::getattr(self, n_setdefault);
        Ref fresh = new_level(cls);
        level = call_setdefault(self, meth.get(), head.get(), fresh.get());
    }
    if (!frame::isinstance(level.get(), cls)) {
        static Name fmt("target key \"%s\" is a value, cannot update value against another %s");
        Ref tname = frame::getattr(cls, n_name);
        Ref args = frame::own(PyTuple_Pack(2, head.get(), tname.get()));
        Ref msg = frame::format(fmt.get(), args.get());
        frame::raise(PyExc_KeyError, msg.get());
    }
    store(level.get(), rest.get(), value);
    return frame::none();
}

Ref NFB_contains(Args a) {
    PyObject* key = a[1];
    Ref head, rest;
    if (!split_dotted(key, head, rest)) {
        int r = super_contains(a, key);
        return r < 0 ? frame::pass_error() : frame::boolean(r);
    }
    int has = super_contains(a, head.get());
    if (has <= 0) return has < 0 ? frame::pass_error() : frame::boolean(false);
    Ref value = super_getitem(a, head.get());
    if (PyObject* fn = facts(Py_TYPE(value.get())).contains) {
        PyObject* r = frame::call_function_raw(fn, {value.get(), rest.get()});
        return r ? Ref::steal(r) : frame::pass_error();
    }
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

// One (key, value) pair of update.
void merge_pair(PyObject* self, PyObject* cls, PyObject* mapping, PyObject* key,
                PyObject* value, bool plain_known) {
    if (is_mapping(value, mapping, plain_known)) {
        Ref meth = frame::getattr(self, n_setdefault);
        Ref fresh = new_level(cls);
        Ref level = call_setdefault(self, meth.get(), key, fresh.get());
        fresh.reset();
        call_update(level.get(), value);
    } else {
        store(self, key, value);
    }
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
        if (is_mapping(other, mapping.get()))
            source = frame::call_method(other, n_items);
        else
            source = Ref::borrow(other);
    } else {
        source = frame::own(PyTuple_New(0));
    }
    Ref itertools = frame::global(n_itertools);
    Ref chain = frame::getattr(itertools.get(), n_chain);
    Ref kwitems = frame::call_method(kwargs, n_items);
    // itertools.chain itself runs no user code: iterate the two parts in turn.
    Ref parts[2];
    int nparts;
    if (chain.get() == g_chain) {
        parts[0] = frame::iter(source.get());
        nparts = 2;
    } else {
        Ref iterable = frame::call(chain.get(), {source.get(), kwitems.get()});
        parts[0] = frame::iter(iterable.get());
        nparts = 1;
    }
    PyObject* cls = reinterpret_cast<PyObject*>(Py_TYPE(self));
    const bool plain_known = abc_registry_unchanged();
    for (int p = 0; p < nparts; p++) {
        if (p == 1) parts[1] = frame::iter(kwitems.get());
        PyObject* it = parts[p].get();
        while (Ref item = frame::next(it)) {
            Py_ssize_t len = frame::check_size(PyObject_Size(item.get()));
            if (len != 2) {
                Ref pos = frame::call_method(source.get(), n_index, {item.get()});
                static Name fmt(
                    "cannot convert dictionary update sequence element #%s to a sequence");
                Ref msg = frame::format(fmt.get(), frame::own(PyTuple_Pack(1, pos.get())).get());
                frame::raise(PyExc_TypeError, msg.get());
            }
            Ref kv[2];
            frame::unpack(item.get(), 2, kv);
            item.reset();
            Ref mapping = frame::global(n_Mapping);
            merge_pair(self, cls, mapping.get(), kv[0].get(), kv[1].get(), plain_known);
        }
    }
    return frame::none();
}

void body(frame::Body& b) {
    b.import("itertools");
    b.from_import("collections.abc", {"Mapping", "MutableMapping"});
    g_Mapping = frame::global(n_Mapping).release();
    {
        Ref abc = frame::own(PyImport_ImportModule("abc"));
        g_abc_token = frame::own(PyObject_GetAttrString(abc.get(), "get_cache_token")).release();
        g_token_at_import = frame::call(g_abc_token).release();
    }
    {
        Ref itertools = frame::global(n_itertools);
        g_chain = frame::getattr(itertools.get(), n_chain).release();
    }

    {
        frame::ClassDef c(b, "FieldBag", {reinterpret_cast<PyObject*>(&PyDict_Type)},
                          kFieldBagDoc);
        c.def({"__init__", {"self", "*args", "**kwargs"}, FieldBag_init, kInitDoc, frame::SUPER});
        c.def({"__repr__", {"self"}, FieldBag_repr});
        c.def({"__reduce_ex__", {"self", "protocol"}, FieldBag_reduce_ex, kReduceExDoc});
        c.def({"__getstate__", {"self"}, FieldBag_getstate, kGetstateDoc});
        c.def({"__setstate__", {"self", "state"}, FieldBag_setstate, kSetstateDoc});
        g_FieldBag = c.build().release();
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
            if (n == &n_setdefault) g_setdefault = fn.new_ref();
        }
        c.def({"update", {"self", "*args", "**kwargs"}, NFB_update});
        g_NestedFieldBag = c.build().release();
    }
}

}  // namespace

TAVIK_MODULE(body, kModuleDoc, false)
