#!/bin/sh
# Prints how this machine runs 32-bit x86 programs: "native", or "emulate"
# where the kernel refuses them (no 32-bit compatibility mode, or
# ia32_emulation=0) and they run under qemu-i386 instead. VANTREL_I386=native
# or emulate decides instead of the probe; emulate forces the emulated path
# on any machine.
set -eu
case ${VANTREL_I386:-auto} in
native | emulate)
    echo "$VANTREL_I386"
    exit 0
    ;;
auto) ;;
*)
    echo "VANTREL_I386 must be auto, native or emulate, not '$VANTREL_I386'" >&2
    exit 2
    ;;
esac
# The smallest i386 program there is, assembled and linked by binutils, which
# every build machine has: no i386 library needs to be installed yet.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '.globl _start\n_start:\n movl $1, %%eax\n xorl %%ebx, %%ebx\n int $0x80\n' >"$work/exit.s"
as --32 -o "$work/exit.o" "$work/exit.s"
ld -m elf_i386 -o "$work/exit" "$work/exit.o"
if "$work/exit" 2>/dev/null; then echo native; else echo emulate; fi
