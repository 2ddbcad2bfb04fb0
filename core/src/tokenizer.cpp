#include "tokenizer.hpp"

#include "char_class.hpp"
#include "utf8.hpp"

namespace pellandor_core {

namespace {

// Builds the current token straight into the list's buffer and takes it back out if it
// turns out too short, so no token is ever copied.
class TokenBuilder {
public:
    TokenBuilder(std::string& chars, std::vector<std::size_t>& ends, std::size_t min_len) noexcept
        : chars_(chars), ends_(ends), min_len_(min_len) {}

    bool open() const noexcept { return length_ > 0; }

    void append(char32_t cp) {
        append_utf8(chars_, to_lower(cp));
        ++length_;
    }

    void finish() {
        if (length_ == 0)
            return;
        if (length_ >= min_len_) {
            ends_.push_back(chars_.size());
        } else {
            chars_.resize(ends_.empty() ? 0 : ends_.back());
        }
        length_ = 0;
    }

private:
    std::string& chars_;
    std::vector<std::size_t>& ends_;
    std::size_t min_len_;
    std::size_t length_ = 0;
};

// Whether a code-mode word run is cut between `prev` and `cur`; `next` is the class of the
// character after `cur` (Separator at the end of the text).
bool is_boundary(CharClass prev, CharClass cur, CharClass next) noexcept {
    if ((prev == CharClass::Digit) != (cur == CharClass::Digit))
        return true;
    if (cur != CharClass::Upper)
        return false;
    if (prev == CharClass::Lower || prev == CharClass::Caseless)
        return true;
    return prev == CharClass::Upper && next == CharClass::Lower;
}

} // namespace

void Tokenizer::tokenize(std::string_view text, TokenList& tokens) const {
    tokens.clear();
    TokenBuilder token(tokens.chars_, tokens.ends_, options_.min_token_len);
    const bool code = options_.code_split;

    CharClass prev = CharClass::Separator;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const CodePoint cp = decode_utf8(text, pos);
        const CharClass cls = classify(cp.value);
        pos += cp.length;

        const bool word = cls != CharClass::Separator || (!code && cp.value == U'_');
        if (!word) {
            token.finish();
            prev = CharClass::Separator;
            continue;
        }
        if (code && token.open()) {
            CharClass next = CharClass::Separator;
            if (prev == CharClass::Upper && cls == CharClass::Upper && pos < text.size()) {
                next = classify(decode_utf8(text, pos).value);
            }
            if (is_boundary(prev, cls, next))
                token.finish();
        }
        token.append(cp.value);
        prev = cls;
    }
    token.finish();
}

} // namespace pellandor_core
