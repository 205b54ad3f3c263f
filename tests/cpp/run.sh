#!/usr/bin/env bash
# Builds the core (no Python) with its C++ test and runs it.
# Environment: CXX (compiler, default g++), CXXFLAGS (added after this script's
# own flags, so they can override them), RUNNER (a command prefix for running the
# test, split into words, e.g. "qemu-aarch64 -L /usr/aarch64-linux-gnu").
set -euo pipefail
cd "$(dirname "$0")/../.."
# One folder per compiler, so a cross build never leaves a binary where another
# target's run looks (a MinGW build writes core_test.exe).
cxx="${CXX:-g++}"
out="build/core_test/$(printf '%s' "$cxx" | tr -c 'A-Za-z0-9._+-' '_')"
mkdir -p "$out"
rm -f "$out/core_test" "$out/core_test.exe"
# The core's sources, as CMakeLists.txt lists them for talvane_core.
core_sources=$(tr '\n' ' ' < CMakeLists.txt | sed -E 's/.*add_library\(talvane_core STATIC([^)]*)\).*/\1/')
# shellcheck disable=SC2086
$cxx -std=c++20 -O2 -ffp-contract=off -Wall -Wextra -Werror -Isrc/core ${CXXFLAGS:-} \
    $core_sources tests/cpp/core_test.cpp tests/cpp/stream_checks.cpp tests/cpp/alloc_count.cpp -o "$out/core_test"
# The energy kernels' software prefetch shows in no result, and GCC once deleted it
# unnoticed (it takes a helper whose only effect is a prefetch for one without
# effects): the kernels compiled for a target with vector paths must still issue it.
case "$($cxx -dumpmachine)" in
x86_64-* | aarch64-*)
    # shellcheck disable=SC2086
    $cxx -std=c++20 -O2 -ffp-contract=off -Isrc/core ${CXXFLAGS:-} -S -o "$out/energy.s" src/core/analysis/energy.cpp
    if ! grep -Eq '^[[:space:]]+(prefetch[a-z0-9]*|prfm)[[:space:]]' "$out/energy.s"; then
        echo "FAIL: the compiled energy kernels issue no prefetch" >&2
        exit 1
    fi
    ;;
esac
# A Windows compiler adds .exe, which Wine wants named.
bin="$out/core_test"
[ -e "$bin.exe" ] && bin="$bin.exe"
# shellcheck disable=SC2086
${RUNNER:-} "$bin"
