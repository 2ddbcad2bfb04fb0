// Token index: 32-bit FNV-1a over the token's UTF-8 bytes. Byte-wise and free of any seed,
// so an index is the same on every platform, build and run, and callers may cache them.
#pragma once

#include <cstdint>
#include <string_view>

namespace pellandor_core {

inline constexpr std::uint32_t kTokenHashBasis = 2166136261u;

// One byte more of a token: the tokeniser hashes as it reads.
constexpr std::uint32_t token_hash_step(std::uint32_t hash, unsigned char byte) noexcept {
    return (hash ^ byte) * 16777619u;
}

constexpr std::uint32_t token_hash(std::string_view token) noexcept {
    std::uint32_t hash = kTokenHashBasis;
    for (const char c : token) {
        hash = token_hash_step(hash, static_cast<unsigned char>(c));
    }
    return hash;
}

static_assert(token_hash("") == 2166136261u);
static_assert(token_hash("a") == 0xE40C292Cu);

} // namespace pellandor_core
