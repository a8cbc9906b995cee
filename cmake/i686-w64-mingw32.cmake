# Builds for the 32-bit Windows servers on a Debian machine.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VANTREL_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
