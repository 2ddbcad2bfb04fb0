// What a character is to the tokeniser. Case is known for ASCII, Latin-1, basic Greek and
// basic Cyrillic; other letters of any script are word characters without case, so they
// never start a camelCase split and are kept as they are.
#pragma once

#include <cstdint>

namespace pellandor_core {

enum class CharClass : std::uint8_t { Separator, Lower, Upper, Digit, Caseless };

CharClass classify_non_ascii(char32_t cp) noexcept;
char32_t lower_non_ascii(char32_t cp) noexcept;

inline CharClass classify(char32_t cp) noexcept {
    if (cp < 0x80) {
        if (cp >= 'a' && cp <= 'z')
            return CharClass::Lower;
        if (cp >= 'A' && cp <= 'Z')
            return CharClass::Upper;
        if (cp >= '0' && cp <= '9')
            return CharClass::Digit;
        return CharClass::Separator;
    }
    return classify_non_ascii(cp);
}

inline char32_t to_lower(char32_t cp) noexcept {
    if (cp < 0x80) {
        return (cp >= 'A' && cp <= 'Z') ? cp + 0x20 : cp;
    }
    return lower_non_ascii(cp);
}

} // namespace pellandor_core
