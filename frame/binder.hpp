// Argument binding and the two calling kinds: what runs between a call and a function's body.
//
// A body is a plain C++ function `Owned body(Frame&, PyObject* arg...)` that reads like the Python it
// stands for; `with_arguments<body>` or `no_arguments<body>` is its vectorcall entry. The entry binds
// the arguments into a fixed local array, guards the recursion depth, runs the body and, when the
// body fails, adds the traceback entry of the statement it was at.
#pragma once

#include "function.hpp"
#include "internals.hpp"

#include <cstddef>
#include <iterator>
#include <utility>

namespace pel {

// Binds a call's arguments to the parameters of `def`, or returns false with the binding error set
// (and its traceback entry added where the rules want one). `slots` borrows from `args`, except the
// values that `int` coercion made, which `coerced` owns.
bool bind(const FunctionDef& def, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** slots, Owned* coerced) noexcept;

// Refuses the arguments given to a function that takes none; always null.
PyObject* refuse_arguments(const FunctionDef& def, Py_ssize_t nargs, PyObject* kwnames) noexcept;

// The recursion guard of C function calls, with its common case inline: one thread-state read and
// a counter, the same counter Py_EnterRecursiveCall keeps.
class RecursionGuard {
public:
    bool enter() noexcept {
        state_ = PyThreadState_GetUnchecked();
        if (int& remaining = internals::c_recursion_remaining(state_); remaining > 0) {
            --remaining;
            return true;
        }
        return Py_EnterRecursiveCall(" while calling a Python object") == 0;
    }
    void leave() noexcept { ++internals::c_recursion_remaining(state_); }

private:
    PyThreadState* state_ = nullptr;
};

template <class Body>
struct BodyArity;
template <class... Args>
struct BodyArity<Owned (*)(Frame&, Args...)> {
    static constexpr std::size_t value = sizeof...(Args);
};

// Runs a body at the function boundary with the bound values: a failure leaves it as a null result
// with the function's traceback entry at the failing statement's line. The body is called here
// rather than through a lambda of each entry: every frame counts where calls recurse deeply in an
// unoptimised build.
template <auto Body, std::size_t... I>
PyObject* run_body(const FunctionDef& def, [[maybe_unused]] PyObject* const* values,
                   std::index_sequence<I...>) noexcept {
    RecursionGuard guard;
    if (!guard.enter())
        return nullptr;
    Frame frame{&def, def.first_line};
    PyObject* result = at_boundary<PyObject*>(nullptr, [&] { return Body(frame, values[I]...).release(); });
    guard.leave();
    if (result == nullptr)
        add_traceback(frame);
    return result;
}

// Whether an argument already has the exact type its parameter declares (any type for `any`).
template <Declared type>
bool has_exact_type(PyObject* value) noexcept {
    if constexpr (type == Declared::str) {
        return PyUnicode_CheckExact(value);
    } else if constexpr (type == Declared::list) {
        return PyList_CheckExact(value);
    } else if constexpr (type == Declared::int_) {
        return PyLong_CheckExact(value);
    } else {
        return true;
    }
}

template <auto Body, const auto& Parameters>
PyObject* with_arguments(PyObject* callable, PyObject* const* args, size_t nargsf,
                         PyObject* kwnames) noexcept {
    constexpr std::size_t count = std::size(Parameters);
    const FunctionDef& def = *as_function(callable)->def;
    PyObject* slots[count];
    Owned coerced[count];
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // The common shape first: every argument positional, each already of its declared type.
    bool bound = kwnames == nullptr && nargs == static_cast<Py_ssize_t>(count) &&
                 [args]<std::size_t... I>(std::index_sequence<I...>) {
                     return (has_exact_type<Parameters[I].type>(args[I]) && ...);
                 }(std::make_index_sequence<count>{});
    PyObject* const* values = args;
    if (!bound) {
        if (!bind(def, args, nargs, kwnames, slots, coerced))
            return nullptr;
        values = slots;
    }
    return run_body<Body>(def, values, std::make_index_sequence<count>{});
}

template <auto Body>
PyObject* no_arguments(PyObject* callable, PyObject* const*, size_t nargsf, PyObject* kwnames) noexcept {
    const FunctionDef& def = *as_function(callable)->def;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs != 0 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0)) {
        return refuse_arguments(def, nargs, kwnames);
    }
    return run_body<Body>(def, nullptr, std::index_sequence<>{});
}

namespace detail {

template <const auto& Parameters>
constexpr bool optional_parameters_trail() {
    bool optional_seen = false;
    for (const Parameter& parameter : Parameters) {
        if (optional_seen && !parameter.optional)
            return false;
        optional_seen = optional_seen || parameter.optional;
    }
    return true;
}

template <const auto& Parameters>
constexpr int count_required() {
    int required = 0;
    for (const Parameter& parameter : Parameters)
        required += parameter.optional ? 0 : 1;
    return required;
}

template <const auto& Parameters>
constexpr bool any_parameter_is(bool (*test)(Declared)) {
    for (const Parameter& parameter : Parameters) {
        if (test(parameter.type))
            return true;
    }
    return false;
}

template <auto Body>
constexpr Binding make_binding() {
    static_assert(BodyArity<decltype(Body)>::value == 0,
                  "a body that takes arguments needs its parameter table: binding<Body, parameters>");
    return Binding{no_arguments<Body>, {}, 0, false, false};
}

template <auto Body, const auto& Parameters>
constexpr Binding make_binding() {
    static_assert(BodyArity<decltype(Body)>::value == std::size(Parameters),
                  "the body's arity differs from its parameter table");
    static_assert(optional_parameters_trail<Parameters>(),
                  "a parameter without a default follows one with a default");
    return Binding{
        with_arguments<Body, Parameters>,
        Parameters,
        count_required<Parameters>(),
        any_parameter_is<Parameters>([](Declared type) { return type == Declared::int_; }),
        any_parameter_is<Parameters>([](Declared type) { return type != Declared::any; }),
    };
}

} // namespace detail

// How a function with this body and (for one that takes arguments) this parameter table binds its
// arguments; a body whose arity differs from its table does not build.
template <auto Body, const auto&... Parameters>
    requires(sizeof...(Parameters) <= 1)
inline constexpr Binding binding = detail::make_binding<Body, Parameters...>();

} // namespace pel
