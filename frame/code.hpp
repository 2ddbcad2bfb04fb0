// Code objects of module functions: what `__code__` shows and what introspection reads. The exec
// step makes them all at once: Registration::create_all_code() (function.hpp).
#pragma once

#include "function.hpp"
