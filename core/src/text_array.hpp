// The texts of a batch request: a JSON array of strings.
#pragma once

#include <string_view>
#include <vector>

#include "json_document.hpp"

namespace pellandor_core {

// Views of the array's strings, in order; they point into `doc` and live as long as it.
// Throws InputError unless the root is an array whose elements are all strings.
std::vector<std::string_view> text_array(const JsonDocument& doc);

} // namespace pellandor_core
