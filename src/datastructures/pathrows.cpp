// tavik.datastructures.pathrows: nested dictionaries as flat lists of
// (path, value) rows, and the rebuilding of a nested dict from such rows.
#include "frame/frame.hpp"
#include "frame/generator.hpp"

#include <utility>
#include <vector>

using frame::Args;
using frame::Name;
using frame::Ref;

namespace {

const char kPathRowsDoc[] =
    "PathRows class (list)\n"
    "\n"
    "A list of (path, value) rows flattened from a nested dictionary.  Every\n"
    "leaf value of the nesting becomes one row: the path, a tuple of the keys\n"
    "that lead to the value from the top level, and the value itself.\n"
    "\n"
    "    >>> rows = PathRows({'a': {'b': 1, 'c': 2}, 'd': 3})\n"
    "    >>> rows[0]\n"
    "    DictItem(path=('a', 'b'), value=1)\n"
    "    >>> [row.path for row in rows]\n"
    "    [('a', 'b'), ('a', 'c'), ('d',)]\n"
    "\n"
    "Code that would walk the nesting recursively can walk the list instead.\n"
    "The rows take the format [(path, value), (path, value) ...]; the\n"
    "constructor, item assignment, append, extend and insert refuse anything\n"
    "that is not such a pair.\n"
    "\n"
    "reconstruct() rebuilds the nesting from the rows the list holds at that\n"
    "moment, and always returns a new dictionary object:\n"
    "\n"
    "    >>> rows.reconstruct()\n"
    "    {'a': {'b': 1, 'c': 2}, 'd': 3}\n";

const char kInitDoc[] =
    "PathRows(mapping) holds one DictItem row per leaf value of a nested\n"
    "mutable mapping, in depth-first order.  PathRows(iterable) holds the\n"
    "items of the iterable unchanged, each of which must be a (path, value)\n"
    "pair.  PathRows() is empty.";

const char kFlattenDoc[] =
    "Generator of the rows of a nested mapping, depth first.\n"
    "\n"
    "indict: the mapping to flatten; a nested mutable mapping that is not\n"
    "    empty is flattened in turn, any other value becomes a row.  A value\n"
    "    that is not a mutable mapping is yielded unchanged, as the only item.\n"
    "path: the tuple of keys that prefixes every path (default: none).\n"
    "\n"
    "Yields DictItem(path, value) rows.";

const char kAppendDoc[] =
    "Append a row.\n"
    "\n"
    "item: a (path, value) pair; it is stored as DictItem(path, value).";

const char kExtendDoc[] =
    "Append the rows of an iterable, all at once.\n"
    "\n"
    "items: (path, value) pairs; they are stored as DictItem rows.  Nothing\n"
    "    is added when one of them is not a pair.";

const char kInsertDoc[] =
    "Insert a row before index.\n"
    "\n"
    "index: the position, as for list.insert.\n"
    "item: a (path, value) pair; it is stored as DictItem(path, value).";

const char kReconstructDoc[] =
    "Rebuild the nested dictionary from the rows, in list order.\n"
    "\n"
    "Returns a new dict on every call; when rows share a path the later one\n"
    "wins, and a row with an empty path stores nothing.";

const char kRowError[] = "PathRows only accepts a tuple of path/obj";

Name n_namedtuple("namedtuple");
Name n_MutableMapping("MutableMapping");
Name n_DictItem("DictItem");
Name n_PathRows("PathRows");
Name n_flatten("__flatten__");
Name n_items("items");
Name n_get("get");
Name n_new("__new__");
Name n_instancecheck("__instancecheck__");
Name n_init("__init__");
Name n_setitem("__setitem__");
Name n_append("append");
Name n_extend("extend");
Name n_insert("insert");

// ---------------------------------------------------------------------------
// super() calls.
using frame::super_call;

// list's own method `name` (borrowed from the type's dict).
PyObject* list_method(Name& name) { return frame::own_attr(&PyList_Type, name); }

// True when super().<name> is list's own method (no class in between).
// `fact` is the caller's own: one per method.
bool super_is_list(const Args& a, Name& name, frame::TypeCache<bool>& fact) {
    return fact.get(Py_TYPE(a[0]), [&](PyTypeObject*) {
        PyObject* raw = frame::super_lookup_raw(a, name.get());
        return raw && raw == list_method(name);
    });
}

// ---------------------------------------------------------------------------
// Rows.

// The row type made at import and its __new__: while DictItem is still that
// class, unchanged, a row is made directly as the tuple that its __new__
// (tuple.__new__(cls, (path, value))) would make.
PyObject* g_dictitem = nullptr;
PyObject* g_dictitem_new = nullptr;

bool dictitem_unchanged(PyObject* cls) {
    if (cls != g_dictitem || Py_TYPE(cls) != &PyType_Type) return false;
    static frame::TypeCache<bool> unchanged;
    return unchanged.get(reinterpret_cast<PyTypeObject*>(cls), [&](PyTypeObject* t) {
#if PY_VERSION_HEX >= 0x030C0000
        const bool versioned = t->tp_version_tag != 0;
#else
        const bool versioned = PyType_HasFeature(t, Py_TPFLAGS_VALID_VERSION_TAG);
#endif
        if (!versioned) {
            // An attribute lookup gives the type a version tag again (after
            // its creation or a change), so that the answer can be kept.
            Ref probe = frame::getattr(cls, n_new);
        }
        if (t->tp_init != PyBaseObject_Type.tp_init) return false;
        PyObject* nw = PyDict_GetItemWithError(t->tp_dict, n_new.get());
        if (!nw && PyErr_Occurred()) frame::fail();
        return nw == g_dictitem_new;
    });
}

// DictItem as a module-level name read now.  Before 3.12 a dictionary
// carries a version that every change to it renews (and that no other
// dictionary ever had), so the value found in the module namespace is reused
// while the namespace keeps the version it had before that lookup.
Ref dictitem_global() {
#if PY_VERSION_HEX < 0x030C0000
    static PyObject* seen_ns = nullptr;
    static uint64_t seen_version = 0;
    static PyObject* seen_value = nullptr;  // borrowed: held by the namespace
    PyObject* ns = frame::module_globals();
    if (ns && PyDict_CheckExact(ns)) {
        const uint64_t version = reinterpret_cast<PyDictObject*>(ns)->ma_version_tag;
        if (seen_value && ns == seen_ns && version == seen_version)
            return Ref::borrow(seen_value);
        seen_value = nullptr;
        PyObject* found = PyDict_GetItemWithError(ns, n_DictItem.get());
        if (found) {
            seen_ns = ns;
            seen_version = version;
            seen_value = found;
            return Ref::borrow(found);
        }
        if (PyErr_Occurred()) frame::fail();
    }
#endif
    return frame::global(n_DictItem);
}

// DictItem(path, value), with DictItem read from the module namespace.
Ref make_row(PyObject* path, PyObject* value) {
    Ref cls = dictitem_global();
    if (dictitem_unchanged(cls.get())) {
        PyTypeObject* t = reinterpret_cast<PyTypeObject*>(cls.get());
        Ref row = frame::own(t->tp_alloc(t, 2));
        PyTuple_SET_ITEM(row.get(), 0, Py_NewRef(path));
        PyTuple_SET_ITEM(row.get(), 1, Py_NewRef(value));
        return row;
    }
    return frame::call(cls.get(), {path, value});
}

// Raises the row error with the current exception as its context.
[[noreturn]] void row_error(frame::Loc loc = frame::Loc::current()) {
    frame::Caught caught;
    frame::raise(PyExc_ValueError, kRowError, loc);
}

// The row test: `path, value = item`.  Whatever goes wrong becomes the row
// error, with the caught error as context.
void row_test(PyObject* item, Ref pv[2]) {
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {  // the common row
        pv[0] = Ref::borrow(PyTuple_GET_ITEM(item, 0));
        pv[1] = Ref::borrow(PyTuple_GET_ITEM(item, 1));
        return;
    }
    try {
        frame::unpack(item, 2, pv);
    } catch (const frame::Error&) {
        row_error();
    }
}

// list(items), failures becoming the row error: an iterator or generator is
// taken once, so that the rows tested are the rows stored.
Ref materialise(PyObject* items) {
    PyObject* list = PySequence_List(items);
    if (!list) row_error();
    return Ref::steal(list);
}

// MutableMapping as the module imported it, its metaclass and the
// metaclass's __instancecheck__, when a plain dict was an instance then.
PyObject* g_mutable_mapping = nullptr;
PyObject* g_abc_meta = nullptr;
PyObject* g_instancecheck = nullptr;

// collections.abc registers dict as a MutableMapping, and registrations
// cannot be undone: while MutableMapping, its metaclass and the metaclass's
// __instancecheck__ are still those found at import, a plain dict is known
// to be one without asking ABCMeta.__instancecheck__ again.
bool dict_is_known_mapping(PyObject* mm) {
    if (!g_mutable_mapping || mm != g_mutable_mapping) return false;
    PyTypeObject* meta = Py_TYPE(mm);
    if (reinterpret_cast<PyObject*>(meta) != g_abc_meta) return false;
    static frame::TypeCache<bool> unchanged;
    return unchanged.get(meta, [](PyTypeObject* t) {
        return frame::mro_lookup(t, n_instancecheck.get()) == g_instancecheck;
    });
}

// isinstance(o, MutableMapping), the name read from the module namespace.
bool is_mutable_mapping(PyObject* o) {
    Ref mm = frame::global(n_MutableMapping);
    if (PyDict_CheckExact(o) && dict_is_known_mapping(mm.get())) return true;
    return frame::isinstance(o, mm.get());
}

void remember_mutable_mapping(PyObject* mm) {
    PyTypeObject* meta = Py_TYPE(mm);
    PyObject* check = frame::mro_lookup(meta, n_instancecheck.get());
    Ref probe = frame::own(PyDict_New());
    if (!check || !frame::isinstance(probe.get(), mm)) return;
    // kept for the life of the process
    g_mutable_mapping = Py_NewRef(mm);
    g_abc_meta = Py_NewRef(reinterpret_cast<PyObject*>(meta));
    g_instancecheck = Py_NewRef(check);
}

// PathRows.__flatten__ as the module namespace has it now.
Ref module_flatten() {
    Ref cls = frame::global(n_PathRows);
    return frame::getattr(cls.get(), n_flatten);
}

// ---------------------------------------------------------------------------
// __flatten__

struct FlattenLocals {
    Ref indict, path;
    Ref items;       // iterator over indict.items()
    Ref key, value;  // the current entry
    int traverse(visitproc visit, void* arg) const {
        return frame::visit_refs(visit, arg, indict, path, items, key, value);
    }
};

frame::GenDef g_flatten{Name("__flatten__"), Name("PathRows.__flatten__")};

// Takes the next entry of items() into key and value (`key, value = entry`).
bool next_entry(FlattenLocals& L) {
    Ref entry = frame::next(L.items.get());
    if (!entry) {
        L.key.reset();
        L.value.reset();
        return false;
    }
    Ref kv[2];
    frame::unpack(entry.get(), 2, kv);
    L.key = std::move(kv[0]);
    L.value = std::move(kv[1]);
    return true;
}

// path + (key,)
Ref entry_path(const FlattenLocals& L) {
    Ref k = frame::own(PyTuple_Pack(1, L.key.get()));
    return frame::own(PyNumber_Add(L.path.get(), k.get()));
}

Ref entry_row(const FlattenLocals& L) {
    Ref path = entry_path(L);
    return make_row(path.get(), L.value.get());
}

// PathRows.__flatten__(value, path + (key,))
Ref nested_rows(const FlattenLocals& L) {
    Ref flatten = module_flatten();
    Ref path = entry_path(L);
    return frame::call(flatten.get(), {L.value.get(), path.get()});
}

frame::GenBody flatten_body(FlattenLocals L) {
    if (frame::truthy(L.path.get()))
        L.path = frame::getslice(L.path.get(), nullptr, nullptr);
    else
        L.path = frame::own(PyTuple_New(0));

    if (!is_mutable_mapping(L.indict.get())) {
        co_yield L.indict;
        co_return;
    }
    L.items = frame::iter(frame::call_method(L.indict.get(), n_items).get());
    while (next_entry(L)) {
        if (is_mutable_mapping(L.value.get()) && frame::truthy(L.value.get())) {
            co_yield frame::delegate(nested_rows(L));
        } else {
            Ref row = entry_row(L);
            co_yield std::move(row);
        }
    }
}

Ref PathRows_flatten(Args a) {
    FlattenLocals L;
    L.indict = Ref::borrow(a[0]);
    L.path = Ref::borrow(a[1]);
    return frame::make_generator(g_flatten, flatten_body(std::move(L)));
}

// ---------------------------------------------------------------------------
// The list methods.

Ref PathRows_init(Args a) {
    PyObject* self = a[0];
    PyObject* args = a[1];
    static frame::TypeCache<bool> init_is_list;
    if (PyTuple_GET_SIZE(args) != 1) {
        // no argument: empty; more than one: list() refuses them
        if (super_is_list(a, n_init, init_is_list)) {
            frame::check(PyList_Type.tp_init(self, args, nullptr));
            return frame::none();
        }
        super_call(a, n_init, reinterpret_cast<PyTupleObject*>(args)->ob_item,
                   static_cast<size_t>(PyTuple_GET_SIZE(args)));
        return frame::none();
    }
    PyObject* arg = PyTuple_GET_ITEM(args, 0);
    Ref source;
    if (is_mutable_mapping(arg)) {
        Ref flatten = module_flatten();
        source = frame::call(flatten.get(), {arg});
    } else {
        source = materialise(arg);
        Ref pv[2];
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(source.get()); i++)
            row_test(PyList_GET_ITEM(source.get(), i), pv);
    }
    if (super_is_list(a, n_init, init_is_list)) {
        Ref one = frame::own(PyTuple_Pack(1, source.get()));
        frame::check(PyList_Type.tp_init(self, one.get(), nullptr));
    } else {
        super_call(a, n_init, {source.get()});
    }
    return frame::none();
}

Ref PathRows_setitem(Args a) {
    PyObject* self = a[0];
    PyObject* index = a[1];
    PyObject* item = a[2];
    Ref pv[2];
    row_test(item, pv);
    // a plain tuple: the item itself, or a new one of its (two) items
    Ref row = PyTuple_CheckExact(item) ? Ref::borrow(item)
                                       : frame::own(PyTuple_Pack(2, pv[0].get(), pv[1].get()));
    static frame::TypeCache<bool> setitem_is_list;
    if (super_is_list(a, n_setitem, setitem_is_list)) {
        frame::check(PyList_Type.tp_as_mapping->mp_ass_subscript(self, index, row.get()));
        return frame::none();
    }
    super_call(a, n_setitem, {index, row.get()});
    return frame::none();
}

Ref PathRows_append(Args a) {
    Ref pv[2];
    row_test(a[1], pv);
    Ref row = make_row(pv[0].get(), pv[1].get());
    static frame::TypeCache<bool> append_is_list;
    if (super_is_list(a, n_append, append_is_list)) {
        frame::check(PyList_Append(a[0], row.get()));
        return frame::none();
    }
    super_call(a, n_append, {row.get()});
    return frame::none();
}

Ref PathRows_extend(Args a) {
    Ref items = materialise(a[1]);
    Py_ssize_t n = PyList_GET_SIZE(items.get());
    std::vector<Ref> pairs(2 * static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; i++) row_test(PyList_GET_ITEM(items.get(), i), &pairs[2 * i]);
    Ref rows = frame::own(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; i++)
        PyList_SET_ITEM(rows.get(), i,
                        make_row(pairs[2 * i].get(), pairs[2 * i + 1].get()).release());
    super_call(a, n_extend, {rows.get()});
    return frame::none();
}

Ref PathRows_insert(Args a) {
    Ref pv[2];
    row_test(a[2], pv);
    Ref row = make_row(pv[0].get(), pv[1].get());
    super_call(a, n_insert, {a[1], row.get()});
    return frame::none();
}

// ptr[k] = ptr.get(k, {}); then ptr[k]: the next level of `ptr`.
Ref descend(PyObject* ptr, PyObject* k) {
    Ref level;
    if (PyDict_CheckExact(ptr)) {
        PyObject* found = PyDict_GetItemWithError(ptr, k);
        if (found)
            level = Ref::borrow(found);
        else if (PyErr_Occurred())
            frame::fail();
        else
            level = frame::own(PyDict_New());
    } else {
        Ref fresh = frame::own(PyDict_New());
        level = frame::call_method(ptr, n_get, {k, fresh.get()});
    }
    frame::setitem(ptr, k, level.get());
    level.reset();
    return frame::getitem(ptr, k);
}

Ref PathRows_reconstruct(Args a) {
    Ref ret = frame::own(PyDict_New());
    Ref it = frame::iter(a[0]);
    while (Ref row = frame::next(it.get())) {
        Ref po[2];
        frame::unpack(row.get(), 2, po);
        Ref ptr = ret;
        Ref keys = frame::own(PySequence_List(po[0].get()));
        Py_ssize_t n = PyList_GET_SIZE(keys.get());
        for (Py_ssize_t i = 0; i < n; i++) {
            PyObject* k = PyList_GET_ITEM(keys.get(), i);  // `keys` is ours alone
            if (i + 1 < n)
                ptr = descend(ptr.get(), k);
            else
                frame::setitem(ptr.get(), k, po[1].get());
        }
    }
    return ret;
}

// Pickling and copying.  The default reduction of a list subclass restores
// the rows through the overridden append/extend, which would turn plain tuple
// rows into DictItem rows and refuse rows that only the inherited list
// operations let in.  A PathRows is therefore rebuilt from a bare instance of
// its class (no __init__ runs, as for any unpickled Python object) and the
// state (rows, attributes), which __setstate__ stores with list's own slice
// assignment: every row comes back exactly as it was stored.

Name n_dict("__dict__");

Ref PathRows_reduce_ex(Args a) { return frame::reduce_to_state(a[0]); }

// (rows, attributes): a plain list of the rows as stored, and a copy of the
// instance's __dict__ (None when it is empty).
Ref PathRows_getstate(Args a) {
    PyObject* self = a[0];
    Ref rows = frame::own(PyList_GetSlice(self, 0, PY_SSIZE_T_MAX));
    Ref attrs = frame::getattr(self, n_dict);
    Ref kept = PyDict_Check(attrs.get()) && PyDict_GET_SIZE(attrs.get()) == 0
                   ? frame::none()
                   : frame::own(PyDict_Copy(attrs.get()));
    return frame::own(PyTuple_Pack(2, rows.get(), kept.get()));
}

Ref PathRows_setstate(Args a) {
    PyObject* self = a[0];
    Ref parts[2];
    frame::unpack(a[1], 2, parts);
    frame::check(PyList_SetSlice(self, 0, PY_SSIZE_T_MAX, parts[0].get()));
    if (parts[1].get() != Py_None) {
        Ref attrs = frame::getattr(self, n_dict);
        frame::check(PyDict_Update(attrs.get(), parts[1].get()));
    }
    return frame::none();
}

const char kReduceExDoc[] =
    "Pickling support: a bare instance of the class, then __setstate__ with\n"
    "the value of __getstate__.";
const char kGetstateDoc[] =
    "(rows, attributes): the rows as stored, and a copy of the instance\n"
    "__dict__ or None when it is empty.";
const char kSetstateDoc[] =
    "Puts back the rows exactly as they were stored (no row test, no\n"
    "conversion) and the instance attributes.";

// ---------------------------------------------------------------------------

void body(frame::Body& b) {
    b.from_import("collections", {"namedtuple"});
    b.from_import("collections.abc", {"MutableMapping"});
    if (!g_mutable_mapping) remember_mutable_mapping(frame::global(n_MutableMapping).get());
    {
        Ref namedtuple = frame::global(n_namedtuple);
        Ref name = frame::unicode("DictItem");
        Ref fields = frame::own(Py_BuildValue("(ss)", "path", "value"));
        Ref cls = frame::call(namedtuple.get(), {name.get(), fields.get()});
        // namedtuple() names the module of its calling Python frame, which is
        // the import machinery here: the row type belongs to this module (and
        // pickles as tavik.datastructures.pathrows.DictItem).
        frame::check(PyObject_SetAttrString(cls.get(), "__module__", frame::module_path()));
        b.set("DictItem", cls.get());
        if (PyType_Check(cls.get()) && !g_dictitem) {
            PyTypeObject* t = reinterpret_cast<PyTypeObject*>(cls.get());
            PyObject* nw = PyDict_GetItemWithError(t->tp_dict, n_new.get());
            if (!nw && PyErr_Occurred()) frame::fail();
            if (nw && PyType_IsSubtype(t, &PyTuple_Type)) {
                g_dictitem = cls.new_ref();  // kept for the life of the process
                g_dictitem_new = Py_NewRef(nw);
            }
        }
    }
    {
        frame::ClassDef c(b, "PathRows", {reinterpret_cast<PyObject*>(&PyList_Type)},
                          kPathRowsDoc);
        c.def({"__init__", {"self", "*args"}, PathRows_init, kInitDoc, frame::SUPER});
        c.def({"__flatten__", {"indict", "path"}, PathRows_flatten, kFlattenDoc, frame::STATIC,
               {Py_None}});
        c.def({"__setitem__", {"self", "index", "item"}, PathRows_setitem, nullptr, frame::SUPER});
        c.def({"append", {"self", "item"}, PathRows_append, kAppendDoc, frame::SUPER});
        c.def({"extend", {"self", "items"}, PathRows_extend, kExtendDoc, frame::SUPER});
        c.def({"insert", {"self", "index", "item"}, PathRows_insert, kInsertDoc, frame::SUPER});
        c.def({"reconstruct", {"self"}, PathRows_reconstruct, kReconstructDoc});
        c.def({"__reduce_ex__", {"self", "protocol"}, PathRows_reduce_ex, kReduceExDoc});
        c.def({"__getstate__", {"self"}, PathRows_getstate, kGetstateDoc});
        c.def({"__setstate__", {"self", "state"}, PathRows_setstate, kSetstateDoc});
        c.build();
    }
}

}  // namespace

TAVIK_MODULE(body, nullptr, true)
