#!/bin/sh
# Runs a Windows test program under Wine in a prefix the test has to itself,
# and ends with it every process it started there.
#
#   in-prefix.sh PREFIX SECONDS PROGRAM [ARGUMENTS...]
#
# The program runs for at most SECONDS. The library ends the bridge's helper
# when it unloads: a helper (kelvra-mapi32.exe, kelvra-mapi64.exe) still
# there ten seconds after the program fails the test. Wine's own processes
# of the prefix (its server, services and consoles) hold the test's output
# open, and CTest waits for that output to close, for as long as any of them
# lingers: they are ended here.
set -u
prefix=$1
bound=$2
shift 2

wine_env() { env WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= "$@"; }

# The processes of the prefix, one a line: its number and command line.
in_prefix() {
    for dir in /proc/[0-9]*; do
        tr '\0' '\n' 2>/dev/null <"$dir/environ" | grep -qxF "WINEPREFIX=$prefix" || continue
        printf '%s %s\n' "${dir#/proc/}" "$(tr '\0' ' ' 2>/dev/null <"$dir/cmdline")"
    done
}

wine_env timeout -k 10 "$bound" wine "$@"
status=$?
case $status in
124 | 137) echo "in-prefix: the program ran past $bound seconds" >&2 ;;
esac

helpers=
for _ in 1 2 3 4 5 6 7 8 9 10; do
    helpers=$(in_prefix | grep -i 'kelvra-mapi[0-9]*\.exe')
    [ -z "$helpers" ] && break
    sleep 1
done
if [ -n "$helpers" ]; then
    printf 'in-prefix: a helper outlived the program by ten seconds:\n%s\n' "$helpers" >&2
    status=1
fi

# Wine's own processes end with the test; anything that outlives the
# server is named and killed.
if [ -n "$(in_prefix)" ]; then
    wine_env timeout 30 wineserver -k 2>/dev/null
    for _ in 1 2 3 4 5; do
        left=$(in_prefix)
        [ -z "$left" ] && break
        sleep 1
    done
    if [ -n "$left" ]; then
        printf 'in-prefix: killing what outlived the server:\n%s\n' "$left" >&2
        kill -9 $(printf '%s\n' "$left" | cut -d' ' -f1) 2>/dev/null
    fi
fi
exit $status
