// One text -> one sparse vector: truncate to the profile's character limit, tokenise,
// hash each token to its index, and weight each distinct index by 1 + ln(tf). Indices
// come out ascending; tokens whose hashes collide share one index and their counts add up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "profile.hpp"
#include "tokenizer.hpp"

namespace pellandor_core {

struct SparseVector {
    std::vector<std::uint32_t> indices;
    std::vector<double> values;
    bool truncated = false;
    std::size_t original_chars = 0;
    std::size_t used_chars = 0;
};

// Holds the buffers that a batch reuses from text to text; one per request, never shared
// between threads.
class Embedder {
public:
    explicit Embedder(const Profile& profile) noexcept;

    void embed(std::string_view text, SparseVector& out);

private:
    std::size_t max_text_chars_;
    Tokenizer tokenizer_;
    TokenList tokens_;
    std::vector<std::uint32_t> hashes_;
};

} // namespace pellandor_core
