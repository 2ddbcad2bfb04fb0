#include "utf8.hpp"

namespace pellandor_core {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

constexpr bool is_continuation(unsigned char byte) noexcept {
    return (byte & 0xC0) == 0x80;
}

} // namespace

CodePoint decode_utf8(std::string_view text, std::size_t pos) noexcept {
    const auto lead = static_cast<unsigned char>(text[pos]);
    if (lead < 0x80) {
        return {lead, 1};
    }
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
    if (text.size() - pos < length) {
        return {kReplacement, 1};
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[pos + i]);
        if (!is_continuation(byte)) {
            return {kReplacement, 1};
        }
        value = (value << 6) | (byte & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return {kReplacement, 1};
    }
    return {value, length};
}

std::size_t count_code_points(std::string_view text) noexcept {
    std::size_t count = 0;
    for (const char c : text) {
        count += is_continuation(static_cast<unsigned char>(c)) ? 0 : 1;
    }
    return count;
}

std::size_t prefix_bytes(std::string_view text, std::size_t max_chars) noexcept {
    std::size_t seen = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!is_continuation(static_cast<unsigned char>(text[i]))) {
            if (seen == max_chars) {
                return i;
            }
            ++seen;
        }
    }
    return text.size();
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

} // namespace pellandor_core
