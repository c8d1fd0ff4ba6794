// Generator objects whose bodies are C++20 coroutines.
//
// A generator function is an ordinary frame::Def whose implementation binds
// the arguments into the body's locals and returns a new generator object:
//
//     struct IterLocals {
//         Ref self, data;
//         Py_ssize_t i = 0;
//         int traverse(visitproc visit, void* arg) const {
//             return frame::visit_refs(visit, arg, self, data);
//         }
//     };
//
//     frame::GenBody iter_body(IterLocals L) {
//         L.data = frame::getattr(L.self.get(), n_data);
//         ...
//         Ref item = ...;
//         co_yield std::move(item);                  // hands `item` to the caller
//         co_yield frame::delegate(make_inner(L));    // every item of iter(inner)
//     }
//
//     frame::GenDef g_iter{Name("__iter__"), Name("WispSeq.__iter__")};
//     Ref WispSeq_iter(Args a) {
//         return frame::make_generator(g_iter, iter_body({Ref::borrow(a[0])}));
//     }
//
// Nothing of the body runs before the generator is first advanced.
//
// Rules for bodies:
//   - The single parameter (the locals struct) lives as long as the body and
//     is what the cycle collector sees, through its `traverse`.  Every Python
//     reference that stays alive across a `co_yield` belongs in it; a
//     reference held elsewhere in the coroutine (a local `Ref`, a temporary of
//     the `co_yield` expression) is invisible to the collector.  Yield values
//     with `co_yield std::move(ref)` so that nothing stays behind.
//   - Errors are raised as everywhere else (frame::raise, helpers throwing
//     frame::Error).  An exception thrown into the generator (throw(), close())
//     surfaces as frame::Error from the `co_yield` at which the body waits.
//   - No `Caught` (an except block) may be alive across a `co_yield`.
//   - Values sent with send() are not passed to the body: `co_yield` has no
//     result.
//   - `co_yield frame::delegate(x)` iterates `iter(x)` with plain next() until
//     it is exhausted, handing each item to the caller; the iterator shows as
//     `gi_yieldfrom` meanwhile.  Sent values are dropped and thrown exceptions
//     land in the body at the `co_yield` (the iterator is released first);
//     close() closes the iterator before closing the body.  An error of the
//     iterator is raised in the body at the `co_yield`.
#pragma once

#include "frame/frame.hpp"

#include <coroutine>
#include <cstddef>
#include <exception>
#include <new>
#include <utility>

namespace frame {

// Visits every non-empty reference (for the locals' `traverse`).
template <class... R>
int visit_refs(visitproc visit, void* arg, const R&... refs) {
    for (PyObject* o : {static_cast<PyObject*>(refs.get())...}) {
        if (o) {
            int r = visit(o, arg);
            if (r) return r;
        }
    }
    return 0;
}

// The operand of `co_yield frame::delegate(x)`.
struct Delegate {
    Ref iter;
};
// Makes `iter(obj)` the iterator the body delegates to.  Takes `obj` over
// and releases it, so that no second reference stays in the body.
Delegate delegate(Ref obj, Loc loc = Loc::current());

// The coroutine type of generator bodies.  Owns the coroutine until
// make_generator() hands it to a generator object.
class GenBody {
public:
    struct promise_type;
    using Handle = std::coroutine_handle<promise_type>;

    // The awaiter of a `co_yield`: raises a thrown-in exception on resumption.
    struct Suspend {
        promise_type& p;
        int line;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<>) const noexcept {}
        void await_resume() const {
            if (p.throw_in) {
                p.throw_in = false;
                throw Error{line};
            }
        }
    };

    struct promise_type {
        template <class L>
        explicit promise_type(L& locals) noexcept
            : locals(&locals), traverse_locals(&visit_locals<L>) {}

        // Coroutine frames come from the Python allocator (the GIL is held).
        static void* operator new(std::size_t n) noexcept { return PyMem_Malloc(n); }
        static void operator delete(void* p) noexcept { PyMem_Free(p); }
        static GenBody get_return_object_on_allocation_failure() noexcept { return GenBody(); }

        GenBody get_return_object() noexcept { return GenBody(Handle::from_promise(*this)); }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_void() noexcept {}
        void unhandled_exception() noexcept {
            failed = true;
            try {
                throw;
            } catch (const Error& e) {
                error_line = e.line;
                if (!PyErr_Occurred())
                    PyErr_SetString(PyExc_SystemError, "error return without exception set");
            } catch (const std::bad_alloc&) {
                PyErr_NoMemory();
            } catch (...) {
                PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
            }
        }

        Suspend yield_value(Ref&& value, Loc loc = Loc::current()) noexcept {
            yielded = std::move(value);
            return Suspend{*this, static_cast<int>(loc.line())};
        }
        Suspend yield_value(const Ref& value, Loc loc = Loc::current()) noexcept {
            yielded = value;
            return Suspend{*this, static_cast<int>(loc.line())};
        }
        Suspend yield_value(Delegate&& d, Loc loc = Loc::current()) noexcept {
            delegate = std::move(d.iter);
            return Suspend{*this, static_cast<int>(loc.line())};
        }

        template <class L>
        static int visit_locals(void* p, visitproc visit, void* arg) {
            return static_cast<const L*>(p)->traverse(visit, arg);
        }

        void* locals;
        int (*traverse_locals)(void*, visitproc, void*);
        Ref yielded;   // the value of the last co_yield, until the caller takes it
        Ref delegate;  // the iterator of the last co_yield delegate(...)
        bool throw_in = false;  // raise the pending exception at the co_yield
        bool failed = false;    // an exception left the body
        int error_line = 0;
    };

    GenBody() noexcept = default;
    explicit GenBody(Handle h) noexcept : h_(h) {}
    GenBody(GenBody&& o) noexcept : h_(std::exchange(o.h_, {})) {}
    GenBody& operator=(GenBody&& o) noexcept {
        if (this != &o) {
            if (h_) h_.destroy();
            h_ = std::exchange(o.h_, {});
        }
        return *this;
    }
    GenBody(const GenBody&) = delete;
    GenBody& operator=(const GenBody&) = delete;
    ~GenBody() {
        if (h_) h_.destroy();
    }
    explicit operator bool() const noexcept { return static_cast<bool>(h_); }
    Handle release() noexcept { return std::exchange(h_, {}); }

private:
    Handle h_;
};

// A generator function's names: `__name__` and `__qualname__` of the
// generators it makes (the traceback entries of the body use the plain name).
struct GenDef {
    Name name;
    Name qualname;
    PyObject* code = nullptr;  // gi_code, made on first use
};

// The generator type of this module ("generator").
PyTypeObject* generator_type();

// A new, not yet started generator object running `body`.
Ref make_generator(GenDef& def, GenBody body, Loc loc = Loc::current());

}  // namespace frame
