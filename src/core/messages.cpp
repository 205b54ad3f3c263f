// Failure texts of the core: the threshold-limit message and its float format.
#include "messages.hpp"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace talvane {

// The shortest float text is made here from printf and strtof rather than taken
// from std::to_chars(float): the C++ library of macOS provides to_chars for
// floating-point types only from macOS 13.3 on, and the module is built for older
// releases too. printf gives the digits at 1 to 9 significant digits; at each
// length the decimals one unit above and below the nearest are tried as well,
// since the nearest alone comes out a digit long for values such as 2^-96, 2^87
// and 2^90.

namespace {

// A decimal mantissa * 10^exponent.
struct Decimal {
    std::uint64_t mantissa;
    int exponent;
};

// The float32 that this decimal reads as. Written with no decimal point, so the
// locale's radix character never enters.
float read_back(Decimal d) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%llue%d", static_cast<unsigned long long>(d.mantissa), d.exponent);
    return std::strtof(buf, nullptr);
}

// The decimal of `digits` significant digits nearest to a positive finite value,
// read off the scientific form "d.ddde[+-]xx" (whatever the radix character).
Decimal nearest(float magnitude, int digits) {
    char buf[64];
    // The double holds the float exactly; printf rounds it to the digits asked for.
    std::snprintf(buf, sizeof buf, "%.*e", digits - 1, static_cast<double>(magnitude));
    Decimal d{0, 0};
    const char* p = buf;
    for (; *p != 'e' && *p != '\0'; ++p) {
        if (*p >= '0' && *p <= '9') d.mantissa = d.mantissa * 10 + static_cast<std::uint64_t>(*p - '0');
    }
    d.exponent = (*p == 'e' ? std::atoi(p + 1) : 0) - (digits - 1);
    return d;
}

// The shortest decimal that reads back as this positive finite float, and of
// those the nearest to it. The nearest decimal of a given length may miss the
// float while the one a unit above or below reads back (the interval that rounds
// to a float is not centred on the nearest decimal), so both are tried at each
// length. At most one of them can read back when the nearest does not, and since
// no decimal lies exactly halfway between two that both read back, nothing
// depends on how printf breaks ties.
Decimal shortest(float magnitude) {
    for (int digits = 1; digits <= 9; ++digits) {
        const Decimal near = nearest(magnitude, digits);
        if (read_back(near) == magnitude) return near;
        std::uint64_t low = 1;  // 10^(digits-1): the smallest mantissa of this length
        for (int i = 1; i < digits; ++i) low *= 10;
        // One unit below a power of ten is in the finer grid of the decade below.
        const Decimal below = near.mantissa == low ? Decimal{low * 10 - 1, near.exponent - 1}
                                                   : Decimal{near.mantissa - 1, near.exponent};
        if (read_back(below) == magnitude) return below;
        const Decimal above{near.mantissa + 1, near.exponent};
        if (read_back(above) == magnitude) return above;
    }
    return nearest(magnitude, 9);  // nine digits always read back
}

}  // namespace

std::string format_float(float value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0.0f ? "-inf" : "inf";
    std::string sign = std::signbit(value) ? "-" : "";
    float magnitude = std::fabs(value);
    if (magnitude == 0.0f) return sign + "0.0";

    // Shortest round-trip digits, without trailing zeros, and the power of ten of
    // the first one.
    Decimal d = shortest(magnitude);
    while (d.mantissa % 10 == 0) {
        d.mantissa /= 10;
        ++d.exponent;
    }
    const std::string digits = std::to_string(d.mantissa);
    const int exponent = d.exponent + static_cast<int>(digits.size()) - 1;

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
