# The file a server owner drops into plugins/: one 32-bit object that needs
# nothing on the server but the system's own libraries, exporting the six
# entry points only.
option(VANTREL_DROP_IN "Link the plugin as one self-contained file for the server" OFF)
if(NOT VANTREL_DROP_IN)
    return()
endif()

if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
    message(FATAL_ERROR "The drop-in plugin is for the 32-bit servers: configure with the "
                        "toolchain file cmake/i386-linux-gnu.cmake or cmake/i686-w64-mingw32.cmake")
endif()

target_sources(vantrel PRIVATE ${PROJECT_SOURCE_DIR}/plugin/static_runtime.cpp)
enable_testing()
if(WIN32)
    # The whole link is static (see CMakeLists.txt): with -static-libgcc and
    # -static-libstdc++ alone the driver would still link winpthread as a DLL.
    target_link_options(vantrel PRIVATE -s)
    find_program(VANTREL_OBJDUMP NAMES ${VANTREL_MINGW_TRIPLET}-objdump objdump REQUIRED)
    add_test(NAME DropIn.FileProperties
             COMMAND sh ${PROJECT_SOURCE_DIR}/cmake/check_dll.sh ${VANTREL_OBJDUMP}
                     $<TARGET_FILE:vantrel>)
    if(TARGET cdecl-plugin)
        # The check tells a DLL whose entry points leave their argument on the stack.
        add_test(NAME DropIn.FileCheckRejectsCdeclExports
                 COMMAND sh ${PROJECT_SOURCE_DIR}/cmake/check_dll.sh ${VANTREL_OBJDUMP}
                         $<TARGET_FILE:cdecl-plugin>)
        set_tests_properties(DropIn.FileCheckRejectsCdeclExports PROPERTIES
            PASS_REGULAR_EXPRESSION "FAIL: Load returns.*FAIL: AmxLoad returns.*FAIL: AmxUnload returns")
    endif()
    return()
endif()

if(NOT Boost_USE_STATIC_LIBS)
    message(FATAL_ERROR "The drop-in plugin links Boost statically: set Boost_USE_STATIC_LIBS")
endif()
target_link_options(vantrel PRIVATE
    -static-libstdc++
    -static-libgcc
    -s
)
add_test(NAME DropIn.FileProperties
         COMMAND sh ${PROJECT_SOURCE_DIR}/cmake/check_drop_in.sh $<TARGET_FILE:vantrel>)
