#!/bin/sh
# Builds the release archive from a configured build and proves that it
# unpacks into a server's folder as the README tells server owners, with the
# plugin that the build made.
# Usage: check_package.sh CPACK CPACK_CONFIG WORK_DIR PLUGIN.so
set -eu

cpack=$1
config=$2
work=$3
plugin=$4

rm -rf "$work"
mkdir -p "$work/server"
if ! "$cpack" --config "$config" -B "$work" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log" >&2
    exit 1
fi
set -- "$work"/*.tar.gz
[ $# -eq 1 ] && [ -f "$1" ] || { echo "FAIL: expected one archive in $work" >&2; exit 1; }
archive=$1

files=$(tar -tzf "$archive" | grep -v '/$' | sort)
expected=$(printf '%s\n' plugins/vantrel.so pawno/include/vantrel.inc \
    vantrel/README.md vantrel/LICENSE vantrel/CHANGELOG.md | sort)
if [ "$files" != "$expected" ]; then
    echo "FAIL: $archive holds:" >&2
    echo "$files" | sed 's/^/  /' >&2
    exit 1
fi

tar -xzf "$archive" -C "$work/server"
cmp "$work/server/plugins/vantrel.so" "$plugin" ||
    { echo "FAIL: the archive's plugin is not the one built" >&2; exit 1; }
echo "ok: $(basename "$archive")"
