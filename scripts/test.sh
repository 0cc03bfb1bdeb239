#!/usr/bin/env bash
# Builds korvane and runs the whole test suite: C++ unit tests (ctest) and the Python API tests
# (pytest). With --sanitize, both run against an AddressSanitizer + UndefinedBehaviorSanitizer
# build instead.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/bootstrap.sh"
cd "$KORVANE_ROOT"

sanitize=OFF
[[ "${1:-}" == "--sanitize" ]] && sanitize=ON
jobs=$(nproc 2>/dev/null || echo 2)

cpp_build="build/cpp-tests"
[[ $sanitize == ON ]] && cpp_build="build/cpp-tests-sanitize"
cmake -S . -B "$cpp_build" -G Ninja -DKORVANE_BUILD_PYTHON=OFF -DKORVANE_BUILD_TESTS=ON \
    -DKORVANE_SANITIZE=$sanitize >/dev/null
cmake --build "$cpp_build" -j "$jobs"
ctest --test-dir "$cpp_build" --output-on-failure -j "$jobs"

if [[ $sanitize == OFF ]]; then
    build_korvane
    python -m pytest
else
    # The sanitized module is staged next to the pure-Python package and put first on the path;
    # the interpreter itself is not sanitized, so the runtime is preloaded and leak checks
    # (which would report the interpreter's own allocations) are off.
    stage="build/sanitize-stage"
    cmake -S . -B build/python-sanitize -G Ninja -DKORVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DPython_EXECUTABLE="$KORVANE_VENV/bin/python" >/dev/null
    cmake --build build/python-sanitize -j "$jobs"
    rm -rf "$stage" && mkdir -p "$stage"
    cp -r python/korvane "$stage/"
    cmake --install build/python-sanitize --prefix "$stage" >/dev/null
    LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" \
        ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        PYTHONPATH="$KORVANE_ROOT/$stage" python -m pytest -p no:cacheprovider
fi
