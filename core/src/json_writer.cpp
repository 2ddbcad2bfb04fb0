#include "json_writer.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <system_error>

namespace pellandor_core {

namespace {

// The text of one weight in a block that is copied whole (the bytes after `size` are zero).
struct WeightText {
    char text[32];
    std::size_t size;
};

// 1 + ln(tf), the shortest text that reads back as the same double. A whole number keeps a
// ".0" so that json.loads gives a float, as for every other weight.
WeightText make_weight(std::uint64_t tf) noexcept {
    WeightText weight{};
    const double value = 1.0 + std::log(static_cast<double>(tf));
    // Weights lie between 1 and 1 + ln(2^64) < 46: at most 17 digits and the point.
    const auto result = std::to_chars(weight.text, weight.text + 24, value);
    std::size_t size = static_cast<std::size_t>(result.ptr - weight.text);
    if (std::string_view(weight.text, size).find_first_of(".e") == std::string_view::npos) {
        weight.text[size++] = '.';
        weight.text[size++] = '0';
    }
    weight.size = size;
    return weight;
}

// Most frequencies in a text are small: their texts are made once per process.
constexpr std::size_t kCachedWeights = 256;

using WeightTable = std::array<WeightText, kCachedWeights>;

const WeightTable& cached_weights() noexcept {
    static const WeightTable table = [] {
        WeightTable texts{};
        for (std::size_t tf = 1; tf < kCachedWeights; ++tf)
            texts[tf] = make_weight(tf);
        return texts;
    }();
    return table;
}

char* put(char* p, std::string_view text) noexcept {
    std::memcpy(p, text.data(), text.size());
    return p + text.size();
}

// The whole block: one fixed-size copy, then `p` moves past the text only.
inline char* put_weight(char* p, const WeightText& weight) noexcept {
    std::memcpy(p, weight.text, sizeof weight.text);
    return p + weight.size;
}

char* put_uint(char* p, std::uint64_t value) noexcept {
    return std::to_chars(p, p + 20, value).ptr;
}

constexpr std::array<char, 200> kDigitPairs = [] {
    std::array<char, 200> pairs{};
    for (int i = 0; i < 100; ++i) {
        pairs[2 * i] = static_cast<char>('0' + i / 10);
        pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return pairs;
}();

inline char* put_pair(char* p, std::uint32_t two_digits) noexcept {
    std::memcpy(p, &kDigitPairs[2 * two_digits], 2);
    return p + 2;
}

// Exactly eight digits, leading zeros included.
inline char* put_eight(char* p, std::uint32_t value) noexcept {
    const std::uint32_t high = value / 10000;
    const std::uint32_t low = value % 10000;
    p = put_pair(p, high / 100);
    p = put_pair(p, high % 100);
    p = put_pair(p, low / 100);
    return put_pair(p, low % 100);
}

// A token index in decimal. Indices are uniform over 32 bits: nine in ten have ten digits.
inline char* put_index(char* p, std::uint32_t value) noexcept {
    if (value < 100000000)
        return std::to_chars(p, p + 10, value).ptr;
    const std::uint32_t top = value / 100000000; // 1 .. 42
    if (top >= 10)
        p = put_pair(p, top);
    else
        *p++ = static_cast<char>('0' + top);
    return put_eight(p, value % 100000000);
}

// What append_embedding may write: per term up to 10 digits of index, a weight block of 32
// bytes (its text is at most 24) and two commas; the fixed members take 116 bytes.
constexpr std::size_t kBytesPerTerm = 10 + 32 + 2;
constexpr std::size_t kFixedBytes = 128;

} // namespace

void append_embedding(TextBuffer& out, const SparseVector& vector) {
    const WeightTable& weights = cached_weights();
    const std::size_t n = vector.terms.size();
    char* const begin = out.room(n * kBytesPerTerm + kFixedBytes);
    char* p = put(begin, "{\"indices\":[");
    for (const Term& term : vector.terms) {
        p = put_index(p, term.index);
        *p++ = ',';
    }
    if (n != 0)
        --p; // the last comma
    p = put(p, "],\"values\":[");
    for (const Term& term : vector.terms) {
        if (term.tf < kCachedWeights)
            p = put_weight(p, weights[term.tf]);
        else
            p = put_weight(p, make_weight(term.tf));
        *p++ = ',';
    }
    if (n != 0)
        --p;
    p = put(p, vector.truncated ? "],\"truncated\":true,\"original_chars\":"
                                : "],\"truncated\":false,\"original_chars\":");
    p = put_uint(p, vector.original_chars);
    p = put(p, ",\"used_chars\":");
    p = put_uint(p, vector.used_chars);
    *p++ = '}';
    out.commit(p);
}

} // namespace pellandor_core
