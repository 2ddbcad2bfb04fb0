#include "embedder.hpp"

#include <algorithm>
#include <cmath>

#include "token_hash.hpp"
#include "utf8.hpp"

namespace pellandor_core {

Embedder::Embedder(const Profile& profile) noexcept
    : max_text_chars_(profile.max_text_chars),
      tokenizer_(TokenizerOptions{profile.code_pretokenize, profile.min_token_len}) {}

void Embedder::embed(std::string_view text, SparseVector& out) {
    out.original_chars = count_code_points(text);
    out.truncated = out.original_chars > max_text_chars_;
    if (out.truncated) {
        text = text.substr(0, prefix_bytes(text, max_text_chars_));
        out.used_chars = max_text_chars_;
    } else {
        out.used_chars = out.original_chars;
    }

    tokenizer_.tokenize(text, tokens_);
    hashes_.clear();
    hashes_.reserve(tokens_.size());
    for (std::size_t i = 0; i < tokens_.size(); ++i) {
        hashes_.push_back(token_hash(tokens_[i]));
    }
    // Sorting groups equal indices, so counting is one pass and the order is fixed.
    std::sort(hashes_.begin(), hashes_.end());

    out.indices.clear();
    out.values.clear();
    for (std::size_t i = 0; i < hashes_.size();) {
        std::size_t j = i + 1;
        while (j < hashes_.size() && hashes_[j] == hashes_[i])
            ++j;
        out.indices.push_back(hashes_[i]);
        out.values.push_back(1.0 + std::log(static_cast<double>(j - i)));
        i = j;
    }
}

} // namespace pellandor_core
