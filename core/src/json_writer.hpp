// Writes the core's answers. Only ASCII is ever written, which lets the boundary build
// the result str without decoding.
#pragma once

#include "embedder.hpp"
#include "text_buffer.hpp"

namespace pellandor_core {

// Appends {"indices":[...],"values":[...],"truncated":b,"original_chars":n,"used_chars":n}.
void append_embedding(TextBuffer& out, const SparseVector& vector);

} // namespace pellandor_core
