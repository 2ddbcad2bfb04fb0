#include "errors.hpp"

#include <new>
#include <stdexcept>

#include "input_error.hpp"

namespace pellandor_core {

PyObject* set_python_error(std::exception_ptr failure) noexcept {
    try {
        std::rethrow_exception(failure);
    } catch (const InputError& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_RuntimeError, "pellandor_core_py internal error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "pellandor_core_py: unknown C++ exception");
    }
    return nullptr;
}

} // namespace pellandor_core
