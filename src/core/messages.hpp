// The core's failure texts and the float formatting they are written with.
#pragma once

#include <stdexcept>
#include <string>

namespace talvane {

// The analysis's one failed check (threshold limits out of order), with its text.
class CheckFailed : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Shortest decimal text that reads back as the same float32 (at least one digit
// after the point; exponent form below 1e-4 or from 1e16; "NaN", "inf", and a
// leading minus for every negative value, -0.0 and -inf included).
std::string format_float(float value);

// "min > max, or either was NaN. min = <base>, max = <max>".
std::string threshold_limits_message(float base_thresh, float max_thresh);

}  // namespace talvane
