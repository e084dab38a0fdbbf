#!/usr/bin/env bash
# The Windows installer under Wine, in a fresh prefix of its own: it replaces
# an installed build of the same version, installs the build's whole install
# tree in Program Files\Kelvra with an Add/Remove Programs entry, the
# installed programs run, an application builds against the installed files
# with find_package and runs, and the uninstall leaves nothing of Kelvra. A
# newer Kelvra installed makes it refuse. Every Wine call is bounded and the
# prefix's processes end with the test.
#   test-msi.sh MSI BUILD-DIR TOOLCHAIN-FILE
set -euo pipefail
if [ $# -ne 3 ]; then
    echo "usage: $0 MSI BUILD-DIR TOOLCHAIN-FILE" >&2
    exit 2
fi
MSI=$(realpath "$1")
BUILD=$(cd "$2" && pwd)
TOOLCHAIN=$(realpath "$3")
HERE=$(cd "$(dirname "$0")" && pwd)
SOURCE=$(cd "$HERE/../.." && pwd)

WORK=$(mktemp -d "$BUILD/msi-test.XXXXXX")
export WINEPREFIX=$WORK/prefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
unset WINEPATH WINESERVER
finish() {
    local status=$?
    timeout 60 wineserver -k 2>/dev/null || true
    timeout 60 wineserver -w 2>/dev/null || true
    rm -rf "$WORK"
    exit $status
}
trap finish EXIT
trap 'exit 143' TERM
trap 'exit 130' INT

fail() {
    echo "FAILED: $*" >&2
    exit 1
}
step() {
    echo "-- $* ($SECONDS s)"
}
windows_path() {
    local path=${1//\//\\}
    echo "Z:$path"
}
# A Windows program in the prefix, with a bound; no carriage returns.
run() {
    local bound=$1
    shift
    timeout "$bound" wine "$@" </dev/null | tr -d '\r'
}
# msiexec with its arguments; a log of its own, shown when it fails.
MSILOGS=0
msiexec() {
    MSILOGS=$((MSILOGS + 1))
    MSILOG=$WORK/msiexec-$MSILOGS.log
    local status=0
    timeout 300 wine msiexec "$@" /qn /l*v "$(windows_path "$MSILOG")" </dev/null || status=$?
    timeout 120 wineserver -w || true
    if [ $status -ne 0 ] && [ -z "${QUIET_FAILURE:-}" ]; then
        echo "msiexec $* exited with $status; its log ends:" >&2
        tr -d '\0\r' <"$MSILOG" 2>/dev/null | tail -40 >&2 || true
    fi
    return $status
}
property() { # MSI NAME: a property of a package
    msiinfo export "$1" Property | tr -d '\r' | awk -F '\t' -v name="$2" '$1 == name { print $2 }'
}
# The Add/Remove Programs entries named as this package's product, in the
# registry view of its bitness: their product codes.
kelvra_entries() {
    run 60 reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s "$REGVIEW" |
        awk -v name="$NAME" '/^HKEY_/ { n = split($0, part, "\\"); key = part[n] }
             /^ +DisplayName +REG_SZ +/ { sub(/^ +DisplayName +REG_SZ +/, ""); if ($0 == name) print key }'
}
entry_value() { # PRODUCT-CODE NAME
    run 60 reg query "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$1" /v "$2" "$REGVIEW" |
        awk -v name="$2" '$1 == name { sub(/^ *[^ ]+ +REG_[A-Z_]+ +/, ""); print }'
}
# A copy of the package as another build, or another version, would be:
# a product code and a package code of its own.
variant() { # OUT VERSION
    local code
    cp "$MSI" "$1"
    code=$(tr '[:lower:]' '[:upper:]' </proc/sys/kernel/random/uuid)
    msibuild "$1" -q "UPDATE Property SET Value = '{$code}' WHERE Property = 'ProductCode'"
    msibuild "$1" -q "UPDATE Property SET Value = '$2' WHERE Property = 'ProductVersion'"
    code=$(tr '[:lower:]' '[:upper:]' </proc/sys/kernel/random/uuid)
    msibuild "$1" -s "Kelvra $2" "Kelvra Developers" "$TEMPLATE" "{$code}"
}

VERSION=$(property "$MSI" ProductVersion)
PRODUCT=$(property "$MSI" ProductCode)
{ [ -n "$VERSION" ] && [ -n "$PRODUCT" ]; } || fail "the package has no ProductVersion or ProductCode"
NAME=$(property "$MSI" ProductName)
# A 64-bit package's files and entry are in the 64-bit Program Files and
# registry view, a 32-bit one's in the 32-bit ones.
TEMPLATE=$(msiinfo suminfo "$MSI" | tr -d '\r' | sed -n 's/^Template: *//p')
case ${TEMPLATE%%;*} in
x64) PROGRAM_FILES='Program Files' REGVIEW=/reg:64 ;;
Intel) PROGRAM_FILES='Program Files (x86)' REGVIEW=/reg:32 ;;
*) fail "the package's platform '$TEMPLATE' is neither x64 nor Intel" ;;
esac
INSTALLED=$WINEPREFIX/drive_c/$PROGRAM_FILES/Kelvra
INSTALLED_WINDOWS="C:\\$PROGRAM_FILES\\Kelvra"

# What the package must install: the build's install tree (its programs and
# DLLs stripped), and what the package carries.
cmake --install "$BUILD" --prefix "$WORK/expected" >/dev/null
msiextract -C "$WORK/packaged" "$MSI" >/dev/null
# (under the name msiextract gives the Program Files folder, if any)
PACKAGED=$(find "$WORK/packaged" -type d -name Kelvra -print -quit)
[ -n "$PACKAGED" ] || fail "the package holds no Kelvra folder"

step "a fresh prefix"
timeout 300 wine wineboot -i </dev/null >/dev/null 2>&1 || fail "wineboot -i"
timeout 120 wineserver -w || true

step "an earlier build of the same version installed"
variant "$WORK/earlier.msi" "$VERSION"
msiexec /i "$(windows_path "$WORK/earlier.msi")" || fail "installing the earlier build"
[ "$(kelvra_entries)" = "$(property "$WORK/earlier.msi" ProductCode)" ] || fail "the earlier build is not the one entry"

step "install"
msiexec /i "$(windows_path "$MSI")" || fail "installing $MSI"
entries=$(kelvra_entries)
[ "$entries" = "$PRODUCT" ] || fail "Add/Remove Programs entries named Kelvra: '$entries', not this package's $PRODUCT alone"
[ "$(entry_value "$PRODUCT" DisplayVersion)" = "$VERSION" ] || fail "the entry's DisplayVersion is not $VERSION"
[ "$(entry_value "$PRODUCT" Publisher)" = "Kelvra Developers" ] || fail "the entry's Publisher is not Kelvra Developers"

step "the installed files are the install tree"
for file in bin/libkelvra.dll bin/kelvra.exe bin/libkelvradesigner.dll bin/KelvraP.dll bin/kelvra-design.exe \
            lib/libkelvra.dll.a lib/cmake/Kelvra/KelvraConfig.cmake lib/pkgconfig/kelvra.pc; do
    [ -f "$INSTALLED/$file" ] || fail "$file is not installed"
done
diff -r "$PACKAGED" "$INSTALLED" || fail "the installed files differ from the package's (above)"
diff <(cd "$WORK/expected" && find . | LC_ALL=C sort) <(cd "$INSTALLED" && find . | LC_ALL=C sort) ||
    fail "the installed files and folders are not the build's install tree (above)"
# Stripping changes the programs and DLLs only.
diff -r -x '*.dll' -x '*.exe' "$WORK/expected" "$INSTALLED" || fail "installed files differ from the build's (above)"

step "the installed programs run"
cd "$WORK"
shown=$(run 60 "$INSTALLED_WINDOWS\\bin\\kelvra.exe" --version) || fail "kelvra --version"
[ "$shown" = "kelvra $VERSION" ] || fail "kelvra --version printed '$shown', not 'kelvra $VERSION'"
palette=$(run 60 "$INSTALLED_WINDOWS\\bin\\kelvra-design.exe" palette) || fail "kelvra-design palette"
for class in TKelvraSession TKelvraSendMail TKelvraReadMail TKelvraContact; do
    grep -qx "  $class" <<<"$palette" || fail "the palette lacks $class with its bitmap: $palette"
done

step "an application builds against the installed files"
cmake -S "$SOURCE/tests/consumer/installed" -B "$WORK/consumer" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
    -DCMAKE_PREFIX_PATH="$INSTALLED" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >/dev/null
found=$(sed -n 's/^Kelvra_DIR:PATH=//p' "$WORK/consumer/CMakeCache.txt")
[ "$found" = "$INSTALLED/lib/cmake/Kelvra" ] || fail "find_package found Kelvra in '$found'"
timeout 300 cmake --build "$WORK/consumer" >/dev/null
said=$(WINEPATH="$INSTALLED_WINDOWS\\bin" run 60 "$(windows_path "$WORK/consumer/consumer.exe")") ||
    fail "the application: $said"
[ "$said" = "logged on and off" ] || fail "the application said '$said'"

step "uninstall"
msiexec /x "$(windows_path "$MSI")" || fail "uninstalling"
if [ -e "$INSTALLED" ]; then
    find "$INSTALLED" >&2
    fail "the uninstall left the above"
fi
[ -z "$(kelvra_entries)" ] || fail "the uninstall left an Add/Remove Programs entry"

step "a newer version installed: the package refuses"
# The next major version (Wine's msi does not find an installed 255.0.0).
variant "$WORK/newer.msi" "$((${VERSION%%.*} + 1)).0.0"
NEWER=$(property "$WORK/newer.msi" ProductCode)
msiexec /i "$(windows_path "$WORK/newer.msi")" || fail "installing the newer version"
if QUIET_FAILURE=1 msiexec /i "$(windows_path "$MSI")"; then
    fail "the package installed over a newer version"
fi
# (The log is read whole before it is searched: a search that stops at the
# first match would end the pipe early, and pipefail would count that.)
log=$(tr -d '\0\r' <"$MSILOG")
found=$(sed -n 's/^Property(S): KELVRA_NEWER = //p' <<<"$log" | tr '\n' ';')
[[ ";$found;" == *";$NEWER;"* ]] ||
    fail "the package refused, but not for the newer version $NEWER: $(grep -E 'Found application|KELVRA|Return value [^1]' <<<"$log")"
[ "$(kelvra_entries)" = "$NEWER" ] || fail "the newer version is not the one entry"
[ -f "$INSTALLED/bin/libkelvra.dll" ] || fail "the refused package took the newer version's files"
msiexec /x "$(windows_path "$WORK/newer.msi")" || fail "uninstalling the newer version"
[ ! -e "$INSTALLED" ] || fail "uninstalling the newer version left files"

step "passed"
