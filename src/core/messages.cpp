// Failure texts of the core: the threshold-limit message and its float format.
#include "messages.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace talvane {

std::string format_float(float value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0.0f ? "-inf" : "inf";
    std::string sign = std::signbit(value) ? "-" : "";
    float magnitude = std::fabs(value);
    if (magnitude == 0.0f) return sign + "0.0";

    // Shortest round-trip digits, read off the scientific form "d.ddde[+-]xx".
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific);
    std::string text(buf, res.ptr);
    std::size_t e_pos = text.find('e');
    std::string digits = text.substr(0, e_pos);
    digits.erase(std::remove(digits.begin(), digits.end(), '.'), digits.end());
    int exponent = std::stoi(text.substr(e_pos + 1));

    if (magnitude < 1e-4f || magnitude >= 1e16f) {
        std::string out = sign + digits.substr(0, 1);
        if (digits.size() > 1) out += "." + digits.substr(1);
        return out + "e" + std::to_string(exponent);
    }
    std::string int_part, frac_part;
    if (exponent >= 0) {
        const auto int_len = static_cast<std::size_t>(exponent) + 1;
        if (digits.size() <= int_len) {
            int_part = digits + std::string(int_len - digits.size(), '0');
        } else {
            int_part = digits.substr(0, int_len);
            frac_part = digits.substr(int_len);
        }
    } else {
        int_part = "0";
        frac_part = std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
    }
    if (frac_part.empty()) frac_part = "0";
    return sign + int_part + "." + frac_part;
}

std::string threshold_limits_message(float base_thresh, float max_thresh) {
    return "min > max, or either was NaN. min = " + format_float(base_thresh) + ", max = " + format_float(max_thresh);
}

}  // namespace talvane
