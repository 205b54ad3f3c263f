// The music measure's values per window, and the threshold a factor raises.
#include "analysis/music_decision.hpp"

namespace talvane {

void MusicSpectra::take(std::span<const float> part) {
    const std::size_t had = values.size();
    values.resize(had + static_cast<std::size_t>(measure.spectra_after(part.size())));
    const std::size_t made = measure.process(part, std::span<MusicValues>(values).subspan(had));
    values.resize(had + made);
}

std::vector<MusicValues> MusicSpectra::per_window(std::uint64_t window_len, std::uint64_t n) const {
    const std::uint64_t period = measure.period();
    std::vector<MusicValues> out;
    out.reserve(static_cast<std::size_t>(n / window_len + 1));
    for (std::uint64_t start = 0; start < n; start += window_len) {
        const std::uint64_t end = n - start > window_len ? start + window_len : n;
        out.push_back(window_music(values, 1, end, period));
    }
    return out;
}

}  // namespace talvane
