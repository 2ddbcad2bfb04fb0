#include "char_class.hpp"

namespace pellandor_core {

namespace {

// Non-ASCII code points that separate words: Latin-1 punctuation and symbols, general
// punctuation and spaces, arrows through dingbats and box drawing, CJK punctuation,
// specials, and the emoji planes. Everything else outside ASCII counts as a word character:
// that keeps identifiers and prose in any script whole, without a full Unicode table.
bool is_non_ascii_separator(char32_t cp) noexcept {
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

bool is_latin1_upper(char32_t cp) noexcept {
    return cp >= 0xC0 && cp <= 0xDE && cp != 0xD7;
}
bool is_greek_upper(char32_t cp) noexcept {
    return cp >= 0x391 && cp <= 0x3A9 && cp != 0x3A2;
}
bool is_cyrillic_upper(char32_t cp) noexcept {
    return cp >= 0x400 && cp <= 0x42F;
}

} // namespace

CharClass classify_non_ascii(char32_t cp) noexcept {
    if (is_non_ascii_separator(cp))
        return CharClass::Separator;
    if (is_latin1_upper(cp) || is_greek_upper(cp) || is_cyrillic_upper(cp))
        return CharClass::Upper;
    if ((cp >= 0xDF && cp <= 0xFF) || (cp >= 0x3AC && cp <= 0x3CE) || (cp >= 0x430 && cp <= 0x45F)) {
        return CharClass::Lower;
    }
    return CharClass::Caseless;
}

char32_t lower_non_ascii(char32_t cp) noexcept {
    if (is_latin1_upper(cp) || is_greek_upper(cp))
        return cp + 0x20;
    if (cp >= 0x410 && cp <= 0x42F)
        return cp + 0x20;
    if (cp >= 0x400 && cp <= 0x40F)
        return cp + 0x50;
    return cp;
}

} // namespace pellandor_core
