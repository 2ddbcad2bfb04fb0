// Builds a str from text known to be ASCII (all the core's answers are): a straight copy,
// no UTF-8 decoding.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <string_view>

namespace pellandor_core {

inline PyObject* ascii_str(std::string_view ascii) noexcept {
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(ascii.size()), 127);
    if (str != nullptr && !ascii.empty()) {
        std::memcpy(PyUnicode_DATA(str), ascii.data(), ascii.size());
    }
    return str;
}

} // namespace pellandor_core
