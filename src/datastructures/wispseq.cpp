// tavik.datastructures.wispseq: a list that holds its items through weak
// references and loses them when they die.
#include "frame/frame.hpp"
#include "frame/generator.hpp"

#include <utility>
#include <vector>

using frame::Args;
using frame::Name;
using frame::Ref;

namespace {

const char kWispSeqDoc[] =
    "WispSeq Class\n"
    "\n"
    "A list that does not keep its items alive.  It stores a weak reference\n"
    "to every object it is given and hands back the objects themselves; when\n"
    "the interpreter frees an object, its entries leave the list by\n"
    "themselves (each weak reference calls the list's own remove()).\n"
    "\n"
    "    >>> class Item: pass\n"
    "    >>> a, b = Item(), Item()\n"
    "    >>> seq = WispSeq([a, b])\n"
    "    >>> len(seq)\n"
    "    2\n"
    "    >>> del a\n"
    "    >>> len(seq)\n"
    "    1\n"
    "\n"
    "Warning: what the list holds depends on garbage collection.  An object\n"
    "stays in the list for as long as something else keeps it alive, and an\n"
    "object that only lives in a reference cycle leaves it only when the\n"
    "cycle collector frees it.  The list itself lives in a cycle with its\n"
    "entries once it holds any, so it is freed by the cycle collector too.\n"
    "\n"
    "Copying and pickling: copy.copy() and copy.deepcopy() give a new,\n"
    "independent list of new weak references to the same objects (the\n"
    "objects are never copied), whose entries leave the copy when the\n"
    "objects die.  A WispSeq cannot be pickled: a pickle would have to keep\n"
    "the objects alive or lose them, so pickle raises TypeError.";

Name n_weakref("weakref");
Name n_collections("collections");
Name n_UserList("UserList");
Name n_WispSeq("WispSeq");
Name n_ref("ref");
Name n_ReferenceType("ReferenceType");
Name n_data("data");
Name n_remove("remove");
Name n_class("__class__");
Name n_name("__name__");
Name n_new("__new__");
Name n_dict("__dict__");
Name n_update("update");
Name n_format("format");
Name n_init("__init__");
Name n_contains("__contains__");
Name n_getitem("__getitem__");
Name n_setitem("__setitem__");
Name n_iadd("__iadd__");
Name n_append("append");
Name n_index("index");
Name n_count("count");
Name n_pop("pop");
Name n_insert("insert");
Name n_extend("extend");
Name n_sort("sort");
Name n_deepcopy("deepcopy");
Name n_copy_module("copy");

// ---------------------------------------------------------------------------
// super() calls.
//
// `UserList`'s own methods as the module found them at import.  While
// super().<name> is still that function, the base method's one statement
// (`self.data.<name>(...)`, see collections.UserList) is done here directly,
// with the same attribute lookups, instead of through a Python call.
struct UserListMethods {
    PyObject* init = nullptr;
    PyObject* contains = nullptr;
    PyObject* getitem = nullptr;
    PyObject* setitem = nullptr;
    PyObject* append = nullptr;
    PyObject* index = nullptr;
    PyObject* count = nullptr;
    PyObject* pop = nullptr;
    PyObject* insert = nullptr;
    PyObject* extend = nullptr;
    PyObject* remove = nullptr;
    PyObject* sort = nullptr;
    PyObject* globals = nullptr;  // the namespace of collections
} g_ul;

// True when super().<name> is UserList's original method.  `fact` is the
// caller's own: one per method.
bool base_is(const Args& a, Name& name, PyObject* original,
             frame::TypeCache<bool>& fact) {
    if (!original) return false;
    return fact.get(Py_TYPE(a[0]), [&](PyTypeObject*) {
        return frame::super_lookup_raw(a, name.get()) == original;
    });
}

using frame::super_call;

// super().<name> of each method that reaches UserList.
frame::TypeCache<bool> fact_append;
frame::TypeCache<bool> fact_contains;
frame::TypeCache<bool> fact_count;
frame::TypeCache<bool> fact_extend;
frame::TypeCache<bool> fact_getitem;
frame::TypeCache<bool> fact_index;
frame::TypeCache<bool> fact_init;
frame::TypeCache<bool> fact_insert;
frame::TypeCache<bool> fact_pop;
frame::TypeCache<bool> fact_remove;
frame::TypeCache<bool> fact_setitem;
frame::TypeCache<bool> fact_sort;

Ref data_of(PyObject* self) { return frame::getattr(self, n_data); }

// ---------------------------------------------------------------------------
// Entries.

bool is_weakref_ref(PyObject* ref) {
    return ref == reinterpret_cast<PyObject*>(&_PyWeakref_RefType);
}

// Calls an entry: its referent, or None once it is dead.
Ref deref(PyObject* entry) {
    if (PyWeakref_CheckRefExact(entry)) {
#if PY_VERSION_HEX >= 0x030D0000
        PyObject* obj;
        if (PyWeakref_GetRef(entry, &obj) < 0) frame::fail();
        return obj ? Ref::steal(obj) : frame::none();
#else
        return Ref::borrow(PyWeakref_GET_OBJECT(entry));
#endif
    }
    return frame::call(entry);
}

// Wraps x: weakref.ref(x, self.remove), both names looked up now.
Ref wrap(PyObject* self, PyObject* x) {
    Ref weakref = frame::global(n_weakref);
    Ref ref = frame::getattr(weakref.get(), n_ref);
    Ref callback = frame::getattr(self, n_remove);
    if (is_weakref_ref(ref.get())) return frame::own(PyWeakref_NewRef(x, callback.get()));
    return frame::call(ref.get(), {x, callback.get()});
}

// A new list of the wrapped elements of `items`; nothing is stored until all
// of them are wrapped.
Ref wrap_all(PyObject* self, PyObject* items) {
    Ref out = frame::own(PyList_New(0));
    Ref it = frame::iter(items);
    while (Ref x = frame::next(it.get())) {
        Ref entry = wrap(self, x.get());
        frame::check(PyList_Append(out.get(), entry.get()));
    }
    return out;
}

// Probes x: weakref.ref(x).  Empty when x cannot be weakly referenced
// (the TypeError of weakref.ref): such an object is in no WispSeq.
Ref probe(PyObject* x) {
    Ref weakref = frame::global(n_weakref);
    Ref ref = frame::getattr(weakref.get(), n_ref);
    try {
        if (is_weakref_ref(ref.get())) return frame::own(PyWeakref_NewRef(x, nullptr));
        return frame::call(ref.get(), {x});
    } catch (const frame::Error&) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw;
        PyErr_Clear();
        return Ref();
    }
}

// The ValueError a list raises for an item it does not hold
// (list.<name>(x) on an empty list: no comparisons are made).
[[noreturn]] void not_in_list(Name& name, PyObject* x) {
    Ref empty = frame::own(PyList_New(0));
    frame::call_method(empty.get(), name, {x});
    frame::raise(PyExc_SystemError, "list lookup of an absent item succeeded");
}

// Length and item of `data`, as iteration by position sees them.
Py_ssize_t length(PyObject* data) {
    if (PyList_CheckExact(data)) return PyList_GET_SIZE(data);
    return frame::check_size(PyObject_Size(data));
}

Ref item_at(PyObject* data, Py_ssize_t i) {
    if (PyList_CheckExact(data)) return Ref::borrow(PyList_GET_ITEM(data, i));
    return frame::own(PySequence_GetItem(data, i));
}

// The live objects of the entries, in order (dead entries are left out).
Ref live_objects(PyObject* self) {
    Ref data = data_of(self);
    Ref out = frame::own(PyList_New(0));
    for (Py_ssize_t i = 0; i < length(data.get()); i++) {
        Ref entry = item_at(data.get(), i);
        Ref obj = deref(entry.get());
        if (obj.get() != Py_None) frame::check(PyList_Append(out.get(), obj.get()));
    }
    return out;
}

// ---------------------------------------------------------------------------
// The two generators.

struct IterLocals {
    Ref self, data;
    Py_ssize_t i = 0;
    int traverse(visitproc visit, void* arg) const {
        return frame::visit_refs(visit, arg, self, data);
    }
};

frame::GenDef g_iter{Name("__iter__"), Name("WispSeq.__iter__")};

// The object of the entry at position i (then the next position), or empty
// past the end; the length is read at every step.
Ref object_at(IterLocals& L) {
    if (L.i >= length(L.data.get())) return Ref();
    Ref entry = item_at(L.data.get(), L.i++);
    return deref(entry.get());
}

frame::GenBody iter_body(IterLocals L) {
    L.data = data_of(L.self.get());
    while (Ref obj = object_at(L)) co_yield std::move(obj);
}

Ref WispSeq_iter(Args a) {
    IterLocals L;
    L.self = Ref::borrow(a[0]);
    return frame::make_generator(g_iter, iter_body(std::move(L)));
}

struct SliceLocals {
    Ref self, index;
    Ref entries;  // iterator over self.data[index]
    int traverse(visitproc visit, void* arg) const {
        return frame::visit_refs(visit, arg, self, index, entries);
    }
};

frame::GenDef g_genexpr{Name("genexpr"), Name("WispSeq.__getitem__.<locals>.genexpr")};

Ref next_object(SliceLocals& L) {
    Ref entry = frame::next(L.entries.get());
    if (!entry) return Ref();
    return deref(entry.get());
}

frame::GenBody slice_body(SliceLocals L) {
    {
        Ref data = data_of(L.self.get());
        Ref sub = frame::getitem(data.get(), L.index.get());
        L.entries = frame::iter(sub.get());
    }
    while (Ref obj = next_object(L)) co_yield std::move(obj);
}

// ---------------------------------------------------------------------------
// The methods.

// collections.UserList as UserList's own methods see it (their global).
Ref userlist_global() {
    PyObject* ul = PyDict_GetItemWithError(g_ul.globals, n_UserList.get());
    if (!ul) {
        if (PyErr_Occurred()) frame::fail();
        frame::raisef(PyExc_NameError, frame::Loc::current(), "name '%U' is not defined",
                      n_UserList.get());
    }
    return Ref::borrow(ul);
}

Ref WispSeq_init(Args a) {
    PyObject* self = a[0];
    const bool plain = base_is(a, n_init, g_ul.init, fact_init);
    Ref init;
    if (!plain) init = frame::super_attr(a, n_init);
    Ref entries = wrap_all(self, a[1]);
    if (!plain) {
        frame::call(init.get(), {entries.get()});
        return frame::none();
    }
    // UserList.__init__(entries), statement by statement
    Ref fresh = frame::own(PyList_New(0));
    frame::setattr(self, n_data, fresh.get());  // self.data = []
    fresh.reset();
    Ref all = frame::own(PySlice_New(nullptr, nullptr, nullptr));
    Ref data = data_of(self);
    PyObject* theirs = reinterpret_cast<PyObject*>(Py_TYPE(entries.get()));
    PyObject* ours = reinterpret_cast<PyObject*>(Py_TYPE(data.get()));
    if (frame::check(PyObject_RichCompareBool(theirs, ours, Py_EQ))) {
        data = data_of(self);  // self.data[:] = initlist
        frame::setitem(data.get(), all.get(), entries.get());
    } else if (frame::isinstance(entries.get(), userlist_global().get())) {
        Ref source = frame::getattr(entries.get(), n_data);  // initlist.data[:]
        Ref copy = frame::getslice(source.get(), nullptr, nullptr);
        data = data_of(self);
        frame::setitem(data.get(), all.get(), copy.get());
    } else {
        Ref copy = frame::own(PySequence_List(entries.get()));  // list(initlist)
        frame::setattr(self, n_data, copy.get());
    }
    return frame::none();
}

Ref WispSeq_contains(Args a) {
    Ref p = probe(a[1]);
    if (!p) return frame::boolean(false);
    if (!base_is(a, n_contains, g_ul.contains, fact_contains))
        return super_call(a, n_contains, {p.get()});
    Ref data = data_of(a[0]);
    return frame::boolean(frame::contains(data.get(), p.get()));
}

Ref WispSeq_getitem(Args a) {
    PyObject* self = a[0];
    PyObject* index = a[1];
    if (PySlice_Check(index)) {
        Ref cls = frame::getattr(self, n_class);
        SliceLocals L;
        L.self = Ref::borrow(self);
        L.index = Ref::borrow(index);
        Ref gen = frame::make_generator(g_genexpr, slice_body(std::move(L)));
        return frame::call(cls.get(), {gen.get()});
    }
    Ref entry;
    if (base_is(a, n_getitem, g_ul.getitem, fact_getitem)) {
        Ref data = data_of(self);
        entry = frame::getitem(data.get(), index);
    } else {
        entry = super_call(a, n_getitem, {index});
    }
    return deref(entry.get());
}

Ref WispSeq_setitem(Args a) {
    PyObject* self = a[0];
    PyObject* index = a[1];
    Ref value = PySlice_Check(index) ? wrap_all(self, a[2]) : wrap(self, a[2]);
    if (!base_is(a, n_setitem, g_ul.setitem, fact_setitem))
        return super_call(a, n_setitem, {index, value.get()});
    Ref data = data_of(self);
    frame::setitem(data.get(), index, value.get());
    return frame::none();
}

Ref WispSeq_eq(Args a) {
    Ref objects = frame::own(PySequence_List(a[0]));
    return frame::own(PyObject_RichCompare(objects.get(), a[1], Py_EQ));
}

Ref WispSeq_reversed(Args a) {
    Ref step = frame::own(PyLong_FromLong(-1));
    Ref backwards = frame::own(PySlice_New(nullptr, nullptr, step.get()));
    return frame::getitem(a[0], backwards.get());
}

Ref WispSeq_add(Args a) {
    PyObject* self = a[0];
    PyObject* item = a[1];
    Ref cls = frame::global(n_WispSeq);
    if (!frame::isinstance(item, cls.get())) {
        Ref fmt = frame::unicode("can only concatenante WispSeq (not \"{value_type}\") to WispSeq");
        Ref format = frame::getattr(fmt.get(), n_format);
        Ref type_name = frame::getattr(reinterpret_cast<PyObject*>(Py_TYPE(item)), n_name);
        Ref kwnames = frame::own(Py_BuildValue("(s)", "value_type"));
        PyObject* args[] = {type_name.get()};
        Ref msg = frame::call_args(format.get(), args, 0, kwnames.get());
        frame::raise(PyExc_TypeError, msg.get());
    }
    Ref result = frame::call(cls.get());
    frame::call_method(result.get(), n_extend, {self});
    frame::call_method(result.get(), n_extend, {item});
    return result;
}

Ref WispSeq_iadd(Args a) {
    Ref entries = wrap_all(a[0], a[1]);
    return super_call(a, n_iadd, {entries.get()});
}

Ref WispSeq_remove(Args a) {
    PyObject* self = a[0];
    PyObject* item = a[1];
    Ref weakref = frame::global(n_weakref);
    Ref reftype = frame::getattr(weakref.get(), n_ReferenceType);
    Ref target;
    if (frame::isinstance(item, reftype.get())) {
        target = Ref::borrow(item);
    } else {
        target = probe(item);
        if (!target) not_in_list(n_remove, item);
    }
    if (base_is(a, n_remove, g_ul.remove, fact_remove)) {
        Ref data = data_of(self);
        frame::call_method(data.get(), n_remove, {target.get()});
    } else {
        super_call(a, n_remove, {target.get()});
    }
    return frame::none();
}

Ref WispSeq_append(Args a) {
    PyObject* self = a[0];
    Ref entry = wrap(self, a[1]);
    if (!base_is(a, n_append, g_ul.append, fact_append))
        return super_call(a, n_append, {entry.get()});
    Ref data = data_of(self);
    if (PyList_CheckExact(data.get()))
        frame::check(PyList_Append(data.get(), entry.get()));
    else
        frame::call_method(data.get(), n_append, {entry.get()});
    return frame::none();
}

Ref WispSeq_index(Args a) {
    Ref p = probe(a[1]);
    if (!p) not_in_list(n_index, a[1]);
    if (!base_is(a, n_index, g_ul.index, fact_index)) return super_call(a, n_index, {p.get()});
    Ref data = data_of(a[0]);
    return frame::call_method(data.get(), n_index, {p.get()});
}

Ref WispSeq_count(Args a) {
    Ref p = probe(a[1]);
    if (!p) return frame::own(PyLong_FromLong(0));
    if (!base_is(a, n_count, g_ul.count, fact_count)) return super_call(a, n_count, {p.get()});
    Ref data = data_of(a[0]);
    return frame::call_method(data.get(), n_count, {p.get()});
}

Ref WispSeq_pop(Args a) {
    Ref entry;
    if (base_is(a, n_pop, g_ul.pop, fact_pop)) {
        Ref data = data_of(a[0]);
        entry = frame::call_method(data.get(), n_pop, {a[1]});
    } else {
        entry = super_call(a, n_pop, {a[1]});
    }
    return deref(entry.get());
}

Ref WispSeq_insert(Args a) {
    Ref entry = wrap(a[0], a[2]);
    if (!base_is(a, n_insert, g_ul.insert, fact_insert))
        return super_call(a, n_insert, {a[1], entry.get()});
    Ref data = data_of(a[0]);
    frame::call_method(data.get(), n_insert, {a[1], entry.get()});
    return frame::none();
}

Ref WispSeq_extend(Args a) {
    PyObject* self = a[0];
    Ref entries = wrap_all(self, a[1]);
    if (!base_is(a, n_extend, g_ul.extend, fact_extend))
        return super_call(a, n_extend, {entries.get()});
    // UserList.extend: `self.data.extend(other)` unless `other` is a UserList
    if (frame::isinstance(entries.get(), userlist_global().get()))
        return frame::call(g_ul.extend, {self, entries.get()});
    Ref data = data_of(self);
    frame::call_method(data.get(), n_extend, {entries.get()});
    return frame::none();
}

// The key functions of sort.
Ref sort_key_referent(Args a) { return deref(a[0]); }

Ref sort_key_user(Args a) {
    Ref obj = deref(a[0]);
    return frame::call(a.func->closure, {obj.get()});
}

// Removes the dead entries of `data`.  An object that dies while the list
// is being sorted cannot leave it (the list is empty for the duration of the
// sort, so its clean-up callback finds nothing); its entries go here.
void drop_dead_entries(PyObject* self) {
    Ref data = data_of(self);
    if (!PyList_CheckExact(data.get())) return;
    for (Py_ssize_t i = PyList_GET_SIZE(data.get()) - 1; i >= 0; i--) {
        if (i >= PyList_GET_SIZE(data.get())) continue;
        PyObject* entry = PyList_GET_ITEM(data.get(), i);
        if (!PyWeakref_CheckRefExact(entry)) continue;
        Ref obj = deref(entry);
        if (obj.get() == Py_None) frame::check(PyList_SetSlice(data.get(), i, i + 1, nullptr));
    }
}

Ref WispSeq_sort(Args a) {
    PyObject* self = a[0];
    PyObject* key = a[1];
    Ref keyfunc;
    if (key == Py_None) {
        frame::Def def{"<lambda>", {"x"}, sort_key_referent, nullptr, 0, {},
                       "WispSeq.sort.<locals>.<lambda>", "WispSeq.sort.lambda1"};
        keyfunc = frame::make_function(def);
    } else {
        frame::Def def{"<lambda>", {"x"}, sort_key_user, nullptr, 0, {},
                       "WispSeq.sort.<locals>.<lambda>", "WispSeq.sort.lambda2"};
        keyfunc = frame::make_function(def, nullptr, key);
    }
    Ref kwnames = frame::own(Py_BuildValue("(ss)", "key", "reverse"));
    PyObject* args[] = {keyfunc.get(), a[2]};
    Ref result;
    try {
        if (base_is(a, n_sort, g_ul.sort, fact_sort)) {
            Ref data = data_of(self);
            Ref sort = frame::getattr(data.get(), n_sort);
            frame::call_args(sort.get(), args, 0, kwnames.get());
            result = frame::none();
        } else {
            result = super_call(a, n_sort, args, 0, kwnames.get());
        }
    } catch (const frame::Error&) {
        frame::Caught caught;
        drop_dead_entries(self);
        caught.reraise();
    }
    drop_dead_entries(self);
    return result;
}

// "WispSeq([" + ", ".join(text(x) for x in self) + "])"
Ref listing(PyObject* self, PyObject* (*text)(PyObject*)) {
    Ref parts = frame::own(PyList_New(0));
    Ref it = frame::iter(self);
    while (Ref obj = frame::next(it.get())) {
        Ref t = frame::own(text(obj.get()));
        frame::check(PyList_Append(parts.get(), t.get()));
    }
    Ref sep = frame::unicode(", ");
    Ref joined = frame::own(PyUnicode_Join(sep.get(), parts.get()));
    return frame::own(PyUnicode_FromFormat("WispSeq([%U])", joined.get()));
}

Ref WispSeq_repr(Args a) { return listing(a[0], PyObject_Repr); }
Ref WispSeq_str(Args a) { return listing(a[0], PyObject_Str); }

// Repetition and right-hand addition make new instances (of the instance's
// class) holding new references to the objects.
Ref WispSeq_mul(Args a) {
    Ref objects = live_objects(a[0]);
    Ref repeated = frame::own(PyNumber_Multiply(objects.get(), a[1]));
    Ref cls = frame::getattr(a[0], n_class);
    return frame::call(cls.get(), {repeated.get()});
}

Ref WispSeq_radd(Args a) {
    Ref left = frame::own(PySequence_List(a[1]));
    Ref objects = live_objects(a[0]);
    Ref both = frame::own(PySequence_Concat(left.get(), objects.get()));
    Ref cls = frame::getattr(a[0], n_class);
    return frame::call(cls.get(), {both.get()});
}

Ref WispSeq_imul(Args a) {
    PyObject* self = a[0];
    Ref objects = live_objects(self);
    Ref repeated = frame::own(PyNumber_Multiply(objects.get(), a[1]));
    Ref entries = wrap_all(self, repeated.get());
    Ref data = data_of(self);
    Ref all = frame::own(PySlice_New(nullptr, nullptr, nullptr));
    frame::setitem(data.get(), all.get(), entries.get());
    return Ref::borrow(self);
}

// A copy has references of its own, whose callbacks clean the copy.
Ref copy_of(PyObject* self, PyObject* memo) {
    Ref cls = frame::getattr(self, n_class);
    Ref inst = frame::call_method(cls.get(), n_new, {cls.get()});
    Ref inst_attrs = frame::getattr(inst.get(), n_dict);
    if (memo) {  // memo[id(self)] = inst, as copy.deepcopy does before the state
        Ref id = frame::own(PyLong_FromVoidPtr(self));
        frame::setitem(memo, id.get(), inst.get());
    }
    Ref attrs = frame::getattr(self, n_dict);
    if (memo) {
        Ref copy_module = frame::own(PyImport_Import(n_copy_module.get()));
        Ref deepcopy = frame::getattr(copy_module.get(), n_deepcopy);
        attrs = frame::call(deepcopy.get(), {attrs.get(), memo});
    }
    frame::call_method(inst_attrs.get(), n_update, {attrs.get()});
    Ref objects = live_objects(self);
    Ref entries = wrap_all(inst.get(), objects.get());
    frame::setitem(inst_attrs.get(), n_data.get(), entries.get());
    return inst;
}

Ref WispSeq_copy(Args a) { return copy_of(a[0], nullptr); }

// pickle: refused with a message of the interpreter's own form, before any
// entry is looked at.
Ref WispSeq_reduce_ex(Args a) {
    frame::raisef(PyExc_TypeError, frame::Loc::current(),
                  "cannot pickle '%.200s' object: it holds weak references",
                  Py_TYPE(a[0])->tp_name);
}
Ref WispSeq_deepcopy(Args a) { return copy_of(a[0], a[1]); }

// ---------------------------------------------------------------------------
// `s[i]` runs the class's mapping subscript slot.  The interpreter's generic
// slot looks up __getitem__ and calls it through a vectorcall; this slot runs
// the function directly (already bound: self and the index), as long as
// __getitem__ found on the type is still this module's function (reassigning
// it makes the interpreter install its generic slot again), and otherwise
// does what the generic slot does.

// The package's __getitem__ when it is what type(self).__getitem__ finds
// (borrowed: it stays in the type's method order while the tag is unchanged),
// else nullptr.
frame::TypeCache<PyObject*> own_getitem;

PyObject* lookup_own_getitem(PyTypeObject* t) {
    return own_getitem.get(t, [](PyTypeObject* type) -> PyObject* {
        PyObject* found = frame::mro_lookup_raw(type, n_getitem.get());
        if (!found) {
            PyErr_Clear();  // the generic path looks it up again and reports it
            return nullptr;
        }
        return frame::is_impl(found, WispSeq_getitem) ? found : nullptr;
    });
}

// What the interpreter's generic slot does: type(self).__getitem__ called
// unbound with self in front when it is a method descriptor, else bound
// through its __get__ (or called as it is).
PyObject* generic_subscript(PyObject* self, PyObject* index) {
    PyObject* name = n_getitem.get();
    PyObject* func = frame::mro_lookup_raw(Py_TYPE(self), name);
    if (!func) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_AttributeError, name);
        return nullptr;
    }
    PyObject* stack[2] = {self, index};
    if (PyType_HasFeature(Py_TYPE(func), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
        Py_INCREF(func);
        PyObject* r = PyObject_Vectorcall(func, stack, 2, nullptr);
        Py_DECREF(func);
        return r;
    }
    descrgetfunc get = Py_TYPE(func)->tp_descr_get;
    PyObject* bound;
    if (get) {
        bound = get(func, self, reinterpret_cast<PyObject*>(Py_TYPE(self)));
        if (!bound) return nullptr;
    } else {
        bound = Py_NewRef(func);
    }
    PyObject* r =
        PyObject_Vectorcall(bound, stack + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    Py_DECREF(bound);
    return r;
}

PyObject* wispseq_subscript(PyObject* self, PyObject* index) {
    PyObject* func = lookup_own_getitem(Py_TYPE(self));
    if (!func) return generic_subscript(self, index);
    Py_INCREF(func);
    PyObject* r = frame::call_function_raw(func, {self, index});
    Py_DECREF(func);
    return r;
}

// ---------------------------------------------------------------------------

void remember_userlist(PyObject* userlist) {
    if (g_ul.init || !PyType_Check(userlist)) return;
    PyObject* d = reinterpret_cast<PyTypeObject*>(userlist)->tp_dict;
    struct {
        PyObject** slot;
        const char* name;
    } table[] = {
        {&g_ul.init, "__init__"}, {&g_ul.contains, "__contains__"},
        {&g_ul.getitem, "__getitem__"}, {&g_ul.setitem, "__setitem__"},
        {&g_ul.append, "append"}, {&g_ul.index, "index"},
        {&g_ul.count, "count"}, {&g_ul.pop, "pop"},
        {&g_ul.insert, "insert"}, {&g_ul.extend, "extend"},
        {&g_ul.remove, "remove"}, {&g_ul.sort, "sort"},
    };
    for (auto& e : table) {
        PyObject* f = PyDict_GetItemString(d, e.name);
        // kept for the life of the process; only plain functions qualify
        *e.slot = f && PyFunction_Check(f) ? Py_NewRef(f) : nullptr;
    }
    PyObject* any = g_ul.init ? g_ul.init : g_ul.extend;
    if (any) g_ul.globals = Py_NewRef(PyFunction_GetGlobals(any));
}

void body(frame::Body& b) {
    b.import("weakref");
    b.import("collections");
    Ref collections = frame::global(n_collections);
    Ref userlist = frame::getattr(collections.get(), n_UserList);
    remember_userlist(userlist.get());
    Ref empty = frame::own(PyTuple_New(0));

    frame::ClassDef c(b, "WispSeq", {userlist.get()}, kWispSeqDoc);
    c.def({"__init__", {"self", "items"}, WispSeq_init, nullptr, frame::SUPER, {empty.get()}});
    c.def({"__contains__", {"self", "item"}, WispSeq_contains, nullptr, frame::SUPER});
    c.def({"__getitem__", {"self", "index"}, WispSeq_getitem, nullptr, frame::SUPER});
    c.def({"__setitem__", {"self", "index", "item"}, WispSeq_setitem, nullptr, frame::SUPER});
    c.def({"__iter__", {"self"}, WispSeq_iter});
    c.def({"__eq__", {"self", "other"}, WispSeq_eq});
    c.def({"__reversed__", {"self"}, WispSeq_reversed});
    c.def({"__add__", {"self", "item"}, WispSeq_add});
    c.def({"__iadd__", {"self", "items"}, WispSeq_iadd, nullptr, frame::SUPER});
    c.def({"remove", {"self", "item"}, WispSeq_remove, nullptr, frame::SUPER});
    c.def({"append", {"self", "item"}, WispSeq_append, nullptr, frame::SUPER});
    c.def({"index", {"self", "item"}, WispSeq_index, nullptr, frame::SUPER});
    c.def({"count", {"self", "item"}, WispSeq_count, nullptr, frame::SUPER});
    Ref minus_one = frame::own(PyLong_FromLong(-1));
    c.def({"pop", {"self", "item"}, WispSeq_pop, nullptr, frame::SUPER, {minus_one.get()}});
    c.def({"insert", {"self", "index", "item"}, WispSeq_insert, nullptr, frame::SUPER});
    c.def({"extend", {"self", "items"}, WispSeq_extend, nullptr, frame::SUPER});
    c.def({"sort", {"self", "key", "reverse"}, WispSeq_sort, nullptr, frame::SUPER,
           {Py_None, Py_False}});
    c.def({"__repr__", {"self"}, WispSeq_repr});
    c.def({"__str__", {"self"}, WispSeq_str});
    c.def({"__radd__", {"self", "other"}, WispSeq_radd});
    c.def({"__mul__", {"self", "n"}, WispSeq_mul});
    c.def({"__rmul__", {"self", "n"}, WispSeq_mul});
    c.def({"__imul__", {"self", "n"}, WispSeq_imul});
    c.def({"__copy__", {"self"}, WispSeq_copy});
    c.def({"__deepcopy__", {"self", "memo"}, WispSeq_deepcopy});
    c.def({"__reduce_ex__", {"self", "protocol"}, WispSeq_reduce_ex,
           "Pickling is refused: raises TypeError."});
    Ref cls = c.build();
    reinterpret_cast<PyTypeObject*>(cls.get())->tp_as_mapping->mp_subscript = wispseq_subscript;
}

}  // namespace

TAVIK_MODULE(body, nullptr, true)
