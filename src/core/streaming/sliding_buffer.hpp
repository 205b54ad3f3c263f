// A growing sequence's newest values in one block of storage that only grows.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <span>
#include <vector>

namespace talvane {

// Room for the values appended between two moves back to the front, as a share of
// those kept: with a quarter, a buffer takes 1.25 times its length, and each
// appended value costs at most four moved ones.
constexpr std::size_t kSlackShare = 4;

// The storage a growing buffer of `current` values takes to hold `keep`: growth
// triples the room, so a filling buffer is reallocated only a few times, but never
// past 1.25 * most, which is all the room the largest keep needs; `max_size` is the
// most its vector can hold.
inline std::size_t grown_room(std::size_t keep, std::size_t most, std::size_t max_size) noexcept {
    const std::size_t big = max_size / 3;  // past this, no slack
    const std::size_t least = keep > big ? keep : keep + keep / kSlackShare;
    const std::size_t tripled = keep > big ? keep : 3 * keep;
    const std::size_t cap = most > big ? most : most + most / kSlackShare;
    return std::max(least, std::min(tripled, cap));
}

// The newest values of a growing sequence, oldest first, in one storage block that
// only grows: values are appended after the live part and the front is dropped by
// moving a start offset, with one move back to the front when the block's end is
// reached, so a call costs in proportion to what it appends, not to what is held.
// Emptying keeps the storage.
template <class T>
class Sliding {
public:
    std::span<const T> view() const noexcept { return {storage_.data() + start_, size_}; }
    T* data() noexcept { return storage_.data() + start_; }
    const T* data() const noexcept { return storage_.data() + start_; }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return storage_.size(); }
    // Room for `keep` values at least, with a quarter as much again for cheap
    // appends; `most` is the largest keep expected, which caps the growth at
    // 1.25 * most. May throw std::bad_alloc; the values held stay the same.
    void reserve(std::size_t keep, std::size_t most) {
        // The values are moved back to the front at most once per keep / 4
        // appended: a constant cost per appended value.
        if (storage_.size() - storage_.size() / (kSlackShare + 1) < keep) grow(keep, most);
    }
    // Becomes the last `keep` values of (the first old_len values held) followed
    // by `tail`. Needs reserve(keep) first; cannot fail.
    void replace(std::size_t old_len, std::span<const T> tail, std::size_t keep) noexcept {
        const std::size_t from_tail = std::min(keep, tail.size());
        const std::size_t from_old = keep - from_tail;  // <= old_len
        const T* tail_end = tail.data() + (tail.size() - from_tail);
        const std::size_t old_end = start_ + old_len;
        if (old_end + from_tail <= storage_.size()) {
            move_values(storage_.data() + old_end, tail_end, from_tail);
            start_ = old_end - from_old;
        } else {
            move_values(storage_.data(), storage_.data() + (old_end - from_old), from_old);
            move_values(storage_.data() + from_old, tail_end, from_tail);
            start_ = 0;
        }
        size_ = keep;
    }
    // Drops the first `drop` values and appends `tail`, within the room reserved.
    void slide(std::size_t drop, std::span<const T> tail) noexcept { replace(size_, tail, size_ - drop + tail.size()); }
    void drop_back(std::size_t count) noexcept { size_ -= count; }
    void clear() noexcept { start_ = size_ = 0; }

private:
    // memmove with a count of 0 may see null pointers, which it must not be given.
    static void move_values(T* dst, const T* src, std::size_t count) noexcept {
        if (count != 0) std::memmove(dst, src, count * sizeof(T));
    }

    void grow(std::size_t keep, std::size_t most) {
        std::vector<T> grown(grown_room(keep, most, storage_.max_size()));
        move_values(grown.data(), storage_.data() + start_, size_);
        storage_.swap(grown);
        start_ = 0;
    }

    std::vector<T> storage_;
    std::size_t start_ = 0;
    std::size_t size_ = 0;
};

using SlidingBuffer = Sliding<float>;
using SlidingDoubles = Sliding<double>;

}  // namespace talvane
