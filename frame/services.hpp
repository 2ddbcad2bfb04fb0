// What module code calls: globals, imports, calls, raise, f-strings, subscription, classes and checks.
//
// Each service returns an owner (or a plain value) and throws PythonError when the interpreter
// reports a failure, so module code reads statement by statement like the Python it stands for.
#pragma once

#include "function.hpp"
#include "globals.hpp"
#include "internals.hpp"
#include "module.hpp"

#include <cstddef>
#include <initializer_list>

namespace pel {

// --- names -------------------------------------------------------------------------------------------

inline Owned getattr(Ref object, Ref name) {
    return check(PyObject_GetAttr(object, name));
}
inline void setattr(Ref object, Ref name, Ref value) {
    check(PyObject_SetAttr(object, name, value));
}

// --- imports -----------------------------------------------------------------------------------------

// `import a.b`: what the statement binds (the top-level package).
Owned import(Ref name);
// `from a.b import x, y`: the module a.b itself.
Owned import(Ref name, std::initializer_list<Ref> fromlist);
// The object `from module import name` binds.
Owned import_from(Ref module, Ref name);

// --- calls -------------------------------------------------------------------------------------------

// `callable(args...)`. A function of the frame's own type is entered directly: its entry guards
// the recursion depth and always sets an exception when it fails.
template <class... Args>
Owned call(Ref callable, const Args&... args) {
    PyObject* vector[sizeof...(Args) + 1] = {nullptr, Ref(args).get()...};
    constexpr size_t nargsf = sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET;
    if (Py_IS_TYPE(callable.get(), record.function_type)) {
        return check(as_function(callable)->vectorcall(callable, vector + 1, nargsf, nullptr));
    }
    return check(PyObject_Vectorcall(callable, vector + 1, nargsf, nullptr));
}

// `callable(positional..., name=value...)`: `values` holds the positional arguments, then one value
// per name of `keywords` (a constant tuple).
Owned call_with_keywords(Ref callable, std::initializer_list<Ref> values, Ref keywords);

// `object.name(args...)`, without making a bound method where the attribute is a plain function.
template <class... Args>
Owned call_method(Ref object, Ref name, const Args&... args) {
    PyObject* vector[sizeof...(Args) + 1] = {object, Ref(args).get()...};
    return check(PyObject_VectorcallMethod(name, vector,
                                           (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// --- statements and operators ----------------------------------------------------------------------

// `raise object`: sets the exception and gives the null owner that the body must return at once
// (`return raise(...)`; dropping the result does not build). Not a C++ throw: unwinding costs more
// than the whole of the statement it stands for.
[[nodiscard("return it: the exception is set")]] Owned raise(Ref object) noexcept;

inline Owned none() noexcept {
    return Owned::borrow(Py_None);
}
inline bool is_true(Ref value) {
    return check(PyObject_IsTrue(value)) != 0;
}
// `for item in iterable:` — the iterator, then each item until a null owner ends the loop.
inline Owned iterate(Ref iterable) {
    return check(PyObject_GetIter(iterable));
}
inline Owned next_item(Ref iterator) {
    Owned item = Owned::steal(PyIter_Next(iterator));
    if (!item && PyErr_Occurred())
        throw_python_error();
    return item;
}

// `mapping.get(key)`. An exact dict's own `get` cannot be replaced, so it is answered directly.
Owned get_or_none(Ref mapping, Ref key);

// A new dict for `size` entries, inserted by the caller (a dict display).
inline Owned new_dict(Py_ssize_t size) {
    return check(internals::new_presized_dict(size));
}

// `mapping[key] = value` on a dict.
inline void set_item(Ref dict, Ref key, Ref value) {
    check(PyDict_SetItem(dict, key, value));
}

// `left == right`, the comparison's own result object.
inline Owned equals(Ref left, Ref right) {
    return check(PyObject_RichCompare(left, right, Py_EQ));
}
inline bool contains(Ref container, Ref item) {
    return check(PySequence_Contains(container, item)) != 0;
}

// A replacement field of an f-string, as `format(value, "")` gives it.
Owned format_field(Ref value);
// The pieces of an f-string (texts), joined into one `str`.
Owned join(std::initializer_list<Ref> pieces);

// `dict[key]` on an exact dict: a missing key raises KeyError(key).
Owned dict_subscript(Ref dict, Ref key);
// `container[key]`: the dict service for an exact dict, the object's own protocol otherwise.
inline Owned subscript(Ref container, Ref key) {
    if (PyDict_CheckExact(container.get()))
        return dict_subscript(container, key);
    return check(PyObject_GetItem(container, key));
}

// --- classes -----------------------------------------------------------------------------------------

// The namespace a class statement starts from: __module__, __qualname__ and the docstring.
Owned class_namespace(Ref qualname, Ref doc);
// `type(name, bases, namespace)`.
Owned make_class(Ref name, Ref bases, Ref namespace_);

// --- checks ------------------------------------------------------------------------------------------

// A value declared with a built-in type: exactly that type, or None; else TypeError.
Owned expect_exact(Owned value, PyTypeObject* type, const char* type_name);

// Whether the exception in flight is caught by `except clause:`.
bool exception_matches(Ref clause) noexcept;

// The body of an `except` clause: while it lives, the caught exception is the handled one (with the
// catching function's traceback entry); the previously handled exception comes back afterwards.
class ExceptionHandler {
public:
    explicit ExceptionHandler(const Frame& frame) noexcept;
    ~ExceptionHandler();
    ExceptionHandler(const ExceptionHandler&) = delete;
    ExceptionHandler& operator=(const ExceptionHandler&) = delete;

private:
    PyObject* caught_;
    PyObject* previous_;
};

} // namespace pel
