// The tuning profile that travels with every embedding request, as JSON text:
//   {"version": str | number | null, "max_text_chars": int >= 0,
//    "code_pretokenize": bool, "min_token_len": int >= 0}
// All four members are required; others are ignored. "version" only tags the caller's
// caches, so its value is checked for type and otherwise unused.
#pragma once

#include <cstddef>
#include <string_view>

namespace pellandor_core {

struct Profile {
    std::size_t max_text_chars = 0;
    bool code_pretokenize = true;
    std::size_t min_token_len = 0;
};

// Throws InputError naming the offending member.
Profile parse_profile(std::string_view profile_json);

} // namespace pellandor_core
