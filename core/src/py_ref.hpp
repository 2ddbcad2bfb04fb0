// Strong reference owner: every reference this extension takes is released by a destructor.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace pellandor_core {

class PyRef {
public:
    PyRef() noexcept = default;
    ~PyRef() { Py_XDECREF(obj_); }

    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(obj_);
            obj_ = std::exchange(other.obj_, nullptr);
        }
        return *this;
    }

    // Takes over a new reference (may be null, as after a failed C-API call).
    static PyRef steal(PyObject* obj) noexcept { return PyRef(obj); }
    // Adds a reference of our own to a borrowed object.
    static PyRef borrow(PyObject* obj) noexcept { return PyRef(Py_XNewRef(obj)); }

    PyObject* get() const noexcept { return obj_; }
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    explicit PyRef(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

} // namespace pellandor_core
