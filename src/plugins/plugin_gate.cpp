// One plug-in instance: controls taken at each block, the gate over pieces of the
// block, the bypass's ramps, the meters.
#include "plugin_gate.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "analysis/keep_mask.hpp"
#include "messages.hpp"

namespace talvane::plugin {

namespace {

BandFilter speech_filter(std::uint64_t sample_rate) {
    if (sample_rate == 0) throw CheckFailed("the sample rate must be at least 1 Hz");
    // The speech preset fits every rate above 0 (an edge too near Nyquist is dropped).
    return BandFilter(*band_preset("speech", sample_rate), sample_rate);
}

// A level as dBFS for a meter, held within the meter's range.
float meter_db(float level) noexcept {
    if (!(level > 0.0f)) return kMeterFloorDb;
    const float db = static_cast<float>(20.0 * std::log10(static_cast<double>(level)));
    return std::clamp(db, kMeterFloorDb, 0.0f);
}

// The block unchanged; nothing to do when the host runs in place.
void copy_through(const float* in, float* out, std::size_t frames) noexcept {
    if (in != out) std::copy(in, in + frames, out);
}

}  // namespace

PluginGate::PluginGate(std::uint64_t sample_rate, std::size_t channels, std::size_t max_block)
    : sample_rate_(sample_rate),
      channels_(channels),
      piece_(max_block == 0 ? kMaxPiece : std::min(max_block, kMaxPiece)),
      speech_(speech_filter(sample_rate)) {
    for (std::size_t id = 0; id < kControlCount; ++id) values_[id] = kControls[id].fallback;
}

void PluginGate::connect_port(std::size_t port, void* data) noexcept {
    if (port < channels_) {
        in_[port] = static_cast<const float*>(data);
    } else if ((port -= channels_) < channels_) {
        out_[port] = static_cast<float*>(data);
    } else if ((port -= channels_) < kControlCount) {
        controls_[port] = static_cast<const float*>(data);
    } else if ((port -= kControlCount) < kMeterCount) {
        meters_[port] = static_cast<float*>(data);
    }
}

void PluginGate::activate() {
    // The widest settings the controls allow: the longest context, the noise rule,
    // which follows a second rank, and the music measure, which keeps spectra.
    // Every other control leaves the room needed unchanged.
    GateConfig widest = settings_from_controls(values_, sample_rate_);
    widest.stream_context_ms = static_cast<std::uint64_t>(kControls[kContext].max);
    live_.stream.rule = ThresholdRule::noise;
    set_music(live_.stream.music, true);
    reserve_live_stream(live_, widest, sample_rate_, piece_);
    live_.stream.rule = threshold_rule(values_);
    set_music(live_.stream.music, music_measure(values_));
    frames_in_.resize(piece_ * channels_);
    frames_out_.resize(piece_ * channels_);
    reset_live(live_);
    bypass_from_.reset();
    fresh_ = true;
    active_ = true;
    log_.open(sample_rate_, channels_);
}

// A change of any control takes effect at this block. The context and the last
// gain are kept; the caches derived from the context are dropped, since the
// settings they were made under have changed, which costs this block a fresh
// analysis and changes no bit. The music measure, switched on or off, starts anew:
// its spectra begin with this block, and the context before it reads none. Leaving
// the bypass ramps from the bypass's gain of 1; entering it ramps from the gate's
// last gain to 1 (bypass_piece).
void PluginGate::take_controls() noexcept {
    bool moved = fresh_;  // any control's bits since the last block
    for (std::size_t id = 0; id < kControlCount; ++id) {
        const float raw = controls_[id] != nullptr ? *controls_[id] : kControls[id].fallback;
        moved |= std::bit_cast<std::uint32_t>(raw) != std::bit_cast<std::uint32_t>(raw_[id]);
        raw_[id] = raw;
    }
    if (!moved) return;
    bool changed = fresh_;  // any value as the gate takes it
    for (std::size_t id = 0; id < kControlCount; ++id) {
        const float value = control_value(static_cast<ControlId>(id), raw_[id]);
        changed |= std::bit_cast<std::uint32_t>(value) != std::bit_cast<std::uint32_t>(values_[id]);
        values_[id] = value;
    }
    if (!changed) return;
    const bool was_enabled = config_.enabled;
    config_ = settings_from_controls(values_, sample_rate_);
    if (speech_band(values_) != live_.band.has_value()) {
        if (speech_band(values_)) {
            live_.band = speech_;
        } else {
            live_.band.reset();
        }
    }
    live_.stream.rule = threshold_rule(values_);
    set_music(live_.stream.music, music_measure(values_));  // switched, the measure starts anew
    live_.stream.caches.forget();
    if (!fresh_ && was_enabled && !config_.enabled) bypass_from_ = live_.stream.last_gain;
    if (!fresh_ && !was_enabled && config_.enabled && live_.stream.last_gain) live_.stream.last_gain = 1.0f;
    fresh_ = false;
}

void PluginGate::gate_piece(std::size_t offset, std::size_t frames) {
    Frames piece{nullptr, SampleType::f32, frames, channels_};
    float* dst = nullptr;
    if (channels_ == 1) {
        const float* src = in_[0] + offset;
        dst = out_[0] + offset;
        if (src == dst) {  // in place: the gate reads the piece after writing it
            std::copy(src, src + frames, frames_in_.begin());
            src = frames_in_.data();
        }
        piece.data = src;
    } else {
        for (std::size_t f = 0; f < frames; ++f) {
            for (std::size_t c = 0; c < channels_; ++c) frames_in_[f * channels_ + c] = in_[c][offset + f];
        }
        piece.data = frames_in_.data();
        dst = frames_out_.data();
    }
    log_.note(frames);
    LivePlan plan = plan_live(config_, live_, sample_rate_, piece, dst);
    reserve_live(live_, plan);  // within the room activate() made: allocates nothing
    commit_live(live_, plan, piece);
    if (channels_ == 1) return;
    for (std::size_t f = 0; f < frames; ++f) {
        for (std::size_t c = 0; c < channels_; ++c) out_[c][offset + f] = frames_out_[f * channels_ + c];
    }
}

// The bypass passes the audio through; its first piece ramps from the gate's last
// gain to 1 over the fade, as an entry ramp does (squeezed into a shorter piece).
void PluginGate::bypass_piece(std::size_t offset, std::size_t frames) noexcept {
    log_.note(frames);
    const std::uint64_t fade_len = ms_to_samples(sample_rate_, config_.fade_ms);
    const bool ramp = bypass_from_ && *bypass_from_ != 1.0f && fade_len >= 2;
    const std::size_t len = ramp ? static_cast<std::size_t>(std::min<std::uint64_t>(frames, fade_len)) : 0;
    for (std::size_t c = 0; c < channels_; ++c) {
        const float* in = in_[c] + offset;
        float* out = out_[c] + offset;
        for (std::size_t k = 1; k <= len; ++k) {
            const float p = *bypass_from_;
            out[k - 1] = in[k - 1] * (p + (1.0f - p) * (static_cast<float>(k) / static_cast<float>(len)));
        }
        copy_through(in + len, out + len, frames - len);
    }
    bypass_from_.reset();
}

void PluginGate::write_meters() noexcept {
    const CallView& view = live_.stream.last_call;
    if (meters_[kGateOpen] != nullptr) *meters_[kGateOpen] = live_.kept ? 1.0f : 0.0f;
    if (meters_[kGain] != nullptr) *meters_[kGain] = config_.enabled ? live_.stream.last_gain.value_or(1.0f) : 1.0f;
    if (meters_[kFloor] != nullptr) *meters_[kFloor] = view.present ? meter_db(view.floor) : kMeterFloorDb;
    if (meters_[kThreshold] != nullptr) {
        *meters_[kThreshold] = view.present ? meter_db(view.threshold.value) : kMeterFloorDb;
    }
}

void PluginGate::run(std::size_t frames) noexcept {
    for (std::size_t c = 0; c < channels_; ++c) {
        if (in_[c] == nullptr || out_[c] == nullptr) return;
    }
    if (!active_) {
        for (std::size_t c = 0; c < channels_; ++c) copy_through(in_[c], out_[c], frames);
        return;
    }
    take_controls();
    try {
        for (std::size_t offset = 0; offset < frames; offset += piece_) {
            const std::size_t n = std::min(piece_, frames - offset);
            if (config_.enabled) {
                gate_piece(offset, n);
            } else {
                bypass_piece(offset, n);
            }
        }
    } catch (...) {
        // Never expected after activate(): the gate's one failure (limits out of
        // order) is ruled out by the controls, and no call allocates. Should it
        // happen, the block passes unchanged rather than the host failing.
        for (std::size_t c = 0; c < channels_; ++c) copy_through(in_[c], out_[c], frames);
    }
    write_meters();
}

}  // namespace talvane::plugin
