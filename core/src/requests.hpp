// The core's three requests as plain C++: JSON text in, JSON text out. Nothing here
// touches a Python object, so the boundary runs it all with the GIL released.
#pragma once

#include <string>
#include <string_view>

#include "scratch.hpp"

namespace pellandor_core {

inline constexpr std::string_view kCoreVersion = "0.1.0";

// The embedding requests write their answer into `scratch.answer`, replacing what was there,
// and use the thread's other scratch buffers on the way.
void handshake_json(std::string& out);
void embed_single_json(std::string_view text, std::string_view profile_json, Scratch& scratch);
void embed_batch_json(std::string_view texts_json, std::string_view profile_json, Scratch& scratch);

} // namespace pellandor_core
