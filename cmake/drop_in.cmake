# The file a server owner drops into plugins/: one object for the server's
# system and architecture that needs nothing on the server but the system's
# own libraries, exporting the six entry points only.
option(VANTREL_DROP_IN "Link the plugin as one self-contained file for the server" OFF)
if(NOT VANTREL_DROP_IN)
    return()
endif()

if(NOT VANTREL_TARGET)
    message(FATAL_ERROR "No server runs on ${CMAKE_SYSTEM_NAME} ${CMAKE_SYSTEM_PROCESSOR}: "
                        "the drop-in plugin is made for the systems cmake/target.cmake names")
endif()

target_sources(vantrel PRIVATE ${PROJECT_SOURCE_DIR}/plugin/static_runtime.cpp)
if(WIN32)
    # The whole link is static (see CMakeLists.txt): with -static-libgcc and
    # -static-libstdc++ alone the driver would still link winpthread as a DLL.
    target_link_options(vantrel PRIVATE -s)
    return()
endif()

if(NOT VANTREL_BOOST_FROM_SOURCE AND NOT Boost_USE_STATIC_LIBS)
    message(FATAL_ERROR "The drop-in plugin links Boost statically: set Boost_USE_STATIC_LIBS "
                        "or VANTREL_BOOST_FROM_SOURCE")
endif()

# The file must load on glibc 2.17 or later (tests/drop_in/check_drop_in.sh
# checks it). What a link on a newer glibc would bind beyond that, and how each is
# avoided:
# - the thread functions glibc 2.34 moved into libc.so.6, and fstat64 (2.33):
#   bound to the versions 2.17 had (compat/oldest_versions.cpp). Those
#   versions are in libpthread.so.0 before 2.34, hence needed explicitly.
# - arc4random (2.36) and getentropy (2.25), called by std::random_device,
#   which nothing here uses: the runtime's archive member that has it comes
#   in for other functions, and --gc-sections leaves its code out.
# - __libc_single_threaded (2.32), read by the runtime: a flag of our own
#   (compat/single_threaded_flag.cpp).
# - _dl_find_object (2.35), through which the static unwinder finds the
#   exception tables: a lookup of our own on dl_iterate_phdr
#   (compat/find_object.cpp). Not on 32-bit ARM, whose unwinder finds its
#   own kind of tables through a function glibc has had since 2.4.
target_sources(vantrel PRIVATE
    ${PROJECT_SOURCE_DIR}/compat/oldest_versions.cpp
    ${PROJECT_SOURCE_DIR}/compat/single_threaded_flag.cpp
)
set(VANTREL_FIND_OBJECT_STAND_IN ON)
if(VANTREL_TARGET STREQUAL "linux-armhf")
    set(VANTREL_FIND_OBJECT_STAND_IN OFF)
endif()
if(VANTREL_FIND_OBJECT_STAND_IN)
    target_sources(vantrel PRIVATE ${PROJECT_SOURCE_DIR}/compat/find_object.cpp)
endif()
target_link_options(vantrel PRIVATE
    -static-libstdc++
    -static-libgcc
    -s
    LINKER:--gc-sections
    LINKER:--push-state,--no-as-needed,-l:libpthread.so.0,--pop-state
)

