// tavik.datastructures.configuration: a layered configuration store built on
// NestedFieldBag, filled from INI-style files, YAML files and the objects that
// installed packages publish under an entry-point group.
#include "frame/frame.hpp"

#include <vector>

using frame::Args;
using frame::Name;
using frame::Ref;

namespace {

const char kCopyDoc[] =
    "Returns a copy of the configuration as a new instance of its class.\n"
    "\n"
    "Unlike the standard mapping copy, this always copies any nested\n"
    "configuration block it meets (every mapping at every depth becomes a new\n"
    "level), so that a component that takes a copy and changes it for its own\n"
    "use cannot corrupt the shared configuration. Other values are shared.";

const char kLoadEntrypointDoc[] =
    "Populates the configuration from the entry points of `group`.\n"
    "\n"
    "Configuration can thus be spread over several packages and is loaded when\n"
    "they are installed. Each entry point must load a dict- or\n"
    "Configuration-like object (a mapping or an iterable of key-value pairs),\n"
    "which is merged in; one that fails to load or merge is logged with its\n"
    "traceback and skipped. A package with much configuration should keep its\n"
    "own local cfg file and load it as part of its entry-point module.\n"
    "\n"
    "Returns the list of the entry points merged.";

Name n_os("os");
Name n_path("path");
Name n_isfile("isfile");
Name n_yaml("yaml");
Name n_safe_load("safe_load");
Name n_configparser("configparser");
Name n_ConfigParser("ConfigParser");
Name n_DEFAULTSECT("DEFAULTSECT");
Name n_read("read");
Name n_logging("logging");
Name n_getLogger("getLogger");
Name n_name("__name__");
Name n_logger("logger");
Name n_exception("exception");
Name n_typecast_str("typecast_str");
Name n_iter_entry_points("iter_entry_points");
Name n_NestedFieldBag("NestedFieldBag");
Name n_setitem("__setitem__");
Name n_update("update");
Name n_pop("pop");
Name n_load("load");
Name n_dist("dist");
Name n_open("open");
Name n_enter("__enter__");
Name n_exit("__exit__");
Name n_delimiters("delimiters");
Name n_comment_prefixes("comment_prefixes");
Name n_group("group");
Name n_entry_points("entry_points");
Name n_select("select");
Name n_private_dist("_dist");
Name n_read_text("read_text");
Name n_locate_file("locate_file");
Name n_version("version");
Name n_plain("name");
Name n_failed("Failed to load configuration from entrypoint: ");

// `with mgr: body()` -- __enter__ and __exit__ are looked up on the type; an
// exception leaving the body is handed to __exit__ and re-raised unless
// __exit__ returns a true value.
template <class Body>
void with_statement(PyObject* mgr, Body body) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(mgr));
    Ref enter = frame::getattr(type, n_enter);
    Ref exit = frame::getattr(type, n_exit);
    frame::call(enter.get(), {mgr});
    try {
        body();
    } catch (const frame::Error&) {
        if (!PyErr_Occurred()) throw;
        frame::Caught caught;
        PyObject* exc = caught.value();
        PyObject* exc_type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
        Ref tb = Ref::steal(PyException_GetTraceback(exc));
        Ref suppress = frame::call(exit.get(), {mgr, exc_type, exc, tb ? tb.get() : Py_None});
        if (!frame::truthy(suppress.get())) caught.reraise();
        return;
    }
    frame::call(exit.get(), {mgr, Py_None, Py_None, Py_None});
}

// A call with keyword arguments only: callable(name0=v0, ...).
Ref call_kw(PyObject* callable, std::initializer_list<Name*> names,
            std::initializer_list<PyObject*> values, frame::Loc loc = frame::Loc::current()) {
    Ref kwnames = frame::own(PyTuple_New(static_cast<Py_ssize_t>(names.size())), loc);
    Py_ssize_t i = 0;
    for (Name* n : names) PyTuple_SET_ITEM(kwnames.get(), i++, Py_NewRef(n->get()));
    return frame::call_args(callable, values.begin(), 0, kwnames.get(), loc);
}

// ---------------------------------------------------------------------------
// Configuration

Ref Configuration_copy(Args a) {
    PyObject* self = a[0];
    return frame::call(reinterpret_cast<PyObject*>(Py_TYPE(self)), {self});
}

// NestedFieldBag.__setitem__ as the module body found it, and the facts about
// a type that let a plain key skip the call into it: NestedFieldBag stores a
// plain key with dict's own store when dict's is the next __setitem__ after it.
PyObject* g_NestedFieldBag = nullptr;
PyObject* g_nfb_setitem = nullptr;

PyObject* dict_setitem_descr() { return frame::own_attr(&PyDict_Type, n_setitem); }

struct SetitemFacts {
    PyObject* next = nullptr;      // super().__setitem__ of Configuration's methods, raw
    bool nfb_stores_plain = false;  // NestedFieldBag's next __setitem__ is dict's
};

frame::TypeCache<SetitemFacts> g_setitem_facts;

const SetitemFacts& setitem_facts(PyTypeObject* type, PyObject* defining_class) {
    return g_setitem_facts.get(type, [&](PyTypeObject* t) {
        SetitemFacts f;
        f.next = frame::mro_lookup(t, n_setitem.get(), defining_class);
        if (f.next && f.next == g_nfb_setitem) {
            PyObject* after = frame::mro_lookup(t, n_setitem.get(), g_NestedFieldBag);
            f.nfb_stores_plain = after && after == dict_setitem_descr();
        }
        return f;
    });
}

bool is_dotted(PyObject* key) {
    if (!PyUnicode_Check(key)) return false;
    Py_ssize_t dot = PyUnicode_FindChar(key, '.', 0, PyUnicode_GET_LENGTH(key), 1);
    if (dot == -2) frame::fail();
    return dot >= 0;
}

Ref Configuration_setitem(Args a) {
    PyObject* self = a[0];
    PyObject* key = a[1];
    PyObject* cls = frame::defining_class(a);
    // super().__setitem__, resolved before the value is converted.  A plain
    // function found on the next class is called with self prepended, which
    // is what the bound method would do, without making the super object.
    Ref unbound, bound;
    PyObject* raw = setitem_facts(Py_TYPE(self), cls).next;
    if (raw && PyType_HasFeature(Py_TYPE(raw), Py_TPFLAGS_METHOD_DESCRIPTOR))
        unbound = Ref::borrow(raw);
    else
        bound = frame::super_attr(a, n_setitem);
    Ref typecast = frame::global(n_typecast_str);
    Ref value = frame::call(typecast.get(), {a[2]});
    if (unbound) {
        // typecast_str may have changed the classes: the facts are re-read.
        if (unbound.get() == g_nfb_setitem && setitem_facts(Py_TYPE(self), cls).nfb_stores_plain &&
            !is_dotted(key)) {
            frame::check(PyDict_SetItem(self, key, value.get()));
        } else {
            frame::call(unbound.get(), {self, key, value.get()});
        }
    } else {
        frame::call(bound.get(), {key, value.get()});
    }
    return frame::none();
}

Ref Configuration_load_cfgs(Args a) {
    PyObject* self = a[0];
    PyObject* files = a[1];
    Ref configparser = frame::global(n_configparser);
    Ref parser_type = frame::getattr(configparser.get(), n_ConfigParser);
    Ref delimiters = frame::own(Py_BuildValue("(s)", "="));
    Ref comment_prefixes = frame::own(Py_BuildValue("(s)", "#"));
    Ref parser = call_kw(parser_type.get(), {&n_delimiters, &n_comment_prefixes},
                         {delimiters.get(), comment_prefixes.get()});
    Ref loaded_files = frame::call_method(parser.get(), n_read, {files});
    Ref update = frame::getattr(self, n_update);
    frame::call(update.get(), {parser.get()});
    Ref pop = frame::getattr(self, n_pop);
    configparser = frame::global(n_configparser);
    Ref defaultsect = frame::getattr(configparser.get(), n_DEFAULTSECT);
    frame::call(pop.get(), {defaultsect.get()});
    return loaded_files;
}

Ref Configuration_load_yamls(Args a) {
    PyObject* self = a[0];
    Ref paths = frame::own(PySequence_List(a[1]));
    Ref loaded = frame::own(PyList_New(0));
    static Name mode("r");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(paths.get()); i++) {
        Ref path = Ref::borrow(PyList_GET_ITEM(paths.get(), i));
        Ref os = frame::global(n_os);
        Ref os_path = frame::getattr(os.get(), n_path);
        Ref isfile = frame::getattr(os_path.get(), n_isfile);
        if (!frame::truthy(frame::call(isfile.get(), {path.get()}).get())) continue;
        Ref file = frame::call(frame::builtin(n_open), {path.get(), mode.get()});
        with_statement(file.get(), [&] {
            Ref update = frame::getattr(self, n_update);
            Ref yaml = frame::global(n_yaml);
            Ref document = frame::call_method(yaml.get(), n_safe_load, {file.get()});
            frame::call(update.get(), {document.get()});
        });
        frame::check(PyList_Append(loaded.get(), path.get()));
    }
    return frame::own(PyList_AsTuple(loaded.get()));
}

Ref Configuration_load_entrypoint(Args a) {
    PyObject* self = a[0];
    Ref loaded = frame::own(PyList_New(0));
    Ref iter_entry_points = frame::global(n_iter_entry_points);
    Ref entry_points = call_kw(iter_entry_points.get(), {&n_group}, {a[1]});
    Ref it = frame::iter(entry_points.get());
    while (Ref ep = frame::next(it.get())) {
        try {
            Ref update = frame::getattr(self, n_update);
            Ref object = frame::call_method(ep.get(), n_load);
            frame::call(update.get(), {object.get()});
        } catch (const frame::Error& e) {
            if (!PyErr_Occurred() || !PyErr_ExceptionMatches(PyExc_Exception)) throw;
            // The logged traceback shows this method, as it would for a
            // Python method catching the exception.
            frame::add_traceback(a.func->tb_name, e.line);
            frame::Caught caught;
            Ref logger = frame::global(n_logger);
            Ref dist = frame::getattr(ep.get(), n_dist);
            Ref text = frame::str(dist.get());
            Ref message = frame::own(PyUnicode_Concat(n_failed.get(), text.get()));
            frame::call_method(logger.get(), n_exception, {message.get()});
            continue;
        }
        frame::check(PyList_Append(loaded.get(), ep.get()));
    }
    return loaded;
}

// ---------------------------------------------------------------------------
// iter_entry_points without pkg_resources: the entry points that
// importlib.metadata finds, each bound to a distribution whose text form is
// "<name> <version>".  The function's closure holds (Distribution class,
// importlib.metadata.entry_points).

const char kIterEntryPointsDoc[] =
    "Returns an iterator over the entry points of `group` (only those named\n"
    "`name` when it is given) published by the installed distributions, in the\n"
    "order importlib.metadata finds them. Each entry point has load(), and its\n"
    "`dist` shows as the distribution's name and version.";

const char kDistributionDoc[] =
    "An installed distribution, read through the one it wraps; its text form\n"
    "is its name and version.";

Ref Distribution_init(Args a) {
    frame::check(PyObject_SetAttr(a[0], n_private_dist.get(), a[1]));
    return frame::none();
}

Ref Distribution_read_text(Args a) {
    Ref dist = frame::getattr(a[0], n_private_dist);
    return frame::call_method(dist.get(), n_read_text, {a[1]});
}

Ref Distribution_locate_file(Args a) {
    Ref dist = frame::getattr(a[0], n_private_dist);
    return frame::call_method(dist.get(), n_locate_file, {a[1]});
}

Ref Distribution_str(Args a) {
    static Name fmt("%s %s");
    Ref dist_name = frame::getattr(a[0], n_plain);
    Ref version = frame::getattr(a[0], n_version);
    Ref args = frame::own(PyTuple_Pack(2, dist_name.get(), version.get()));
    return frame::format(fmt.get(), args.get());
}

Ref iter_entry_points_impl(Args a) {
    PyObject* closure = a.func->closure;
    PyObject* distribution = PyTuple_GET_ITEM(closure, 0);
    PyObject* entry_points = PyTuple_GET_ITEM(closure, 1);
    PyObject* group = a[0];
    PyObject* name = a[1];
    Ref found = call_kw(entry_points, {&n_group}, {group});
    Ref result = frame::own(PyList_New(0));
    // Every distribution is read once; the entry points of one distribution
    // come together, so only the distributions already read are skipped.
    std::vector<Ref> seen;
    Ref it = frame::iter(found.get());
    while (Ref ep = frame::next(it.get())) {
        Ref dist = frame::getattr(ep.get(), n_dist);
        if (dist.get() == Py_None) {  // not tied to a distribution: as found
            Ref ep_name = frame::getattr(ep.get(), n_plain);
            if (name == Py_None ||
                frame::check(PyObject_RichCompareBool(ep_name.get(), name, Py_EQ)))
                frame::check(PyList_Append(result.get(), ep.get()));
            continue;
        }
        bool known = false;
        for (const Ref& d : seen) known = known || d.get() == dist.get();
        if (known) continue;
        seen.push_back(dist);
        Ref wrapped = frame::call(distribution, {dist.get()});
        Ref all = frame::getattr(wrapped.get(), n_entry_points);
        Ref select = frame::getattr(all.get(), n_select);
        Ref mine = name == Py_None ? call_kw(select.get(), {&n_group}, {group})
                                   : call_kw(select.get(), {&n_group, &n_plain}, {group, name});
        Ref mine_it = frame::iter(mine.get());
        while (Ref e = frame::next(mine_it.get()))
            frame::check(PyList_Append(result.get(), e.get()));
    }
    return frame::iter(result.get());
}

void bind_iter_entry_points(frame::Body& b) {
    try {
        b.from_import("pkg_resources", {"iter_entry_points"});
        return;
    } catch (const frame::Error&) {
        // Not installed (setuptools is optional, and recent releases no longer
        // ship the module), or its import refused by a warnings filter.
        if (!PyErr_ExceptionMatches(PyExc_ImportError) && !PyErr_ExceptionMatches(PyExc_Warning))
            throw;
        PyErr_Clear();
    }
    Ref metadata = frame::own(PyImport_ImportModule("importlib.metadata"));
    Ref base = frame::own(PyObject_GetAttrString(metadata.get(), "Distribution"));
    Ref entry_points = frame::own(PyObject_GetAttrString(metadata.get(), "entry_points"));
    const char* owner = "iter_entry_points.<locals>.Distribution";
    frame::ClassDef c(b, "Distribution", {base.get()}, kDistributionDoc);
    c.set("__qualname__", frame::unicode(owner).get());
    c.def({"__init__", {"self", "dist"}, Distribution_init, nullptr, 0, {},
           "iter_entry_points.<locals>.Distribution.__init__"});
    c.def({"read_text", {"self", "filename"}, Distribution_read_text, nullptr, 0, {},
           "iter_entry_points.<locals>.Distribution.read_text"});
    c.def({"locate_file", {"self", "path"}, Distribution_locate_file, nullptr, 0, {},
           "iter_entry_points.<locals>.Distribution.locate_file"});
    c.def({"__str__", {"self"}, Distribution_str, nullptr, 0, {},
           "iter_entry_points.<locals>.Distribution.__str__"});
    Ref distribution = c.build();
    // The class belongs to the function, not to the module namespace.
    frame::check(PyDict_DelItemString(b.dict(), "Distribution"));
    Ref closure = frame::own(PyTuple_Pack(2, distribution.get(), entry_points.get()));
    Ref fn = frame::make_function({"iter_entry_points", {"group", "name"}, iter_entry_points_impl,
                                   kIterEntryPointsDoc, 0, {Py_None}},
                                  nullptr, closure.get());
    b.set("iter_entry_points", fn.get());
}

void body(frame::Body& b) {
    frame::builtin(n_open);
    b.import("os");
    b.import("yaml");
    b.import("logging");
    b.import("configparser");
    bind_iter_entry_points(b);
    b.from_import("collections.abc", {"Mapping"});
    b.relative_import("fieldbag", {"NestedFieldBag"});
    b.from_import("tavik.utils.strings", {"typecast_str"});
    {
        Ref logging = frame::global(n_logging);
        Ref get_logger = frame::getattr(logging.get(), n_getLogger);
        Ref name = frame::global(n_name);
        Ref logger = frame::call(get_logger.get(), {name.get()});
        b.set("logger", logger.get());
    }
    {
        Ref base = frame::global(n_NestedFieldBag);
        Ref base_setitem = frame::getattr(base.get(), n_setitem);
        // Kept for the life of the process, like the module.
        Py_XSETREF(g_NestedFieldBag, base.new_ref());
        Py_XSETREF(g_nfb_setitem, base_setitem.new_ref());
        frame::ClassDef c(b, "Configuration", {base.get()});
        c.def({"copy", {"self"}, Configuration_copy, kCopyDoc});
        c.def({"__setitem__", {"self", "key", "value"}, Configuration_setitem, nullptr,
               frame::SUPER});
        c.def({"load_cfgs", {"self", "*files"}, Configuration_load_cfgs});
        c.def({"load_yamls", {"self", "*files"}, Configuration_load_yamls});
        c.def({"load_entrypoint", {"self", "group"}, Configuration_load_entrypoint,
               kLoadEntrypointDoc});
        c.build();
    }
}

}  // namespace

TAVIK_MODULE(body, nullptr, false)
