#!/bin/sh
# Proves from the file itself that a built vantrel.dll is what the 32-bit
# Windows servers load on a machine without MinGW's runtime, Windows 7 SP1
# included: a PE32 DLL for Intel 80386, stripped, importing only functions of
# Windows' own DLLs that Windows 7 SP1 has, exporting exactly the six entry
# points under their plain names, and the three that take an argument popping
# it (__stdcall) before they return.
# Usage: check_dll.sh OBJDUMP PLUGIN.dll
set -eu

objdump=$1
plugin=$2
. "$(dirname "$0")/file_check.sh"

headers=$("$objdump" -p "$plugin")
"$objdump" -f "$plugin" | grep -q 'file format pei-i386$' || fail "not a PE file for Intel 80386"
echo "$headers" | grep -Eq '^Magic[[:space:]]+010b[[:space:]]+\(PE32\)$' || fail "not PE32"
echo "$headers" | grep -Eq '^[[:space:]]+DLL$' || fail "not a DLL"
"$objdump" -h "$plugin" | grep -q ' \.debug_' && fail "not stripped"

# Imports: Windows' own functions only, and only those that Windows 7 SP1
# (and Server 2008 R2) already has. wine implements newer ones, so a DLL that
# imports one passes every test here and does not load on Windows 7. The lists
# hold what the DLL imports today; a function joins them only once it is known
# to exist on Windows 7 SP1. MinGW's runtime DLLs (libgcc_s_dw2-1.dll,
# libstdc++-6.dll, libwinpthread-1.dll) are on no server.
kernel32='
    AddVectoredExceptionHandler CloseHandle CreateEventA CreateSemaphoreA
    CreateWaitableTimerA DeleteCriticalSection DuplicateHandle EnterCriticalSection
    FormatMessageA FormatMessageW FreeLibrary GetCurrentProcess GetCurrentProcessId
    GetCurrentThread GetCurrentThreadId GetHandleInformation GetLastError
    GetLogicalProcessorInformation GetModuleHandleA GetModuleHandleW
    GetProcAddress GetProcessAffinityMask GetProcessHeap GetSystemInfo
    GetSystemTimeAsFileTime GetThreadContext GetThreadPriority GetTickCount64
    GetTimeZoneInformation HeapAlloc HeapFree InitializeCriticalSection
    IsDBCSLeadByteEx IsDebuggerPresent LeaveCriticalSection LoadLibraryA
    LoadLibraryW LocalFree MultiByteToWideChar OpenEventA OpenProcess
    OutputDebugStringA QueryPerformanceCounter QueryPerformanceFrequency
    RaiseException ReleaseSemaphore RemoveVectoredExceptionHandler ResetEvent
    ResumeThread SetEvent SetLastError SetProcessAffinityMask SetThreadContext
    SetThreadPriority SetWaitableTimer Sleep SuspendThread TlsAlloc TlsFree
    TlsGetValue TlsSetValue TryEnterCriticalSection VirtualProtect VirtualQuery
    WaitForMultipleObjects WaitForMultipleObjectsEx WaitForSingleObject
    WaitForSingleObjectEx WideCharToMultiByte'
msvcrt='
    __mb_cur_max _amsg_exit _beginthreadex _close _endthreadex _errno _initterm
    _iob _lock _read _setjmp3 _strdup _ultoa _unlock abort atoi calloc exit
    fprintf fputc fputs free fwrite gmtime iswctype localeconv longjmp malloc
    memchr memcmp memcpy memmove memset printf realloc setlocale strchr strcmp
    strcoll strerror strftime strlen strncmp strncpy strxfrm towlower towupper
    vfprintf wcscoll wcsftime wcslen wcsxfrm'
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
for name in Load AmxLoad AmxUnload; do
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
