// One plug-in instance, whatever the host's API: the streaming gate over one or two
// channels of float32 blocks, its controls and meters, allocation-free in run().
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "analysis/band_filter.hpp"
#include "block_log.hpp"
#include "controls.hpp"
#include "streaming/live_stream.hpp"

namespace talvane::plugin {

// The most frames one call of the gate takes, when the host announces no smaller
// maximum; a longer block is gated in pieces of this many frames (and a last,
// shorter one). Reserved at activate(), so it bounds the instance's memory.
inline constexpr std::size_t kMaxPiece = 8192;  // frames

// The channel counts of the variants.
inline constexpr std::size_t kMaxChannels = 2;

// The gate of one instance. Ports are the host's buffers, connected at any time
// before run(); an unconnected control reads as its default, an unconnected meter
// is not written. Stereo decides on the mean of the two channels and applies the
// gain to each, as a Stream of two channels does.
class PluginGate {
public:
    // Throws CheckFailed for a rate of 0 and std::bad_alloc; max_block is the
    // host's largest block (0 when it announces none).
    PluginGate(std::uint64_t sample_rate, std::size_t channels, std::size_t max_block);

    // Ports in the order both APIs number them: the inputs, the outputs (one per
    // channel), the controls in table order, then the meters. Past them: ignored.
    void connect_port(std::size_t port, void* data) noexcept;

    // Reserves everything run() needs for blocks of any length with any control
    // values, and starts a new stream. May throw std::bad_alloc.
    void activate();

    // Gates `frames` frames from the inputs into the outputs (which may be the
    // inputs themselves). Allocates nothing and cannot fail. Before activate()
    // (a host out of line), the audio passes unchanged.
    void run(std::size_t frames) noexcept;

    std::size_t piece_frames() const noexcept { return piece_; }

private:
    void take_controls() noexcept;
    void gate_piece(std::size_t offset, std::size_t frames);
    void bypass_piece(std::size_t offset, std::size_t frames) noexcept;
    void write_meters() noexcept;

    std::uint64_t sample_rate_;
    std::size_t channels_;
    std::size_t piece_;  // frames per gate call, at most
    BandFilter speech_;  // at rest: copied in when the band is switched on
    std::array<const float*, kMaxChannels> in_{};
    std::array<float*, kMaxChannels> out_{};
    std::array<const float*, kControlCount> controls_{};
    std::array<float*, kMeterCount> meters_{};
    std::array<float, kControlCount> raw_{};     // the controls as last read
    std::array<float, kControlCount> values_{};  // and as the gate took them
    GateConfig config_;
    LiveState live_;
    std::vector<float> frames_in_, frames_out_;  // interleaved copies of a piece
    std::optional<float> bypass_from_;  // the gain a bypass's first ramp starts from
    bool active_ = false;
    bool fresh_ = true;                 // no block taken since activate()
    BlockLog log_;
};

}  // namespace talvane::plugin
