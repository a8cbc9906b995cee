#!/bin/sh
# Proves that under emulation no program built for the emulated machine is
# started but by its emulator: runs COMMAND with strace following every
# process it starts, and fails for each program of MACHINE that one of them
# asked the kernel to run itself. A kernel that cannot run such a program
# refuses it ("Exec format error"); one that can runs it without a word, so
# only the calls tell, on either kind of machine.
# Usage: check_exec.sh MACHINE EMULATOR WORK_DIR COMMAND [ARGUMENT...]
#   MACHINE as readelf names it (Intel 80386, ARM, AArch64); EMULATOR the
#   program that runs them (/usr/bin/qemu-i386). COMMAND's own exit status
#   is reported, not judged: the command's tests judge themselves.
set -eu

machine=$1
emulator=$2
work=$3
shift 3
rm -rf "$work"
mkdir -p "$work"
log=$work/execve.log

# Only execve stops a traced process (seccomp), so the command runs at about
# its usual pace, thousands of threads and all.
status=0
strace -f --seccomp-bpf -qq -e trace=execve -o "$log" "$@" >"$work/output.log" 2>&1 || status=$?
echo "command exited with status $status; its output: $work/output.log"

# "started PATH" for every execve, "refused PATH" for every one the kernel
# refused as no format it runs. A call interrupted by another process's line
# resumes on a line of its own, hence the path kept per process id.
calls=$(awk '
    match($0, /execve\("[^"]*"/) { path[$1] = substr($0, RSTART + 8, RLENGTH - 9); print "started", path[$1] }
    /execve.* = -1 ENOEXEC/ { print "refused", path[$1] }' "$log")
[ -n "$calls" ] || { echo "FAIL: strace recorded no execve at all" >&2; exit 1; }

failures=0
while IFS= read -r program; do
    if [ -n "$program" ] && readelf -h "$program" 2>/dev/null | grep -Eq "^ *Machine: +$machine\$"; then
        echo "FAIL: $program ($machine) started without $emulator" >&2
        failures=$((failures + 1))
    fi
done <<EOF
$(echo "$calls" | sed -n 's/^started //p' | sort -u)
EOF
while IFS= read -r program; do
    [ -n "$program" ] || continue
    echo "FAIL: the kernel refused to run $program (Exec format error)" >&2
    failures=$((failures + 1))
done <<EOF
$(echo "$calls" | sed -n 's/^refused //p' | sort -u)
EOF

runs=$(echo "$calls" | grep -cxF "started $emulator" || true)
[ "$runs" -gt 0 ] || { echo "FAIL: $emulator never ran" >&2; failures=$((failures + 1)); }
echo "$emulator ran $runs programs"
[ "$failures" -eq 0 ] || exit 1
echo "ok: every $machine program started through $emulator"
