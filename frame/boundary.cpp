// The one failure path: what a C++ exception becomes when it reaches an entry point.
#include "ref.hpp"

#include <cassert>
#include <exception>
#include <new>

namespace pel {

[[noreturn]] void throw_python_error() {
    assert(PyErr_Occurred() != nullptr && "PythonError thrown without a Python exception set");
    throw PythonError{};
}

void assert_error_set() noexcept {
    assert(PyErr_Occurred() != nullptr && "PythonError reached a boundary without a Python exception set");
    if (PyErr_Occurred() == nullptr) {
        PyErr_SetString(PyExc_SystemError, "module code failed without an exception");
    }
}

void set_error_from_exception() noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        assert_error_set();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_Format(PyExc_SystemError, "C++ exception escaped module code: %s", error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "C++ exception escaped module code");
    }
}

} // namespace pel
