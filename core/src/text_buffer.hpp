// A growable byte buffer written through raw pointers: the writer asks for room once per
// embedding and then stores without a capacity check per piece. The bytes are never
// initialised before they are written.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

namespace pellandor_core {

class TextBuffer {
public:
    // At least `extra` writable bytes after the contents; returns where they start.
    char* room(std::size_t extra) {
        if (capacity_ - size_ < extra)
            grow(extra);
        return data_.get() + size_;
    }
    // The contents now end at `end` (a pointer into the room last asked for).
    void commit(char* end) noexcept { size_ = static_cast<std::size_t>(end - data_.get()); }

    void append(std::string_view text) {
        char* p = room(text.size());
        if (!text.empty())
            std::memcpy(p, text.data(), text.size());
        commit(p + text.size());
    }

    void clear() noexcept { size_ = 0; }
    std::string_view view() const noexcept { return {data_.get(), size_}; }
    std::size_t capacity() const noexcept { return capacity_; }

    void release() noexcept {
        data_.reset();
        size_ = capacity_ = 0;
    }

private:
    void grow(std::size_t extra) {
        const std::size_t wanted = std::max({size_ + extra, capacity_ * 2, std::size_t{4096}});
        auto fresh = std::make_unique_for_overwrite<char[]>(wanted);
        if (size_ != 0)
            std::memcpy(fresh.get(), data_.get(), size_);
        data_ = std::move(fresh);
        capacity_ = wanted;
    }

    std::unique_ptr<char[]> data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

} // namespace pellandor_core
