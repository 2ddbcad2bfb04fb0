// Term frequencies of one text: each token index is counted in an open-addressing hash
// table as the tokeniser finds it, and only the distinct indices are sorted at the end.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace pellandor_core {

// One distinct index of a text and how often it occurs.
struct Term {
    std::uint32_t index;
    std::uint64_t tf;
};

// `Count` bounds the frequencies the table can hold: std::uint32_t serves every text of fewer
// than 2^32 bytes (a text has at most one token per byte), std::uint64_t any text. The table
// is kept from text to text (and from call to call, per thread): emptying it touches only the
// slots that were used.
template <class Count>
class TermCounter {
public:
    // Readies the table for a new text; it may still hold the counts of a text whose
    // counting failed half-way (out of memory).
    void begin() {
        for (const std::size_t i : used_)
            slots_[i].count = 0;
        used_.clear();
        if (slots_.empty())
            rehash(kMinSlots);
    }

    void add(std::uint32_t index) {
        std::size_t i = home(index);
        for (;;) {
            Slot& slot = slots_[i];
            if (slot.count == 0) {
                insert(i, index);
                return;
            }
            if (slot.index == index) {
                ++slot.count;
                return;
            }
            i = (i + 1) & mask_;
        }
    }

    // Replaces `terms` with the distinct indices and their counts, ascending by index, and
    // empties the table.
    void drain_sorted(std::vector<Term>& terms) {
        terms.clear();
        terms.reserve(used_.size());
        if constexpr (sizeof(Count) <= sizeof(std::uint32_t)) {
            // Index and count packed in one word sort as the index alone: indices are distinct.
            sorted_.clear();
            sorted_.reserve(used_.size());
            for (const std::size_t i : used_) {
                sorted_.push_back(std::uint64_t{slots_[i].index} << 32 | slots_[i].count);
                slots_[i].count = 0;
            }
            used_.clear();
            sort_packed();
            for (const std::uint64_t packed : sorted_)
                terms.push_back(Term{static_cast<std::uint32_t>(packed >> 32), packed & 0xFFFFFFFFu});
        } else {
            for (const std::size_t i : used_) {
                terms.push_back(Term{slots_[i].index, slots_[i].count});
                slots_[i].count = 0;
            }
            used_.clear();
            std::sort(terms.begin(), terms.end(),
                      [](const Term& a, const Term& b) noexcept { return a.index < b.index; });
        }
    }

    // Gives the memory back once a huge text has grown the table past `max_slots`.
    void trim(std::size_t max_slots) noexcept {
        if (slots_.size() > max_slots) {
            std::vector<Slot>().swap(slots_);
            std::vector<std::size_t>().swap(used_);
            std::vector<std::uint64_t>().swap(sorted_);
            std::vector<std::uint64_t>().swap(spare_);
        }
    }

private:
    static constexpr std::size_t kMinSlots = 1024;

    struct Slot {
        std::uint32_t index = 0;
        Count count = 0; // 0: empty
    };

    // Fibonacci hashing: the top bits of the index times 2^64 / phi.
    std::size_t home(std::uint32_t index) const noexcept {
        return static_cast<std::size_t>((std::uint64_t{index} * 0x9E3779B97F4A7C15u) >> shift_);
    }

    // Sorts sorted_. Indices are hashes, spread evenly over 32 bits: one pass into about as
    // many buckets (by the top bits) as there are values leaves buckets of one or two, and an
    // insertion sort finishes in about one step per value. Unevenly spread input, which would
    // make the insertion sort slow, goes to std::sort instead.
    void sort_packed() {
        const std::size_t n = sorted_.size();
        if (n < 32) {
            insertion_sort(sorted_.data(), n);
            return;
        }
        unsigned bits = 0;
        while (bits < 16 && (std::size_t{1} << bits) < n)
            ++bits;
        const unsigned shift = 64 - bits;
        buckets_.assign(std::size_t{1} << bits, 0);
        for (const std::uint64_t v : sorted_)
            ++buckets_[static_cast<std::size_t>(v >> shift)];
        std::uint32_t start = 0;
        std::uint32_t largest = 0;
        for (std::uint32_t& bucket : buckets_) {
            const std::uint32_t size = bucket;
            largest = std::max(largest, size);
            bucket = start;
            start += size;
        }
        if (largest > 64) {
            std::sort(sorted_.begin(), sorted_.end());
            return;
        }
        spare_.resize(n);
        for (const std::uint64_t v : sorted_)
            spare_[buckets_[static_cast<std::size_t>(v >> shift)]++] = v;
        insertion_sort(spare_.data(), n);
        sorted_.swap(spare_);
    }

    static void insertion_sort(std::uint64_t* v, std::size_t n) noexcept {
        for (std::size_t i = 1; i < n; ++i) {
            const std::uint64_t x = v[i];
            std::size_t j = i;
            for (; j > 0 && v[j - 1] > x; --j)
                v[j] = v[j - 1];
            v[j] = x;
        }
    }

    // A new distinct index in the empty slot `i`.
#if defined(__GNUC__)
    __attribute__((noinline))
#endif
    void
    insert(std::size_t i, std::uint32_t index) {
        used_.push_back(i); // first: if it throws, the table stays consistent
        slots_[i].index = index;
        slots_[i].count = 1;
        if (used_.size() * 2 > slots_.size())
            rehash(slots_.size() * 2);
    }

    void rehash(std::size_t slots) {
        std::vector<Slot> fresh(slots);
        std::vector<std::size_t> fresh_used;
        fresh_used.reserve(std::max(used_.capacity(), slots / 2 + 1));
        std::size_t shift = 64;
        for (std::size_t n = slots; n > 1; n >>= 1)
            --shift;
        // Nothing below throws: the table changes only once both allocations succeeded.
        std::swap(slots_, fresh);
        const std::vector<Slot>& old = fresh;
        mask_ = slots - 1;
        shift_ = shift;
        for (const std::size_t j : used_) {
            std::size_t i = home(old[j].index);
            while (slots_[i].count != 0)
                i = (i + 1) & mask_;
            slots_[i] = old[j];
            fresh_used.push_back(i);
        }
        used_.swap(fresh_used);
    }

    std::vector<Slot> slots_;
    std::vector<std::size_t> used_;     // the occupied slots, in order of first occurrence
    std::vector<std::uint64_t> sorted_; // index << 32 | count, for sorting
    std::vector<std::uint64_t> spare_;
    std::vector<std::uint32_t> buckets_;
    std::size_t mask_ = 0;
    std::size_t shift_ = 64; // not unsigned int: a store to a 32-bit count must not alias it
};

} // namespace pellandor_core
