// Code objects of module functions: what `__code__` shows and what introspection reads.
#pragma once

#include "function.hpp"

namespace pel {

// Makes `def.code` and `def.defaults` (replacing any left by an earlier, failed exec).
void create_code(FunctionDef& def);

} // namespace pel
