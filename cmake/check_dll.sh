#!/bin/sh
# Proves from the file itself that a built vantrel.dll is what the 32-bit
# Windows servers load on a machine without MinGW's runtime: a PE32 DLL for
# Intel 80386, stripped, importing Windows' own DLLs only, exporting exactly
# the six entry points under their plain names, and the three that take an
# argument popping it (__stdcall) before they return.
# Usage: check_dll.sh OBJDUMP PLUGIN.dll
set -eu

objdump=$1
plugin=$2
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

[ -f "$plugin" ] || { echo "FAIL: no such file: $plugin" >&2; exit 1; }

headers=$("$objdump" -p "$plugin")
"$objdump" -f "$plugin" | grep -q 'file format pei-i386$' || fail "not a PE file for Intel 80386"
echo "$headers" | grep -Eq '^Magic[[:space:]]+010b[[:space:]]+\(PE32\)$' || fail "not PE32"
echo "$headers" | grep -Eq '^[[:space:]]+DLL$' || fail "not a DLL"
"$objdump" -h "$plugin" | grep -q ' \.debug_' && fail "not stripped"

# Imports: Windows' own DLLs only. MinGW's runtime DLLs (libgcc_s_dw2-1.dll,
# libstdc++-6.dll, libwinpthread-1.dll) are on no server.
imports=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort -u)
for dll in $imports; do
    case $(echo "$dll" | tr '[:upper:]' '[:lower:]') in
    kernel32.dll | msvcrt.dll | advapi32.dll | user32.dll | ntdll.dll | ws2_32.dll) ;;
    *) fail "imports $dll, which is not part of Windows" ;;
    esac
done

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

echo "imports: $(echo $imports)"
[ "$failures" -eq 0 ] || exit 1
echo "ok: $plugin"
