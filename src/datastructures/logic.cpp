// tavik.datastructures.logic: composable And/Or/Not tests over regular
// expressions, callables and nested tests, with a string form that reads back
// into objects through logic_str().
#include "frame/frame.hpp"

#include <vector>

using frame::Args;
using frame::Name;
using frame::Ref;

namespace {

const char kBaseLogicDoc[] =
    "BaseLogic Class\n"
    "\n"
    "Gathers the code the logic classes share: construction from expressions,\n"
    "the string form and equality.  It does no testing by itself; And, Or and\n"
    "Not each define their own test.";

const char kInitDoc[] =
    "Stores the expressions, in order.\n"
    "\n"
    "Args:\n"
    "    *expressions: each one a regular-expression string (compiled with\n"
    "        re.compile), or any callable, nested logic objects included.\n"
    "\n"
    "Raises:\n"
    "    TypeError: for an expression that is neither a string nor callable.";

const char kCallDoc[] =
    "Tests the items.  A plain BaseLogic has no test of its own and raises\n"
    "NotImplementedError.";

const char kStrDoc[] =
    "The constructor call that builds this object, for instance\n"
    "And('a.*', Or('b', 'c')); logic_str() turns it back into an equal object.";

const char kReprDoc[] = "ditto.";

const char kEqDoc[] =
    "Equal when both objects are of the very same class and hold equal\n"
    "expressions in the same order.";

const char kAndDoc[] =
    "Logical And\n"
    "\n"
    "True when all expressions are satisfied.  For a list of items, each\n"
    "expression must hold for one of the items.";

const char kOrDoc[] =
    "Logical Or\n"
    "\n"
    "True when one or more expressions hold for one of the items.";

const char kNotDoc[] =
    "Logical Not\n"
    "\n"
    "True only when no expression holds for any item.";

const char kLogicStrDoc[] =
    "Logic String Conversion\n"
    "\n"
    "Converts a string in logic form into logic objects; mostly used to parse\n"
    "command-line arguments.\n"
    "\n"
    "    >>> logic = logic_str(\"And('a', 'b')\")\n"
    "    >>> logic\n"
    "    And('a', 'b')\n"
    "    >>> logic('ab')\n"
    "    True\n"
    "\n"
    "The text is read, never run: it must be a call of a logic class (And, Or,\n"
    "Not, BaseLogic) with positional arguments that are string literals, the\n"
    "name string (the whole text itself) or other such calls.\n"
    "\n"
    "Args:\n"
    "    string: the logic string, as str() of a logic object gives it.\n"
    "\n"
    "Returns:\n"
    "    The logic object the string describes.\n"
    "\n"
    "Raises:\n"
    "    ValueError: for a text that is not a properly formatted logic string.\n";

Name n_re("re");
Name n_logging("logging");
Name n_getLogger("getLogger");
Name n_modname("__name__");
Name n_compile("compile");
Name n_expressions("expressions");
Name n_append("append");
Name n_pattern("pattern");
Name n_search("search");
Name n_BaseLogic("BaseLogic");
Name n_debug("__debug__");
Name n_type_error_fmt("Expression only accepts str and callable. Got: %s (%s)");
Name n_quoted_fmt("'%s'");
Name n_comma(", ");
Name n_bad_fmt("Not a properly formatted logic string: %s");
Name n_parse("parse");
Name n_Call("Call");
Name n_Name("Name");
Name n_Constant("Constant");
Name n_body("body");
Name n_func("func");
Name n_id("id");
Name n_args("args");
Name n_keywords("keywords");
Name n_value("value");
Name n_string("string");
Name n_filename("<logic string>");
Name n_eval("eval");

// Walks a list the way a for loop does: a change to the list during the walk
// shows, and each element is owned while it is in use.
template <class F>
void for_each(PyObject* seq, F&& f) {
    if (PyList_CheckExact(seq)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); i++) {
            Ref item = Ref::borrow(PyList_GET_ITEM(seq, i));
            if (!f(item.get())) return;
        }
        return;
    }
    Ref it = frame::iter(seq);
    while (Ref item = frame::next(it.get()))
        if (!f(item.get())) return;
}

// ---------------------------------------------------------------------------
// BaseLogic

Ref BaseLogic_init(Args a) {
    PyObject* self = a[0];
    Ref list = frame::own(PyList_New(0));
    frame::setattr(self, n_expressions, list.get());
    PyObject* args = a[1];
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); i++) {
        Ref obj = Ref::borrow(PyTuple_GET_ITEM(args, i));
        if (frame::isinstance(obj.get(), reinterpret_cast<PyObject*>(&PyUnicode_Type))) {
            Ref re = frame::global(n_re);
            obj = frame::call_method(re.get(), n_compile, {obj.get()});
        } else if (!PyCallable_Check(obj.get())) {
            Ref fmt_args = frame::own(
                PyTuple_Pack(2, obj.get(), reinterpret_cast<PyObject*>(Py_TYPE(obj.get()))));
            Ref msg = frame::format(n_type_error_fmt.get(), fmt_args.get());
            frame::raise(PyExc_TypeError, msg.get());
        }
        Ref exprs = frame::getattr(self, n_expressions);
        if (PyList_CheckExact(exprs.get()))
            frame::check(PyList_Append(exprs.get(), obj.get()));
        else
            frame::call_method(exprs.get(), n_append, {obj.get()});
    }
    return frame::none();
}

Ref BaseLogic_call(Args) { frame::raise_type(PyExc_NotImplementedError); }

// True when `text` between single quotes reads back as the same text: no
// quote, no backslash, no line break, no NUL and no lone surrogate (which
// no source text can hold).
bool quotable(PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text) < 0) frame::fail();
#endif
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    for (Py_ssize_t i = 0; i < n; i++) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == '\'' || c == '\\' || c == '\n' || c == '\r' || c == 0 ||
            (c >= 0xD800 && c <= 0xDFFF))
            return false;
    }
    return true;
}

Ref BaseLogic_str(Args a);
Ref BaseLogic_repr(Args a);

Name n_repr("__repr__");
Name n_str("__str__");
Name n_open("(");
Name n_close(")");
Name n_quote("'");
Name n_empty("");

// True when repr(o) is this module's __repr__, which is str(o) through this
// module's __str__: the string form can then be written out directly.
bool own_string_form(PyObject* o) {
    PyTypeObject* t = Py_TYPE(o);
    return frame::is_impl(frame::mro_lookup(t, n_repr.get()), BaseLogic_repr) &&
           frame::is_impl(frame::mro_lookup(t, n_str.get()), BaseLogic_str);
}

void append(PyObject* pieces, PyObject* piece) { frame::check(PyList_Append(pieces, piece)); }

// Appends the string form of `self` to `pieces`: the class name, "(", the
// expressions joined by ", " and ")".  A callable expression shows as its
// repr, a pattern as its text in single quotes (or, when that would not read
// back as the same text, as a string literal that does).
void string_form(PyObject* self, PyObject* pieces) {
    const Py_ssize_t name_at = PyList_GET_SIZE(pieces);
    append(pieces, Py_None);  // the class name, filled in last
    append(pieces, n_open.get());
    Ref exprs = frame::getattr(self, n_expressions);
    bool first = true;
    for_each(exprs.get(), [&](PyObject* element) {
        if (!first) append(pieces, n_comma.get());
        first = false;
        if (PyCallable_Check(element)) {
            if (own_string_form(element)) {
                if (Py_EnterRecursiveCall(" while getting the repr of an object")) frame::fail();
                struct Leave {
                    ~Leave() { Py_LeaveRecursiveCall(); }
                } leave;
                string_form(element, pieces);
            } else {
                Ref r = frame::repr(element);
                append(pieces, r.get());
            }
            return true;
        }
        Ref pattern = frame::getattr(element, n_pattern);
        if (PyUnicode_Check(pattern.get())) {
            Ref text = frame::str(pattern.get());
            if (quotable(text.get())) {
                append(pieces, n_quote.get());
                append(pieces, text.get());
                append(pieces, n_quote.get());
            } else {
                Ref r = frame::repr(text.get());
                append(pieces, r.get());
            }
        } else {
            Ref args = frame::own(PyTuple_Pack(1, pattern.get()));
            Ref r = frame::format(n_quoted_fmt.get(), args.get());
            append(pieces, r.get());
        }
        return true;
    });
    append(pieces, n_close.get());
    Ref name = frame::getattr(reinterpret_cast<PyObject*>(Py_TYPE(self)), n_modname);
    if (!PyUnicode_Check(name.get())) name = frame::str(name.get());
    frame::check(PyList_SetItem(pieces, name_at, name.release()));
}

Ref BaseLogic_str(Args a) {
    Ref pieces = frame::own(PyList_New(0));
    string_form(a[0], pieces.get());
    return frame::own(PyUnicode_Join(n_empty.get(), pieces.get()));
}

Ref BaseLogic_repr(Args a) { return frame::str(a[0]); }

Ref BaseLogic_eq(Args a) {
    PyObject* self = a[0];
    PyObject* other = a[1];
    if (Py_TYPE(self) != Py_TYPE(other)) return frame::boolean(false);
    Ref mine = frame::getattr(self, n_expressions);
    Ref theirs = frame::getattr(other, n_expressions);
    return frame::own(PyObject_RichCompare(mine.get(), theirs.get(), Py_EQ));
}

// ---------------------------------------------------------------------------
// The tests

// Whether one expression holds for the items.
bool satisfied(PyObject* expression, PyObject* items, PyObject* base) {
    if (frame::isinstance(expression, base)) {
        Ref r = frame::call_tuple(expression, items, nullptr);
        return frame::truthy(r.get());
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(items);
    if (n == 0) return false;
    // Every item is evaluated before the results are looked at.
    std::vector<Ref> results;
    results.reserve(static_cast<size_t>(n));
    if (PyCallable_Check(expression)) {
        for (Py_ssize_t i = 0; i < n; i++)
            results.push_back(frame::call(expression, {PyTuple_GET_ITEM(items, i)}));
    } else if (PyType_HasFeature(Py_TYPE(expression), Py_TPFLAGS_IMMUTABLETYPE) &&
               Py_TYPE(expression)->tp_getattro == PyObject_GenericGetAttr) {
        // A compiled pattern: the type is fixed, so looking up `search` runs
        // nothing of the caller's and need not come before str(item).
        for (Py_ssize_t i = 0; i < n; i++) {
            Ref text = frame::str(PyTuple_GET_ITEM(items, i));
            PyObject* args[2] = {expression, text.get()};
            results.push_back(frame::own(PyObject_VectorcallMethod(
                n_search.get(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)));
        }
    } else {
        for (Py_ssize_t i = 0; i < n; i++) {
            Ref search = frame::getattr(expression, n_search);
            Ref text = frame::str(PyTuple_GET_ITEM(items, i));
            results.push_back(frame::call(search.get(), {text.get()}));
        }
    }
    for (const Ref& r : results)
        if (frame::truthy(r.get())) return true;
    return false;
}

enum class Mode { And, Or, Not };

template <Mode mode>
Ref logic_call(Args a) {
    PyObject* self = a[0];
    PyObject* items = a[1];
    Ref base = frame::global(n_BaseLogic);
    Ref exprs = frame::getattr(self, n_expressions);
    bool result = mode != Mode::Or;
    for_each(exprs.get(), [&](PyObject* expression) {
        bool ok = satisfied(expression, items, base.get());
        if (mode == Mode::And && !ok) return result = false;
        if (mode == Mode::Or && ok) return !(result = true);
        if (mode == Mode::Not && ok) return result = false;
        return true;
    });
    return frame::boolean(result);
}

// ---------------------------------------------------------------------------
// logic_str

struct BadForm {};  // a text outside the accepted forms

struct Parser {
    PyObject* string;  // the input text, bound to the name `string`
    PyObject* call_type;
    PyObject* name_type;
    PyObject* constant_type;
    bool build;  // false: only check the forms; true: make the objects

    // The class a call names: a name the module namespace binds to a
    // BaseLogic subclass.
    Ref callee(PyObject* func) {
        if (Py_TYPE(func) != reinterpret_cast<PyTypeObject*>(name_type)) throw BadForm{};
        Ref id = frame::getattr(func, n_id);
        if (!PyUnicode_Check(id.get())) throw BadForm{};
        // `string` names the text itself, which is not a class.
        if (PyUnicode_Compare(id.get(), n_string.get()) == 0) throw BadForm{};
        PyObject* v = PyDict_GetItemWithError(frame::module_globals(), id.get());
        if (!v) {
            if (PyErr_Occurred()) frame::fail();
            throw BadForm{};
        }
        Ref cls = Ref::borrow(v);
        if (!PyType_Check(cls.get())) throw BadForm{};
        Ref base = frame::global(n_BaseLogic);
        if (!PyType_Check(base.get())) throw BadForm{};
        if (!frame::check(PyObject_IsSubclass(cls.get(), base.get()))) throw BadForm{};
        return cls;
    }

    // A str literal (adjacent, raw and escaped literals included); the
    // parser has already made its value.
    Ref literal(PyObject* node) {
        if (Py_TYPE(node) != reinterpret_cast<PyTypeObject*>(constant_type)) return Ref();
        Ref value = frame::getattr(node, n_value);
        if (!PyUnicode_CheckExact(value.get())) throw BadForm{};
        return value;
    }

    Ref call(PyObject* node) {
        if (Py_TYPE(node) != reinterpret_cast<PyTypeObject*>(call_type)) throw BadForm{};
        if (Py_EnterRecursiveCall(" while reading a logic string")) frame::fail();
        struct Leave {
            ~Leave() { Py_LeaveRecursiveCall(); }
        } leave;
        Ref func = frame::getattr(node, n_func);
        Ref cls = callee(func.get());
        Ref keywords = frame::getattr(node, n_keywords);
        if (frame::check_size(PyObject_Size(keywords.get())) != 0) throw BadForm{};
        Ref args = frame::getattr(node, n_args);
        Ref nodes = frame::own(PySequence_List(args.get()));
        const Py_ssize_t n = PyList_GET_SIZE(nodes.get());
        Ref values = frame::own(PyTuple_New(n));
        for (Py_ssize_t i = 0; i < n; i++) {
            PyObject* arg = PyList_GET_ITEM(nodes.get(), i);
            Ref value = literal(arg);
            if (!value) {
                if (Py_TYPE(arg) == reinterpret_cast<PyTypeObject*>(name_type)) {
                    Ref id = frame::getattr(arg, n_id);
                    if (!PyUnicode_Check(id.get()) ||
                        PyUnicode_Compare(id.get(), n_string.get()) != 0)
                        throw BadForm{};
                    value = Ref::borrow(string);
                } else {
                    value = call(arg);
                }
            }
            PyTuple_SET_ITEM(values.get(), i, value.release());
        }
        if (!build) return frame::none();
        return frame::call_tuple(cls.get(), values.get(), nullptr);
    }

    // The whole text: a call, or (at the top level only) a str literal.
    Ref top(PyObject* node) {
        if (Ref value = literal(node)) return value;
        return call(node);
    }
};

Ref read_logic(PyObject* string) {
    if (!PyUnicode_Check(string))
        frame::raisef(PyExc_TypeError, frame::Loc::current(),
                      "a logic string must be a str, not %.200s", Py_TYPE(string)->tp_name);
    // Leading blanks and tabs are allowed, as in eval().
    Py_ssize_t len = PyUnicode_GET_LENGTH(string), start = 0;
    while (start < len) {
        Py_UCS4 c = PyUnicode_ReadChar(string, start);
        if (c != ' ' && c != '\t') break;
        start++;
    }
    Ref text = frame::own(PyUnicode_Substring(string, start, len));
    Ref ast = frame::own(PyImport_ImportModule("ast"));
    Ref parse = frame::getattr(ast.get(), n_parse);
    Ref tree = frame::call(parse.get(), {text.get(), n_filename.get(), n_eval.get()});
    Ref body = frame::getattr(tree.get(), n_body);
    Ref call_type = frame::getattr(ast.get(), n_Call);
    Ref name_type = frame::getattr(ast.get(), n_Name);
    Ref constant_type = frame::getattr(ast.get(), n_Constant);
    Parser p{string, call_type.get(), name_type.get(), constant_type.get(), false};
    p.top(body.get());  // nothing is made unless the whole text is well formed
    p.build = true;
    return p.top(body.get());
}

Ref logic_str(Args a) {
    PyObject* string = a[0];
    try {
        try {
            Ref result = read_logic(string);
            if (frame::builtin(n_debug) == Py_True) {
                Ref base = frame::global(n_BaseLogic);
                if (!frame::isinstance(result.get(), base.get()))
                    frame::raise_type(PyExc_AssertionError);
            }
            return result;
        } catch (const frame::Error&) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
            frame::Caught caught;  // the error becomes the context of the ValueError
            Ref args = frame::own(PyTuple_Pack(1, string));
            Ref msg = frame::format(n_bad_fmt.get(), args.get());
            frame::raise(PyExc_ValueError, msg.get());
        }
    } catch (const BadForm&) {
        Ref args = frame::own(PyTuple_Pack(1, string));
        Ref msg = frame::format(n_bad_fmt.get(), args.get());
        frame::raise(PyExc_ValueError, msg.get());
    }
}

// ---------------------------------------------------------------------------

void body(frame::Body& b) {
    b.import("re");
    b.import("logging");
    {
        Ref all = frame::own(Py_BuildValue("[sss]", "And", "Or", "Not"));
        b.set("__all__", all.get());
    }
    {
        Ref logging = frame::global(n_logging);
        Ref name = frame::global(n_modname);
        Ref logger = frame::call_method(logging.get(), n_getLogger, {name.get()});
        b.set("logger", logger.get());
    }
    {
        frame::ClassDef c(b, "BaseLogic", {}, kBaseLogicDoc);
        c.def({"__init__", {"self", "*expressions"}, BaseLogic_init, kInitDoc});
        c.def({"__call__", {"self"}, BaseLogic_call, kCallDoc});
        c.def({"__str__", {"self"}, BaseLogic_str, kStrDoc});
        c.def({"__repr__", {"self"}, BaseLogic_repr, kReprDoc});
        c.def({"__eq__", {"self", "other"}, BaseLogic_eq, kEqDoc});
        c.build();
    }
    struct Sub {
        const char* name;
        const char* doc;
        frame::Impl impl;
    };
    for (const Sub& s : {Sub{"And", kAndDoc, logic_call<Mode::And>},
                         Sub{"Or", kOrDoc, logic_call<Mode::Or>},
                         Sub{"Not", kNotDoc, logic_call<Mode::Not>}}) {
        Ref base = frame::global(n_BaseLogic);
        frame::ClassDef c(b, s.name, {base.get()}, s.doc);
        c.def({"__call__", {"self", "*items"}, s.impl});
        c.build();
    }
    Ref fn = b.def({"logic_str", {"string"}, logic_str, kLogicStrDoc});
    frame::builtin(n_debug);
    Ref test = frame::own(PyDict_New());
    frame::check(PyDict_SetItemString(test.get(), "logic_str (line 177)",
                                      reinterpret_cast<frame::Function*>(fn.get())->doc));
    b.set_test(test.get());
}

}  // namespace

TAVIK_MODULE(body, nullptr, false)
