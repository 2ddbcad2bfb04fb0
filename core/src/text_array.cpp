#include "text_array.hpp"

#include <string>

#include "input_error.hpp"

namespace pellandor_core {

std::vector<std::string_view> text_array(const JsonDocument& doc) {
    yyjson_val* root = doc.root();
    if (!yyjson_is_arr(root)) {
        throw InputError(std::string("texts_json must be a JSON array of strings, not ") +
                         json_type_name(root));
    }
    std::vector<std::string_view> texts;
    texts.reserve(yyjson_arr_size(root));
    std::size_t index = 0;
    std::size_t max = 0;
    yyjson_val* element = nullptr;
    yyjson_arr_foreach(root, index, max, element) {
        if (!yyjson_is_str(element)) {
            throw InputError("texts_json element " + std::to_string(index) + " must be a string, not " +
                             json_type_name(element));
        }
        // The length, not the terminator: a text may hold "\u0000".
        texts.emplace_back(yyjson_get_str(element), yyjson_get_len(element));
    }
    return texts;
}

} // namespace pellandor_core
