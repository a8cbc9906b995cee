# The suites: GoogleTest executables that load the built plugin into the
# emulated host and drive it as the servers do, and memcheck runs of two.

# What tests/support.h declares for Windows only.
if(WIN32)
    set(VANTREL_TEST_OS_SOURCES thread_state_win32.cpp)
endif()

# One test executable: its sources drive the plugin through the emulated host,
# and CTest runs each of its tests on its own. TIMEOUT is per test, in seconds.
function(vantrel_test name)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "TIMEOUT" "")
    if(NOT arg_TIMEOUT)
        set(arg_TIMEOUT 300)
    endif()
    add_executable(${name} ${arg_UNPARSED_ARGUMENTS} ${VANTREL_TEST_OS_SOURCES})
    target_link_libraries(${name} PRIVATE emuhost GTest::gtest_main)
    vantrel_warnings(${name})
    if(WIN32 AND NOT VANTREL_WINE_RUN)
        # Built all the same; GoogleTest cannot even list its tests.
        set_property(GLOBAL APPEND PROPERTY VANTREL_TESTS_UNDER_WINE ${name})
        return()
    endif()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT ${arg_TIMEOUT})
endfunction()

# What scripts see of the plugin, through its natives and the server's calls.
vantrel_test(vantrel-tests
    lifecycle_test.cpp
    openmp_order_test.cpp
    thread_test.cpp
    destroy_test.cpp
    teardown_test.cpp
    unload_lock_wait_test.cpp
    lock_test.cpp
    lock_lifetime_test.cpp
    machine_sharing_test.cpp
    own_machine_test.cpp
)

# The README's main job ends in the demo: it must run to its end on every
# build that runs tests.
if(NOT WIN32 OR VANTREL_WINE_RUN)
    add_test(NAME Demo.RunsToItsEnd COMMAND vantrel-demo)
    set_tests_properties(Demo.RunsToItsEnd PROPERTIES TIMEOUT 120)
endif()

# Every native given what no script should pass it.
vantrel_test(vantrel-bad-input-tests bad_input_test.cpp create_input_test.cpp)

# Randomized load under a model, and the watchdog that turns its hangs into
# failures, tested on its own.
vantrel_test(vantrel-stress-tests stress_test.cpp)
vantrel_test(vantrel-watchdog-tests watchdog_test.cpp)

# Thousands of workers at once, and workers' stacks: a process of its own.
vantrel_test(vantrel-capacity-tests capacity_test.cpp)

# Seams. Its own pthread_create, exported so that the plugin's threading
# library binds to it (on Windows: the plugin's imports of _beginthreadex and
# ResumeThread pointed at its own), fails or delays worker starts. Its own
# operator new and malloc (on Windows: the imports of malloc and calloc) fail
# the plugin's allocations one by one. Each in a process of its own.
vantrel_test(vantrel-start-failure-tests start_failure_test.cpp)
vantrel_test(vantrel-alloc-failure-tests alloc_failure_test.cpp TIMEOUT 600)
target_compile_definitions(vantrel-alloc-failure-tests PRIVATE
    $<$<BOOL:${VANTREL_DROP_IN}>:VANTREL_STATIC_RUNTIME>)
if(NOT WIN32)
    target_link_options(vantrel-start-failure-tests PRIVATE
        -Wl,--export-dynamic-symbol=pthread_create)
    set_target_properties(vantrel-alloc-failure-tests PROPERTIES ENABLE_EXPORTS ON)
endif()

if(VANTREL_TARGET STREQUAL "windows-x86")
    # A plugin built without __stdcall, which the host must reject. 64-bit
    # Windows has one convention only.
    add_library(cdecl-plugin MODULE cdecl_plugin.cpp cdecl_plugin.def)
    set_target_properties(cdecl-plugin PROPERTIES PREFIX "")
    target_include_directories(cdecl-plugin PRIVATE ${PROJECT_SOURCE_DIR})
    vantrel_warnings(cdecl-plugin)
    vantrel_test(vantrel-convention-tests calling_convention_test.cpp)
    target_compile_definitions(vantrel-convention-tests PRIVATE
        VANTREL_CDECL_PLUGIN_PATH="$<TARGET_FILE:cdecl-plugin>")
    add_dependencies(vantrel-convention-tests cdecl-plugin)
endif()

get_property(under_wine GLOBAL PROPERTY VANTREL_TESTS_UNDER_WINE)
if(under_wine)
    vantrel_not_run(win32-release "${VANTREL_I386_WHY}, so the DLL's tests under wine are not run \
(the 64-bit DLL's, in win64-release, run under wine64, which needs no i386 support)" ${under_wine})
endif()

# Load, heavy use and unload under memcheck: nothing may be lost and no read
# may stray. The sanitizer builds check the same their own way.
find_program(VALGRIND_PROGRAM valgrind)
if(VANTREL_EMULATOR)
    cmake_path(GET PROJECT_BINARY_DIR FILENAME build)
    cmake_path(GET VANTREL_EMULATOR FILENAME emulator)
    vantrel_not_run(${build} "valgrind cannot run a program under ${emulator}, so memcheck is not run"
                    memcheck.stress memcheck.bad_input)
elseif(VALGRIND_PROGRAM AND NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize" AND NOT WIN32)
    set(MEMCHECK ${VALGRIND_PROGRAM} --tool=memcheck --leak-check=full
        --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect
        --error-exitcode=1)
    add_test(NAME memcheck.stress COMMAND ${MEMCHECK} $<TARGET_FILE:vantrel-stress-tests>)
    set_tests_properties(memcheck.stress PROPERTIES TIMEOUT 600
        ENVIRONMENT "VANTREL_STRESS_SECONDS=8;VANTREL_STRESS_OPS=50000")
    add_test(NAME memcheck.bad_input COMMAND ${MEMCHECK} $<TARGET_FILE:vantrel-bad-input-tests>)
    set_tests_properties(memcheck.bad_input PROPERTIES TIMEOUT 600)
endif()
