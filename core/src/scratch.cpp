#include "scratch.hpp"

#include <cstddef>
#include <vector>

namespace pellandor_core {

namespace {

// Enough for batches of dozens of large source files; one outsize request does not pin its
// memory to the thread for good.
constexpr std::size_t kKeepBytes = std::size_t{64} << 20;
// The counting table of a text with up to about 64,000 distinct tokens (1 MiB); the term
// list and a batch's list of texts of as many.
constexpr std::size_t kKeepSlots = std::size_t{1} << 17;
constexpr std::size_t kKeepTerms = std::size_t{1} << 16;

void trim(std::string& buffer) noexcept {
    if (buffer.capacity() > kKeepBytes)
        std::string().swap(buffer);
}

void trim(TextBuffer& buffer) noexcept {
    if (buffer.capacity() > kKeepBytes)
        buffer.release();
}

template <class T>
void trim(std::vector<T>& list) noexcept {
    if (list.capacity() > kKeepTerms)
        std::vector<T>().swap(list);
}

} // namespace

Scratch& thread_scratch() noexcept {
    thread_local Scratch scratch;
    return scratch;
}

void trim_scratch(Scratch& scratch) noexcept {
    trim(scratch.json);
    trim(scratch.decoded);
    trim(scratch.texts);
    trim(scratch.answer);
    scratch.counter.trim(kKeepSlots);
    trim(scratch.vector.terms);
}

} // namespace pellandor_core
