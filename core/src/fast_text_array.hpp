// The common batch, read without the general JSON parser: an array of ASCII-only strings as
// json.dumps writes it (non-ASCII characters as \u escapes). Anything else (raw non-ASCII
// bytes, control characters, malformed escapes or structure, other element types) is left
// to the general parser, which decodes the rest and reports errors.
#pragma once

#include <string_view>
#include <vector>

#include "text_buffer.hpp"

namespace pellandor_core {

// On success the strings are decoded one after another into `buffer` (replacing its contents)
// and `texts` views them, in order; the views live as long as the buffer stays unchanged.
// Returns false when the text is not such an array: then `texts` and `buffer` hold nothing
// meaningful.
bool read_ascii_text_array(std::string_view json, TextBuffer& buffer, std::vector<std::string_view>& texts);

} // namespace pellandor_core
