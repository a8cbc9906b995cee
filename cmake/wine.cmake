# Runs the Windows build's test programs under wine, in a 32-bit prefix of the
# build folder's own. The prefix is made once, at the first configure, so that
# wine's first-run setup never lands in a test's output.
if(NOT VANTREL_TESTS OR NOT VANTREL_I386_MODE STREQUAL "native")
    return()
endif()

find_program(VANTREL_WINE wine REQUIRED)
find_program(VANTREL_WINEBOOT wineboot REQUIRED)
set(VANTREL_WINE_PREFIX ${PROJECT_BINARY_DIR}/wine-prefix)

if(NOT EXISTS ${VANTREL_WINE_PREFIX}/system.reg)
    message(STATUS "Making the 32-bit wine prefix ${VANTREL_WINE_PREFIX}")
    # No display: wine's Mono and Gecko installers, which would ask, stay off.
    execute_process(
        COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${VANTREL_WINE_PREFIX} WINEARCH=win32
                WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= DISPLAY=
                ${VANTREL_WINEBOOT} -i
        RESULT_VARIABLE booted OUTPUT_QUIET ERROR_QUIET)
    execute_process(
        COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${VANTREL_WINE_PREFIX} wineserver -w)
    if(NOT booted EQUAL 0 OR NOT EXISTS ${VANTREL_WINE_PREFIX}/system.reg)
        message(FATAL_ERROR "wineboot could not make the prefix ${VANTREL_WINE_PREFIX}")
    endif()
endif()

# One program, not a command with arguments: GoogleTest's test discovery in
# CMake 3.25 passes an emulator's arguments on wrongly.
configure_file(${PROJECT_SOURCE_DIR}/cmake/wine_run.sh.in ${PROJECT_BINARY_DIR}/wine-run @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_BINARY_DIR}/wine-run)
