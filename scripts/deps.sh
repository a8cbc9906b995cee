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
        apt_tried=
    fi
    if [ -z "${apt_tried:-}" ] &&
        { [ ! -e /var/lib/apt/lists/lock.updated ] || [ -n "${VANTREL_APT_REFRESH:-}" ]; }; then
        apt_update
    fi
    echo "deps: installing ${missing[*]}" >&2
    install_matching_arches "${missing[@]}"
}

# A mirror in the middle of a sync serves indexes that fail their checksums,
# for hours at times. Waiting a little helps when it is about to finish;
# otherwise the lists apt already has are the best there are.
apt_update() {
    local attempt
    apt_tried=1
    for attempt in 1 2 3; do
        if apt-get update -qq; then
            touch /var/lib/apt/lists/lock.updated
            return 0
        fi
        [ "$attempt" -eq 3 ] || sleep $((attempt * 10))
    done
    # Not marked as updated: the next run tries again, this one does not.
    echo "deps: apt-get update failed 3 times; going on with the package lists apt has" >&2
}

# Multiarch libraries must be installed at one version on both
# architectures. When a mirror's i386 index lags behind its amd64 one (a
# failed update, a suite mid-sync), apt knows the machine's amd64 libraries
# only at versions it has no i386 build of, and refuses with "held broken
# packages". Each library it names as unsatisfiable is then installed on both
# architectures at the version apt has for i386, and apt is asked again; each
# round may uncover the next layer of dependencies.
install_matching_arches() {
    # What the rounds add to the request: libraries at the i386 version on
    # both architectures, and the names apt gave, so that it names their
    # dependencies in turn.
    local extra=() output round
    for round in 1 2 3 4 5 6 7 8; do
        # Not -qq: that hides the unmet dependencies read below.
        if output=$(DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
            --allow-downgrades "$@" "${extra[@]}" 2>&1); then
            [ ${#extra[@]} -eq 0 ] ||
                echo "deps: installed with, to match the i386 index: ${extra[*]}" >&2
            return 0
        fi
        local before=${#extra[@]} name base version installed
        for name in $(sed -n 's/.*Depends: \([^ ]*\).*/\1/p' <<<"$output" | sort -u); do
            base=${name%%:*}
            version=$(apt-cache policy "$base:i386" | awk '$1 == "Candidate:" { print $2 }')
            installed=$(dpkg-query -W -f='${Version}' "$base:amd64" 2>/dev/null || true)
            local wanted=("$name")
            if [ -n "$version" ] && [ "$version" != "(none)" ] && [ -n "$installed" ] &&
                [ "$installed" != "$version" ]; then
                wanted=("$base:amd64=$version" "$base:i386=$version")
            fi
            local item
            for item in "${wanted[@]}"; do
                [[ " ${extra[*]} " == *" $item "* ]] || extra+=("$item")
            done
        done
        [ ${#extra[@]} -gt "$before" ] || break
    done
    echo "$output" >&2
    return 1
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
    apt_update
    apt-cache showsrc boost1.74 2>/dev/null | grep -q '^Package: boost1.74$' ||
        { echo "apt still knows no source of boost1.74" >&2; return 1; }
}

# What runs the 32-bit test programs: the kernel, with wine for the Windows
# ones; or, where it runs no i386 code, qemu-i386 for the Linux ones and
# nothing for the Windows ones (cmake/i386_mode.sh tells).
need_i386_runners() {
    if [ "$(sh cmake/i386_mode.sh)" = native ]; then
        need_packages wine wine32:i386
    else
        need_packages qemu-user
    fi
}

BASE_PACKAGES=(g++ make cmake libboost-thread-dev libboost-date-time-dev googletest libgtest-dev)
# The 32-bit build; valgrind needs the symbols of the i386 loader to check
# its programs. The multilib compiler by its version: the unversioned
# g++-multilib conflicts with Debian's cross compilers (ARM_PACKAGES), and
# each install would remove the other.
X86_PACKAGES=(g++-12-multilib libboost-thread1.74-dev:i386 libboost-date-time1.74-dev:i386
    googletest libc6-dbg:i386)
# The Windows build: the MinGW-w64 cross compiler (posix thread model, for
# std::thread) and xz to unpack Boost's sources.
WIN32_PACKAGES=(g++-mingw-w64-i686-posix mingw-w64-i686-dev xz-utils)
# The benchmarks, on the x86 builds they measure (the ARM builds compile
# Google Benchmark from Debian's source package).
BENCH_PACKAGES=(libbenchmark-dev libbenchmark-dev:i386)
# The ARM builds: Debian's cross compilers bring their own glibc and C++
# runtime in /usr/TRIPLET (no foreign architecture, so no multiarch index to
# keep in step), and qemu-user runs their programs.
ARM_PACKAGES=(g++-aarch64-linux-gnu g++-arm-linux-gnueabihf qemu-user xz-utils)
# The 64-bit Windows build, and wine64, which runs its programs without any
# i386 support.
WIN64_PACKAGES=(g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine64 xz-utils)
