// UTF-8 helpers. Texts reach the core already validated (CPython's UTF-8 of a str, or a
// string that the JSON parser checked), but decoding stays defined for any bytes: a
// malformed sequence reads as one U+FFFD per byte.
#pragma once

#include <cstddef>
#include <string_view>

namespace pellandor_core {

struct CodePoint {
    char32_t value;
    std::size_t length; // bytes taken from the input, at least 1
};

// A byte that continues a multi-byte sequence: 0x80 .. 0xBF.
constexpr bool is_continuation(unsigned char byte) noexcept {
    return (byte & 0xC0) == 0x80;
}

// Decodes the sequence that starts at `p` (a byte of 0x80 or above; ASCII never gets here
// from the tokeniser, but is decoded too), reading no byte at or after `end`. Inline: the
// tokeniser calls it for every non-ASCII character.
inline CodePoint decode_utf8(const unsigned char* p, const unsigned char* end) noexcept {
    constexpr char32_t kReplacement = 0xFFFD;
    const unsigned char lead = *p;
    if (lead < 0x80)
        return {lead, 1};
    std::size_t length = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        value = lead & 0x1F;
        minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        value = lead & 0x0F;
        minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        value = lead & 0x07;
        minimum = 0x10000;
    } else {
        return {kReplacement, 1};
    }
    if (static_cast<std::size_t>(end - p) < length)
        return {kReplacement, 1};
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char byte = p[i];
        if (!is_continuation(byte))
            return {kReplacement, 1};
        value = (value << 6) | (byte & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return {kReplacement, 1};
    return {value, length};
}

// Characters are counted as code points, the unit of Python's len(str): the bytes that are
// not UTF-8 continuation bytes.
std::size_t count_code_points(std::string_view text) noexcept;

// Byte length of the longest prefix of `text` holding at most `max_chars` code points.
std::size_t prefix_bytes(std::string_view text, std::size_t max_chars) noexcept;

} // namespace pellandor_core
