# Boost.Thread for the Windows build. No Boost is packaged for MinGW, so the
# build compiles the parts the plugin uses from Debian's Boost source package,
# as a static library. The sources are fetched and unpacked once into the
# build folder, and the library is an ordinary target of this build: a
# rebuild neither fetches nor compiles Boost again.
set(VANTREL_BOOST_DIR ${PROJECT_BINARY_DIR}/boost-1.74 CACHE PATH
    "Boost's headers and Boost.Thread's sources, unpacked from Debian's source package")

# Libraries whose headers Boost.Thread and the plugin include: in the source
# package each keeps its headers in boost/libs/NAME/include/boost/.
set(VANTREL_BOOST_HEADER_LIBRARIES
    assert atomic bind chrono config container_hash core date_time detail exception function
    integer intrusive io iterator move mpl numeric/conversion optional predef preprocessor ratio
    smart_ptr static_assert system thread throw_exception tuple type_index type_traits utility
    winapi)

# The folder records what it was unpacked with: a list that has changed since
# unpacks it again.
set(unpackedWith "")
if(EXISTS ${VANTREL_BOOST_DIR}/unpacked)
    file(READ ${VANTREL_BOOST_DIR}/unpacked unpackedWith)
endif()
if(NOT unpackedWith STREQUAL "${VANTREL_BOOST_HEADER_LIBRARIES}")
    set(download ${PROJECT_BINARY_DIR}/boost-download)
    file(MAKE_DIRECTORY ${download})
    file(GLOB archive ${download}/boost1.74_*.orig.tar.xz)
    if(NOT archive)
        message(STATUS "Fetching Debian's Boost 1.74 source package")
        execute_process(COMMAND apt-get source --download-only boost1.74
                        WORKING_DIRECTORY ${download}
                        RESULT_VARIABLE fetched OUTPUT_QUIET ERROR_VARIABLE fetchErrors)
        file(GLOB archive ${download}/boost1.74_*.orig.tar.xz)
        if(NOT fetched EQUAL 0 OR NOT archive)
            message(FATAL_ERROR "apt-get source boost1.74 failed:\n${fetchErrors}\n"
                                "scripts/test.sh adds the deb-src entry for bookworm it needs")
        endif()
    endif()

    set(members boost/LICENSE_1_0.txt boost/libs/thread/src/)
    foreach(library IN LISTS VANTREL_BOOST_HEADER_LIBRARIES)
        list(APPEND members boost/libs/${library}/include/)
    endforeach()
    set(partial ${VANTREL_BOOST_DIR}.partial)
    file(REMOVE_RECURSE ${partial})
    file(MAKE_DIRECTORY ${partial})
    message(STATUS "Unpacking Boost's headers and Boost.Thread's sources")
    # Every library's headers merge into one include folder.
    execute_process(
        COMMAND tar -xJf ${archive} --transform "s|^boost/libs/\\([^/]*/\\)\\{1,2\\}include/||"
                ${members}
        WORKING_DIRECTORY ${partial}
        RESULT_VARIABLE unpacked ERROR_VARIABLE unpackErrors)
    if(NOT unpacked EQUAL 0)
        message(FATAL_ERROR "cannot unpack ${archive}:\n${unpackErrors}")
    endif()
    file(REMOVE_RECURSE ${VANTREL_BOOST_DIR})
    file(RENAME ${partial} ${VANTREL_BOOST_DIR})
    file(WRITE ${VANTREL_BOOST_DIR}/unpacked "${VANTREL_BOOST_HEADER_LIBRARIES}")
    file(REMOVE_RECURSE ${download})
endif()

# The sources Boost.Thread's own build compiles for Windows.
set(sources ${VANTREL_BOOST_DIR}/boost/libs/thread/src)
add_library(vantrel_boost_thread STATIC
    ${sources}/win32/thread.cpp
    ${sources}/win32/thread_primitives.cpp
    ${sources}/win32/tss_dll.cpp
    ${sources}/win32/tss_pe.cpp
    ${sources}/future.cpp
)
target_include_directories(vantrel_boost_thread SYSTEM PUBLIC ${VANTREL_BOOST_DIR})
target_compile_definitions(vantrel_boost_thread
    PRIVATE BOOST_THREAD_BUILD_LIB BOOST_THREAD_WIN32
    PUBLIC BOOST_THREAD_USE_LIB)
# Boost's code, built as Boost builds it: its warnings are not ours to fix.
target_compile_options(vantrel_boost_thread PRIVATE -w)
add_library(Boost::thread ALIAS vantrel_boost_thread)

# Chrono, System and Date_Time need no compiled part.
add_library(vantrel_boost_headers INTERFACE)
target_include_directories(vantrel_boost_headers SYSTEM INTERFACE ${VANTREL_BOOST_DIR})
add_library(Boost::date_time ALIAS vantrel_boost_headers)
