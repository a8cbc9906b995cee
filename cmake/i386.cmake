# Whether this machine runs 32-bit x86 programs. Some build machines' kernels
# run no i386 code at all: there the Linux programs run under Debian's
# user-mode emulator, qemu-i386 (cmake/emulator.cmake), and the Windows ones
# not at all, since wine's 32-bit loader needs the kernel to run i386 code.
# Decided at every configure, by cmake/i386_mode.sh (VANTREL_I386=auto,
# native or emulate).
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
