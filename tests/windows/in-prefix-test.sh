#!/bin/sh
# in-prefix.sh ends with the program whatever the program left in its
# prefix, so that the output CTest reads closes: a process left behind (the
# lingerer's copy, which would hold that output for ten minutes) is ended and
# the test passes; one named like the bridge's helper is ended too, and
# fails the test.
#
#   in-prefix-test.sh IN-PREFIX PREFIX LINGERER.EXE
set -u
wrapper=$1
prefix=$2
lingerer=$3
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cp "$lingerer" "$dir/kelvra-mapi99.exe"
status=0

# check PROGRAM EXPECTED: the wrapper's status is 0, or (failure) not 0,
# and its output, read through a pipe as CTest reads it, closes in time.
check() {
    start=$(date +%s)
    { sh "$wrapper" "$prefix" 60 "$1"; echo $? >"$dir/status"; } 2>&1 | timeout 55 cat >"$dir/output"
    took=$(($(date +%s) - start))
    got=$(cat "$dir/status")
    case $2:$got in
    0:0 | failure:[1-9]*) ;;
    *)
        echo "FAIL: $(basename "$1") ended with status $got:" >&2
        cat "$dir/output" >&2
        status=1
        ;;
    esac
    if [ "$took" -gt 50 ]; then
        echo "FAIL: the output of $(basename "$1") closed after $took seconds" >&2
        status=1
    fi
}

check "$lingerer" 0
check "$dir/kelvra-mapi99.exe" failure
if ! grep -q 'a helper outlived the program' "$dir/output"; then
    echo "FAIL: the helper left was not named:" >&2
    cat "$dir/output" >&2
    status=1
fi
exit $status
