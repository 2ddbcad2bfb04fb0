// Argument binding and the two calling kinds: what runs between a call and a function's body.
//
// A body is a plain C++ function `Owned body(Frame&, PyObject* arg...)` that reads like the Python it
// stands for; `with_arguments<body>` or `no_arguments<body>` is its vectorcall entry. The entry binds
// the arguments into a fixed local array, guards the recursion depth, runs the body and, when the
// body fails, adds the traceback entry of the statement it was at.
#pragma once

#include "function.hpp"

#include <cstddef>
#include <new>
#include <utility>

namespace pel {

// Binds a call's arguments to the parameters of `def`, or returns false with the binding error set
// (and its traceback entry added where the rules want one). `slots` borrows from `args`, except the
// values that `int` coercion made, which `coerced` owns.
bool bind(const FunctionDef& def, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots,
          Owned* coerced) noexcept;

// Refuses the arguments given to a function that takes none; always null.
PyObject* refuse_arguments(const FunctionDef& def, Py_ssize_t nargs, PyObject* kwnames) noexcept;

// The recursion guard of C function calls, with its common case inline: one thread-state read and
// a counter, the same counter Py_EnterRecursiveCall keeps.
class RecursionGuard {
public:
    bool enter() noexcept {
        state_ = PyThreadState_GetUnchecked();
        if (state_->c_recursion_remaining > 0) {
            --state_->c_recursion_remaining;
            return true;
        }
        return Py_EnterRecursiveCall(" while calling a Python object") == 0;
    }
    void leave() noexcept { ++state_->c_recursion_remaining; }

private:
    PyThreadState* state_ = nullptr;
};

template <class Body>
struct BodyArity;
template <class... Args>
struct BodyArity<Owned (*)(Frame&, Args...)> {
    static constexpr std::size_t value = sizeof...(Args);
};

// Runs a body at the function boundary: a failure leaves it as a null result with the function's
// traceback entry at the failing statement's line.
template <class Run>
PyObject* run_body(const FunctionDef& def, Run&& run) noexcept {
    RecursionGuard guard;
    if (!guard.enter()) return nullptr;
    Frame frame{&def, def.first_line};
    PyObject* result = nullptr;
    try {
        result = run(frame).release();
    } catch (const PythonError&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    guard.leave();
    if (result == nullptr) add_traceback(frame);
    return result;
}

template <auto Body>
PyObject* with_arguments(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    constexpr std::size_t count = BodyArity<decltype(Body)>::value;
    static_assert(count > 0, "a body without parameters is entered through no_arguments<Body>");
    const FunctionDef& def = *as_function(callable)->def;
    PyObject* slots[count];
    Owned coerced[count];
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // The common shape first: every argument positional, each already of its declared type.
    bool bound = kwnames == nullptr && nargs == static_cast<Py_ssize_t>(count);
    for (std::size_t i = 0; bound && i < count; ++i) {
        slots[i] = args[i];
        bound = def.exact_types[i] == nullptr || Py_IS_TYPE(args[i], def.exact_types[i]);
    }
    if (!bound && !bind(def, args, nargs, kwnames, slots, coerced)) return nullptr;
    return run_body(def, [&slots](Frame& frame) {
        return [&]<std::size_t... I>(std::index_sequence<I...>) {
            return Body(frame, slots[I]...);
        }(std::make_index_sequence<count>{});
    });
}

template <auto Body>
PyObject* no_arguments(PyObject* callable, PyObject* const*, size_t nargsf, PyObject* kwnames) noexcept {
    const FunctionDef& def = *as_function(callable)->def;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs != 0 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0)) {
        return refuse_arguments(def, nargs, kwnames);
    }
    return run_body(def, [](Frame& frame) { return Body(frame); });
}

}  // namespace pel
