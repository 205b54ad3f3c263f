// STUB (lead's local placeholder until the real measure lands)
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
namespace talvane {
struct MusicValues { float steadiness, novelty, factor; };
class MusicMeasure {
public:
    MusicMeasure() noexcept : MusicMeasure(16000, 160) {}
    MusicMeasure(std::uint64_t, std::uint64_t window_len) noexcept : period_(2 * (window_len ? window_len : 1)) {}
    std::uint64_t period() const noexcept { return period_; }
    std::uint64_t spectra_after(std::uint64_t n) const noexcept { return (count_ + n) / period_ - count_ / period_; }
    std::size_t process(std::span<const float> samples, std::span<MusicValues> out) noexcept {
        std::size_t k = spectra_after(samples.size());
        for (std::size_t i = 0; i < k; ++i) { double t = (double)(count_ / period_ + i); out[i] = {0.5f, 0.3f, 1.0f + (float)((long)t % 3) * 0.5f}; }
        count_ += samples.size();
        return k;
    }
    std::uint64_t spectra() const noexcept { return count_ / period_; }
    void reset() noexcept { count_ = 0; }
private:
    std::uint64_t period_, count_ = 0;
};
}
