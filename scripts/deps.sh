# Installs what the build needs and is missing. Sourced by the other scripts.
# Usage: need_packages PACKAGE...   (Debian package names, arch suffix allowed)

need_packages() {
    local missing=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing packages: ${missing[*]} (run as root to install them)" >&2
        return 1
    fi
    if printf '%s\n' "${missing[@]}" | grep -q ':i386$' &&
        ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
        rm -f /var/lib/apt/lists/lock.updated
    fi
    if [ ! -e /var/lib/apt/lists/lock.updated ] || [ -n "${VANTREL_APT_REFRESH:-}" ]; then
        apt-get update -qq && touch /var/lib/apt/lists/lock.updated
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# Debian's source packages, for the Boost sources the Windows build compiles:
# adds a deb-src entry for bookworm beside the machine's own apt sources when
# apt knows no source of Boost yet.
need_boost_source() {
    apt-cache showsrc boost1.74 2>/dev/null | grep -q '^Package: boost1.74$' && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "no deb-src entry for bookworm (run as root to add one)" >&2
        return 1
    fi
    local uri
    uri=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 'Created-By: Packages' |
        awk '$2 == "bookworm" { print $1; exit }')
    [ -n "$uri" ] || { echo "apt has no bookworm entry to take the source from" >&2; return 1; }
    cat >/etc/apt/sources.list.d/vantrel-deb-src.sources <<EOF
Types: deb-src
URIs: $uri
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    apt-get update -qq && touch /var/lib/apt/lists/lock.updated
}

BASE_PACKAGES=(g++ make cmake libboost-thread-dev libboost-date-time-dev googletest libgtest-dev)
# The 32-bit build; valgrind needs the symbols of the i386 loader to check
# its programs.
X86_PACKAGES=(g++-multilib libboost-thread1.74-dev:i386 libboost-date-time1.74-dev:i386 googletest
    libc6-dbg:i386)
# The Windows build: the MinGW-w64 cross compiler (posix thread model, for
# std::thread), wine to run its tests, and xz to unpack Boost's sources.
WIN32_PACKAGES=(g++-mingw-w64-i686-posix mingw-w64-i686-dev wine wine32:i386 xz-utils)
# The benchmarks, on both builds they measure.
BENCH_PACKAGES=(libbenchmark-dev libbenchmark-dev:i386)
