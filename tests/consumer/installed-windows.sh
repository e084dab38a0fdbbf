#!/usr/bin/env bash
# The Windows build installed into a prefix of its own; the consumer is
# cross-built against it with find_package, linking the DLL's import
# library, and runs under Wine.
#   installed-windows.sh BUILD-DIR TOOLCHAIN-FILE
set -euo pipefail
BUILD=$(cd "$1" && pwd)
HERE=$(cd "$(dirname "$0")" && pwd)
PREFIX=$BUILD/installed-prefix
rm -rf "$PREFIX" "$BUILD/consumer-installed"
cmake --install "$BUILD" --prefix "$PREFIX" >/dev/null
test -f "$PREFIX/lib/libkelvra.dll.a"
cmake -S "$HERE/installed" -B "$BUILD/consumer-installed" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$2" \
    -DCMAKE_PREFIX_PATH="$PREFIX" >/dev/null
cmake --build "$BUILD/consumer-installed" >/dev/null
# The application ships the DLLs it uses beside it: the library, and on
# 32-bit Windows the compiler's runtimes installed with it.
cp "$PREFIX"/bin/*.dll "$BUILD/consumer-installed/"
WINEPREFIX=$BUILD/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= wine "$BUILD/consumer-installed/consumer.exe"
