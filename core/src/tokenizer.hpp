// Code-aware tokenisation. Words are runs of letters and digits; with code splitting on,
// a run is also cut at camelCase humps, before the last capital of an acronym that
// starts a new word ("HTTPServer" -> "http", "server") and between letters and digits,
// and "_" separates like any punctuation. With code splitting off, "_" is a word
// character and runs stay whole ("snake_case" is one token). Tokens are lower-cased;
// tokens of fewer than `min_token_len` characters are dropped.
//
// No token is ever stored: each is hashed (token_hash.hpp) as its characters are read and
// its index counted as soon as it ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "term_counter.hpp"

namespace pellandor_core {

struct TokenizerOptions {
    bool code_split = true;
    std::size_t min_token_len = 0;
};

// Adds the index of every token of `text` to `counter`, in text order.
void count_tokens(std::string_view text, const TokenizerOptions& options,
                  TermCounter<std::uint32_t>& counter);
void count_tokens(std::string_view text, const TokenizerOptions& options,
                  TermCounter<std::uint64_t>& counter);

} // namespace pellandor_core
