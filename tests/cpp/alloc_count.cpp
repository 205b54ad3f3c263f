// Allocations counted while asked (operator new everywhere, malloc too on glibc), and live calls that make none.
#include <atomic>
#include <cstdlib>
#include <new>
#include <random>
#include <vector>

#include "analysis/band_filter.hpp"
#include "checks.hpp"
#include "streaming/live_stream.hpp"

#if defined(__GLIBC__)
extern "C" void* __libc_malloc(std::size_t);
extern "C" void* __libc_calloc(std::size_t, std::size_t);
extern "C" void* __libc_realloc(void*, std::size_t);
extern "C" void* __libc_memalign(std::size_t, std::size_t);
extern "C" void __libc_free(void*);
#endif

namespace {

std::atomic<bool> counting{false};
std::atomic<std::uint64_t> counted{0};

void note() noexcept {
    if (counting.load(std::memory_order_relaxed)) counted.fetch_add(1, std::memory_order_relaxed);
}

void* raw_alloc(std::size_t n) {
#if defined(__GLIBC__)
    return __libc_malloc(n == 0 ? 1 : n);
#else
    return std::malloc(n == 0 ? 1 : n);
#endif
}

void raw_free(void* p) noexcept {
#if defined(__GLIBC__)
    __libc_free(p);
#else
    std::free(p);
#endif
}

}  // namespace

// The C++ allocation functions the core reaches, replaced for the whole test.
void* operator new(std::size_t n) {
    note();
    if (void* p = raw_alloc(n)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { raw_free(p); }
void operator delete[](void* p) noexcept { raw_free(p); }
void operator delete(void* p, std::size_t) noexcept { raw_free(p); }
void operator delete[](void* p, std::size_t) noexcept { raw_free(p); }

#if defined(__GLIBC__)
// The C library's allocator too, which large result buffers come from.
extern "C" void* malloc(std::size_t n) {
    note();
    return __libc_malloc(n);
}
extern "C" void* calloc(std::size_t n, std::size_t size) {
    note();
    return __libc_calloc(n, size);
}
extern "C" void* realloc(void* p, std::size_t n) {
    note();
    return __libc_realloc(p, n);
}
extern "C" void free(void* p) { __libc_free(p); }
#endif

namespace talvane {

std::uint64_t allocations() { return counted.load(); }
void count_allocations(bool on) { counting.store(on); }

// After reserve_live_stream for a largest chunk, live calls of that many frames or
// fewer allocate nothing: mono float32 (the gate reads the frames themselves) and
// stereo through the speech band, whole-window and off-grid lengths, at 44.1 and
// 48 kHz, past the context's filling and through lengths that change.
void live_calls_allocate_nothing() {
    // The count sees an allocation of either kind, or the check below could not fail.
    const std::uint64_t at_start = allocations();
    count_allocations(true);
    std::vector<float> probe(4096);
    count_allocations(false);
    CHECK(allocations() > at_start && probe.size() == 4096, "allocations not counted");
    std::mt19937_64 rng(4410);
    for (const std::uint64_t rate : {44100u, 48000u}) {
        for (const std::size_t channels : {1u, 2u}) {
            const GateConfig config;
            LiveState live;
            if (channels == 2) live.band.emplace(*band_preset("speech", rate), rate);
            const std::size_t most = 2048;
            reserve_live_stream(live, config, rate, most);
            const std::size_t lengths[] = {1024, 512, rate == 44100 ? 882u : 960u, 441, 1, 2048, 333};
            std::vector<float> frames(most * channels), out(most * channels);
            std::uint64_t made = 0;
            for (int call = 0; call < 700; ++call) {
                const std::size_t n = call < 400 ? lengths[call / 100] : lengths[4 + rng() % 3];
                const std::vector<float> x = random_signal(rng, n * channels);
                std::copy(x.begin(), x.end(), frames.begin());
                const Frames chunk{frames.data(), SampleType::f32, n, channels};
                const std::uint64_t before = allocations();
                count_allocations(true);
                LivePlan plan = plan_live(config, live, rate, chunk, out.data());
                reserve_live(live, plan);
                commit_live(live, plan, chunk);
                count_allocations(false);
                made += allocations() - before;
            }
            CHECK(made == 0, "live calls allocated %llu times (%llu Hz, %zu channels)",
                  static_cast<unsigned long long>(made), static_cast<unsigned long long>(rate), channels);
        }
    }
}

}  // namespace talvane
