# Builds for open.mp's 64-bit ARM Linux server on an x86-64 Debian machine.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VANTREL_CROSS_TRIPLET aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
