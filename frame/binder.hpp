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

// Refuses any argument to a function that takes none.
bool refuse_arguments(const FunctionDef& def, Py_ssize_t nargs, PyObject* kwnames) noexcept;

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
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    Frame frame{&def, def.first_line};
    PyObject* result = nullptr;
    try {
        result = run(frame).release();
    } catch (const PythonError&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    Py_LeaveRecursiveCall();
    if (result == nullptr) add_traceback(frame);
    return result;
}

template <auto Body>
PyObject* with_arguments(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    constexpr std::size_t count = BodyArity<decltype(Body)>::value;
    const FunctionDef& def = *as_function(callable)->def;
    PyObject* slots[count];
    Owned coerced[count];
    if (!bind(def, args, PyVectorcall_NARGS(nargsf), kwnames, slots, coerced)) return nullptr;
    return run_body(def, [&slots](Frame& frame) {
        return [&]<std::size_t... I>(std::index_sequence<I...>) {
            return Body(frame, slots[I]...);
        }(std::make_index_sequence<count>{});
    });
}

template <auto Body>
PyObject* no_arguments(PyObject* callable, PyObject* const*, size_t nargsf, PyObject* kwnames) noexcept {
    const FunctionDef& def = *as_function(callable)->def;
    if (!refuse_arguments(def, PyVectorcall_NARGS(nargsf), kwnames)) return nullptr;
    return run_body(def, [](Frame& frame) { return Body(frame); });
}

}  // namespace pel
