#!/usr/bin/env bash
# Builds the core (no Python) with its C++ test and runs it.
# Environment: CXX (compiler, default g++), CXXFLAGS (added after this script's
# own flags, so they can override them), RUNNER (a command prefix for running the
# test, split into words, e.g. "qemu-aarch64 -L /usr/aarch64-linux-gnu").
set -euo pipefail
cd "$(dirname "$0")/../.."
out=build/core_test
mkdir -p "$out"
# The core's sources, as CMakeLists.txt lists them for talvane_core.
core_sources=$(tr '\n' ' ' < CMakeLists.txt | sed -E 's/.*add_library\(talvane_core STATIC([^)]*)\).*/\1/')
# shellcheck disable=SC2086
${CXX:-g++} -std=c++20 -O2 -ffp-contract=off -Wall -Wextra -Werror -Isrc/core ${CXXFLAGS:-} \
    $core_sources tests/cpp/core_test.cpp -o "$out/core_test"
# shellcheck disable=SC2086
${RUNNER:-} "$out/core_test"
