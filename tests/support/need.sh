# Sourced by the shell tests. need PROGRAM PACKAGE: a program that scripts/test installs. Missing,
# it skips the test on a developer's machine, and fails it under CI=true, where a skip would hide
# a dropped install step.
need() {
    command -v "$1" >/dev/null && return 0
    missing "$1 is not installed" "$2"
}

# missing WHAT PACKAGE: as need, for what is not a program on PATH.
missing() {
    if [ "${CI:-}" = true ]; then
        echo "FAIL: $1 (package $2; CI installs it)"
        exit 1
    fi
    echo "SKIP: $1 (package $2)"
    exit 77
}
