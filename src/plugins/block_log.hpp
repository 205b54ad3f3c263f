// The lengths of the pieces an instance gated, written to a file for the host
// tests, which replay them through Stream. Compiled in only when the build defines
// TALVANE_PLUGIN_BLOCK_LOG (a test build, never an installed one): it writes from
// run(), which a real-time host must not see.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(TALVANE_PLUGIN_BLOCK_LOG)
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#endif

namespace talvane::plugin {

#if defined(TALVANE_PLUGIN_BLOCK_LOG)

// With TALVANE_PLUGIN_BLOCK_LOG set to a folder, each activation writes a file of
// its own there: "rate channels", then one "length count" line per run of equal
// lengths, in order.
class BlockLog {
public:
    BlockLog() = default;
    BlockLog(const BlockLog&) = delete;
    BlockLog& operator=(const BlockLog&) = delete;
    ~BlockLog() { close(); }

    void open(std::uint64_t sample_rate, std::size_t channels) {
        close();
        const char* folder = std::getenv("TALVANE_PLUGIN_BLOCK_LOG");
        if (folder == nullptr) return;
        static std::atomic<unsigned> serial{0};
        const std::string path = std::string(folder) + "/" + std::to_string(getpid()) + "-" +
                                 std::to_string(serial++) + ".log";
        file_ = std::fopen(path.c_str(), "w");
        if (file_ != nullptr) std::fprintf(file_, "%llu %zu\n", static_cast<unsigned long long>(sample_rate), channels);
    }

    void note(std::size_t frames) {
        if (file_ == nullptr) return;
        if (frames != length_ && count_ > 0) flush();
        length_ = frames;
        ++count_;
    }

private:
    void flush() {
        std::fprintf(file_, "%zu %llu\n", length_, static_cast<unsigned long long>(count_));
        count_ = 0;
    }
    void close() {
        if (file_ == nullptr) return;
        if (count_ > 0) flush();
        std::fclose(file_);
        file_ = nullptr;
    }

    std::FILE* file_ = nullptr;
    std::size_t length_ = 0;
    std::uint64_t count_ = 0;
};

#else

class BlockLog {
public:
    void open(std::uint64_t, std::size_t) noexcept {}
    void note(std::size_t) noexcept {}
};

#endif

}  // namespace talvane::plugin
