# Builds for open.mp's 32-bit ARM Linux server (hard float) on an x86-64
# Debian machine.
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(VANTREL_CROSS_TRIPLET arm-linux-gnueabihf)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
