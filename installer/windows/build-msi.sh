#!/usr/bin/env bash
# The Windows installer: the Windows build's install tree, staged, becomes
# OUT-DIR/kelvra-VERSION-x64.msi, or -x86.msi for a 32-bit build (wixl, from
# msitools). The package lists
# what the staged tree holds, so whatever the build installs is in it.
#   build-msi.sh BUILD-DIR OUT-DIR
set -euo pipefail
if [ $# -ne 2 ]; then
    echo "usage: $0 BUILD-DIR OUT-DIR" >&2
    exit 2
fi
BUILD=$(cd "$1" && pwd)
HERE=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$2"
OUT=$(cd "$2" && pwd)
for tool in wixl wixl-heat; do
    command -v $tool >/dev/null || { echo "$0: $tool is missing (apt-get install wixl)" >&2; exit 1; }
done

WORK=$(mktemp -d "$BUILD/msi-staging.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
# Stripped: the debugging information a RelWithDebInfo build carries is
# DWARF, which Windows' own debuggers do not read, and most of the size.
cmake --install "$BUILD" --prefix "$WORK/stage" --strip >/dev/null
if [ ! -f "$WORK/stage/bin/libkelvra.dll" ]; then
    echo "$0: $BUILD installs no bin/libkelvra.dll: not a Windows build" >&2
    exit 1
fi

# The bitness of the build: the machine field of its DLL's PE header.
pe_machine() {
    local at
    at=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
    od -An -tx2 -j$((at + 4)) -N2 "$1" | tr -d ' '
}
case $(pe_machine "$WORK/stage/bin/libkelvra.dll") in
8664) ARCH=x64 BITNESS=64 WIN64=yes HEAT=(--win64) ;;
014c) ARCH=x86 BITNESS=32 WIN64=no HEAT=() ;;
*) echo "$0: libkelvra.dll is neither x64 nor x86" >&2; exit 1 ;;
esac

# The version the build installed (from the project's one version line).
VERSION=$(sed -n 's/^Version: *//p' "$WORK/stage/lib/pkgconfig/kelvra.pc")
if [[ ! $VERSION =~ ^([0-9]+)\.([0-9]+)\.([0-9]+)$ ]]; then
    echo "$0: the version '$VERSION' is not major.minor.patch" >&2
    exit 1
fi
MAJOR=$((10#${BASH_REMATCH[1]}))
MINOR=$((10#${BASH_REMATCH[2]}))
PATCH=$((10#${BASH_REMATCH[3]}))
# A Windows Installer product version's fields are at most 255.255.65535;
# the next patch must be one too.
if ((MAJOR > 255 || MINOR > 255 || PATCH >= 65535)); then
    echo "$0: the version $VERSION is out of a Windows Installer version's range" >&2
    exit 1
fi
VERSION=$MAJOR.$MINOR.$PATCH
NEXT=$MAJOR.$MINOR.$((PATCH + 1))

# wixl reads sources relative to the folder it runs in, never by absolute
# path; the component and file names come from each file's path in the tree,
# so they stay the same from one build to the next.
cd "$WORK"
find stage -type f | LC_ALL=C sort |
    wixl-heat --prefix stage/ --directory-ref INSTALLDIR --component-group KelvraFiles \
              --var var.StageDir "${HEAT[@]}" >files.wxs

MSI=kelvra-$VERSION-$ARCH.msi
# wixl passes over what it does not know with a warning and succeeds: a
# warning here is a package that would lack something, so it fails.
wixl --arch $ARCH -D Version="$VERSION" -D NextVersion="$NEXT" -D StageDir=stage -D Win64=$WIN64 -D Bitness=$BITNESS \
     -o "$MSI" "$HERE/kelvra.wxs" files.wxs 2>wixl.log || { cat wixl.log >&2; exit 1; }
if [ -s wixl.log ]; then
    cat wixl.log >&2
    echo "$0: wixl warned (above); no package written" >&2
    exit 1
fi
mv -f "$MSI" "$OUT/$MSI"
echo "$OUT/$MSI"
