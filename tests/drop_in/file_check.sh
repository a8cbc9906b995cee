# What the file checks share, sourced once $plugin is set: fail() reports a
# failure and counts it, so that one run names every fault of the file.
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

[ -f "$plugin" ] || { echo "FAIL: no such file: $plugin" >&2; exit 1; }
