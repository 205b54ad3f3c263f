#!/usr/bin/env bash
# Builds the libFuzzer target on the DSP core (ASan + UBSan, clang) and runs it.
# Usage: tools/fuzz.sh [SECONDS] [extra libFuzzer flags]   (default 60 s)
# Needs clang and its runtime: apt-get install clang libclang-rt-14-dev
# New inputs go to build/fuzz/corpus; fuzz/corpus holds the committed seeds, which
# fuzz/make_seeds.py writes. A finding (a sanitizer report, a broken invariant, an
# input running past 30 s or 4 GiB) stops the run, leaves crash-*, timeout-* or
# oom-* in build/fuzz and exits non-zero.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
shift || true
out=build/fuzz
mkdir -p "$out/corpus"

# The core's sources, as CMakeLists.txt lists them for talvane_core.
core_sources=$(tr '\n' ' ' < CMakeLists.txt | sed -E 's/.*add_library\(talvane_core STATIC([^)]*)\).*/\1/')
cxx="${CXX_FUZZ:-$(command -v clang++ || command -v clang++-14 || echo clang++)}"
# shellcheck disable=SC2086
"$cxx" -std=c++20 -O1 -g -fno-omit-frame-pointer \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -ffp-contract=off \
    -Wall -Wextra -Wshadow -Wdouble-promotion -Werror -Isrc/core -Itests/cpp \
    fuzz/fuzz_core.cpp $core_sources -o "$out/fuzz_core"

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# New allocations are filled with 0xbe up to 16 MiB (not 4 KiB), so a read of an
# element nobody wrote shows up as a wrong value.
export ASAN_OPTIONS=max_malloc_fill_size=16777216
# Fork mode runs one child per core within the one time limit and stops at the
# first finding, with a non-zero exit.
forks="${FUZZ_FORKS:-$(nproc)}"
cd "$out"
./fuzz_core corpus ../../fuzz/corpus -fork="$forks" -max_len=4096 -len_control=0 \
    -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 -ignore_timeouts=0 -ignore_ooms=0 \
    -print_final_stats=1 "$@"
