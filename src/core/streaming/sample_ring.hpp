// The context's samples: two pieces that are put back in one only for a read across them.
#pragma once

#include <algorithm>
#include <array>
#include <cassert>
#include <cstddef>
#include <cstring>
#include <span>
#include <vector>

#include "streaming/sliding_buffer.hpp"

namespace talvane {

// A stream's newest samples, oldest first, in a block of storage that only grows.
// They lie in one piece, or in two: the older ones (piece A) at the back of the
// block, the newer ones (piece B) at its front. Appends go after the newest value;
// the oldest are dropped by moving a start offset.
//
// When appends reach the block's end, a sliding buffer moves every value back to
// the front. This one looks at how far back the calls since the last end read:
// a call reads only the samples a window or a run of windows it sums needs, which
// for a stream on the window grid is none (the window store holds the context's
// energies) and for most others is the last window or a few. When that reach is at
// most a share of the values, only those last values are copied to the front, and
// the appends go on after them: piece B. A is then dropped from the front as the
// context moves on, and B is all that is left once A is gone. A read that spans
// both pieces puts them back in one first (a rotation in place), and the larger
// reach it leaves makes the next end move everything, as a sliding buffer does.
//
// Invariants: the values are storage[a_start, a_end) then, when wrapped,
// storage[0, b_end), with b_end <= a_start; size = (a_end - a_start) + b_end.
class SampleRing {
public:
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return storage_.size(); }
    bool wrapped() const noexcept { return wrapped_; }

    // The `count` values from the `from`-th on, in one piece. Puts the two pieces
    // back in one when the values lie across them, which moves every value: a
    // pointer read before is then stale, as it is after a replace, reserve or
    // clear. Readers use what they read at once.
    const float* read(std::size_t from, std::size_t count) noexcept {
        assert(from + count <= size_);
        reach_ = std::max(reach_, size_ - from);
        const std::size_t older = a_end_ - a_start_;
        if (wrapped_ && from < older && from + count > older) join_pieces();
        if (!wrapped_ || from < older) return storage_.data() + a_start_ + from;
        return storage_.data() + (from - older);
    }
    // The values as they lie, A then B, without putting them in one piece and without
    // counting as a read.
    std::array<std::span<const float>, 2> pieces() const noexcept {
        return {std::span<const float>(storage_.data() + a_start_, a_end_ - a_start_),
                std::span<const float>(storage_.data(), b_end_)};
    }

    // The reads since the last end begin piece B when they reached back at most a
    // quarter of the values: copying more to the front would cost about as much as
    // moving them all, and a read across the two pieces would soon join them.
    static constexpr std::size_t kReachShare = 4;
    // Room for `keep` values at least, with a quarter as much again for cheap
    // appends; `most` is the largest keep expected, which caps the growth at
    // 1.25 * most. May throw std::bad_alloc; the values held stay the same.
    void reserve(std::size_t keep, std::size_t most) {
        if (storage_.size() - storage_.size() / (kSlackShare + 1) < keep) grow(keep, most);
    }

    // Becomes the last `keep` values of (the first old_len values held) followed by
    // `tail`. Needs reserve(keep) first; cannot fail.
    void replace(std::size_t old_len, std::span<const float> tail, std::size_t keep) noexcept {
        assert(old_len <= size_ && keep <= storage_.size());
        if (old_len < size_) {  // the values past old_len go, from A's end once B is after it
            join_pieces();
            a_end_ = a_start_ + old_len;
        }
        const std::size_t from_tail = std::min(keep, tail.size());
        drop_front(old_len - (keep - from_tail));
        append(tail.last(from_tail));
        size_ = keep;
    }
    void clear() noexcept {
        a_start_ = a_end_ = b_end_ = size_ = reach_ = 0;
        wrapped_ = false;
    }

private:
    static void copy_values(float* dst, const float* src, std::size_t count) noexcept {
        if (count != 0) std::memmove(dst, src, count * sizeof(float));  // null pointers only with a count of 0
    }

    void drop_front(std::size_t count) noexcept {
        a_start_ += count;
        if (wrapped_ && a_start_ >= a_end_) {  // A is gone: B is all there is
            a_start_ -= a_end_;
            a_end_ = b_end_;
            b_end_ = 0;
            wrapped_ = false;
        }
    }

    void append(std::span<const float> tail) noexcept {
        const std::size_t n = tail.size();
        if (wrapped_ && b_end_ + n > a_start_) join_pieces();
        if (wrapped_) {
            copy_values(storage_.data() + b_end_, tail.data(), n);
            b_end_ += n;
            return;
        }
        if (a_end_ + n > storage_.size()) at_end(n);
        float* at = storage_.data() + (wrapped_ ? b_end_ : a_end_);
        copy_values(at, tail.data(), n);
        (wrapped_ ? b_end_ : a_end_) += n;
    }

    // The block's end is reached with n values to append: the last values the reads
    // reached begin B when that is cheap, else every value moves to the front.
    void at_end(std::size_t n) noexcept {
        const std::size_t held = a_end_ - a_start_, reach = std::min(reach_, held);
        reach_ = 0;
        if (reach <= held / kReachShare && reach + n <= a_start_) {
            copy_values(storage_.data(), storage_.data() + (a_end_ - reach), reach);
            a_end_ -= reach;
            b_end_ = reach;
            wrapped_ = a_end_ > a_start_;
            if (!wrapped_) {  // A held only what B took
                a_start_ = 0;
                a_end_ = b_end_;
                b_end_ = 0;
            }
            return;
        }
        copy_values(storage_.data(), storage_.data() + a_start_, held);
        a_start_ = 0;
        a_end_ = held;
    }

    // Puts A at the block's front and B after it: [B, gap, A] turns into [A, B, gap].
    void join_pieces() noexcept {
        if (!wrapped_) return;
        std::rotate(storage_.begin(), storage_.begin() + static_cast<std::ptrdiff_t>(a_start_),
                    storage_.begin() + static_cast<std::ptrdiff_t>(a_end_));
        a_end_ = (a_end_ - a_start_) + b_end_;
        a_start_ = b_end_ = 0;
        wrapped_ = false;
    }

    void grow(std::size_t keep, std::size_t most) {
        std::vector<float> grown(grown_room(keep, most, storage_.max_size()));
        const std::size_t older = a_end_ - a_start_;
        copy_values(grown.data(), storage_.data() + a_start_, older);
        copy_values(grown.data() + older, storage_.data(), b_end_);
        storage_.swap(grown);
        a_start_ = 0;
        a_end_ = older + b_end_;
        b_end_ = 0;
        wrapped_ = false;
    }

    std::vector<float> storage_;
    std::size_t a_start_ = 0, a_end_ = 0;  // piece A
    std::size_t b_end_ = 0;                // piece B: [0, b_end), when wrapped
    std::size_t size_ = 0;
    bool wrapped_ = false;
    std::size_t reach_ = 0;  // the most values before the end read since the last end
};

// A call's view of the context: its length known at once, its samples read as
// ranges (those that lie across the ring's two pieces put them back in one first).
// Empty when it views no ring.
class HeldSamples {
public:
    HeldSamples() = default;
    explicit HeldSamples(SampleRing& ring) noexcept : ring_(&ring), size_(ring.size()) {}

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    // The `count` values from the `from`-th on, in one piece.
    const float* read(std::size_t from, std::size_t count) const noexcept {
        return count == 0 ? nullptr : ring_->read(offset_ + from, count);
    }
    std::span<const float> span(std::size_t from, std::size_t count) const noexcept { return {read(from, count), count}; }
    float operator[](std::size_t i) const noexcept { return *read(i, 1); }
    // The values from `skip` on (skip <= size()).
    HeldSamples subspan(std::size_t skip) const noexcept {
        HeldSamples rest = *this;
        rest.offset_ += skip;
        rest.size_ -= skip;
        return rest;
    }

private:
    SampleRing* ring_ = nullptr;
    std::size_t offset_ = 0;
    std::size_t size_ = 0;
};

}  // namespace talvane
