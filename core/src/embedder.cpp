#include "embedder.hpp"

#include <limits>

#include "utf8.hpp"

namespace pellandor_core {

Embedder::Embedder(const Profile& profile, TermCounter<std::uint32_t>& counter) noexcept
    : max_text_chars_(profile.max_text_chars), options_{profile.code_pretokenize, profile.min_token_len},
      counter_(counter) {}

void Embedder::embed(std::string_view text, SparseVector& out) {
    out.original_chars = count_code_points(text);
    out.truncated = out.original_chars > max_text_chars_;
    if (out.truncated) {
        text = text.substr(0, prefix_bytes(text, max_text_chars_));
        out.used_chars = max_text_chars_;
    } else {
        out.used_chars = out.original_chars;
    }

    // A text has at most one token per byte, so below 2^32 bytes no count can overflow the
    // table's 32-bit counters.
    if (text.size() < std::numeric_limits<std::uint32_t>::max()) {
        counter_.begin();
        count_tokens(text, options_, counter_);
        counter_.drain_sorted(out.terms);
    } else {
        TermCounter<std::uint64_t> wide;
        wide.begin();
        count_tokens(text, options_, wide);
        wide.drain_sorted(out.terms);
    }
}

} // namespace pellandor_core
