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

if(WIN32)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME vantrel-${PROJECT_VERSION}-windows-x86)
    set(vantrel_archive ${CPACK_PACKAGE_FILE_NAME}.zip)
    set(vantrel_platform windows)
else()
    set(CPACK_GENERATOR TGZ)
    set(CPACK_PACKAGE_FILE_NAME vantrel-${PROJECT_VERSION}-linux-i386)
    set(vantrel_archive ${CPACK_PACKAGE_FILE_NAME}.tar.gz)
    set(vantrel_platform linux)
endif()
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_PACKAGE_VENDOR "The Vantrel developers")
set(CPACK_SOURCE_GENERATOR "")
include(CPack)

if(VANTREL_TESTS)
    add_test(NAME DropIn.PackageLayout
             COMMAND sh ${PROJECT_SOURCE_DIR}/cmake/check_package.sh ${CMAKE_COMMAND}
                     ${CMAKE_CPACK_COMMAND} ${CMAKE_BINARY_DIR}/CPackConfig.cmake
                     ${CMAKE_BINARY_DIR}/package-check $<TARGET_FILE:vantrel> ${PROJECT_VERSION})
    set_tests_properties(DropIn.PackageLayout PROPERTIES FIXTURES_SETUP vantrel-archive)
    # sampctl installs from the same archive, through pawn.json's patterns.
    set(check_pawn_json ${CMAKE_COMMAND} -DARCHIVE=${CMAKE_BINARY_DIR}/package-check/${vantrel_archive}
        -DPLATFORM=${vantrel_platform} -DPLUGIN=$<TARGET_FILE_NAME:vantrel>)
    add_test(NAME DropIn.PawnJsonFitsArchive
             COMMAND ${check_pawn_json} -DPAWN_JSON=${PROJECT_SOURCE_DIR}/pawn.json
                     -P ${PROJECT_SOURCE_DIR}/cmake/check_pawn_json.cmake)
    # The check tells a resource whose patterns fit another archive.
    file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/stale-pawn.json @ONLY CONTENT [=[
{"resources": [{"platform": "@vantrel_platform@", "archive": true, "name": "^vantrel\\.zip$",
                "plugins": ["^vantrel\\.so$"], "includes": ["^include/"]}]}
]=])
    add_test(NAME DropIn.PawnJsonCheckRejectsStalePatterns
             COMMAND ${check_pawn_json} -DPAWN_JSON=${CMAKE_BINARY_DIR}/stale-pawn.json
                     -P ${PROJECT_SOURCE_DIR}/cmake/check_pawn_json.cmake)
    set_tests_properties(DropIn.PawnJsonFitsArchive DropIn.PawnJsonCheckRejectsStalePatterns
                         PROPERTIES FIXTURES_REQUIRED vantrel-archive)
    set_tests_properties(DropIn.PawnJsonCheckRejectsStalePatterns PROPERTIES
        PASS_REGULAR_EXPRESSION "FAIL: name.*FAIL: plugins.*FAIL: includes")
endif()
