// The type registry: one private module in sys.modules through which every deliverable shares the
// frame's types, so functions of all three modules are of one type.
#pragma once

#include "ref.hpp"

namespace pel {

// The registry's name carries the frame's version: a frame with another layout registers apart.
inline constexpr const char registry_name[] = "_pellandor_frame_v1";

// The shared type made from `spec`, created and registered by whichever deliverable comes first.
PyTypeObject* fetch_shared_type(PyType_Spec& spec, PyTypeObject* metaclass, PyObject* bases);

// Fills the module record's metatype and function type.
void fetch_shared_types();

} // namespace pel
