// Writes the core's answers. Only ASCII is ever written, which lets the boundary build
// the result str without decoding.
#pragma once

#include <string>

#include "embedder.hpp"

namespace pellandor_core {

// Appends {"indices":[...],"values":[...],"truncated":b,"original_chars":n,"used_chars":n}.
void append_embedding(std::string& out, const SparseVector& vector);

// A generous upper estimate of what append_embedding writes, for reserving.
std::size_t embedding_size_hint(const SparseVector& vector) noexcept;

} // namespace pellandor_core
