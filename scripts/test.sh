#!/usr/bin/env bash
# The whole test suite: every build the project ships or checks, each with
# its own tests. Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
need_packages "${BASE_PACKAGES[@]}"
need_packages "${X86_PACKAGES[@]}"
need_packages "${WIN32_PACKAGES[@]}"
need_boost_source
need_packages libbenchmark-dev
need_packages valgrind

run_preset() {
    local preset=$1
    echo "=== $preset ==="
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j"$(nproc)"
    ctest --preset "$preset" -j"$(nproc)"
}

run_preset default
run_preset tsan
run_preset asan
run_preset x86-release
# The Windows DLL, its file checks, and the tests run on it under wine.
run_preset win32-release
# The benchmarks as a smoke run only: tiny sizes, no goal judged.
run_preset bench
