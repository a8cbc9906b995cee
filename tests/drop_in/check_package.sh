#!/bin/sh
# Builds the release archive from a configured build and proves that it
# unpacks into a server's folder as the README tells server owners: named for
# the project's version, with the plugin that the build made, the include for
# the SA-MP server's and open.mp's compiler folders, both of that version,
# and a changelog whose newest entry is that version.
# Usage: check_package.sh CMAKE CPACK CPACK_CONFIG WORK_DIR PLUGIN VERSION
set -eu

cmake=$1
cpack=$2
config=$3
work=$4
plugin=$5
version=$6

rm -rf "$work"
mkdir -p "$work/server"
if ! "$cpack" --config "$config" -B "$work" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log" >&2
    exit 1
fi
set -- "$work"/vantrel-"$version"-*.tar.gz "$work"/vantrel-"$version"-*.zip
archives=$(for file in "$@"; do if [ -f "$file" ]; then echo "$file"; fi; done)
[ "$(echo "$archives" | grep -c .)" -eq 1 ] ||
    { echo "FAIL: expected one archive vantrel-$version-* in $work" >&2; ls "$work" >&2; exit 1; }
archive=$archives
case $archive in
*-linux-i386.tar.gz | *-linux-x86_64.tar.gz | *-linux-aarch64.tar.gz | *-linux-armhf.tar.gz) ;;
*-windows-x86.zip | *-windows-x64.zip) ;;
*) echo "FAIL: $(basename "$archive") is named for no supported system" >&2; exit 1 ;;
esac

binary=plugins/$(basename "$plugin")
files=$(cd "$work" && "$cmake" -E tar tf "$archive" | grep -v '/$' | sort)
expected=$(printf '%s\n' "$binary" pawno/include/vantrel.inc qawno/include/vantrel.inc \
    vantrel/README.md vantrel/LICENSE vantrel/CHANGELOG.md | sort)
if [ "$files" != "$expected" ]; then
    echo "FAIL: $archive holds:" >&2
    echo "$files" | sed 's/^/  /' >&2
    exit 1
fi

(cd "$work/server" && "$cmake" -E tar xf "$archive")
server=$work/server
cmp "$server/$binary" "$plugin" ||
    { echo "FAIL: the archive's plugin is not the one built" >&2; exit 1; }
for include in pawno/include/vantrel.inc qawno/include/vantrel.inc; do
    grep -q "^ \* Version $version\. " "$server/$include" ||
        { echo "FAIL: $include does not say version $version" >&2; exit 1; }
done
newest=$(grep -m 1 '^## ' "$server/vantrel/CHANGELOG.md")
case $newest in
"## v$version "* | "## v$version") ;;
*) echo "FAIL: the changelog's newest entry is '$newest', not v$version" >&2; exit 1 ;;
esac
echo "ok: $(basename "$archive")"
