// Per-thread buffers reused from call to call. A batch's JSON copy and its answer run to
// megabytes; allocating them afresh on every call sends them to mmap, and the page faults
// that follow serialise concurrent callers in the kernel. Reusing them keeps threads apart.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "embedder.hpp"
#include "term_counter.hpp"
#include "text_buffer.hpp"

namespace pellandor_core {

struct Scratch {
    std::string json;                    // a JSON input copied for in-place parsing
    TextBuffer decoded;                  // or the strings of a batch, decoded on the fast path
    std::vector<std::string_view> texts; // the texts of a batch
    TextBuffer answer;                   // the answer being written
    TermCounter<std::uint32_t> counter;  // the term frequencies of the text being embedded
    SparseVector vector;                 // its distinct terms, sorted
};

// The calling thread's buffers (each thread its own, so no locking).
Scratch& thread_scratch() noexcept;

// Gives memory back when a buffer has grown past what is worth keeping between calls.
void trim_scratch(Scratch& scratch) noexcept;

} // namespace pellandor_core
