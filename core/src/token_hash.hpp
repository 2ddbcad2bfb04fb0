// Token index: 32-bit FNV-1a over the token's UTF-8 bytes. Byte-wise and free of any seed,
// so an index is the same on every platform, build and run, and callers may cache them.
#pragma once

#include <cstdint>
#include <string_view>

namespace pellandor_core {

constexpr std::uint32_t token_hash(std::string_view token) noexcept {
    std::uint32_t hash = 2166136261u;
    for (const char c : token) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 16777619u;
    }
    return hash;
}

static_assert(token_hash("") == 2166136261u);
static_assert(token_hash("a") == 0xE40C292Cu);

} // namespace pellandor_core
