#!/usr/bin/env bash
# Builds the core (no Python) and the plug-ins' instance with the C++ test and runs
# it; compiles the LV2 and LADSPA entry points too where their headers are found.
# Environment: CXX (compiler, default g++), CXXFLAGS (added after this script's
# own flags, so they can override them), PLUGIN_CALLS (see below), RUNNER (a
# command prefix for running the test, split into words, e.g. "qemu-aarch64 -L
# /usr/aarch64-linux-gnu").
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
plugin_sources="src/plugins/controls.cpp src/plugins/plugin_gate.cpp"
# shellcheck disable=SC2086
$cxx -std=c++20 -O2 -ffp-contract=off -Wall -Wextra -Werror -Isrc/core -Isrc/plugins ${CXXFLAGS:-} \
    $core_sources $plugin_sources tests/cpp/core_test.cpp tests/cpp/stream_checks.cpp tests/cpp/alloc_count.cpp \
    tests/cpp/music_checks.cpp tests/cpp/plugin_checks.cpp -o "$out/core_test"
# The plug-in APIs are C headers of their own: a folder that holds only them lets a
# cross compiler see them without the build machine's other headers.
headers="$out/plugin_headers"
mkdir -p "$headers"
if [ -e /usr/include/lv2/core/lv2.h ] && [ -e /usr/include/ladspa.h ]; then
    ln -sfn /usr/include/lv2 "$headers/lv2"
    ln -sf /usr/include/ladspa.h "$headers/ladspa.h"
    for api in lv2_plugin ladspa_plugin; do
        # shellcheck disable=SC2086
        $cxx -std=c++20 -O2 -ffp-contract=off -Wall -Wextra -Werror -Isrc/core -Isrc/plugins -I"$headers" \
            ${CXXFLAGS:-} -c "src/plugins/$api.cpp" -o "$out/$api.o"
    done
else
    echo "plug-in entry points not compiled: no LV2 or LADSPA headers (Debian: lv2-dev, ladspa-sdk)"
fi
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
# The plug-in's allocation count makes PLUGIN_CALLS run() calls: a million by
# default, 20000 under an emulator.
calls=("${PLUGIN_CALLS:-1000000}")
[ -n "${RUNNER:-}" ] && [ -z "${PLUGIN_CALLS:-}" ] && calls=(20000)
# Wine can end a program that crashed with status 0: the run counts only when it
# also ends on its summary with no failure (a Windows build ends its lines with \r).
log="$out/core_test.log"
status=0
# shellcheck disable=SC2086
${RUNNER:-} "$bin" "${calls[@]}" 2>&1 | tee "$log" || status=$?
if [ "$status" -ne 0 ] || ! tail -n 1 "$log" | tr -d '\r' | grep -Eq '^[0-9]+ passed, 0 failed$'; then
    echo "FAIL: the C++ test did not run to its summary with no failure (status $status)" >&2
    exit 1
fi
