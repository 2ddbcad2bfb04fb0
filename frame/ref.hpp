// Owned references and the one error signal of the frame.
//
// Every strong reference that module or frame code holds lives in an `Owned`; borrowed references
// are plain `PyObject*`. A failing interpreter call throws `PythonError`, which only means "a Python
// exception is set"; the function boundary turns it back into a null result.
//
// Every entry point the interpreter calls is `noexcept` and lets nothing escape: `at_boundary` runs
// its body and turns whatever it throws into the Python exception of a failed call.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <concepts>
#include <utility>

namespace pel {

// Thrown when the interpreter has an exception set; carries nothing itself.
struct PythonError {};

// Throws PythonError; asserts (where assertions are on) that an exception really is set.
[[noreturn]] void throw_python_error();

// Asserts (where assertions are on) that an exception is set; sets SystemError where none is.
void assert_error_set() noexcept;

// Called in a catch-all handler: leaves the exception a failed call reports set. PythonError already
// has it; memory exhaustion becomes MemoryError, any other C++ exception SystemError.
void set_error_from_exception() noexcept;

// Runs `body` at an entry point the interpreter calls: its result, or `failure` with an exception set.
template <class Result, class Body>
Result at_boundary(Result failure, Body&& body) noexcept {
    try {
        return body();
    } catch (const PythonError&) {
        // The common failure, caught here so that it is not thrown a second time.
        assert_error_set();
        return failure;
    } catch (...) {
        set_error_from_exception();
        return failure;
    }
}

class Owned {
public:
    Owned() noexcept = default;
    Owned(std::nullptr_t) noexcept {}
    Owned(const Owned& other) noexcept : ptr_(Py_XNewRef(other.ptr_)) {}
    Owned(Owned&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    ~Owned() { Py_XDECREF(ptr_); }

    Owned& operator=(Owned other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }

    // Takes over a new reference (which may be null).
    static Owned steal(PyObject* ptr) noexcept { return Owned(ptr); }
    // Adds a reference to a borrowed one.
    static Owned borrow(PyObject* ptr) noexcept { return Owned(Py_XNewRef(ptr)); }

    PyObject* get() const noexcept { return ptr_; }
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

    // Lets module code pass an owner where the C API wants a borrowed pointer; a temporary owner
    // may not be turned into a pointer that outlives it.
    operator PyObject*() const& noexcept { return ptr_; }
    operator PyObject*() const&& = delete;

private:
    explicit Owned(PyObject* ptr) noexcept : ptr_(ptr) {}
    PyObject* ptr_ = nullptr;
};

// A new reference from the C API, or PythonError when it returned null.
inline Owned check(PyObject* result) {
    if (result == nullptr)
        throw_python_error();
    return Owned::steal(result);
}

// A status from the C API: negative means an exception is set.
inline int check(int status) {
    if (status < 0)
        throw_python_error();
    return status;
}

// A borrowed object as the services take it: a pointer, a type, or anything holding one (an owner,
// a constant). A temporary owner passed this way lives to the end of the statement, so services nest
// like the expressions they stand for.
class Ref {
public:
    Ref(PyObject* object) noexcept : ptr_(object) {}
    Ref(std::nullptr_t) noexcept : ptr_(nullptr) {}
    Ref(PyTypeObject* type) noexcept : ptr_(reinterpret_cast<PyObject*>(type)) {}
    template <class Holder>
        requires requires(const Holder& holder) {
            { holder.get() } -> std::convertible_to<PyObject*>;
        }
    Ref(const Holder& holder) noexcept : ptr_(holder.get()) {}

    PyObject* get() const noexcept { return ptr_; }
    operator PyObject*() const noexcept { return ptr_; }

private:
    PyObject* ptr_;
};

} // namespace pel
