#include "utf8.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "simd.hpp"

namespace pellandor_core {

namespace {

// Continuation bytes among the 8 bytes of `word`: bit 7 set, bit 6 clear.
inline std::size_t continuations_in(std::uint64_t word) noexcept {
    const std::uint64_t marks = word & ~(word << 1) & 0x8080808080808080u;
    // Each byte of marks >> 7 is 0 or 1; the multiplication sums them into the top byte.
    return static_cast<std::size_t>(((marks >> 7) * 0x0101010101010101u) >> 56);
}

} // namespace

std::size_t count_code_points(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char* const end = p + text.size();
    std::size_t continuations = 0;
#ifdef PELLANDOR_CORE_SSE2
    // Continuation bytes are 0x80..0xBF, that is -128..-65 as signed bytes. Per-lane byte
    // counters take at most 4 x 63 steps before they are summed, so they never wrap.
    const __m128i limit = _mm_set1_epi8(-64);
    const auto marks = [&](const unsigned char* q) {
        // 0xFF (minus one) where the byte is a continuation byte.
        return _mm_cmplt_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q)), limit);
    };
    while (end - p >= 64) {
        const std::size_t blocks = std::min<std::size_t>(static_cast<std::size_t>(end - p) / 64, 63);
        __m128i lanes = _mm_setzero_si128();
        for (std::size_t i = 0; i < blocks; ++i, p += 64) {
            const __m128i pair1 = _mm_add_epi8(marks(p), marks(p + 16));
            const __m128i pair2 = _mm_add_epi8(marks(p + 32), marks(p + 48));
            lanes = _mm_sub_epi8(lanes, _mm_add_epi8(pair1, pair2));
        }
        const __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
        continuations += static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
                         static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
    }
#endif
    for (; end - p >= 8; p += 8) {
        std::uint64_t word;
        std::memcpy(&word, p, sizeof word);
        continuations += continuations_in(word);
    }
    for (; p != end; ++p)
        continuations += is_continuation(*p) ? 1 : 0;
    return text.size() - continuations;
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

} // namespace pellandor_core
