// What the vector paths of the analysis need from the compiler and the processor:
// which vector units the target has, how a function is compiled for AVX2, and a
// transpose of eight registers that the window sums and the lattice share.
#pragma once

// Vector paths are chosen at compile time by target: SSE2 is part of x86-64 (the
// package refuses 32-bit targets), with AVX2 chosen at run time; NEON is part of
// aarch64.
#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#define TALVANE_X86 1
#if defined(_MSC_VER)
#include <intrin.h>
#endif
#elif defined(__aarch64__)
#include <arm_neon.h>
#define TALVANE_NEON 1
#endif

// MSVC compiles AVX2 intrinsics in any function; GCC and Clang need the target named.
#if defined(__GNUC__) || defined(__clang__)
#define TALVANE_AVX2 __attribute__((target("avx2")))
#define TALVANE_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define TALVANE_AVX2
#define TALVANE_ALWAYS_INLINE __forceinline
#endif
// Pointers that no other pointer in reach writes through.
#define TALVANE_RESTRICT __restrict

namespace talvane {

#if TALVANE_X86
// Rows r0..r7 of an 8 x 8 block of floats become its columns.
TALVANE_AVX2 inline void transpose8(__m256& r0, __m256& r1, __m256& r2, __m256& r3, __m256& r4, __m256& r5,
                                    __m256& r6, __m256& r7) {
    const __m256 t0 = _mm256_unpacklo_ps(r0, r1), t1 = _mm256_unpackhi_ps(r0, r1);
    const __m256 t2 = _mm256_unpacklo_ps(r2, r3), t3 = _mm256_unpackhi_ps(r2, r3);
    const __m256 t4 = _mm256_unpacklo_ps(r4, r5), t5 = _mm256_unpackhi_ps(r4, r5);
    const __m256 t6 = _mm256_unpacklo_ps(r6, r7), t7 = _mm256_unpackhi_ps(r6, r7);
    const __m256 u0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 u1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
    const __m256 u2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 u3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
    const __m256 u4 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 u5 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(3, 2, 3, 2));
    const __m256 u6 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 u7 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(3, 2, 3, 2));
    r0 = _mm256_permute2f128_ps(u0, u4, 0x20);
    r1 = _mm256_permute2f128_ps(u1, u5, 0x20);
    r2 = _mm256_permute2f128_ps(u2, u6, 0x20);
    r3 = _mm256_permute2f128_ps(u3, u7, 0x20);
    r4 = _mm256_permute2f128_ps(u0, u4, 0x31);
    r5 = _mm256_permute2f128_ps(u1, u5, 0x31);
    r6 = _mm256_permute2f128_ps(u2, u6, 0x31);
    r7 = _mm256_permute2f128_ps(u3, u7, 0x31);
}
#endif

}  // namespace talvane
