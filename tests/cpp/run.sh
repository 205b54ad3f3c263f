#!/usr/bin/env bash
# Builds the core (no Python) with its C++ test and runs it.
set -euo pipefail
cd "$(dirname "$0")/../.."
out=build/core_test
mkdir -p "$out"
${CXX:-g++} -std=c++20 -O2 -ffp-contract=off -Wall -Wextra -Werror -Isrc ${CORE_TEST_FLAGS:-} \
    src/analysis/keep_mask.cpp src/analysis/energy.cpp src/batch/gain.cpp src/batch/compact.cpp \
    src/streaming/stream_state.cpp tests/cpp/core_test.cpp -o "$out/core_test"
"$out/core_test"
