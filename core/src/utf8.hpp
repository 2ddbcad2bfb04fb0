// UTF-8 helpers. Texts reach the core already validated (CPython's UTF-8 of a str, or a
// string that the JSON parser checked), but decoding stays defined for any bytes: a
// malformed sequence reads as one U+FFFD per byte.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pellandor_core {

struct CodePoint {
    char32_t value;
    std::size_t length; // bytes taken from the input, at least 1
};

CodePoint decode_utf8(std::string_view text, std::size_t pos) noexcept;

// Characters are counted as code points, the unit of Python's len(str).
std::size_t count_code_points(std::string_view text) noexcept;

// Byte length of the longest prefix of `text` holding at most `max_chars` code points.
std::size_t prefix_bytes(std::string_view text, std::size_t max_chars) noexcept;

void append_utf8(std::string& out, char32_t cp);

} // namespace pellandor_core
