# Runs the Windows build's test programs under wine, in a prefix of the build
# folder's own. The 32-bit DLL's need the kernel to run i386 code, which some
# build machines' cannot (cmake/i386.cmake); the 64-bit DLL's run under
# wine64, which needs no i386 support, on every machine. The prefix is made
# once, at the first configure, so that wine's first-run setup never lands in
# a test's output. VANTREL_WINE_RUN is the wrapper, when the tests run.
if(NOT VANTREL_TESTS)
    return()
endif()
if(VANTREL_TARGET STREQUAL "windows-x86")
    if(NOT VANTREL_I386_MODE STREQUAL "native")
        return()
    endif()
    find_program(VANTREL_WINE wine REQUIRED)
    set(VANTREL_WINE_ARCH win32)
else()
    # Debian's wine64 package keeps its loader out of PATH.
    find_program(VANTREL_WINE64 wine64 PATHS /usr/lib/wine REQUIRED)
    set(VANTREL_WINE ${VANTREL_WINE64})
    set(VANTREL_WINE_ARCH win64)
    message(NOTICE "win64-release: the DLL's tests run under wine64, which needs no i386 "
                   "support, so they run on every build machine")
endif()
set(VANTREL_WINE_PREFIX ${PROJECT_BINARY_DIR}/wine-prefix)

if(NOT EXISTS ${VANTREL_WINE_PREFIX}/system.reg)
    message(STATUS "Making the ${VANTREL_WINE_ARCH} wine prefix ${VANTREL_WINE_PREFIX}")
    # No display: wine's Mono and Gecko installers, which would ask, stay off.
    set(environment WINEPREFIX=${VANTREL_WINE_PREFIX} WINEARCH=${VANTREL_WINE_ARCH}
        WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= DISPLAY=)
    execute_process(
        COMMAND ${CMAKE_COMMAND} -E env ${environment} ${VANTREL_WINE} wineboot -i
        RESULT_VARIABLE booted OUTPUT_QUIET ERROR_QUIET)
    # The server outlives wineboot until it has written the prefix.
    find_program(VANTREL_WINESERVER wineserver PATHS /usr/lib/wine REQUIRED)
    execute_process(
        COMMAND ${CMAKE_COMMAND} -E env ${environment} ${VANTREL_WINESERVER} -w)
    if(NOT booted EQUAL 0 OR NOT EXISTS ${VANTREL_WINE_PREFIX}/system.reg)
        message(FATAL_ERROR "wineboot could not make the prefix ${VANTREL_WINE_PREFIX}")
    endif()
endif()

# One program, not a command with arguments: GoogleTest's test discovery in
# CMake 3.25 passes an emulator's arguments on wrongly.
set(VANTREL_WINE_RUN ${PROJECT_BINARY_DIR}/wine-run)
configure_file(${PROJECT_SOURCE_DIR}/cmake/wine_run.sh.in ${VANTREL_WINE_RUN} @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${VANTREL_WINE_RUN})
