// Lane types for the music measure's kernels: one double, two or four side by side,
// with the few operations the kernels need beside IEEE +, -, *, / and comparisons.
// Only music_kernels.cpp includes it.
#pragma once

#include <bit>
#include <cstddef>
#include <cstring>

#include "analysis/simd.hpp"

namespace talvane::music_lanes {

// Lane types, every operation the IEEE one on each lane: one double; a pair in a
// vector register on GCC and Clang (SSE2, NEON), a plain pair elsewhere
// (TALVANE_PLAIN_PAIRS picks it anywhere, to check that both give the same bits);
// four doubles for AVX2 on x86-64 with GCC and Clang.
template <class V>
struct Lanes;

template <>
struct Lanes<double> {
    static constexpr std::size_t n = 1;
    static double load(const double* p) { return *p; }
    static void store(double* p, double v) { *p = v; }
    static double both(double v) { return v; }
    static double widen(const float* p) { return static_cast<double>(*p); }
    static void narrow(float* p, double v) { *p = static_cast<float>(v); }
    static double reversed(const double* p) { return *p; }
};
TALVANE_ALWAYS_INLINE double pick(bool m, double a, double b) { return m ? a : b; }

#if (defined(__GNUC__) || defined(__clang__)) && !defined(TALVANE_PLAIN_PAIRS)
typedef double Pair __attribute__((vector_size(16)));
// No quads on Windows: GCC there keeps the stack 16-byte aligned and does not
// realign it for 32-byte values, so a quad it spills to the stack could fault. For
// the same reason the kernels' stack arrays ask for 16 bytes only (every load and
// store of lanes is unaligned anyway).
#if defined(_WIN32)
#define TALVANE_MUSIC_QUADS 0
#else
#define TALVANE_MUSIC_QUADS TALVANE_X86
#endif
#if TALVANE_MUSIC_QUADS
typedef double Quad __attribute__((vector_size(32)));
// Quads pass only between functions of this file, all inlined into the AVX2 path's
// entry points: no call ever passes one, so the warning about their calling
// convention without AVX does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"
#endif
// a where m is set, else b (m from a comparison of vectors).
template <class Mask, class V>
TALVANE_ALWAYS_INLINE V pick(Mask m, V a, V b) {
    return std::bit_cast<V>((std::bit_cast<Mask>(a) & m) | (std::bit_cast<Mask>(b) & ~m));
}
// The vector lanes, as many as V holds, loaded and stored without alignment.
template <class V>
struct VectorLanes {
    static constexpr std::size_t n = sizeof(V) / sizeof(double);
    typedef float Floats __attribute__((vector_size(sizeof(V) / 2)));
    TALVANE_ALWAYS_INLINE static V load(const double* p) {
        V v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    TALVANE_ALWAYS_INLINE static void store(double* p, V v) { std::memcpy(p, &v, sizeof v); }
    TALVANE_ALWAYS_INLINE static V both(double v) {
        V r;
        for (std::size_t i = 0; i < n; ++i) r[i] = v;
        return r;
    }
    TALVANE_ALWAYS_INLINE static V widen(const float* p) {
        Floats f;
        std::memcpy(&f, p, sizeof f);
        return __builtin_convertvector(f, V);
    }
    TALVANE_ALWAYS_INLINE static void narrow(float* p, V v) {
        const Floats f = __builtin_convertvector(v, Floats);
        std::memcpy(p, &f, sizeof f);
    }
    // p[n - 1], ..., p[0].
    TALVANE_ALWAYS_INLINE static V reversed(const double* p) {
        const V v = load(p);
        if constexpr (n == 2) {
            return __builtin_shufflevector(v, v, 1, 0);
        } else {
            return __builtin_shufflevector(v, v, 3, 2, 1, 0);
        }
    }
};
template <>
struct Lanes<Pair> : VectorLanes<Pair> {};
// (v[1], -v[0]): a complex value (re, im) times -i.
TALVANE_ALWAYS_INLINE Pair turned(Pair v) {
    typedef long long Bits __attribute__((vector_size(16)));
    const Pair swapped = __builtin_shufflevector(v, v, 1, 0);
    return std::bit_cast<Pair>(std::bit_cast<Bits>(swapped) ^ Bits{0, static_cast<long long>(1ull << 63)});
}
#if TALVANE_MUSIC_QUADS
template <>
struct Lanes<Quad> : VectorLanes<Quad> {};
#endif
#else
#define TALVANE_MUSIC_QUADS 0
struct Pair {
    double v[2];
    double operator[](int i) const { return v[i]; }
};
struct PairMask {
    bool v[2];
};
#define TALVANE_PAIR_OP(op)                                                             \
    inline Pair operator op(Pair a, Pair b) { return {a.v[0] op b.v[0], a.v[1] op b.v[1]}; }
TALVANE_PAIR_OP(+)
TALVANE_PAIR_OP(-)
TALVANE_PAIR_OP(*)
TALVANE_PAIR_OP(/)
#undef TALVANE_PAIR_OP
#define TALVANE_PAIR_COMPARE(op)                                                             \
    inline PairMask operator op(Pair a, Pair b) { return {a.v[0] op b.v[0], a.v[1] op b.v[1]}; }
TALVANE_PAIR_COMPARE(==)
TALVANE_PAIR_COMPARE(<)
TALVANE_PAIR_COMPARE(>=)
#undef TALVANE_PAIR_COMPARE
inline Pair pick(PairMask m, Pair a, Pair b) { return {m.v[0] ? a.v[0] : b.v[0], m.v[1] ? a.v[1] : b.v[1]}; }
template <>
struct Lanes<Pair> {
    static constexpr std::size_t n = 2;
    static Pair load(const double* p) { return {p[0], p[1]}; }
    static void store(double* p, Pair v) { p[0] = v.v[0], p[1] = v.v[1]; }
    static Pair both(double v) { return {v, v}; }
    static Pair widen(const float* p) { return {static_cast<double>(p[0]), static_cast<double>(p[1])}; }
    static void narrow(float* p, Pair v) { p[0] = static_cast<float>(v.v[0]), p[1] = static_cast<float>(v.v[1]); }
    static Pair reversed(const double* p) { return {p[1], p[0]}; }
};
inline Pair turned(Pair v) { return {v.v[1], -v.v[0]}; }
#endif

}  // namespace talvane::music_lanes
