# Warnings for the project's own targets only: third-party code built here
# (GoogleTest, Boost for Windows) is not ours to fix. Every build CI runs
# makes them errors.
option(VANTREL_WERROR "Treat warnings in the project's own code as errors" OFF)

function(vantrel_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra $<$<BOOL:${VANTREL_WERROR}>:-Werror>)
endfunction()
