#!/usr/bin/env bash
# The whole test suite: every build the project ships or checks, each with
# its own tests, through the workflow presets of CMakePresets.json. Installs
# what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
need_packages "${BASE_PACKAGES[@]}"
need_packages "${X86_PACKAGES[@]}"
need_packages "${WIN32_PACKAGES[@]}"
need_i386_runners
need_boost_source
need_packages "${BENCH_PACKAGES[@]}"
need_packages valgrind clang

export CMAKE_BUILD_PARALLEL_LEVEL="$(nproc)" CTEST_PARALLEL_LEVEL="$(nproc)"
# The two 64-bit sanitizer builds beside the plain one; the 32-bit files the
# servers load, for Linux and for Windows (its tests under wine); Clang's
# thread-safety analysis of the plugin; and the benchmarks of both files as a
# smoke run only: tiny sizes, no goal judged.
for preset in default tsan asan x86-release win32-release analysis bench bench-x86; do
    echo "=== $preset ==="
    cmake --workflow --preset "$preset"
done
