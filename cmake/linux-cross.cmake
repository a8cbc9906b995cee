# What the ARM toolchain files share: Debian's cross compiler for
# VANTREL_CROSS_TRIPLET, whose glibc and C++ runtime live in /usr/TRIPLET
# (no foreign architecture of Debian's multiarch is needed).
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${VANTREL_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VANTREL_CROSS_TRIPLET}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${VANTREL_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
