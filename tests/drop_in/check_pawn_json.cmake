# Proves that sampctl, reading pawn.json, finds what the build's archive
# holds: the resource of the archive's platform names the archive, serves
# every server version, and its patterns select the plugin and the include
# folder and nothing else (a README taken for a plugin would be copied into
# the server's plugins/).
# Usage: cmake -DPAWN_JSON=FILE -DARCHIVE=FILE -DPLATFORM=linux|windows
#              -DPLUGIN=FILE_NAME -P check_pawn_json.cmake
#
# sampctl matches the patterns with Go's regexp (RE2), this check with
# CMake's. The two agree on ^ $ . \. [] * + ? ( ) | only; a pattern with
# anything else (\d, {n}, (?i) ...) could pass here and fail there, so it
# fails here.
cmake_minimum_required(VERSION 3.25)

set(failures 0)
function(fail text)
    message("FAIL: ${text}")
    math(EXPR count "${failures} + 1")
    set(failures ${count} PARENT_SCOPE)
endfunction()

file(READ "${PAWN_JSON}" json)
string(JSON count LENGTH "${json}" resources)
math(EXPR last "${count} - 1")
set(resource "")
foreach(index RANGE ${last})
    string(JSON platform GET "${json}" resources ${index} platform)
    if(platform STREQUAL PLATFORM)
        if(resource)
            fail("more than one resource for ${PLATFORM}")
        endif()
        string(JSON resource GET "${json}" resources ${index})
    endif()
endforeach()
if(NOT resource)
    message(FATAL_ERROR "FAIL: ${PAWN_JSON} has no resource for ${PLATFORM}")
endif()

execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf "${ARCHIVE}" OUTPUT_VARIABLE listing
                COMMAND_ERROR_IS_FATAL ANY)
string(REGEX REPLACE "\n$" "" listing "${listing}")
string(REPLACE "\n" ";" members "${listing}")
# Folders as the archive lists them, with their trailing slash.
set(folders "")
foreach(member IN LISTS members)
    if(member MATCHES "^(.*/)[^/]+\\.inc$")
        list(APPEND folders "${CMAKE_MATCH_1}")
    endif()
endforeach()
string(REPLACE ";" "|" any_folder "${folders}")

get_filename_component(archive_name "${ARCHIVE}" NAME)
string(JSON name GET "${resource}" name)
if(NOT archive_name MATCHES "${name}")
    fail("name '${name}' does not match ${archive_name}")
endif()
string(JSON archive ERROR_VARIABLE missing GET "${resource}" archive)
if(NOT archive STREQUAL "ON")
    fail("the ${PLATFORM} resource is not marked \"archive\": true")
endif()
string(JSON version ERROR_VARIABLE missing GET "${resource}" version)
if(NOT missing)
    fail("the ${PLATFORM} resource serves server version ${version} only")
endif()

foreach(field plugins includes)
    string(JSON count ERROR_VARIABLE missing LENGTH "${resource}" ${field})
    if(missing OR count EQUAL 0)
        fail("the ${PLATFORM} resource lists no ${field}")
        continue()
    endif()
    math(EXPR last "${count} - 1")
    foreach(index RANGE ${last})
        string(JSON pattern GET "${resource}" ${field} ${index})
        string(REPLACE "\\." "" plain "${pattern}")
        if(plain MATCHES "[\\{}]|\\(\\?")
            fail("${field} pattern '${pattern}' is read differently by Go and CMake")
        endif()
        set(selected "")
        foreach(member IN LISTS members)
            if(member MATCHES "${pattern}")
                list(APPEND selected "${member}")
            endif()
        endforeach()
        if(field STREQUAL "plugins")
            list(FILTER selected EXCLUDE REGEX "/$")
            if(NOT selected STREQUAL "plugins/${PLUGIN}")
                fail("plugins pattern '${pattern}' selects '${selected}', not plugins/${PLUGIN}")
            endif()
        else()
            # sampctl may take the folder or the files in it: either is fine.
            set(outside "${selected}")
            list(FILTER outside EXCLUDE REGEX "^(${any_folder})")
            list(FILTER selected INCLUDE REGEX "^(${any_folder})$")
            if(NOT selected OR outside)
                fail("includes '${pattern}' selects folders '${selected}', other '${outside}'")
            endif()
        endif()
    endforeach()
endforeach()

if(failures GREATER 0)
    message(FATAL_ERROR "${PAWN_JSON} does not fit ${archive_name}")
endif()
message("ok: ${PAWN_JSON} fits ${archive_name}")
