#include "scratch.hpp"

#include <cstddef>

namespace pellandor_core {

namespace {

// Enough for batches of dozens of large source files; one outsize request does not pin its
// memory to the thread for good.
constexpr std::size_t kKeepBytes = std::size_t{64} << 20;

void trim(std::string& buffer) noexcept {
    if (buffer.capacity() > kKeepBytes)
        std::string().swap(buffer);
}

} // namespace

Scratch& thread_scratch() noexcept {
    thread_local Scratch scratch;
    return scratch;
}

void trim_scratch(Scratch& scratch) noexcept {
    trim(scratch.json);
    trim(scratch.answer);
}

} // namespace pellandor_core
