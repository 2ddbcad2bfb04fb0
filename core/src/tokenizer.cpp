#include "tokenizer.hpp"

#include <array>
#include <bit>

#include "char_class.hpp"
#include "simd.hpp"
#include "token_hash.hpp"
#include "utf8.hpp"

// The per-token steps are used at many places of the state machine; the compiler would
// otherwise keep them out of line.
#if defined(__GNUC__)
#define PELLANDOR_CORE_INLINE __attribute__((always_inline)) inline
#elif defined(_MSC_VER)
#define PELLANDOR_CORE_INLINE __forceinline
#else
#define PELLANDOR_CORE_INLINE inline
#endif

namespace pellandor_core {

namespace {

using Byte = unsigned char;

// What an ASCII byte is in code mode; every byte of 0x80 and above is kNonAscii (decoded and
// classified by char_class.hpp).
enum : std::uint8_t { kSep, kLower, kUpper, kDigit, kNonAscii };

// The loops look the ASCII classes of char_class.hpp up instead of asking per byte.
constexpr std::uint8_t code_class(CharClass cls) noexcept {
    switch (cls) {
    case CharClass::Lower:
        return kLower;
    case CharClass::Upper:
        return kUpper;
    case CharClass::Digit:
        return kDigit;
    default: // no ASCII character is Caseless
        return kSep;
    }
}

constexpr std::array<std::uint8_t, 256> kCodeClass = [] {
    std::array<std::uint8_t, 256> table{};
    for (char32_t c = 0; c < 256; ++c)
        table[c] = c < 0x80 ? code_class(classify(c)) : std::uint8_t{kNonAscii};
    return table;
}();

// Plain mode: an ASCII word byte (letter, digit, "_") maps to its lower case, any other ASCII
// byte to kPlainSep, a byte of 0x80 and above to kPlainNonAscii.
constexpr Byte kPlainSep = 0x80;
constexpr Byte kPlainNonAscii = 0xFF;
constexpr std::array<Byte, 256> kPlain = [] {
    std::array<Byte, 256> table{};
    for (char32_t c = 0; c < 256; ++c) {
        if (c >= 0x80)
            table[c] = kPlainNonAscii;
        else if (classify(c) != CharClass::Separator || c == U'_')
            table[c] = static_cast<Byte>(to_lower(c));
        else
            table[c] = kPlainSep;
    }
    return table;
}();

// The hash of a token continued by the UTF-8 of `cp` (U+0080 or above).
constexpr std::uint32_t hash_non_ascii(std::uint32_t hash, char32_t cp) noexcept {
    if (cp < 0x800) {
        hash = token_hash_step(hash, static_cast<Byte>(0xC0 | (cp >> 6)));
    } else if (cp < 0x10000) {
        hash = token_hash_step(hash, static_cast<Byte>(0xE0 | (cp >> 12)));
        hash = token_hash_step(hash, static_cast<Byte>(0x80 | ((cp >> 6) & 0x3F)));
    } else {
        hash = token_hash_step(hash, static_cast<Byte>(0xF0 | (cp >> 18)));
        hash = token_hash_step(hash, static_cast<Byte>(0x80 | ((cp >> 12) & 0x3F)));
        hash = token_hash_step(hash, static_cast<Byte>(0x80 | ((cp >> 6) & 0x3F)));
    }
    return token_hash_step(hash, static_cast<Byte>(0x80 | (cp & 0x3F)));
}

#ifdef PELLANDOR_CORE_SSE2
// Bit i set where p[i] (of 16 bytes) is an ASCII lower-case letter.
inline unsigned lower_mask(const Byte* p) noexcept {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // b - 'a' + 0x80 is below 0x80 + 26 (signed: below -128 + 26) exactly for 'a'..'z'.
    const __m128i shifted = _mm_add_epi8(bytes, _mm_set1_epi8(static_cast<char>(0x80 - 'a')));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(shifted, _mm_set1_epi8(-128 + 26))));
}

// Bit i set where p[i] (of 16 bytes) ends a run of ASCII separators: a letter, a digit or a
// byte of 0x80 and above. In plain mode "_" ends it too.
inline unsigned word_mask(const Byte* p, bool underscore) noexcept {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i folded = _mm_or_si128(bytes, _mm_set1_epi8(0x20));
    const __m128i letter = _mm_cmplt_epi8(_mm_add_epi8(folded, _mm_set1_epi8(static_cast<char>(0x80 - 'a'))),
                                          _mm_set1_epi8(-128 + 26));
    const __m128i digit = _mm_cmplt_epi8(_mm_add_epi8(bytes, _mm_set1_epi8(static_cast<char>(0x80 - '0'))),
                                         _mm_set1_epi8(-128 + 10));
    __m128i word = _mm_or_si128(_mm_or_si128(letter, digit), bytes); // bytes: the sign bit, 0x80+
    if (underscore)
        word = _mm_or_si128(word, _mm_cmpeq_epi8(bytes, _mm_set1_epi8('_')));
    return static_cast<unsigned>(_mm_movemask_epi8(word));
}
#endif

// The token being read: its hash so far, where it started and how many of its bytes are
// UTF-8 continuation bytes (so that its length in characters is bytes - extra).
template <class Sink>
class Token {
public:
    Token(Sink& sink, std::size_t min_len) noexcept : sink_(sink), min_len_(min_len) {}

    void open(const Byte* at) noexcept {
        hash_ = kTokenHashBasis;
        start_ = at;
        extra_ = 0;
    }
    // Ends the token just before `at`; counts it unless it is too short.
    PELLANDOR_CORE_INLINE void close(const Byte* at) {
        if (static_cast<std::size_t>(at - start_) - extra_ >= min_len_)
            sink_.add(hash_);
    }
    void take(Byte lowered) noexcept { hash_ = token_hash_step(hash_, lowered); }
    // Takes the run of ASCII lower-case letters that starts at `p`; returns where it ends.
    PELLANDOR_CORE_INLINE const Byte* take_lower_run(const Byte* p, const Byte* end) noexcept {
        std::uint32_t hash = hash_;
#ifdef PELLANDOR_CORE_SSE2
        while (end - p >= 16) {
            const unsigned others = ~lower_mask(p) & 0xFFFFu;
            const int run = others == 0 ? 16 : std::countr_zero(others);
            for (int i = 0; i < run; ++i)
                hash = token_hash_step(hash, p[i]);
            p += run;
            if (others != 0) {
                hash_ = hash;
                return p;
            }
        }
#endif
        for (; p != end && kCodeClass[*p] == kLower; ++p)
            hash = token_hash_step(hash, *p);
        hash_ = hash;
        return p;
    }
    void take(const CodePoint& cp) noexcept {
        hash_ = hash_non_ascii(hash_, lower_non_ascii(cp.value));
        extra_ += cp.length - 1;
    }

private:
    Sink& sink_;
    std::size_t min_len_;
    std::uint32_t hash_ = kTokenHashBasis;
    const Byte* start_ = nullptr;
    std::size_t extra_ = 0;
};

// The first byte at or after `p` that is not an ASCII separator (or `end`). The caller has
// just passed one separator; the next byte is usually a word's first.
PELLANDOR_CORE_INLINE const Byte* skip_separators(const Byte* p, const Byte* end, bool underscore) noexcept {
    const auto separator = [underscore](Byte b) noexcept {
        return kCodeClass[b] == kSep && !(underscore && b == '_');
    };
    if (p == end || !separator(*p))
        return p;
    ++p;
#ifdef PELLANDOR_CORE_SSE2
    while (end - p >= 16) {
        const unsigned stops = word_mask(p, underscore);
        if (stops != 0)
            return p + std::countr_zero(stops);
        p += 16;
    }
#endif
    while (p != end && separator(*p))
        ++p;
    return p;
}

// Whether the character at `q` (if any) is a lower-case letter: the look-ahead that decides
// whether a capital after a capital starts a new word ("HTTPServer": the "S").
inline bool lower_at(const Byte* q, const Byte* end) noexcept {
    if (q == end)
        return false;
    if (*q < 0x80)
        return *q >= 'a' && *q <= 'z';
    return classify_non_ascii(decode_utf8(q, end).value) == CharClass::Lower;
}

// Code mode as a state machine whose state is the class of the previous character of the open
// token: `sep` (no token open), `low` (lower case or caseless), `up`, `dig`. The rules:
// a digit after a non-digit and a non-digit after a digit cut; a capital after a lower-case or
// caseless letter cuts; a capital after a capital cuts when a lower-case letter follows it.
template <class Sink>
void count_code_tokens(const Byte* p, const Byte* const end, std::size_t min_len, Sink& sink) {
    Token<Sink> token(sink, min_len);
    CodePoint cp{0, 1};
    CharClass cls = CharClass::Separator;

sep:
    for (;;) {
        p = skip_separators(p, end, false);
        if (p == end)
            return;
        const Byte b = *p;
        const std::uint8_t c = kCodeClass[b];
        token.open(p);
        if (c == kLower) {
            token.take(b);
            ++p;
            goto low;
        }
        if (c == kUpper) {
            token.take(static_cast<Byte>(b | 0x20));
            ++p;
            goto up;
        }
        if (c == kDigit) {
            token.take(b);
            ++p;
            goto dig;
        }
        cp = decode_utf8(p, end);
        cls = classify_non_ascii(cp.value);
        if (cls == CharClass::Separator) {
            p += cp.length;
            continue;
        }
        token.take(cp);
        p += cp.length;
        if (cls == CharClass::Upper)
            goto up;
        goto low;
    }

low:
    for (;;) {
        p = token.take_lower_run(p, end);
        if (p == end)
            break;
        const Byte b = *p;
        const std::uint8_t c = kCodeClass[b];
        if (c == kSep) {
            token.close(p);
            ++p;
            goto sep;
        }
        if (c == kUpper) {
            token.close(p);
            token.open(p);
            token.take(static_cast<Byte>(b | 0x20));
            ++p;
            goto up;
        }
        if (c == kDigit) {
            token.close(p);
            token.open(p);
            token.take(b);
            ++p;
            goto dig;
        }
        cp = decode_utf8(p, end);
        cls = classify_non_ascii(cp.value);
        if (cls == CharClass::Separator) {
            token.close(p);
            p += cp.length;
            goto sep;
        }
        if (cls == CharClass::Upper) {
            token.close(p);
            token.open(p);
            token.take(cp);
            p += cp.length;
            goto up;
        }
        token.take(cp);
        p += cp.length;
    }
    token.close(p);
    return;

up:
    while (p != end) {
        const Byte b = *p;
        const std::uint8_t c = kCodeClass[b];
        if (c == kLower) {
            token.take(b);
            ++p;
            goto low;
        }
        if (c == kUpper) {
            if (lower_at(p + 1, end)) {
                token.close(p);
                token.open(p);
            }
            token.take(static_cast<Byte>(b | 0x20));
            ++p;
            continue;
        }
        if (c == kSep) {
            token.close(p);
            ++p;
            goto sep;
        }
        if (c == kDigit) {
            token.close(p);
            token.open(p);
            token.take(b);
            ++p;
            goto dig;
        }
        cp = decode_utf8(p, end);
        cls = classify_non_ascii(cp.value);
        if (cls == CharClass::Separator) {
            token.close(p);
            p += cp.length;
            goto sep;
        }
        if (cls == CharClass::Upper) {
            if (lower_at(p + cp.length, end)) {
                token.close(p);
                token.open(p);
            }
            token.take(cp);
            p += cp.length;
            continue;
        }
        token.take(cp);
        p += cp.length;
        goto low;
    }
    token.close(p);
    return;

dig:
    while (p != end) {
        const Byte b = *p;
        const std::uint8_t c = kCodeClass[b];
        if (c == kDigit) {
            token.take(b);
            ++p;
            continue;
        }
        if (c == kSep) {
            token.close(p);
            ++p;
            goto sep;
        }
        token.close(p);
        token.open(p);
        if (c == kLower) {
            token.take(b);
            ++p;
            goto low;
        }
        if (c == kUpper) {
            token.take(static_cast<Byte>(b | 0x20));
            ++p;
            goto up;
        }
        cp = decode_utf8(p, end);
        cls = classify_non_ascii(cp.value);
        if (cls == CharClass::Separator) {
            p += cp.length; // the token closed above; the one opened is never used
            goto sep;
        }
        token.take(cp);
        p += cp.length;
        if (cls == CharClass::Upper)
            goto up;
        goto low;
    }
    token.close(p);
}

// Plain mode: maximal runs of word characters ("_" included), no cuts inside.
template <class Sink>
void count_plain_tokens(const Byte* p, const Byte* const end, std::size_t min_len, Sink& sink) {
    Token<Sink> token(sink, min_len);
    CodePoint cp{0, 1};

sep:
    for (;;) {
        p = skip_separators(p, end, true);
        if (p == end)
            return;
        const Byte w = kPlain[*p];
        if (w != kPlainNonAscii) {
            token.open(p);
            token.take(w);
            ++p;
            goto word;
        }
        cp = decode_utf8(p, end);
        if (classify_non_ascii(cp.value) != CharClass::Separator) {
            token.open(p);
            token.take(cp);
            p += cp.length;
            goto word;
        }
        p += cp.length;
    }

word:
    while (p != end) {
        const Byte w = kPlain[*p];
        if (w < 0x80) {
            token.take(w);
            ++p;
            continue;
        }
        if (w == kPlainSep) {
            token.close(p);
            ++p;
            goto sep;
        }
        cp = decode_utf8(p, end);
        if (classify_non_ascii(cp.value) == CharClass::Separator) {
            token.close(p);
            p += cp.length;
            goto sep;
        }
        token.take(cp);
        p += cp.length;
    }
    token.close(p);
}

template <class Sink>
void count_any(std::string_view text, const TokenizerOptions& options, Sink& sink) {
    const auto* p = reinterpret_cast<const Byte*>(text.data());
    if (options.code_split)
        count_code_tokens(p, p + text.size(), options.min_token_len, sink);
    else
        count_plain_tokens(p, p + text.size(), options.min_token_len, sink);
}

} // namespace

void count_tokens(std::string_view text, const TokenizerOptions& options,
                  TermCounter<std::uint32_t>& counter) {
    count_any(text, options, counter);
}

void count_tokens(std::string_view text, const TokenizerOptions& options,
                  TermCounter<std::uint64_t>& counter) {
    count_any(text, options, counter);
}

} // namespace pellandor_core
