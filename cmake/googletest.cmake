# Debian ships GoogleTest libraries for the machine's own architecture only,
# and its source beside them: a cross build compiles that source.
option(VANTREL_GTEST_FROM_SOURCE "Build GoogleTest from its source (cross builds)" OFF)
if(VANTREL_GTEST_FROM_SOURCE)
    include(FetchContent)
    set(BUILD_GMOCK OFF)
    set(INSTALL_GTEST OFF)
    FetchContent_Declare(googletest SOURCE_DIR /usr/src/googletest)
    FetchContent_MakeAvailable(googletest)
else()
    find_package(GTest REQUIRED)
endif()
include(GoogleTest)
