// The gate parameters as Python sees them: their names, in order, their text
// signature and their conversion, all expanded from the core's one table.
#pragma once

#include "convert/ref.hpp"

#include <algorithm>
#include <array>
#include <span>

#include "config.hpp"
#include "method_table.hpp"

namespace talvane::py {

inline constexpr std::array<const char*, kGateParameterCount> kConfigNames{
#define TALVANE_PARAMETER_NAME(kind, name, value) #name,
    TALVANE_GATE_PARAMETERS(TALVANE_PARAMETER_NAME)
#undef TALVANE_PARAMETER_NAME
};

namespace detail {
// A default as Python writes it: True or False for a flag, the table's own text
// for a number.
template <bool Value>
constexpr auto flag_text() {
    if constexpr (Value) return Text("True");
    else return Text("False");
}
template <std::size_t N>
constexpr Text<N> number_text(const char (&text)[N]) { return Text<N>(text); }
#define TALVANE_DEFAULT_TEXT_flag(v) detail::flag_text<v>()
#define TALVANE_DEFAULT_TEXT_count(v) detail::number_text(#v)
#define TALVANE_DEFAULT_TEXT_level(v) detail::number_text(#v)
}  // namespace detail

// "(enabled=True, window_ms=10, ..., pass_windows=0)\n--\n\n": the constructors'
// text signature, which inspect.signature reads.
namespace detail {
template <std::size_t Skip, std::size_t N>
constexpr Text<N - Skip> drop_front(const Text<N>& text) {
    Text<N - Skip> out;
    std::copy_n(text.chars + Skip, N - Skip, out.chars);
    return out;
}
// ", enabled=True, window_ms=10, ...": each entry with the separator in front.
inline constexpr auto kSignatureEntries = join(
#define TALVANE_SIGNATURE_ENTRY(kind, name, value) Text(", " #name "="), TALVANE_DEFAULT_TEXT_##kind(value),
    TALVANE_GATE_PARAMETERS(TALVANE_SIGNATURE_ENTRY)
#undef TALVANE_SIGNATURE_ENTRY
    Text(""));
}  // namespace detail
inline constexpr auto kParameterSignature =
    join(Text("("), detail::drop_front<2>(detail::kSignatureEntries), Text(")\n--\n\n"));

// Converts the given parameters one after another in table order (flags by the
// bool rule, counts as unsigned words, levels as float32); an empty Ref keeps the
// default. The first failing conversion raises with its parameter's name.
GateConfig to_config(std::span<const Ref, kGateParameterCount> args);

}  // namespace talvane::py
