#include "json_document.hpp"

#include <new>
#include <string>

#include "input_error.hpp"

namespace pellandor_core {

JsonDocument::JsonDocument(std::string_view text, const char* what, std::string* insitu) {
    yyjson_read_err err{};
    if (insitu != nullptr) {
        insitu->assign(text);
        insitu->append(YYJSON_PADDING_SIZE, '\0');
        doc_ = yyjson_read_opts(insitu->data(), text.size(), YYJSON_READ_INSITU, nullptr, &err);
    } else {
        // Without YYJSON_READ_INSITU yyjson only reads the buffer; the cast is its API's.
        doc_ =
            yyjson_read_opts(const_cast<char*>(text.data()), text.size(), YYJSON_READ_NOFLAG, nullptr, &err);
    }
    if (doc_ == nullptr) {
        if (err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION)
            throw std::bad_alloc();
        throw InputError(std::string(what) + " is not valid JSON: " + err.msg + " (at byte " +
                         std::to_string(err.pos) + ")");
    }
}

const char* json_type_name(yyjson_val* value) noexcept {
    switch (yyjson_get_type(value)) {
    case YYJSON_TYPE_NULL:
        return "null";
    case YYJSON_TYPE_BOOL:
        return "boolean";
    case YYJSON_TYPE_NUM:
        return "number";
    case YYJSON_TYPE_STR:
        return "string";
    case YYJSON_TYPE_ARR:
        return "array";
    case YYJSON_TYPE_OBJ:
        return "object";
    default:
        return "unknown";
    }
}

} // namespace pellandor_core
