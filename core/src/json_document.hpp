// An immutable parsed JSON document, freed on scope exit.
#pragma once

#include <string>
#include <string_view>

#include "yyjson.h"

namespace pellandor_core {

class JsonDocument {
public:
    // Parses strict RFC 8259 JSON; throws InputError "<what> is not valid JSON: ..." otherwise.
    // With `insitu`, the text is copied into that buffer and parsed in place, so the document
    // allocates only its value tree; the buffer must outlive the document and stay unchanged.
    JsonDocument(std::string_view text, const char* what, std::string* insitu = nullptr);
    ~JsonDocument() { yyjson_doc_free(doc_); }

    JsonDocument(const JsonDocument&) = delete;
    JsonDocument& operator=(const JsonDocument&) = delete;

    yyjson_val* root() const noexcept { return yyjson_doc_get_root(doc_); }

private:
    yyjson_doc* doc_ = nullptr;
};

// Short JSON type name of a value, for error messages.
const char* json_type_name(yyjson_val* value) noexcept;

} // namespace pellandor_core
