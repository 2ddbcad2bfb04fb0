#include "fast_text_array.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

#include "simd.hpp"

namespace pellandor_core {

namespace {

using Byte = unsigned char;

// What needs a look in a string: its end, an escape, a control character, a non-ASCII byte.
constexpr bool is_special(Byte b) noexcept {
    return b == '"' || b == '\\' || b < 0x20 || b >= 0x80;
}

constexpr bool is_space(Byte b) noexcept {
    return b == ' ' || b == '\t' || b == '\n' || b == '\r';
}

// What a two-character escape such as "\n" stands for; 0 for "\u" and for what is not an
// escape.
constexpr Byte short_escape(Byte c) noexcept {
    switch (c) {
    case '"':
    case '\\':
    case '/':
        return c;
    case 'b':
        return '\b';
    case 'f':
        return '\f';
    case 'n':
        return '\n';
    case 'r':
        return '\r';
    case 't':
        return '\t';
    default:
        return 0;
    }
}

int hex_value(Byte b) noexcept {
    if (b >= '0' && b <= '9')
        return b - '0';
    if (b >= 'a' && b <= 'f')
        return b - 'a' + 10;
    if (b >= 'A' && b <= 'F')
        return b - 'A' + 10;
    return -1;
}

// Four hex digits at `p` (the caller checked they are there); -1 if one is not a hex digit.
long hex4(const Byte* p) noexcept {
    long value = 0;
    for (int i = 0; i < 4; ++i) {
        const int digit = hex_value(p[i]);
        if (digit < 0)
            return -1;
        value = value << 4 | digit;
    }
    return value;
}

Byte* put_utf8(Byte* d, std::uint32_t cp) noexcept {
    if (cp < 0x80) {
        *d++ = static_cast<Byte>(cp);
    } else if (cp < 0x800) {
        *d++ = static_cast<Byte>(0xC0 | (cp >> 6));
        *d++ = static_cast<Byte>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *d++ = static_cast<Byte>(0xE0 | (cp >> 12));
        *d++ = static_cast<Byte>(0x80 | ((cp >> 6) & 0x3F));
        *d++ = static_cast<Byte>(0x80 | (cp & 0x3F));
    } else {
        *d++ = static_cast<Byte>(0xF0 | (cp >> 18));
        *d++ = static_cast<Byte>(0x80 | ((cp >> 12) & 0x3F));
        *d++ = static_cast<Byte>(0x80 | ((cp >> 6) & 0x3F));
        *d++ = static_cast<Byte>(0x80 | (cp & 0x3F));
    }
    return d;
}

// Decodes the string whose opening quote is just before `s` into `d`. Returns the position
// after the closing quote and advances `d`, or nullptr. The output never outruns the input
// (an escape is longer than what it stands for), so `d` may write 16 bytes wherever `s`
// may read them.
const Byte* read_string(const Byte* s, const Byte* const end, Byte*& d) noexcept {
    for (;;) {
#ifdef PELLANDOR_CORE_SSE2
        while (end - s >= 16) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d), bytes);
            const __m128i quote = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('"'));
            const __m128i backslash = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\'));
            // Below 0x20 (unsigned): the larger of b and 0x1F is 0x1F.
            const __m128i below_space = _mm_set1_epi8(0x1F);
            const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(bytes, below_space), below_space);
            // The byte itself carries the sign bit of a non-ASCII byte.
            const __m128i special =
                _mm_or_si128(_mm_or_si128(quote, backslash), _mm_or_si128(control, bytes));
            const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(special));
            if (mask == 0) {
                s += 16;
                d += 16;
                continue;
            }
            const int plain = std::countr_zero(mask);
            s += plain;
            d += plain;
            break;
        }
#endif
        while (s != end && !is_special(*s))
            *d++ = *s++;
        if (s == end)
            return nullptr; // unterminated
        const Byte c = *s;
        if (c == '"')
            return s + 1;
        if (c != '\\')
            return nullptr; // a control character or a non-ASCII byte
        if (end - s < 2)
            return nullptr;
        if (const Byte plain = short_escape(s[1]); plain != 0) {
            *d++ = plain;
            s += 2;
            continue;
        }
        if (s[1] != 'u')
            return nullptr;
        if (end - s < 6)
            return nullptr;
        const long high = hex4(s + 2);
        if (high < 0)
            return nullptr;
        s += 6;
        if (high < 0xD800 || high > 0xDFFF) {
            d = put_utf8(d, static_cast<std::uint32_t>(high));
            continue;
        }
        // A surrogate pair, or else an error for the general parser to report.
        if (high > 0xDBFF || end - s < 6 || s[0] != '\\' || s[1] != 'u')
            return nullptr;
        const long low = hex4(s + 2);
        if (low < 0xDC00 || low > 0xDFFF)
            return nullptr;
        s += 6;
        d = put_utf8(d, static_cast<std::uint32_t>(((high - 0xD800) << 10 | (low - 0xDC00)) + 0x10000));
    }
}

const Byte* skip_space(const Byte* s, const Byte* end) noexcept {
    while (s != end && is_space(*s))
        ++s;
    return s;
}

} // namespace

bool read_ascii_text_array(std::string_view json, TextBuffer& buffer, std::vector<std::string_view>& texts) {
    texts.clear();
    buffer.clear();
    const auto* s = reinterpret_cast<const Byte*>(json.data());
    const Byte* const end = s + json.size();
    // The decoded strings are never longer than the text that holds them.
    Byte* d = reinterpret_cast<Byte*>(buffer.room(json.size()));

    s = skip_space(s, end);
    if (s == end || *s != '[')
        return false;
    s = skip_space(s + 1, end);
    if (s != end && *s == ']') {
        s = skip_space(s + 1, end);
        return s == end;
    }
    for (;;) {
        if (s == end || *s != '"')
            return false;
        Byte* const start = d;
        s = read_string(s + 1, end, d);
        if (s == nullptr)
            return false;
        texts.emplace_back(reinterpret_cast<const char*>(start), static_cast<std::size_t>(d - start));
        s = skip_space(s, end);
        if (s == end)
            return false;
        if (*s == ']')
            break;
        if (*s != ',')
            return false;
        s = skip_space(s + 1, end);
    }
    s = skip_space(s + 1, end);
    buffer.commit(reinterpret_cast<char*>(d));
    return s == end;
}

} // namespace pellandor_core
