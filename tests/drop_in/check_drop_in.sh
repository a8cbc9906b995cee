#!/bin/sh
# Proves that a built plugin is what a Linux server of its architecture can
# load on a machine without Boost or a recent libstdc++, with glibc 2.17 or
# later: a shared object of the server's class and machine, stripped, needing
# glibc's libraries only, binding no symbol version newer than 2.17,
# exporting exactly the six entry points.
# Usage: check_drop_in.sh CLASS MACHINE PLUGIN.so
#   CLASS and MACHINE as readelf names them: ELF32 "Intel 80386" for the
#   SA-MP server's file, ELF64 AArch64 and so on for open.mp's others.
set -eu

class=$1
machine=$2
plugin=$3
. "$(dirname "$0")/file_check.sh"

header=$(readelf -h "$plugin")
echo "$header" | grep -Eq "^ *Class: +$class\$" || fail "not an $class file"
echo "$header" | grep -Eq "^ *Machine: +$machine\$" || fail "not built for $machine"
echo "$header" | grep -Eq '^ *Type: +DYN' || fail "not a shared object"
# 32-bit ARM servers are built for the hard-float ABI, whose loader does not
# load a soft-float file.
if [ "$machine" = ARM ]; then
    echo "$header" | grep -Eq '^ *Flags: .*hard-float ABI' || fail "not built for the hard-float ABI"
fi

readelf -S -W "$plugin" | grep -Eq '\.symtab|\.debug_' && fail "not stripped"

dynamic=$(readelf -d -W "$plugin")
# Code the loader would have to patch: refused on hardened systems.
echo "$dynamic" | grep -q TEXTREL && fail "has text relocations"

needed=$(echo "$dynamic" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p' | sort)
for library in $needed; do
    case $library in
    libc.so.6 | libm.so.6 | libpthread.so.0 | libdl.so.2 | librt.so.1) ;;
    ld-linux.so.2 | ld-linux-x86-64.so.2 | ld-linux-aarch64.so.1 | ld-linux-armhf.so.3) ;;
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
