# The release archive unpacks into a server's folder: the plugin where the
# server loads plugins from, the include where the Pawn compiler looks for
# includes (pawno/include beside the SA-MP server, qawno/include beside
# open.mp), and the documentation in a folder of its own so that it cannot
# overwrite a server's own README or licence.
if(NOT VANTREL_DROP_IN)
    return()
endif()

install(TARGETS vantrel LIBRARY DESTINATION plugins)
install(FILES ${PROJECT_BINARY_DIR}/include/vantrel.inc DESTINATION pawno/include)
install(FILES ${PROJECT_BINARY_DIR}/include/vantrel.inc DESTINATION qawno/include)
install(FILES README.md LICENSE CHANGELOG.md DESTINATION vantrel)

# Named for the server's system and architecture (cmake/target.cmake).
# VANTREL_ARCHIVE: what tests/drop_in checks against pawn.json.
set(CPACK_PACKAGE_FILE_NAME vantrel-${PROJECT_VERSION}-${VANTREL_TARGET})
if(WIN32)
    set(CPACK_GENERATOR ZIP)
    set(VANTREL_ARCHIVE ${CPACK_PACKAGE_FILE_NAME}.zip)
else()
    set(CPACK_GENERATOR TGZ)
    set(VANTREL_ARCHIVE ${CPACK_PACKAGE_FILE_NAME}.tar.gz)
endif()
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_PACKAGE_VENDOR "The Vantrel developers")
set(CPACK_SOURCE_GENERATOR "")
include(CPack)

