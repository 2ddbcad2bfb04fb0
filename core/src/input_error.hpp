// Thrown by the computing code (which never sees a Python object) when the caller's
// input is unusable; it becomes a ValueError at the boundary.
#pragma once

#include <stdexcept>

namespace pellandor_core {

class InputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace pellandor_core
