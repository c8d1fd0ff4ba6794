// tavik.datastructures.rankmap: a mapping whose key order is an explicit,
// rearrangeable list.
//
// Every instance keeps `_data` (key -> value dict) and `_order` (list of the
// keys) as ordinary instance attributes, looked up on each use.  The methods
// below take shortcuts only where the shortcut provably gives the same result
// and makes the same calls into user code as the general path: exact dicts
// and lists, the class's own methods not overridden, and (for the sort in
// `items()`) keys of built-in types whose comparisons run no user code.
#include "frame/frame.hpp"

#include <cstring>
#include <vector>

using frame::Args;
using frame::Name;
using frame::Ref;

namespace {

const char kRankMapDoc[] =
    "RankMap\n"
    "\n"
    "A MutableMapping subclass that, like an ordered dictionary, remembers the\n"
    "order in which keys were first inserted, but also lets a key be moved to\n"
    "another place in that order with RankMap.move() (or placed there from the\n"
    "start with RankMap.insert()).\n"
    "\n"
    "Note: every key is held twice, once by the key-to-value dict and once by\n"
    "the order list, so a RankMap takes more memory than a plain dict.";

const char kInsertDoc[] =
    "Inserts a new key with its value at a given place in the key order.\n"
    "\n"
    "Args:\n"
    "    key: the new key; a key that is already present raises KeyError.\n"
    "    value: the value stored under the key.\n"
    "    position: index in the key order, with the rules of list.insert():\n"
    "        the key at that index and all later keys move one place right,\n"
    "        a negative position counts from the end and a position past the\n"
    "        end appends.\n"
    "\n"
    "Example:\n"
    "    >>> m = RankMap([('a', 1), ('b', 2), ('c', 3)])\n"
    "    >>> m.insert('d', 4, 1)\n"
    "    >>> list(m)\n"
    "    ['a', 'd', 'b', 'c']\n"
    "    >>> m['d']\n"
    "    4\n";

const char kMoveDoc[] =
    "Moves an existing key to a given place in the key order.\n"
    "\n"
    "Args:\n"
    "    key: the key to move; a missing key raises KeyError.\n"
    "    position: index in the key order once the key has been taken out,\n"
    "        with the rules of list.insert().\n"
    "\n"
    "Example:\n"
    "    >>> m = RankMap([('a', 1), ('b', 2), ('c', 3)])\n"
    "    >>> m.move('c', 0)\n"
    "    >>> list(m)\n"
    "    ['c', 'a', 'b']\n"
    "    >>> m.move('c', -1)\n"
    "    >>> list(m)\n"
    "    ['a', 'c', 'b']\n";

Name n_MutableMapping("MutableMapping");
Name n_data("_data");
Name n_order("_order");
Name n_sorted("sorted");
Name n_items("items");
Name n_update("update");
Name n_keys("keys");
Name n_append("append");
Name n_remove("remove");
Name n_insert("insert");
Name n_pop("pop");
Name n_index("index");
Name n_getitem("__getitem__");
Name n_setitem("__setitem__");
Name n_iter("__iter__");
Name n_class("__class__");
Name n_name("__name__");
Name n_key("key");
Name n_exists_fmt("%s already exist in Report");
Name n_repr_fmt("%s(%r)");

Ref RankMap_getitem(Args a);
Ref RankMap_setitem(Args a);
Ref RankMap_iter(Args a);

// ---------------------------------------------------------------------------
// Helpers



// True when reading `self.<name>` for each name runs no user code: the type
// uses the generic attribute lookup and defines none of the names, so each
// read is a plain look-up in the instance dictionary.
bool plain_attrs(PyObject* self, std::initializer_list<Name*> names) {
    PyTypeObject* t = Py_TYPE(self);
    if (t->tp_getattro != PyObject_GenericGetAttr) return false;
    for (Name* n : names)
        if (frame::mro_lookup(t, n->get())) return false;
    return true;
}

// The type's own `name` when it is this module's function running `impl`
// (a new reference), else an empty Ref.
Ref own_method(PyObject* self, Name& name, frame::Impl impl) {
    PyObject* f = frame::mro_lookup(Py_TYPE(self), name.get());
    if (frame::is_impl(f, impl)) return Ref::borrow(f);
    return Ref();
}


// Keys of these exact built-in types compare and hash with each other without
// running user code (and without warnings: bytes is left out because comparing
// it with str warns under -b).  Tuples qualify when all their items do.
bool inert_key(PyObject* o, int depth = 0) {
    PyTypeObject* t = Py_TYPE(o);
    if (t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type ||
        t == &PyComplex_Type || o == Py_None)
        return true;
    if (t == &PyTuple_Type && depth < 8) {
        Py_ssize_t n = PyTuple_GET_SIZE(o);
        for (Py_ssize_t i = 0; i < n; i++)
            if (!inert_key(PyTuple_GET_ITEM(o, i), depth + 1)) return false;
        return true;
    }
    return false;
}

// Equality of two exact str objects, decided from their data when it can be
// (their cached hashes differ, or their lengths, kinds or code points do).
// Returns -1 when the generic comparison must decide.
inline int str_eq(PyObject* x, PyObject* y, Py_hash_t yhash) {
#if PY_VERSION_HEX < 0x030C0000
    if (!PyUnicode_IS_READY(x) || !PyUnicode_IS_READY(y)) return -1;
#endif
    Py_hash_t xhash = reinterpret_cast<PyASCIIObject*>(x)->hash;
    if (xhash != -1 && yhash != -1 && xhash != yhash) return 0;
    Py_ssize_t n = PyUnicode_GET_LENGTH(x);
    if (n != PyUnicode_GET_LENGTH(y)) return 0;
    int kind = PyUnicode_KIND(x);
    if (kind != PyUnicode_KIND(y)) return 0;  // equal strings share the narrowest kind
    return std::memcmp(PyUnicode_DATA(x), PyUnicode_DATA(y), static_cast<size_t>(n) * kind) == 0;
}

// The first index of an exact list whose item is `value` or equal to it, or
// -1: the comparisons (item == value, in order) that list.__contains__ and
// list.index() make, except that two str objects are compared directly.
Py_ssize_t list_find(PyObject* lst, PyObject* value) {
    const bool value_str = PyUnicode_CheckExact(value);
    const Py_hash_t vhash = value_str ? reinterpret_cast<PyASCIIObject*>(value)->hash : -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lst); i++) {
        PyObject* item = PyList_GET_ITEM(lst, i);
        if (item == value) return i;
        if (value_str && PyUnicode_CheckExact(item)) {
            int r = str_eq(item, value, vhash);
            if (r == 1) return i;
            if (r == 0) continue;
        }
        Py_INCREF(item);
        int cmp = PyObject_RichCompareBool(item, value, Py_EQ);
        Py_DECREF(item);
        if (cmp < 0) frame::fail();
        if (cmp > 0) return i;
    }
    return -1;
}

bool order_contains(PyObject* order, PyObject* key) {
    if (PyList_CheckExact(order)) return list_find(order, key) >= 0;
    return frame::contains(order, key);
}

// list.index(value) for an exact list, with its message.
Py_ssize_t list_index(PyObject* lst, PyObject* value) {
    Py_ssize_t i = list_find(lst, value);
    if (i >= 0) return i;
    PyErr_Format(PyExc_ValueError, "%R is not in list", value);
    frame::fail();
}

// The index list.insert() would take from `position` (its TypeError or
// OverflowError for anything else), worked out before anything changes.
Py_ssize_t list_position(PyObject* position) {
    Ref i = frame::own(PyNumber_Index(position));
    Py_ssize_t v = PyLong_AsSsize_t(i.get());
    if (v == -1 && PyErr_Occurred()) frame::fail();
    return v;
}

// self[key] = value through the type's __setitem__.
void store(PyObject* self, PyObject* key, PyObject* value) {
    if (Ref f = own_method(self, n_setitem, RankMap_setitem)) {
        frame::call_function(f.get(), {self, key, value});
        return;
    }
    frame::setitem(self, key, value);
}

// ---------------------------------------------------------------------------
// RankMap

Ref RankMap_init(Args a) {
    PyObject* self = a[0];
    Ref data = frame::own(PyDict_New());
    frame::setattr(self, n_data, data.get());
    Ref order = frame::own(PyList_New(0));
    frame::setattr(self, n_order, order.get());
    Ref update = frame::getattr(self, n_update);
    frame::call_tuple(update.get(), a[1], a[2]);
    return frame::none();
}

Ref RankMap_getitem(Args a) {
    Ref data = frame::getattr(a[0], n_data);
    if (PyDict_CheckExact(data.get()))
        return frame::own(PyDict_Type.tp_as_mapping->mp_subscript(data.get(), a[1]));
    return frame::call_method(data.get(), n_getitem, {a[1]});
}

Ref RankMap_setitem(Args a) {
    PyObject* self = a[0];
    PyObject* name = a[1];
    PyObject* value = a[2];
    Ref order = frame::getattr(self, n_order);
    const bool present = order_contains(order.get(), name);
    // The value is stored before the key is appended, so that a key the dict
    // refuses (unhashable) leaves both containers as they were.
    Ref data = frame::getattr(self, n_data);
    if (PyDict_CheckExact(data.get()))
        frame::check(PyDict_SetItem(data.get(), name, value));
    else
        frame::call_method(data.get(), n_setitem, {name, value});
    if (present) return frame::none();
    if (PyList_CheckExact(order.get())) {
        if (PyList_Append(order.get(), name) == 0) return frame::none();
    } else {
        PyObject* r = PyObject_CallMethodOneArg(order.get(), n_append.get(), name);
        if (r) {
            Py_DECREF(r);
            return frame::none();
        }
    }
    {  // the append failed: take the new key back out of the dict
        frame::ErrorStash keep;
        if (PyObject_DelItem(data.get(), name) < 0) PyErr_Clear();
    }
    frame::fail();
}

Ref RankMap_delitem(Args a) {
    PyObject* self = a[0];
    Ref data = frame::getattr(self, n_data);
    frame::delitem(data.get(), a[1]);
    Ref order = frame::getattr(self, n_order);
    frame::call_method(order.get(), n_remove, {a[1]});
    return frame::none();
}

Ref RankMap_iter(Args a) {
    Ref order = frame::getattr(a[0], n_order);
    return frame::iter(order.get());
}

// The key function of items(): the place of the pair's key in the order.
Ref items_key(Args a) {
    PyObject* self = a.func->closure;
    Ref order = frame::getattr(self, n_order);
    PyObject* k = a[0];
    Ref key;
    if (PyTuple_CheckExact(k) && PyTuple_GET_SIZE(k) > 0) {
        key = Ref::borrow(PyTuple_GET_ITEM(k, 0));
    } else {
        Ref zero = frame::own(PyLong_FromLong(0));
        key = frame::getitem(k, zero.get());
    }
    return frame::call_method(order.get(), n_index, {key.get()});
}

const frame::Def kItemsKey = {"<lambda>",
                              {"k"},
                              items_key,
                              nullptr,
                              0,
                              {},
                              "RankMap.items.<locals>.<lambda>",
                              "RankMap.items.lambda"};

// The sorted pairs when _data is an exact dict, _order an exact list holding
// every key of _data exactly once, and all keys are inert: the list the sort
// by order index gives.  An empty Ref when these conditions do not hold (no
// user code has run then).
Ref items_by_order(PyObject* data, PyObject* order) {
    const Py_ssize_t n = PyList_GET_SIZE(order);
    if (PyDict_GET_SIZE(data) != n) return Ref();
    Ref place = frame::own(PyDict_New());
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* k = PyList_GET_ITEM(order, i);
        if (!inert_key(k)) return Ref();
        Ref idx = frame::own(PyLong_FromSsize_t(i));
        PyObject* prev = PyDict_SetDefault(place.get(), k, idx.get());
        if (!prev) frame::fail();
        if (prev != idx.get()) return Ref();  // a repeated key
    }
    Ref result = frame::own(PyList_New(n));
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(data, &pos, &k, &v)) {
        if (!inert_key(k)) return Ref();
        PyObject* idx = PyDict_GetItemWithError(place.get(), k);
        if (!idx) {
            if (PyErr_Occurred()) frame::fail();
            return Ref();
        }
        Py_ssize_t i = PyLong_AsSsize_t(idx);
        if (PyList_GET_ITEM(result.get(), i)) return Ref();
        PyObject* pair = PyTuple_Pack(2, k, v);
        if (!pair) frame::fail();
        PyList_SET_ITEM(result.get(), i, pair);
    }
    return result;
}

Ref RankMap_items(Args a) {
    PyObject* self = a[0];
    Ref sorted = frame::global(n_sorted);
    Ref data = frame::getattr(self, n_data);
    if (PyDict_CheckExact(data.get()) && sorted.get() == frame::builtin(n_sorted) &&
        plain_attrs(self, {&n_order})) {
        Ref order = frame::getattr(self, n_order);
        if (PyList_CheckExact(order.get()))
            if (Ref r = items_by_order(data.get(), order.get())) return r;
    }
    Ref items = frame::call_method(data.get(), n_items);
    Ref key = frame::make_function(kItemsKey, "RankMap", self);
    Ref kwnames = frame::own(PyTuple_Pack(1, n_key.get()));
    PyObject* args[2] = {items.get(), key.get()};
    return frame::call_args(sorted.get(), args, 1, kwnames.get());
}

Ref RankMap_clear(Args a) {
    PyObject* self = a[0];
    Ref data = frame::own(PyDict_New());
    frame::setattr(self, n_data, data.get());
    Ref order = frame::own(PyList_New(0));
    frame::setattr(self, n_order, order.get());
    return frame::none();
}

Ref RankMap_copy(Args a) {
    PyObject* self = a[0];
    Ref items = frame::call_method(self, n_items);
    return frame::call(reinterpret_cast<PyObject*>(Py_TYPE(self)), {items.get()});
}

// copy.copy: a new instance of the class (no __init__ runs) with the same
// attributes, except that _data and _order are copies of their own, so the
// copy and the original are independent mappings holding the same keys and
// values (as copy.copy of a dict or an OrderedDict).  Pickling and
// copy.deepcopy need nothing of their own: the instance __dict__ carries
// the whole state.
Ref RankMap_copy_hook(Args a) {
    static Name n_new("__new__");
    static Name n_dict("__dict__");
    static Name n_copy("copy");
    PyObject* self = a[0];
    Ref cls = frame::getattr(self, n_class);
    Ref inst = frame::call_method(cls.get(), n_new, {cls.get()});
    Ref attrs = frame::getattr(self, n_dict);
    Ref inst_attrs = frame::getattr(inst.get(), n_dict);
    frame::check(PyDict_Update(inst_attrs.get(), attrs.get()));
    for (Name* n : {&n_data, &n_order}) {
        PyObject* v = PyDict_GetItemWithError(attrs.get(), n->get());
        if (!v) {
            if (PyErr_Occurred()) frame::fail();
            continue;
        }
        Ref hold = Ref::borrow(v);
        Ref copied = frame::call_method(hold.get(), n_copy);
        frame::setitem(inst_attrs.get(), n->get(), copied.get());
    }
    return inst;
}

Ref RankMap_insert(Args a) {
    PyObject* self = a[0];
    PyObject* key = a[1];
    PyObject* value = a[2];
    PyObject* position = a[3];
    Ref order = frame::getattr(self, n_order);
    if (order_contains(order.get(), key)) {
        Ref args = frame::own(PyTuple_Pack(1, key));
        Ref msg = frame::format(n_exists_fmt.get(), args.get());
        frame::raise(PyExc_KeyError, msg.get());
    }
    // A position the list refuses is found before anything is stored.
    const bool exact = PyList_CheckExact(order.get());
    Py_ssize_t index = exact ? list_position(position) : 0;
    Ref data = frame::getattr(self, n_data);
    frame::setitem(data.get(), key, value);
    if (exact) {
        if (PyList_Insert(order.get(), index, key) == 0) return frame::none();
    } else {
        PyObject* r = PyObject_CallMethodObjArgs(order.get(), n_insert.get(), position, key,
                                                 nullptr);
        if (r) {
            Py_DECREF(r);
            return frame::none();
        }
    }
    {  // the order refused the key: take it back out of the dict
        frame::ErrorStash keep;
        if (PyObject_DelItem(data.get(), key) < 0) PyErr_Clear();
    }
    frame::fail();
}

Ref RankMap_move(Args a) {
    PyObject* self = a[0];
    PyObject* key = a[1];
    PyObject* position = a[2];
    Ref order = frame::getattr(self, n_order);
    if (!order_contains(order.get(), key)) frame::raise(PyExc_KeyError, key);
    if (PyList_CheckExact(order.get())) {
        // A position the list refuses is found before the key is taken out.
        Py_ssize_t index = list_position(position);
        Py_ssize_t i = list_index(order.get(), key);
        Ref popped = Ref::borrow(PyList_GET_ITEM(order.get(), i));
        frame::check(PyList_SetSlice(order.get(), i, i + 1, nullptr));
        if (PyList_Insert(order.get(), index, popped.get()) < 0) {
            frame::ErrorStash keep;
            if (PyList_Insert(order.get(), i, popped.get()) < 0) PyErr_Clear();
            frame::fail();
        }
        return frame::none();
    }
    Ref insert = frame::getattr(order.get(), n_insert);
    Ref pop = frame::getattr(order.get(), n_pop);
    Ref index = frame::getattr(order.get(), n_index);
    Ref i = frame::call(index.get(), {key});
    Ref popped = frame::call(pop.get(), {i.get()});
    PyObject* args[2] = {position, popped.get()};
    PyObject* r = PyObject_Vectorcall(insert.get(), args, 2, nullptr);
    if (!r) {
        {  // put the key back where it was
            frame::ErrorStash keep;
            PyObject* back[2] = {i.get(), popped.get()};
            PyObject* r2 = PyObject_Vectorcall(insert.get(), back, 2, nullptr);
            if (r2)
                Py_DECREF(r2);
            else
                PyErr_Clear();
        }
        frame::fail();
    }
    Py_DECREF(r);
    return frame::none();
}

Ref RankMap_keys(Args a) { return frame::getattr(a[0], n_order); }

Ref RankMap_values(Args a) {
    PyObject* self = a[0];
    Ref result = frame::own(PyList_New(0));
    Ref getitem = own_method(self, n_getitem, RankMap_getitem);
    if (getitem && own_method(self, n_iter, RankMap_iter) &&
        plain_attrs(self, {&n_order, &n_data})) {
        // iter(self) is iter(self._order) and self[key] is self._data[key].
        Ref order = frame::getattr(self, n_order);
        if (PyList_CheckExact(order.get())) {
            Ref data;
            // While the dict holds only inert keys, looking up an inert key
            // runs no user code, so nothing can rebind _data in between.
            bool inert = false;
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(order.get()); i++) {
                Ref key = Ref::borrow(PyList_GET_ITEM(order.get(), i));
                if (!data) {
                    data = frame::getattr(self, n_data);
                    inert = PyDict_CheckExact(data.get());
                    Py_ssize_t pos = 0;
                    PyObject *k, *v;
                    while (inert && PyDict_Next(data.get(), &pos, &k, &v))
                        inert = inert_key(k);
                }
                Ref value;
                if (inert && inert_key(key.get())) {
                    value = frame::own(
                        PyDict_Type.tp_as_mapping->mp_subscript(data.get(), key.get()));
                } else {
                    // User code may run from here on (and may even replace
                    // the class's methods): take the general road.
                    inert = false;
                    value = frame::getitem(self, key.get());
                    data.reset();
                }
                frame::check(PyList_Append(result.get(), value.get()));
            }
            return result;
        }
        Ref it = frame::iter(order.get());
        while (Ref key = frame::next(it.get())) {
            Ref value = frame::getitem(self, key.get());
            frame::check(PyList_Append(result.get(), value.get()));
        }
        return result;
    }
    Ref it = frame::iter(self);
    while (Ref key = frame::next(it.get())) {
        Ref value = frame::getitem(self, key.get());
        frame::check(PyList_Append(result.get(), value.get()));
    }
    return result;
}

Ref RankMap_update(Args a) {
    PyObject* self = a[0];
    PyObject* args = a[1];
    PyObject* kwargs = a[2];
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > 1)
        frame::raisef(PyExc_TypeError, frame::Loc::current(),
                      "expected at most 1 arguments, got %d", static_cast<int>(nargs));
    if (nargs == 1) {
        PyObject* seq = PyTuple_GET_ITEM(args, 0);
        // A mapping (anything with keys()) gives its keys in keys() order and
        // each value by subscription, as dict.update() does.
        PyObject* keys_attr = PyObject_GetAttr(seq, n_keys.get());
        if (keys_attr) {
            Ref keys_method = Ref::steal(keys_attr);
            Ref keys = frame::call(keys_method.get());
            Ref list = frame::own(PySequence_List(keys.get()));
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); i++) {
                Ref key = Ref::borrow(PyList_GET_ITEM(list.get(), i));
                Ref value = frame::getitem(seq, key.get());
                store(self, key.get(), value.get());
            }
        } else {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) frame::fail();
            PyErr_Clear();
            Ref it = frame::iter(seq);
            Py_ssize_t i = 0;
            while (Ref element = frame::next(it.get())) {
                Py_ssize_t len = frame::check_size(PyObject_Size(element.get()));
                if (len != 2)
                    frame::raisef(PyExc_ValueError, frame::Loc::current(),
                                  "update sequence element #%zd has length %zd; 2 is required",
                                  i, len);
                Ref kv[2];
                frame::unpack(element.get(), 2, kv);
                store(self, kv[0].get(), kv[1].get());
                i++;
            }
        }
    }
    if (PyDict_GET_SIZE(kwargs)) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        // The keyword dict is new and private to this call: no one else can
        // change it while it is walked.
        while (PyDict_Next(kwargs, &pos, &k, &v)) {
            Ref key = Ref::borrow(k), value = Ref::borrow(v);
            store(self, key.get(), value.get());
        }
    }
    return frame::none();
}

Ref RankMap_repr(Args a) {
    PyObject* self = a[0];
    Ref cls = frame::getattr(self, n_class);
    Ref name = frame::getattr(cls.get(), n_name);
    Ref items = frame::call_method(self, n_items);
    Ref list = frame::own(PySequence_List(items.get()));
    Ref args = frame::own(PyTuple_Pack(2, name.get(), list.get()));
    return frame::format(n_repr_fmt.get(), args.get());
}

Ref RankMap_len(Args a) {
    Ref order = frame::getattr(a[0], n_order);
    return frame::own(PyLong_FromSsize_t(frame::check_size(PyObject_Size(order.get()))));
}

Ref RankMap_eq(Args a) {
    PyObject* self = a[0];
    PyObject* other = a[1];
    try {
        Ref d1 = frame::getattr(self, n_data);
        Ref d2 = frame::getattr(other, n_data);
        Ref r = frame::own(PyObject_RichCompare(d1.get(), d2.get(), Py_EQ));
        if (!frame::truthy(r.get())) return r;
        Ref o1 = frame::getattr(self, n_order);
        Ref o2 = frame::getattr(other, n_order);
        return frame::own(PyObject_RichCompare(o1.get(), o2.get(), Py_EQ));
    } catch (const frame::Error&) {
        // Only ordinary errors mean "not equal"; KeyboardInterrupt,
        // SystemExit and the like pass through.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        PyErr_Clear();
        return frame::boolean(false);
    }
}

Ref RankMap_fromkeys(Args a) {
    PyObject* cls = a[0];
    PyObject* value = a[2];
    Ref inst = frame::call(cls);
    Ref it = frame::iter(a[1]);
    while (Ref key = frame::next(it.get())) store(inst.get(), key.get(), value);
    return inst;
}

void body(frame::Body& b) {
    b.from_import("collections.abc", {"MutableMapping"});
    Ref insert, move;
    {
        Ref base = frame::global(n_MutableMapping);
        frame::ClassDef c(b, "RankMap", {base.get()}, kRankMapDoc);
        c.def({"__init__", {"self", "*args", "**kwargs"}, RankMap_init});
        c.def({"__getitem__", {"self", "name"}, RankMap_getitem});
        c.def({"__setitem__", {"self", "name", "value"}, RankMap_setitem});
        c.def({"__delitem__", {"self", "name"}, RankMap_delitem});
        c.def({"__iter__", {"self"}, RankMap_iter});
        c.def({"items", {"self"}, RankMap_items});
        c.def({"clear", {"self"}, RankMap_clear});
        c.def({"copy", {"self"}, RankMap_copy});
        insert = c.def({"insert", {"self", "key", "value", "position"}, RankMap_insert,
                        kInsertDoc});
        move = c.def({"move", {"self", "key", "position"}, RankMap_move, kMoveDoc});
        c.def({"keys", {"self"}, RankMap_keys});
        c.def({"values", {"self"}, RankMap_values});
        c.def({"update", {"self", "*args", "**kwargs"}, RankMap_update});
        c.def({"__repr__", {"self"}, RankMap_repr});
        c.def({"__len__", {"self"}, RankMap_len});
        c.def({"__eq__", {"self", "other"}, RankMap_eq});
        c.def({"fromkeys", {"cls", "keys", "value"}, RankMap_fromkeys, nullptr,
               frame::CLASSMETHOD, {Py_None}});
        // Only insert and move carry docstrings.
        c.def({"__copy__", {"self"}, RankMap_copy_hook});
        c.build();
    }
    frame::builtin(n_sorted);  // the built-in sorted, held from here on
    Ref test = frame::own(PyDict_New());
    auto doc_of = [](const Ref& f) {
        return reinterpret_cast<frame::Function*>(f.get())->doc;
    };
    frame::check(PyDict_SetItemString(test.get(), "RankMap.insert (line 52)", doc_of(insert)));
    frame::check(PyDict_SetItemString(test.get(), "RankMap.move (line 76)", doc_of(move)));
    b.set_test(test.get());
}

}  // namespace

TAVIK_MODULE(body, nullptr, false)
