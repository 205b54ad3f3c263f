// One set of analysis working buffers per extension module, lent to the stream a
// call gates.
#pragma once

#include <memory>

#include "streaming/stream_state.hpp"

namespace talvane {

// The many streams of a server then share buffers that stay in the processor's
// caches instead of each keeping its own. Calls never overlap, as each holds the
// interpreter lock from start to end; a call that runs Python code on the way (an
// event callback) and meets another stream's call there finds no buffers to lend,
// and that call makes its own.
inline constinit std::unique_ptr<StreamAnalysis> shared_buffers;

class LentBuffers {
public:
    explicit LentBuffers(StreamState& state) noexcept : state_(state) { state_.spare = std::move(shared_buffers); }
    ~LentBuffers() { shared_buffers = std::move(state_.spare); }
    LentBuffers(const LentBuffers&) = delete;
    LentBuffers& operator=(const LentBuffers&) = delete;

private:
    StreamState& state_;
};

}  // namespace talvane
