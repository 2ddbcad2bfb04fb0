// The core's three requests as plain C++: JSON text in, JSON text out. Nothing here
// touches a Python object, so the boundary runs it all with the GIL released.
#pragma once

#include <string>
#include <string_view>

namespace pellandor_core {

inline constexpr std::string_view kCoreVersion = "0.1.0";

// Each writes its answer into `out`, replacing what was there; `scratch_json` is a buffer
// for the in-place parse of the batch's JSON.
void handshake_json(std::string& out);
void embed_single_json(std::string_view text, std::string_view profile_json, std::string& out);
void embed_batch_json(std::string_view texts_json, std::string_view profile_json, std::string& out,
                      std::string& scratch_json);

} // namespace pellandor_core
