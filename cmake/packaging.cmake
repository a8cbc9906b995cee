# The release archive unpacks into a server's folder: the plugin where the
# server loads plugins from, the include where the Pawn compiler looks for
# includes, and the documentation in a folder of its own so that it cannot
# overwrite a server's own README or licence.
if(NOT VANTREL_DROP_IN)
    return()
endif()

install(TARGETS vantrel LIBRARY DESTINATION plugins)
install(FILES ${PROJECT_BINARY_DIR}/include/vantrel.inc DESTINATION pawno/include)
install(FILES README.md LICENSE CHANGELOG.md DESTINATION vantrel)

set(CPACK_GENERATOR TGZ)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_PACKAGE_FILE_NAME vantrel-${PROJECT_VERSION}-linux-i386)
set(CPACK_PACKAGE_VENDOR "The Vantrel developers")
set(CPACK_SOURCE_GENERATOR "")
include(CPack)

if(VANTREL_TESTS)
    add_test(NAME DropIn.PackageLayout
             COMMAND sh ${PROJECT_SOURCE_DIR}/cmake/check_package.sh ${CMAKE_CPACK_COMMAND}
                     ${CMAKE_BINARY_DIR}/CPackConfig.cmake ${CMAKE_BINARY_DIR}/package-check
                     $<TARGET_FILE:vantrel>)
endif()
