// Result conversion: new lists and new NumPy arrays that take over the result buffer.
#pragma once

#include "convert/ref.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "analysis/music_measure.hpp"
#include "buffer.hpp"

namespace talvane::py {

Ref float_list(std::span<const float> values);        // each float32 widened exactly
Ref bool_list(std::span<const std::uint8_t> flags);   // the True/False singletons
Ref float_array(SampleBuffer&& values);  // float32, wraps the buffer
Ref bool_array(FlagBuffer&& flags);      // bool, one byte per flag
Ref float_array(std::vector<float>&& values);
Ref bool_array(std::vector<std::uint8_t>&& flags);
Ref float_value(float value);                          // widened exactly
Ref text(const char* value);                           // a str from UTF-8
Ref tuple(std::span<Ref> items);                       // takes the items over
Ref unsigned_int(std::uint64_t value);
Ref optional_float(std::optional<float> value);        // None when absent
Ref none();
// (steadiness, novelty, factor): three float32 arrays, one value per window.
Ref music_arrays(std::span<const MusicValues> values);

struct AudioFrames;
// A new, writable, C-contiguous array of like's dtype (in native byte order) and
// shape, its storage uninitialised; `data` is set to its first sample.
Ref frames_array_like(const AudioFrames& like, void*& data);

}  // namespace talvane::py
