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
need_packages "${ARM_PACKAGES[@]}"
need_packages "${WIN64_PACKAGES[@]}"
need_i386_runners
need_boost_source
need_packages "${BENCH_PACKAGES[@]}"
# strace: the check that emulated programs start through their emulator only.
need_packages valgrind clang strace

export CMAKE_BUILD_PARALLEL_LEVEL="$(nproc)" CTEST_PARALLEL_LEVEL="$(nproc)"
# The two 64-bit sanitizer builds beside the plain one; the 32-bit files the
# servers load, for Linux and for Windows (its tests under wine); open.mp's
# other files, 64-bit x86 Linux natively, ARM Linux under qemu and 64-bit
# Windows under wine64 (which runs on every build machine), each with its
# benchmarks' smoke run but Windows'; Clang's thread-safety analysis of the
# plugin; and the benchmarks of the 64-bit and the 32-bit x86 Linux builds as
# a smoke run only: tiny sizes, no goal judged.
for preset in default tsan asan x86-release win32-release x86_64-release aarch64-release \
    armhf-release win64-release analysis bench bench-x86; do
    echo "=== $preset ==="
    started=$SECONDS
    cmake --workflow --preset "$preset"
    echo "=== $preset: $((SECONDS - started)) s"
done
