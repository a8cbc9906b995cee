# Boost.Thread compiled from Debian's Boost source package, as a static
# library, for the builds no Debian package of Boost serves: Windows (no Boost
# is packaged for MinGW), and the drop-in files for 64-bit x86 and ARM Linux,
# whose Boost must be position-independent to go into a shared object
# (Debian's static archives are not) and, for ARM, built by the cross
# compiler. The sources are fetched and unpacked once into the build folder,
# and the library is an ordinary target of this build: a rebuild neither
# fetches nor compiles Boost again.
include(${CMAKE_CURRENT_LIST_DIR}/debian_source.cmake)
set(VANTREL_BOOST_DIR ${PROJECT_BINARY_DIR}/boost-1.74 CACHE PATH
    "Boost's headers and Boost.Thread's sources, unpacked from Debian's source package")

# Libraries whose headers Boost.Thread and the plugin include: in the source
# package each keeps its headers in boost/libs/NAME/include/boost/.
set(VANTREL_BOOST_HEADER_LIBRARIES
    algorithm assert atomic bind chrono concept_check config container container_hash core
    date_time detail exception function function_types integer intrusive io iterator
    lexical_cast math move mpl numeric/conversion optional predef preprocessor range ratio
    smart_ptr static_assert system thread throw_exception tuple type_index type_traits utility
    winapi)

# The folder records what it was unpacked with: a list that has changed since
# unpacks it again.
set(unpackedWith "")
if(EXISTS ${VANTREL_BOOST_DIR}/unpacked)
    file(READ ${VANTREL_BOOST_DIR}/unpacked unpackedWith)
endif()
if(NOT unpackedWith STREQUAL "${VANTREL_BOOST_HEADER_LIBRARIES}")
    vantrel_debian_source(boost1.74 archive)
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
    vantrel_forget_debian_source(boost1.74)
endif()

# The sources Boost.Thread's own build compiles for the system.
set(sources ${VANTREL_BOOST_DIR}/boost/libs/thread/src)
if(WIN32)
    add_library(vantrel_boost_thread STATIC
        ${sources}/win32/thread.cpp
        ${sources}/win32/thread_primitives.cpp
        ${sources}/win32/tss_dll.cpp
        ${sources}/win32/tss_pe.cpp
        ${sources}/future.cpp
    )
    target_compile_definitions(vantrel_boost_thread PUBLIC BOOST_THREAD_WIN32)
else()
    add_library(vantrel_boost_thread STATIC
        ${sources}/pthread/thread.cpp
        ${sources}/pthread/once.cpp
        ${sources}/future.cpp
    )
    target_compile_definitions(vantrel_boost_thread
        PRIVATE BOOST_THREAD_DONT_USE_CHRONO
        PUBLIC BOOST_THREAD_POSIX)
    set_target_properties(vantrel_boost_thread PROPERTIES POSITION_INDEPENDENT_CODE ON)
    target_link_libraries(vantrel_boost_thread PUBLIC Threads::Threads)
endif()
target_include_directories(vantrel_boost_thread SYSTEM PUBLIC ${VANTREL_BOOST_DIR})
target_compile_definitions(vantrel_boost_thread
    PRIVATE BOOST_THREAD_BUILD_LIB
    PUBLIC BOOST_THREAD_USE_LIB)
# Boost's code, built as Boost builds it: its warnings are not ours to fix.
target_compile_options(vantrel_boost_thread PRIVATE -w)
add_library(Boost::thread ALIAS vantrel_boost_thread)

# Chrono, System and Date_Time need no compiled part.
add_library(vantrel_boost_headers INTERFACE)
target_include_directories(vantrel_boost_headers SYSTEM INTERFACE ${VANTREL_BOOST_DIR})
add_library(Boost::date_time ALIAS vantrel_boost_headers)
