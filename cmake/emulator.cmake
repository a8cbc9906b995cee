# How this build's Linux programs run on this machine: natively where the
# kernel runs them (i386 on most x86-64 machines: cmake/i386.cmake tells),
# else under Debian's user-mode emulator for their machine. CTest and
# GoogleTest's test discovery start them through one wrapper program,
# build/<preset>/<arch>-run: one program, not a command with arguments, since
# CMake 3.25's test discovery passes an emulator's arguments on wrongly. The
# wrapper is made for native runs too, so that a build folder whose mode
# changes keeps the test commands it has discovered. VANTREL_EMULATOR is the
# emulator, or empty.
string(REGEX REPLACE "^linux-" "" arch ${VANTREL_TARGET})
set(VANTREL_RUN_NAME ${arch}-run)
if(VANTREL_TARGET STREQUAL "linux-i386" AND VANTREL_I386_MODE STREQUAL "native")
    set(VANTREL_EMULATOR "")
    set(VANTREL_RUNS_HOW "natively")
    set(VANTREL_RUNNER "exec \"$@\"")
else()
    find_program(VANTREL_QEMU_PATH ${VANTREL_QEMU} REQUIRED)
    set(VANTREL_EMULATOR ${VANTREL_QEMU_PATH})
    set(VANTREL_RUNS_HOW "under ${VANTREL_QEMU}")
    set(VANTREL_RUNNER "exec '${VANTREL_EMULATOR}'")
    if(CMAKE_FIND_ROOT_PATH)
        # The cross toolchain's glibc and C++ runtime, where the program's
        # loader and libraries are found.
        string(APPEND VANTREL_RUNS_HOW ", with the libraries of ${CMAKE_FIND_ROOT_PATH}")
        string(APPEND VANTREL_RUNNER " -L '${CMAKE_FIND_ROOT_PATH}'")
    endif()
    string(APPEND VANTREL_RUNNER " \"$@\"")
    set(why "")
    if(VANTREL_I386_WHY)
        set(why ": ${VANTREL_I386_WHY}")
    endif()
    message(STATUS "${VANTREL_TARGET} programs run ${VANTREL_RUNS_HOW}${why}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/emulator_run.sh.in
               ${PROJECT_BINARY_DIR}/${VANTREL_RUN_NAME} @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_BINARY_DIR}/${VANTREL_RUN_NAME})
