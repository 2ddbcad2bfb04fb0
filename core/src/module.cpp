// Module definition of pellandor_core_py. The module keeps no state of its own, so it can
// be loaded into any number of interpreters and needs no GIL for its data.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

#include "functions.hpp"
#include "requests.hpp"

namespace pellandor_core {
namespace {

int core_exec(PyObject* module) noexcept {
    const std::string version(kCoreVersion);
    return PyModule_AddStringConstant(module, "__version__", version.c_str());
}

PyMethodDef core_methods[] = {
    {"handshake", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(core_handshake)), METH_NOARGS,
     "handshake()\n--\n\n"
     "Describe this core build as JSON text: {\"capabilities\": [...], \"version\": ...}."},
    {"sparse_embed_single",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(core_sparse_embed_single)), METH_FASTCALL,
     "sparse_embed_single(text, profile_json, /)\n--\n\n"
     "Embed one text; return the embedding object as JSON text:\n"
     "{\"indices\": [...], \"values\": [...], \"truncated\": bool,\n"
     " \"original_chars\": int, \"used_chars\": int}.\n"
     "Raises ValueError for a malformed profile. Releases the GIL while computing."},
    {"sparse_embed_batch",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(core_sparse_embed_batch)), METH_FASTCALL,
     "sparse_embed_batch(texts_json, profile_json, /)\n--\n\n"
     "Embed a JSON array of texts; return {\"embeddings\": [...]} as JSON text, one\n"
     "embedding object per text, in order. Raises ValueError for a malformed profile\n"
     "or array. Releases the GIL while computing."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot core_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(core_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef core_module = {
    PyModuleDef_HEAD_INIT,
    "pellandor_core_py",
    "Native core of pellandor: deterministic code-aware sparse embeddings.",
    0,
    core_methods,
    core_slots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace
} // namespace pellandor_core

PyMODINIT_FUNC PyInit_pellandor_core_py(void) noexcept {
    return PyModuleDef_Init(&pellandor_core::core_module);
}
