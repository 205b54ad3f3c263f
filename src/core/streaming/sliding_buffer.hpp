// A growing sequence's newest values in one block of storage that only grows.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace talvane {

// The newest values of a growing sequence, oldest first, in one storage block that
// only grows: values are appended after the live part and the front is dropped by
// moving a start offset, with one move back to the front when the block's end is
// reached, so a call costs in proportion to what it appends, not to what is held.
// Emptying keeps the storage.
class SlidingBuffer {
public:
    std::span<const float> view() const noexcept { return {storage_.data() + start_, size_}; }
    float* data() noexcept { return storage_.data() + start_; }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return storage_.size(); }
    // Room for the values appended between two moves back to the front, as a share
    // of those kept: with a quarter, a stream's context takes 1.25 times its length,
    // and each appended value costs at most four moved ones.
    static constexpr std::size_t kSlackShare = 4;
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
    void replace(std::size_t old_len, std::span<const float> tail, std::size_t keep) noexcept;
    void clear() noexcept { start_ = size_ = 0; }

private:
    void grow(std::size_t keep, std::size_t most);

    std::vector<float> storage_;
    std::size_t start_ = 0;
    std::size_t size_ = 0;
};

}  // namespace talvane
