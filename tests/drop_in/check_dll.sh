#!/bin/sh
# Proves from the file itself that a built vantrel.dll is what a Windows
# server of its architecture loads on a machine without MinGW's runtime,
# Windows 7 SP1 included: a DLL, PE32 for Intel 80386 (the SA-MP server and
# open.mp's 32-bit one) or PE32+ for x86-64 (open.mp's 64-bit one), stripped,
# importing only functions of Windows' own DLLs that Windows 7 SP1 has,
# exporting exactly the six entry points under their plain names, and, on
# 32-bit Windows, the three that take an argument popping it (__stdcall)
# before they return.
# Usage: check_dll.sh OBJDUMP x86|x64 PLUGIN.dll
set -eu

objdump=$1
arch=$2
plugin=$3
. "$(dirname "$0")/file_check.sh"

headers=$("$objdump" -p "$plugin")
case $arch in
x86) format=pei-i386 magic='010b[[:space:]]+\(PE32\)' ;;
x64) format=pei-x86-64 magic='020b[[:space:]]+\(PE32\+\)' ;;
*) echo "FAIL: no such architecture: $arch" >&2; exit 1 ;;
esac
"$objdump" -f "$plugin" | grep -q "file format $format\$" || fail "not a $format file"
echo "$headers" | grep -Eq "^Magic[[:space:]]+$magic\$" || fail "not the PE format of $arch"
echo "$headers" | grep -Eq '^[[:space:]]+DLL$' || fail "not a DLL"
"$objdump" -h "$plugin" | grep -q ' \.debug_' && fail "not stripped"

# Imports: Windows' own functions only, and only those that Windows 7 SP1
# (and Server 2008 R2) already has. wine implements newer ones, so a DLL that
# imports one passes every test here and does not load on Windows 7. The lists
# hold what the DLLs import today, what both do first; a function joins them
# only once it is known to exist on Windows 7 SP1 for that architecture.
# MinGW's runtime DLLs (libgcc_s_dw2-1.dll, libstdc++-6.dll,
# libwinpthread-1.dll, libgcc_s_seh-1.dll) are on no server.
kernel32='
    AddVectoredExceptionHandler CloseHandle CreateEventA CreateSemaphoreA
    CreateWaitableTimerA DeleteCriticalSection DuplicateHandle EnterCriticalSection
    FormatMessageA FormatMessageW GetCurrentProcess GetCurrentProcessId
    GetCurrentThread GetCurrentThreadId GetHandleInformation GetLastError
    GetLogicalProcessorInformation GetModuleHandleA GetModuleHandleW
    GetProcAddress GetProcessAffinityMask GetProcessHeap GetSystemInfo
    GetSystemTimeAsFileTime GetThreadContext GetThreadPriority GetTickCount64
    GetTimeZoneInformation HeapAlloc HeapFree InitializeCriticalSection
    IsDBCSLeadByteEx IsDebuggerPresent LeaveCriticalSection LoadLibraryW
    LocalFree MultiByteToWideChar OpenEventA OpenProcess OutputDebugStringA
    QueryPerformanceCounter QueryPerformanceFrequency RaiseException
    ReleaseSemaphore RemoveVectoredExceptionHandler ResetEvent ResumeThread
    SetEvent SetLastError SetProcessAffinityMask SetThreadContext
    SetThreadPriority SetWaitableTimer Sleep SuspendThread TlsAlloc TlsFree
    TlsGetValue TlsSetValue TryEnterCriticalSection VirtualAlloc VirtualFree
    VirtualProtect VirtualQuery
    WaitForMultipleObjects WaitForMultipleObjectsEx WaitForSingleObject
    WaitForSingleObjectEx WideCharToMultiByte'
msvcrt='
    _amsg_exit _beginthreadex _close _endthreadex _errno _initterm _lock _read
    _strdup _ultoa _unlock abort calloc exit fprintf fputc fputs free fwrite
    iswctype localeconv longjmp malloc memchr memcmp memcpy memmove memset
    printf realloc setlocale strcmp strcoll strerror strftime strlen strncmp
    strncpy strxfrm towlower towupper vfprintf wcscoll wcsftime wcslen wcsxfrm'
if [ "$arch" = x86 ]; then
    kernel32="$kernel32 FreeLibrary LoadLibraryA"
    msvcrt="$msvcrt __mb_cur_max _iob _setjmp3 atoi gmtime strchr"
else
    # The unwinder of x64 code, which kernel32 has exported since the first
    # x64 Windows, and what the x64 runtimes call in place of msvcrt's data
    # and 32-bit names.
    kernel32="$kernel32 RtlCaptureContext RtlLookupFunctionEntry RtlUnwindEx
        RtlVirtualUnwind __C_specific_handler"
    msvcrt="$msvcrt ___lc_codepage_func ___mb_cur_max_func __iob_func _gmtime64 _setjmp signal"
fi
allowed=$(for f in $kernel32; do echo "kernel32.dll $f"; done; for f in $msvcrt; do echo "msvcrt.dll $f"; done)
imports=$(echo "$headers" | awk '
    /^[[:space:]]*DLL Name: / { dll = tolower($3); next }
    /^$/ { dll = "" }
    dll != "" && /^\t[0-9a-f]+\t/ { print dll, $3 }')
[ -n "$imports" ] || fail "no imports found in objdump's output"
unknown=$(echo "$imports" | grep -vxF "$allowed" | awk '{ print $2 " from " $1 }')
if [ -n "$unknown" ]; then
    echo "$unknown" | sed 's/^/FAIL: imports /; s/$/, not known to exist on Windows 7 SP1/' >&2
    failures=$((failures + 1))
fi

# Exports: index -> address from the export address table, index -> name from
# the name table.
exports=$(echo "$headers" | awk '
    /^Export Address Table -- Ordinal Base/ { table = "address"; next }
    /^\[Ordinal\/Name Pointer\] Table/ { table = "name"; next }
    /^$/ { if (table == "name") table = ""; next }
    table == "address" && /Export RVA/ { gsub(/[][]/, " "); address[$1] = $4 }
    table == "name" { gsub(/[][]/, " "); print $2, address[$1] }' | sort)
names=$(echo "$exports" | cut -d' ' -f1)
expected=$(printf '%s\n' AmxLoad AmxUnload Load ProcessTick Supports Unload | sort)
if [ "$names" != "$expected" ]; then
    fail "exports differ from the six entry points"
    echo "exported:" >&2
    echo "$exports" | sed 's/^/  /' >&2
fi

# A __stdcall function with one argument returns with `ret $0x4`; a cdecl one
# with a plain `ret`, leaving the server's stack pointer 4 bytes off. The
# first return in the code from the entry on is the entry point's own.
base=$(echo "$headers" | awk '$1 == "ImageBase" { print $2 }')
stdcall=''
[ "$arch" = x64 ] || stdcall='Load AmxLoad AmxUnload'
for name in $stdcall; do
    rva=$(echo "$exports" | awk -v n="$name" '$1 == n { print $2 }')
    [ -n "$rva" ] || continue
    start=$((0x$base + 0x$rva))
    ret=$("$objdump" -d --no-show-raw-insn --start-address=$start --stop-address=$((start + 4096)) \
        "$plugin" | grep -E -m 1 '[[:space:]]ret[[:space:]]*' | sed 's/.*ret[[:space:]]*//')
    [ "$ret" = '$0x4' ] || fail "$name returns with 'ret ${ret}', not 'ret \$0x4': not __stdcall"
    echo "$name returns with ret $ret"
done

echo "imports: $(echo "$imports" | cut -d' ' -f1 | uniq -c | awk '{ printf "%s%d from %s", sep, $1, $2; sep = ", " }')"
[ "$failures" -eq 0 ] || exit 1
echo "ok: $plugin"
