# What this build makes the plugin for, in the names the release and its
# checks use: VANTREL_TARGET names the archive's system and architecture
# (linux-i386, linux-x86_64, linux-aarch64, linux-armhf, windows-x86,
# windows-x64) and VANTREL_PLATFORM is sampctl's name of the system. For
# Linux, VANTREL_ELF_CLASS and VANTREL_ELF_MACHINE are the file's class and
# machine as readelf names them, and VANTREL_QEMU the user-mode emulator that
# runs the build's programs on an x86-64 machine. A Linux machine no release
# is made for leaves them unset.
if(WIN32)
    set(VANTREL_PLATFORM windows)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        set(VANTREL_TARGET windows-x86)
    else()
        set(VANTREL_TARGET windows-x64)
    endif()
    return()
endif()

set(VANTREL_PLATFORM linux)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(i.86|x86_64|AMD64)$" AND CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(VANTREL_TARGET linux-i386)
    set(VANTREL_ELF_MACHINE "Intel 80386")
    set(VANTREL_QEMU qemu-i386)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64)$")
    set(VANTREL_TARGET linux-x86_64)
    set(VANTREL_ELF_MACHINE "Advanced Micro Devices X86-64")
    set(VANTREL_QEMU qemu-x86_64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
    set(VANTREL_TARGET linux-aarch64)
    set(VANTREL_ELF_MACHINE AArch64)
    set(VANTREL_QEMU qemu-aarch64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
    set(VANTREL_TARGET linux-armhf)
    set(VANTREL_ELF_MACHINE ARM)
    set(VANTREL_QEMU qemu-arm)
else()
    return()
endif()
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(VANTREL_ELF_CLASS ELF32)
else()
    set(VANTREL_ELF_CLASS ELF64)
endif()
