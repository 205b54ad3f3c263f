// SlidingBuffer: appends after the live values, drops from the front by an offset.
#include "streaming/sliding_buffer.hpp"

#include <algorithm>
#include <cstring>

namespace talvane {

namespace {

// memmove with a count of 0 may see null pointers, which it must not be given.
void move_floats(float* dst, const float* src, std::size_t count) noexcept {
    if (count != 0) std::memmove(dst, src, count * sizeof(float));
}

}  // namespace

void SlidingBuffer::grow(std::size_t keep, std::size_t most) {
    // Growth triples the room, so a filling buffer is reallocated only a few times,
    // but never past 1.25 * most, which is all the room the largest keep needs.
    const std::size_t big = storage_.max_size() / 3;  // past this, no slack
    const std::size_t least = keep > big ? keep : keep + keep / kSlackShare;
    const std::size_t tripled = keep > big ? keep : 3 * keep;
    const std::size_t cap = most > big ? most : most + most / kSlackShare;
    std::vector<float> grown(std::max(least, std::min(tripled, cap)));
    move_floats(grown.data(), storage_.data() + start_, size_);
    storage_.swap(grown);
    start_ = 0;
}

void SlidingBuffer::replace(std::size_t old_len, std::span<const float> tail, std::size_t keep) noexcept {
    const std::size_t from_tail = std::min(keep, tail.size());
    const std::size_t from_old = keep - from_tail;  // <= old_len
    const float* tail_end = tail.data() + (tail.size() - from_tail);
    const std::size_t old_end = start_ + old_len;
    if (old_end + from_tail <= storage_.size()) {
        move_floats(storage_.data() + old_end, tail_end, from_tail);
        start_ = old_end - from_old;
    } else {
        move_floats(storage_.data(), storage_.data() + (old_end - from_old), from_old);
        move_floats(storage_.data() + from_old, tail_end, from_tail);
        start_ = 0;
    }
    size_ = keep;
}

}  // namespace talvane
