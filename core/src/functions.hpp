// The module-level functions as CPython calls them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace pellandor_core {

PyObject* core_handshake(PyObject* module, PyObject* unused) noexcept;
PyObject* core_sparse_embed_single(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* core_sparse_embed_batch(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

} // namespace pellandor_core
