# Libraries no Debian package builds for this build's system are compiled from
# Debian's own source packages. vantrel_debian_source(PACKAGE VARIABLE) sets
# VARIABLE to the package's upstream tarball, fetched once into the build
# folder with apt-get source (scripts/test.sh adds the deb-src entry for
# bookworm it needs); vantrel_forget_debian_source(PACKAGE) removes it once
# what the build needs of it is unpacked.
set(VANTREL_DEBIAN_SOURCES ${PROJECT_BINARY_DIR}/debian-source)

function(vantrel_debian_source package variable)
    set(download ${VANTREL_DEBIAN_SOURCES}/${package})
    file(GLOB archive ${download}/${package}_*.orig.tar.*)
    if(NOT archive)
        message(STATUS "Fetching Debian's ${package} source package")
        file(MAKE_DIRECTORY ${download})
        execute_process(COMMAND apt-get source --download-only ${package}
                        WORKING_DIRECTORY ${download}
                        RESULT_VARIABLE fetched OUTPUT_QUIET ERROR_VARIABLE fetchErrors)
        file(GLOB archive ${download}/${package}_*.orig.tar.*)
        if(NOT fetched EQUAL 0 OR NOT archive)
            message(FATAL_ERROR "apt-get source ${package} failed:\n${fetchErrors}\n"
                                "scripts/test.sh adds the deb-src entry for bookworm it needs")
        endif()
    endif()
    set(${variable} ${archive} PARENT_SCOPE)
endfunction()

function(vantrel_forget_debian_source package)
    file(REMOVE_RECURSE ${VANTREL_DEBIAN_SOURCES}/${package})
endfunction()
