# Proves that sampctl, reading pawn.json, never installs the build's archive:
# a resource names a platform and not an architecture, so each platform's one
# resource is its 32-bit file, the one both servers load there, and an
# archive for another architecture that a resource's name pattern matched
# could be installed for a server that cannot load it.
# Usage: cmake -DPAWN_JSON=FILE -DARCHIVE=FILE -P check_pawn_json_skips.cmake
cmake_minimum_required(VERSION 3.25)

get_filename_component(archive_name "${ARCHIVE}" NAME)
file(READ "${PAWN_JSON}" json)
string(JSON count LENGTH "${json}" resources)
math(EXPR last "${count} - 1")
set(failures 0)
foreach(index RANGE ${last})
    string(JSON name GET "${json}" resources ${index} name)
    if(archive_name MATCHES "${name}")
        message("FAIL: resource ${index}'s name '${name}' matches ${archive_name}")
        math(EXPR failures "${failures} + 1")
    endif()
endforeach()
if(failures GREATER 0)
    message(FATAL_ERROR "sampctl could install ${archive_name} from ${PAWN_JSON}")
endif()
message("ok: no resource of ${PAWN_JSON} names ${archive_name}")
