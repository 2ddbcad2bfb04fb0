// Code-aware tokenisation. Words are runs of letters and digits; with code splitting on,
// a run is also cut at camelCase humps, before the last capital of an acronym that
// starts a new word ("HTTPServer" -> "http", "server") and between letters and digits,
// and "_" separates like any punctuation. With code splitting off, "_" is a word
// character and runs stay whole ("snake_case" is one token). Tokens are lower-cased;
// tokens of fewer than `min_token_len` characters are dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pellandor_core {

struct TokenizerOptions {
    bool code_split = true;
    std::size_t min_token_len = 0;
};

// The tokens of one text: lower-cased UTF-8 laid end to end in one buffer. Reused from text
// to text so that a batch allocates only while its largest text grows the buffers.
class TokenList {
public:
    void clear() noexcept {
        chars_.clear();
        ends_.clear();
    }
    std::size_t size() const noexcept { return ends_.size(); }
    std::string_view operator[](std::size_t i) const noexcept {
        const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return std::string_view(chars_).substr(begin, ends_[i] - begin);
    }

private:
    friend class Tokenizer;
    std::string chars_;
    std::vector<std::size_t> ends_;
};

class Tokenizer {
public:
    explicit Tokenizer(TokenizerOptions options) noexcept : options_(options) {}

    // Replaces the contents of `tokens` with the tokens of `text`, in text order.
    void tokenize(std::string_view text, TokenList& tokens) const;

private:
    TokenizerOptions options_;
};

} // namespace pellandor_core
