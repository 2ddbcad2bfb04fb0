// The one error path of the core: C++ code throws, the Python boundary translates.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>

namespace pellandor_core {

// Sets the Python exception that stands for `failure` and returns nullptr, so a
// boundary function can `return set_python_error(...)`. Needs the GIL.
//   InputError      -> ValueError (bad JSON, bad profile, bad batch)
//   std::bad_alloc  -> MemoryError
//   anything else   -> RuntimeError / SystemError naming the core
PyObject* set_python_error(std::exception_ptr failure) noexcept;

} // namespace pellandor_core
