# Google Benchmark for the cross builds, for which Debian packages it for no
# architecture of theirs: compiled from Debian's source package by the
# library's own CMake build, without its tests.
include(${CMAKE_CURRENT_LIST_DIR}/debian_source.cmake)
vantrel_debian_source(benchmark archive)
include(FetchContent)
set(BENCHMARK_ENABLE_TESTING OFF)
set(BENCHMARK_ENABLE_INSTALL OFF)
set(BENCHMARK_ENABLE_WERROR OFF)
set(BENCHMARK_INSTALL_DOCS OFF)
# Features its configure would run a program to find, which a cross build can
# only compile, with a warning each: glibc and GCC's runtime have them all.
foreach(feature STD_REGEX GNU_POSIX_REGEX POSIX_REGEX STEADY_CLOCK)
    set(HAVE_${feature} 1)
endforeach()
FetchContent_Declare(benchmark URL ${archive})
FetchContent_MakeAvailable(benchmark)
