#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer into
# build/asan-stage and runs the test suite against it; any finding fails the run.
# Usage: tools/sanitize.sh [pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."

stage=build/asan-stage
flags="-fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=all"
flags+=" -fno-omit-frame-pointer -g -O1"

# The build runs without isolation so that build/asan can be reused between runs.
python -m pip install -q 'scikit-build-core>=0.10' 'numpy>=2' cmake ninja pytest
rm -rf "$stage"
python -m pip install -q --no-build-isolation --no-deps --target "$stage" \
    -C build-dir=build/asan -C cmake.build-type=Debug \
    -C "cmake.define.CMAKE_CXX_FLAGS=$flags" \
    -C "cmake.define.CMAKE_MODULE_LINKER_FLAGS=-fsanitize=address,undefined" \
    .

# The interpreter itself is not instrumented: the ASan runtime must be loaded first,
# and the C++ runtime with it, or ASan finds no __cxa_throw to intercept and aborts
# at the first C++ exception. Leaks are the leak check's business (the interpreter
# keeps memory until exit). Reports go to files, since pytest captures stderr.
logs="$PWD/build/asan-logs"
rm -rf "$logs" && mkdir -p "$logs"
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:max_malloc_fill_size=16777216:log_path=$logs/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$logs/ubsan"
export PYTHONPATH="$PWD/$stage${PYTHONPATH:+:$PYTHONPATH}"
# An editable install's import hook would win over PYTHONPATH; it stands aside for
# the build directories named here.
export SKBUILD_EDITABLE_SKIP="$(printf '%s:' "$PWD"/build/*)"

python - <<'EOF'
import os, talvane_rs._native as native
where = os.path.realpath(native.__file__)
assert where.startswith(os.path.realpath("build/asan-stage")), where
print("sanitized build:", where)
EOF
# -p no:cacheprovider: the sanitized run leaves no cache behind.
status=0
python -m pytest -p no:cacheprovider "$@" || status=$?
if compgen -G "$logs/*" > /dev/null; then
    cat "$logs"/* >&2
    echo "sanitizer findings above" >&2
    exit 1
fi
exit "$status"
