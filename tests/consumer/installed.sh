#!/usr/bin/env bash
# Installs the build into a prefix of its own, then builds the consumer
# against it and runs it.
#   installed.sh BUILD-DIR
# On POSIX the consumer is built twice, with find_package and with
# pkg-config, and the installed commands run too.
#   installed.sh BUILD-DIR TOOLCHAIN-FILE
# A Windows build: the consumer is cross-built with find_package, linking
# the DLL's import library, and runs under Wine.
set -euo pipefail
BUILD=$(cd "$1" && pwd)
TOOLCHAIN=${2:-}
HERE=$(cd "$(dirname "$0")" && pwd)
PREFIX=$BUILD/installed-prefix
rm -rf "$PREFIX" "$BUILD/consumer-installed"
cmake --install "$BUILD" --prefix "$PREFIX" >/dev/null
cmake -S "$HERE/installed" -B "$BUILD/consumer-installed" -G Ninja -DCMAKE_PREFIX_PATH="$PREFIX" \
    ${TOOLCHAIN:+-DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN"} >/dev/null
cmake --build "$BUILD/consumer-installed" >/dev/null

if [ -n "$TOOLCHAIN" ]; then
    test -f "$PREFIX/lib/libkelvra.dll.a"
    # The application ships the DLLs it uses beside it: the library, and on
    # 32-bit Windows the compiler's runtimes installed with it.
    cp "$PREFIX"/bin/*.dll "$BUILD/consumer-installed/"
    WINEPREFIX=$BUILD/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= wine "$BUILD/consumer-installed/consumer.exe"
    exit 0
fi

test -f "$PREFIX/include/kelvra/kelvra/Kelvra.h"
test ! -e "$PREFIX/include/host"   # nothing generic at the top of the include folder
test ! -e "$PREFIX/include/kelvra/host/System.h"   # needed by no public header
# The modules the library loads by name are in its module folder, not on the
# linker's path; the library's own link needs no search path of its own.
MODULES=$(dirname "$(find "$PREFIX" -name libkelvramapi.so)")
test "$(basename "$MODULES")" = kelvra1
test -f "$MODULES/KelvraP.so" -a -f "$MODULES/libkelvradesigner.so"
# (a negated command never stops a script under set -e, hence the if)
if readelf -d "$(find "$PREFIX" -name 'libkelvra.so.1')" | grep 'R.*PATH'; then
    echo "the installed library has a search path of its own" >&2
    exit 1
fi

"$BUILD/consumer-installed/consumer"

LIBDIR=$(dirname "$(find "$PREFIX" -name kelvra.pc)")
export PKG_CONFIG_PATH=$LIBDIR
c++ -std=c++20 "$HERE/main.cpp" $(pkg-config --cflags --libs kelvra) -o "$BUILD/consumer-pkg-config"
"$BUILD/consumer-pkg-config"
# The application's own standard holds: pkg-config adds none.
printf '#include <kelvra/Kelvra.h>\nstatic_assert(__cplusplus > 202002L);\nint main() {}\n' >"$BUILD/later.cpp"
c++ -std=c++23 -c "$BUILD/later.cpp" $(pkg-config --cflags kelvra) -o "$BUILD/later.o"

# The README's first C++ example builds as it is pasted.
python3 - "$HERE/../../README.md" >"$BUILD/readme-example.cpp" <<'PY'
import re, sys
blocks = re.findall(r"```cpp\n(.*?)```", open(sys.argv[1], encoding="utf-8").read(), re.S)
print(next(b for b in blocks if "int main" in b))
PY
c++ -std=c++20 "$BUILD/readme-example.cpp" $(pkg-config --cflags --libs kelvra) -o "$BUILD/readme-example"

"$PREFIX/bin/kelvra" --version
# kelvra-design finds the design-time package in the module folder.
"$PREFIX/bin/kelvra-design" palette | grep TKelvraSendMail >/dev/null
