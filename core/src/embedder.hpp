// One text -> one sparse vector: truncate to the profile's character limit, tokenise,
// hash each token to its index, and count each distinct index (its weight, 1 + ln(tf), is
// written by json_writer.cpp). Indices come out ascending; tokens whose hashes collide share
// one index and their counts add up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "profile.hpp"
#include "term_counter.hpp"
#include "tokenizer.hpp"

namespace pellandor_core {

struct SparseVector {
    std::vector<Term> terms; // ascending by index
    bool truncated = false;
    std::size_t original_chars = 0;
    std::size_t used_chars = 0;
};

// Embeds text after text with the calling thread's counting table; never shared between
// threads.
class Embedder {
public:
    Embedder(const Profile& profile, TermCounter<std::uint32_t>& counter) noexcept;

    void embed(std::string_view text, SparseVector& out);

private:
    std::size_t max_text_chars_;
    TokenizerOptions options_;
    TermCounter<std::uint32_t>& counter_;
};

} // namespace pellandor_core
