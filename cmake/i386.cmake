# How this build's 32-bit programs run on this machine. Some build machines'
# kernels run no i386 code at all: there the Linux programs run under Debian's
# user-mode emulator, qemu-i386, and the Windows ones not at all, since wine's
# 32-bit loader needs the kernel to run i386 code. Decided at every configure,
# by cmake/i386_mode.sh (VANTREL_I386=auto, native or emulate).
execute_process(
    COMMAND sh ${PROJECT_SOURCE_DIR}/cmake/i386_mode.sh
    OUTPUT_VARIABLE VANTREL_I386_MODE OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE probed)
if(NOT probed EQUAL 0)
    message(FATAL_ERROR "cmake/i386_mode.sh could not tell how to run i386 programs")
endif()
if(VANTREL_I386_MODE STREQUAL "native")
    set(VANTREL_I386_WHY "")
elseif("$ENV{VANTREL_I386}" STREQUAL "emulate")
    set(VANTREL_I386_WHY "VANTREL_I386=emulate runs i386 programs under qemu-i386 only")
else()
    set(VANTREL_I386_WHY "this machine runs no i386 code")
endif()

if(WIN32)
    return()
endif()
# Every build's wrapper, emulated or not, so that a build folder whose mode
# changes keeps the test commands it has discovered.
if(VANTREL_I386_MODE STREQUAL "emulate")
    find_program(VANTREL_QEMU_I386 qemu-i386 REQUIRED)
    set(VANTREL_EMULATOR ${VANTREL_QEMU_I386})
    set(VANTREL_ELF_MACHINE "Intel 80386")
    set(VANTREL_I386_RUNNER "exec '${VANTREL_QEMU_I386}' \"$@\"")
    message(STATUS "i386 programs run under qemu-i386: ${VANTREL_I386_WHY}")
else()
    set(VANTREL_I386_RUNNER "exec \"$@\"")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/i386_run.sh.in ${PROJECT_BINARY_DIR}/i386-run @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_BINARY_DIR}/i386-run)
