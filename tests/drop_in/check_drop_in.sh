#!/bin/sh
# Proves that a built plugin is what the 32-bit server can load on a machine
# without Boost or a recent libstdc++, with glibc 2.17 or later: a 32-bit x86
# shared object, stripped, needing glibc's libraries only, binding no symbol
# version newer than 2.17, exporting exactly the six entry points.
# Usage: check_drop_in.sh PLUGIN.so
set -eu

plugin=$1
. "$(dirname "$0")/file_check.sh"

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

# Server distributions of the last decade run glibc 2.17 or later: every
# symbol version the loader will ask for must be one 2.17 already had. A newer
# build machine or runtime must not raise that unnoticed.
oldest_glibc=2.17
symbols=$(readelf --dyn-syms -W "$plugin")
required=$(readelf -V -W "$plugin" | sed -n '/\.gnu\.version_r/,$s/.*Name: GLIBC_\([0-9.]*\) .*/\1/p' | sort -uV)
for version in $required; do
    [ "$(printf '%s\n%s\n' "$version" "$oldest_glibc" | sort -V | tail -n 1)" = "$oldest_glibc" ] && continue
    users=$(echo "$symbols" | awk -v version="GLIBC_$version" \
        '{ n = split($8, name, "@"); if (n > 1 && name[n] == version) print name[1] }' | sort -u)
    fail "needs GLIBC_$version, newer than $oldest_glibc, for:" $users
done

# Before 2.34, glibc keeps pthread_create and most of its kin in
# libpthread.so.0 alone: a file that binds them must load that library itself.
if echo "$symbols" | grep -q ' UND pthread_' && ! echo "$needed" | grep -qx libpthread.so.0; then
    fail "binds pthread functions but does not need libpthread.so.0"
fi
newest=$(echo "$required" | tail -n 1)
echo "needs: $(echo $needed); newest glibc version bound: ${newest:-none}"

[ "$failures" -eq 0 ] || exit 1
echo "ok: $plugin"
