#include "profile.hpp"

#include <cstdint>
#include <limits>
#include <string>

#include "input_error.hpp"
#include "json_document.hpp"

namespace pellandor_core {

namespace {

yyjson_val* member(yyjson_val* object, const char* name) {
    yyjson_val* value = yyjson_obj_get(object, name);
    if (value == nullptr) {
        throw InputError(std::string("profile_json is missing member \"") + name + "\"");
    }
    return value;
}

[[noreturn]] void wrong_type(const char* name, const char* expected, yyjson_val* value) {
    throw InputError(std::string("profile_json member \"") + name + "\" must be " + expected + ", not " +
                     json_type_name(value));
}

std::size_t count_member(yyjson_val* object, const char* name) {
    yyjson_val* value = member(object, name);
    if (!yyjson_is_uint(value))
        wrong_type(name, "a non-negative integer", value);
    const std::uint64_t n = yyjson_get_uint(value);
    if constexpr (sizeof(std::size_t) < sizeof(std::uint64_t)) {
        // A limit beyond what memory can hold means no limit.
        constexpr auto kMax = std::numeric_limits<std::size_t>::max();
        if (n > kMax)
            return kMax;
    }
    return static_cast<std::size_t>(n);
}

} // namespace

Profile parse_profile(std::string_view profile_json) {
    const JsonDocument doc(profile_json, "profile_json");
    yyjson_val* root = doc.root();
    if (!yyjson_is_obj(root)) {
        throw InputError(std::string("profile_json must be a JSON object, not ") + json_type_name(root));
    }

    yyjson_val* version = member(root, "version");
    if (!(yyjson_is_str(version) || yyjson_is_num(version) || yyjson_is_null(version))) {
        wrong_type("version", "a string, a number or null", version);
    }

    Profile profile;
    profile.max_text_chars = count_member(root, "max_text_chars");
    yyjson_val* pretokenize = member(root, "code_pretokenize");
    if (!yyjson_is_bool(pretokenize))
        wrong_type("code_pretokenize", "true or false", pretokenize);
    profile.code_pretokenize = yyjson_get_bool(pretokenize);
    profile.min_token_len = count_member(root, "min_token_len");
    return profile;
}

} // namespace pellandor_core
