#!/bin/sh
# Proves that a built plugin is what the 32-bit server can load on a machine
# without Boost or a recent libstdc++: a 32-bit x86 shared object, stripped,
# needing glibc's libraries only, exporting exactly the six entry points.
# Usage: check_drop_in.sh PLUGIN.so
set -eu

plugin=$1
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

[ -f "$plugin" ] || { echo "FAIL: no such file: $plugin" >&2; exit 1; }

header=$(readelf -h "$plugin")
echo "$header" | grep -Eq '^ *Class: +ELF32$' || fail "not a 32-bit ELF file"
echo "$header" | grep -Eq '^ *Machine: +Intel 80386$' || fail "not built for Intel 80386"
echo "$header" | grep -Eq '^ *Type: +DYN' || fail "not a shared object"

readelf -S -W "$plugin" | grep -Eq '\.symtab|\.debug_' && fail "not stripped"

dynamic=$(readelf -d -W "$plugin")
# Code the loader would have to patch: refused on hardened systems.
echo "$dynamic" | grep -q TEXTREL && fail "has text relocations"

needed=$(echo "$dynamic" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p' | sort)
for library in $needed; do
    case $library in
    libc.so.6 | libm.so.6 | libpthread.so.0 | libdl.so.2 | librt.so.1 | ld-linux.so.2) ;;
    *) fail "needs $library, which is not part of glibc" ;;
    esac
done

# Defined symbols of the dynamic table that another object can bind to:
# global or weak binding, default or protected visibility.
exports=$(readelf --dyn-syms -W "$plugin" |
    awk '$7 != "UND" && ($5 == "GLOBAL" || $5 == "WEAK") &&
         ($6 == "DEFAULT" || $6 == "PROTECTED") { print $4, $8 }' | sort)
expected=$(printf 'FUNC %s\n' AmxLoad AmxUnload Load ProcessTick Supports Unload | sort)
if [ "$exports" != "$expected" ]; then
    fail "exports differ from the six entry points"
    echo "exported:" >&2
    echo "$exports" | sed 's/^/  /' >&2
fi

# The oldest glibc the plugin loads with is documented for server owners;
# a newer build machine must not raise it unnoticed.
documented_glibc=2.36
glibc=$(readelf -V -W "$plugin" | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -uV | tail -n 1)
newest=$(printf '%s\n%s\n' "${glibc:-0}" "$documented_glibc" | sort -V | tail -n 1)
[ "$newest" = "$documented_glibc" ] ||
    fail "needs glibc $glibc, newer than the documented $documented_glibc"
echo "needs: $(echo $needed); glibc ${glibc:-any}"

[ "$failures" -eq 0 ] || exit 1
echo "ok: $plugin"
