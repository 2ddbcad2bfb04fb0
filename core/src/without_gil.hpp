// Runs a computation with the GIL released and turns its outcome into a Python result.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <string>
#include <utility>

#include "ascii_str.hpp"
#include "errors.hpp"

namespace pellandor_core {

// `work` returns the ASCII answer as std::string and must not touch any Python object:
// other threads run Python code meanwhile. Whatever it throws is carried across the
// re-acquisition of the GIL and raised as a Python exception there.
template <class Work>
PyObject* compute_without_gil(Work&& work) noexcept {
    std::string answer;
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS
    try {
        answer = std::forward<Work>(work)();
    } catch (...) {
        failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (failure) return set_python_error(failure);
    return ascii_str(answer);
}

}  // namespace pellandor_core
