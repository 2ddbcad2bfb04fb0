// Runs a computation with the GIL released and turns its outcome into a Python result.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <utility>

#include "ascii_str.hpp"
#include "errors.hpp"
#include "scratch.hpp"

namespace pellandor_core {

// `work(Scratch&)` writes the ASCII answer into the scratch's `answer` and must not touch
// any Python object: other threads run Python code meanwhile. Whatever it throws is
// carried across the re-acquisition of the GIL and raised as a Python exception there.
template <class Work>
PyObject* compute_without_gil(Work&& work) noexcept {
    Scratch& scratch = thread_scratch();
    std::exception_ptr failure;
    PyThreadState* const saved = PyEval_SaveThread(); // what Py_BEGIN_ALLOW_THREADS does
    try {
        std::forward<Work>(work)(scratch);
    } catch (...) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(saved);
    PyObject* result = failure ? set_python_error(failure) : ascii_str(scratch.answer.view());
    trim_scratch(scratch);
    return result;
}

} // namespace pellandor_core
