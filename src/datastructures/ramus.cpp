// tavik.datastructures.ramus: a named tree node that prints like `tree`.
//
// Rendering.  str() of a node is its name followed, for every child, by the
// lines of str(child) split on "\n", the first line behind a connector
// ("|-- ", or "`-- " for the last child) and the others behind a
// continuation ("|   ", or four spaces).  Done literally, every level copies
// the text of its whole subtree again.  Here the lines go straight into one
// output buffer: a child that is a Ramus rendered by this very __str__ is
// walked in place (its lines get the continuations of all its ancestors in
// front), every other child is rendered by str() and its lines copied.  A
// walked child makes exactly the reads and calls its own __str__ would
// (name, children, the truth test, the slice, the last item), and counts
// against the recursion limit as the str() call it stands for does.
#include "frame/frame.hpp"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

using frame::Args;
using frame::Name;
using frame::Ref;

namespace {

const char kRamusDoc[] =
    "Tree Tree Class\n"
    "\n"
    "A named node holding a list of children that prints itself the way the\n"
    "Linux `tree` command prints a directory tree.  Children may be Ramus\n"
    "nodes (printed as subtrees) or any other object (printed as its str()).\n"
    "\n"
    "    >>> tree = Ramus('/', [\n"
    "    ...     Ramus('etc', [Ramus('hosts'), Ramus('passwd')]),\n"
    "    ...     Ramus('usr', [Ramus('bin'), Ramus('lib'),\n"
    "    ...                   Ramus('local', [Ramus('bin'), Ramus('share')]),\n"
    "    ...                   Ramus('share', [Ramus('doc'), Ramus('man')])]),\n"
    "    ... ])\n"
    "    >>> print(tree)\n"
    "    /\n"
    "    |-- etc\n"
    "    |   |-- hosts\n"
    "    |   `-- passwd\n"
    "    `-- usr\n"
    "        |-- bin\n"
    "        |-- lib\n"
    "        |-- local\n"
    "        |   |-- bin\n"
    "        |   `-- share\n"
    "        `-- share\n"
    "            |-- doc\n"
    "            `-- man\n";

Name n_name("name");
Name n_children("children");
Name n_append("append");
Name n_str("__str__");

Ref Ramus_str(Args a);

// ---------------------------------------------------------------------------
// The output text: characters of one width (1, 2 or 4 bytes), widened when a
// wider string arrives.
class TextBuf {
public:
    TextBuf() = default;
    TextBuf(const TextBuf&) = delete;
    TextBuf& operator=(const TextBuf&) = delete;
    ~TextBuf() { std::free(data_); }

    bool empty() const noexcept { return len_ == 0; }

    void ascii(const char* s, Py_ssize_t n) {
        if (n <= 0) return;
        reserve(n);
        switch (kind_) {
            case 1: std::memcpy(data_ + len_, s, static_cast<size_t>(n)); break;
            case 2: widen_copy(reinterpret_cast<Py_UCS2*>(data_) + len_, s, n); break;
            default: widen_copy(reinterpret_cast<Py_UCS4*>(data_) + len_, s, n); break;
        }
        len_ += n;
    }

    // Makes room for the characters of `u` (a ready str): widens when needed.
    void admit(PyObject* u) {
        Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(u);
        if (m <= max_) return;
        int k = m < 256 ? 1 : m < 65536 ? 2 : 4;
        if (k > kind_) widen(k);
        max_ = m;
    }

    // Appends u[start:start+n]; admit(u) must have been called.
    void slice(PyObject* u, Py_ssize_t start, Py_ssize_t n) {
        if (n <= 0) return;
        reserve(n);
        const int k = PyUnicode_KIND(u);
        const char* src = static_cast<const char*>(PyUnicode_DATA(u));
        if (k == kind_) {
            std::memcpy(data_ + len_ * kind_, src + start * k, static_cast<size_t>(n) * k);
        } else if (kind_ == 2) {
            widen_copy(reinterpret_cast<Py_UCS2*>(data_) + len_,
                       reinterpret_cast<const Py_UCS1*>(src) + start, n);
        } else if (k == 1) {
            widen_copy(reinterpret_cast<Py_UCS4*>(data_) + len_,
                       reinterpret_cast<const Py_UCS1*>(src) + start, n);
        } else {
            widen_copy(reinterpret_cast<Py_UCS4*>(data_) + len_,
                       reinterpret_cast<const Py_UCS2*>(src) + start, n);
        }
        len_ += n;
    }

    void whole(PyObject* u) {
        admit(u);
        slice(u, 0, PyUnicode_GET_LENGTH(u));
    }

    Ref finish() {
        Ref r = frame::own(PyUnicode_New(len_, max_));
        if (len_) std::memcpy(PyUnicode_DATA(r.get()), data_, static_cast<size_t>(len_) * kind_);
        return r;
    }

private:
    // Copies n characters into a wider buffer (`char` sources are ASCII).
    template <typename D, typename S>
    static void widen_copy(D* dst, const S* src, Py_ssize_t n) {
        for (Py_ssize_t i = 0; i < n; i++)
            dst[i] = static_cast<D>(static_cast<std::make_unsigned_t<S>>(src[i]));
    }

    void reserve(Py_ssize_t n) {
        if (n > PY_SSIZE_T_MAX / 4 - len_) throw std::bad_alloc();
        if (len_ + n <= cap_) return;
        Py_ssize_t cap = cap_ ? cap_ : 256;
        while (cap < len_ + n) cap = cap > PY_SSIZE_T_MAX / 8 ? len_ + n : cap * 2;
        grow_to(cap, kind_);
    }

    void grow_to(Py_ssize_t cap, int kind) {
        char* p = static_cast<char*>(std::realloc(data_, static_cast<size_t>(cap) * kind));
        if (!p) throw std::bad_alloc();
        data_ = p;
        cap_ = cap;
    }

    void widen(int k) {
        char* p = static_cast<char*>(std::malloc(static_cast<size_t>(cap_ ? cap_ : 1) * k));
        if (!p) throw std::bad_alloc();
        if (k == 2) {
            widen_copy(reinterpret_cast<Py_UCS2*>(p), reinterpret_cast<const Py_UCS1*>(data_), len_);
        } else if (kind_ == 1) {
            widen_copy(reinterpret_cast<Py_UCS4*>(p), reinterpret_cast<const Py_UCS1*>(data_), len_);
        } else {
            widen_copy(reinterpret_cast<Py_UCS4*>(p), reinterpret_cast<const Py_UCS2*>(data_), len_);
        }
        std::free(data_);
        data_ = p;
        kind_ = k;
    }

    char* data_ = nullptr;
    Py_ssize_t len_ = 0, cap_ = 0;
    int kind_ = 1;
    Py_UCS4 max_ = 127;
};

// ---------------------------------------------------------------------------
// Rendering state: the output, and the continuations of the enclosing
// levels ("\n" followed by four characters per level).
struct Render {
    TextBuf out;
    std::string prefix = "\n";
    // Set while the node's name is not (yet) a str: the text so far, to
    // which each further piece is added with `+=`.  Children are then
    // rendered by str() one at a time, exactly as written out.
    Ref head;
    bool literal = false;
};

const char kBranch[] = "|-- ";
const char kBar[] = "|   ";
const char kLastBranch[] = "`-- ";
const char kBlank[] = "    ";

#if PY_VERSION_HEX < 0x030C0000
inline void ready(PyObject* u) { frame::check(PyUnicode_READY(u)); }
#else
inline void ready(PyObject*) {}
#endif

// One line: the enclosing continuations, `lead`, then u[start:start+n].
void put_line(Render& r, const char* lead, PyObject* u, Py_ssize_t start, Py_ssize_t n) {
    if (!r.head) {
        r.out.admit(u);
        r.out.ascii(r.prefix.data(), static_cast<Py_ssize_t>(r.prefix.size()));
        r.out.ascii(lead, 4);
        r.out.slice(u, start, n);
        return;
    }
    // result += prefix + piece, for a result that is not a str.
    TextBuf seg;
    seg.ascii(r.prefix.data(), static_cast<Py_ssize_t>(r.prefix.size()));
    seg.ascii(lead, 4);
    seg.admit(u);
    seg.slice(u, start, n);
    Ref piece = seg.finish();
    r.head = frame::own(PyNumber_InPlaceAdd(r.head.get(), piece.get()));
    if (PyUnicode_Check(r.head.get())) {
        ready(r.head.get());
        r.out.whole(r.head.get());
        r.head.reset();
    }
}

template <typename T>
Py_ssize_t find_newline(const T* s, Py_ssize_t from, Py_ssize_t len) {
    if constexpr (sizeof(T) == 1) {
        const void* p = std::memchr(s + from, '\n', static_cast<size_t>(len - from));
        return p ? static_cast<const T*>(p) - s : len;
    } else {
        for (Py_ssize_t i = from; i < len; i++)
            if (s[i] == '\n') return i;
        return len;
    }
}

// The lines of `text` (a str) as the lines of one child.
void put_text(Render& r, PyObject* text, bool last) {
    ready(text);
    const Py_ssize_t len = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    const char* lead = last ? kLastBranch : kBranch;
    Py_ssize_t pos = 0;
    for (;;) {
        Py_ssize_t end;
        switch (kind) {
            case 1: end = find_newline(static_cast<const Py_UCS1*>(data), pos, len); break;
            case 2: end = find_newline(static_cast<const Py_UCS2*>(data), pos, len); break;
            default: end = find_newline(static_cast<const Py_UCS4*>(data), pos, len); break;
        }
        put_line(r, lead, text, pos, end - pos);
        if (end >= len) break;
        lead = last ? kBlank : kBar;
        pos = end + 1;
    }
}

// The attribute `__str__` of a type, as the str() of its instances finds it
// (borrowed, or nullptr).
PyObject* type_str_attr(PyTypeObject* t) { return frame::mro_lookup(t, n_str.get()); }

// The function that renders `child` when it is a Ramus printed by this
// module's own __str__ (borrowed), else nullptr.
PyObject* own_renderer(PyObject* child) {
    PyTypeObject* t = Py_TYPE(child);
    if (!(t->tp_flags & Py_TPFLAGS_HEAPTYPE)) return nullptr;
    PyObject* f = type_str_attr(t);
    return frame::is_impl(f, Ramus_str) ? f : nullptr;
}

[[noreturn]] void non_string(PyObject* result) {
    PyErr_Format(PyExc_TypeError, "__str__ returned non-string (type %.200s)",
                 Py_TYPE(result)->tp_name);
    frame::fail();
}

// A node whose children are being rendered.  Walked nodes are kept on an
// explicit stack rather than the C stack, so that a deep tree (or a node that
// is its own descendant) stops at the recursion limit on any thread stack.
struct Level {
    Ref node;
    Ref func;           // the __str__ the node stands for (traceback entry)
    Ref seq;            // children[:-1]
    Ref it;             // its iterator, unless it is an exact list or tuple
    Py_ssize_t pos = 0;
    int stage = 0;      // 0: slice not read, 1: in the slice, 2: last child due, 3: done
    size_t mark = 0;    // length of the continuations before this level
};

enum { kStageSlice, kStageIter, kStageLast, kStageDone };

Ref render_literal(PyObject* node, Ref name);

// The next child of `L` (and whether it is the last), or an empty Ref when
// the node is done.  Every read of `children` is a fresh attribute lookup.
Ref next_child(Level& L, bool& last) {
    for (;;) {
        switch (L.stage) {
            case kStageSlice: {
                Ref children = frame::getattr(L.node.get(), n_children);
                Ref stop = frame::own(PyLong_FromLong(-1));
                L.seq = frame::getslice(children.get(), nullptr, stop.get());
                if (!PyList_CheckExact(L.seq.get()) && !PyTuple_CheckExact(L.seq.get()))
                    L.it = frame::iter(L.seq.get());
                L.stage = kStageIter;
                break;
            }
            case kStageIter: {
                Ref child;
                PyObject* seq = L.seq.get();
                if (L.it) {
                    child = frame::next(L.it.get());
                } else if (L.pos < Py_SIZE(seq)) {
                    child = Ref::borrow(PyList_CheckExact(seq) ? PyList_GET_ITEM(seq, L.pos)
                                                               : PyTuple_GET_ITEM(seq, L.pos));
                    L.pos++;
                }
                if (child) {
                    last = false;
                    return child;
                }
                L.seq.reset();
                L.it.reset();
                L.stage = kStageLast;
                break;
            }
            case kStageLast: {
                L.stage = kStageDone;
                Ref children = frame::getattr(L.node.get(), n_children);
                Ref minus_one = frame::own(PyLong_FromLong(-1));
                last = true;
                return frame::getitem(children.get(), minus_one.get());
            }
            default:
                return Ref();
        }
    }
}

// Renders the children of `root` (whose name is already out).  A child that
// is a Ramus rendered by this __str__ is walked in place unless `r.literal`;
// every other child is rendered by str().
void put_children(Render& r, PyObject* root) {
    std::vector<Level> stack;
    stack.emplace_back();
    stack.back().node = Ref::borrow(root);
    int line = 0;  // where the walked levels stand, for their traceback entries
    try {
        while (!stack.empty()) {
            bool last = false;
            Ref child = next_child(stack.back(), last);
            if (!child) {
                r.prefix.resize(stack.back().mark);
                if (stack.size() > 1) Py_LeaveRecursiveCall();
                stack.pop_back();
                continue;
            }
            PyObject* fn = r.literal ? nullptr : own_renderer(child.get());
            if (!fn) {
                Ref text = frame::own(PyObject_Str(child.get()));
                put_text(r, text.get(), last);
                continue;
            }
            // What str(child) would do: the recursion check, then the
            // child's __str__, then the check that it gave a str.
            Ref func = Ref::borrow(fn);
            if (Py_EnterRecursiveCall(" while getting the str of an object")) frame::fail();
            Ref text, name;
            try {
                name = frame::getattr(child.get(), n_name);
                Ref children = frame::getattr(child.get(), n_children);
                if (!frame::truthy(children.get())) {
                    text = std::move(name);
                } else if (!PyUnicode_Check(name.get())) {
                    text = render_literal(child.get(), std::move(name));
                }
            } catch (const frame::Error& e) {
                frame::add_traceback(reinterpret_cast<frame::Function*>(func.get())->tb_name,
                                     e.line);
                Py_LeaveRecursiveCall();
                throw;
            } catch (...) {
                Py_LeaveRecursiveCall();
                throw;
            }
            if (text) {
                Py_LeaveRecursiveCall();
                if (!PyUnicode_Check(text.get())) non_string(text.get());
                put_text(r, text.get(), last);
                continue;
            }
            // A subtree: its name's lines, then its children one level in.
            put_text(r, name.get(), last);
            line = __LINE__;
            Level L;
            L.mark = r.prefix.size();
            L.node = std::move(child);
            L.func = std::move(func);
            stack.push_back(std::move(L));
            r.prefix.append(last ? kBlank : kBar, 4);
        }
    } catch (const frame::Error& e) {
        // Unwinds the walked levels as the nested __str__ calls would.
        bool innermost = true;
        while (stack.size() > 1) {
            frame::add_traceback(
                reinterpret_cast<frame::Function*>(stack.back().func.get())->tb_name,
                innermost ? e.line : line);
            innermost = false;
            Py_LeaveRecursiveCall();
            stack.pop_back();
        }
        throw;
    } catch (...) {
        while (stack.size() > 1) {
            Py_LeaveRecursiveCall();
            stack.pop_back();
        }
        throw;
    }
}

// The rendering of a node whose name is not a str, piece by piece:
// result = name; result += prefix + piece; ...
Ref render_literal(PyObject* node, Ref name) {
    Render r;
    r.literal = true;
    r.head = std::move(name);
    put_children(r, node);
    if (r.head) return std::move(r.head);
    return r.out.finish();
}

// ---------------------------------------------------------------------------
// Ramus

Ref Ramus_init(Args a) {
    PyObject* self = a[0];
    Ref children = Ref::borrow(a[2]);
    if (!frame::truthy(children.get())) children = frame::own(PyList_New(0));
    frame::setattr(self, n_name, a[1]);
    frame::setattr(self, n_children, children.get());
    return frame::none();
}

Ref Ramus_add_child(Args a) {
    Ref children = frame::getattr(a[0], n_children);
    frame::call_method(children.get(), n_append, {a[1]});
    return frame::none();
}

Ref Ramus_str(Args a) {
    PyObject* self = a[0];
    Ref name = frame::getattr(self, n_name);
    Ref children = frame::getattr(self, n_children);
    if (!frame::truthy(children.get())) return name;
    children.reset();
    if (!PyUnicode_Check(name.get())) return render_literal(self, std::move(name));
    Render r;
    ready(name.get());
    r.out.whole(name.get());
    put_children(r, self);
    return r.out.finish();
}

void body(frame::Body& b) {
    frame::ClassDef c(b, "Ramus", {reinterpret_cast<PyObject*>(&PyBaseObject_Type)}, kRamusDoc);
    c.def({"__init__", {"self", "name", "children"}, Ramus_init, "class __init__", 0, {Py_None}});
    c.def({"add_child", {"self", "item"}, Ramus_add_child, "Add children"});
    c.def({"__str__", {"self"}, Ramus_str, "String formatter"});
    c.build();
}

}  // namespace

TAVIK_MODULE(body, nullptr, false)
