// Positional str arguments of the core's functions, held as UTF-8 views that stay valid
// while the GIL is released.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <string_view>

#include "py_ref.hpp"

namespace pellandor_core {

template <std::size_t N>
class StrArguments {
public:
    // Checks the count and types, takes a reference to each str (the UTF-8 buffer lives in
    // the str object) and fetches its UTF-8. Returns false with a Python error set:
    // TypeError for a wrong count or a non-str, UnicodeEncodeError for lone surrogates.
    bool parse(const char* function, const std::array<const char*, N>& names, PyObject* const* args,
               Py_ssize_t nargs) noexcept {
        if (nargs != static_cast<Py_ssize_t>(N)) {
            PyErr_Format(PyExc_TypeError, "%s() takes exactly %zu arguments (%zd given)", function, N, nargs);
            return false;
        }
        for (std::size_t i = 0; i < N; ++i) {
            PyObject* arg = args[i];
            if (!PyUnicode_Check(arg)) {
                PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str, not %.200s", function,
                             names[i], Py_TYPE(arg)->tp_name);
                return false;
            }
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(arg, &size);
            if (utf8 == nullptr)
                return false;
            refs_[i] = PyRef::borrow(arg);
            views_[i] = std::string_view(utf8, static_cast<std::size_t>(size));
        }
        return true;
    }

    std::string_view operator[](std::size_t i) const noexcept { return views_[i]; }

private:
    std::array<PyRef, N> refs_;
    std::array<std::string_view, N> views_;
};

} // namespace pellandor_core
