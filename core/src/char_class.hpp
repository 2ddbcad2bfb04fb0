// What a character is to the tokeniser. Case is known for ASCII, Latin-1, basic Greek and
// basic Cyrillic; other letters of any script are word characters without case, so they
// never start a camelCase split and are kept as they are. Everything here is inline: the
// tokeniser asks once per character.
#pragma once

#include <cstdint>

namespace pellandor_core {

enum class CharClass : std::uint8_t { Separator, Lower, Upper, Digit, Caseless };

namespace char_class_detail {

// Non-ASCII code points that separate words: Latin-1 punctuation and symbols, general
// punctuation and spaces, arrows through dingbats and box drawing, CJK punctuation,
// specials, and the emoji planes. Everything else outside ASCII counts as a word character:
// that keeps identifiers and prose in any script whole, without a full Unicode table.
constexpr bool is_non_ascii_separator(char32_t cp) noexcept {
    if (cp <= 0xBF)
        return cp != 0xAA && cp != 0xB5 && cp != 0xBA;
    if (cp == 0xD7 || cp == 0xF7)
        return true;
    if (cp >= 0x2000 && cp <= 0x206F)
        return true;
    if (cp >= 0x20A0 && cp <= 0x20CF)
        return true;
    if (cp >= 0x2190 && cp <= 0x2BFF)
        return true;
    if (cp >= 0x3000 && cp <= 0x303F)
        return true;
    if (cp == 0xFEFF || (cp >= 0xFFF0 && cp <= 0xFFFF))
        return true;
    if (cp >= 0x1F000 && cp <= 0x1FAFF)
        return true;
    return false;
}

constexpr bool is_latin1_upper(char32_t cp) noexcept {
    return cp >= 0xC0 && cp <= 0xDE && cp != 0xD7;
}
constexpr bool is_greek_upper(char32_t cp) noexcept {
    return cp >= 0x391 && cp <= 0x3A9 && cp != 0x3A2;
}
constexpr bool is_cyrillic_upper(char32_t cp) noexcept {
    return cp >= 0x400 && cp <= 0x42F;
}

} // namespace char_class_detail

// The class of a code point of U+0080 or above.
constexpr CharClass classify_non_ascii(char32_t cp) noexcept {
    using namespace char_class_detail;
    if (is_non_ascii_separator(cp))
        return CharClass::Separator;
    if (is_latin1_upper(cp) || is_greek_upper(cp) || is_cyrillic_upper(cp))
        return CharClass::Upper;
    if ((cp >= 0xDF && cp <= 0xFF) || (cp >= 0x3AC && cp <= 0x3CE) || (cp >= 0x430 && cp <= 0x45F)) {
        return CharClass::Lower;
    }
    return CharClass::Caseless;
}

// The lower case of a code point of U+0080 or above (itself when it has none here). The
// result is always as long in UTF-8 as the input: every mapping stays within two bytes.
constexpr char32_t lower_non_ascii(char32_t cp) noexcept {
    using namespace char_class_detail;
    if (is_latin1_upper(cp) || is_greek_upper(cp))
        return cp + 0x20;
    if (cp >= 0x410 && cp <= 0x42F)
        return cp + 0x20;
    if (cp >= 0x400 && cp <= 0x40F)
        return cp + 0x50;
    return cp;
}

constexpr CharClass classify(char32_t cp) noexcept {
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

constexpr char32_t to_lower(char32_t cp) noexcept {
    if (cp < 0x80) {
        return (cp >= 'A' && cp <= 'Z') ? cp + 0x20 : cp;
    }
    return lower_non_ascii(cp);
}

} // namespace pellandor_core
