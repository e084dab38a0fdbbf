#!/usr/bin/env bash
# Installs the build into a prefix of its own, then builds the consumer
# against it twice, with find_package and with pkg-config, and runs both;
# the installed kelvra command runs too.
#   installed.sh BUILD-DIR
set -euo pipefail
BUILD=$(cd "$1" && pwd)
HERE=$(cd "$(dirname "$0")" && pwd)
PREFIX=$BUILD/installed-prefix
rm -rf "$PREFIX" "$BUILD/consumer-installed"
cmake --install "$BUILD" --prefix "$PREFIX" >/dev/null
test -f "$PREFIX/include/kelvra/kelvra/Kelvra.h"
test ! -e "$PREFIX/include/host"   # nothing generic at the top of the include folder
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

cmake -S "$HERE/installed" -B "$BUILD/consumer-installed" -G Ninja -DCMAKE_PREFIX_PATH="$PREFIX" >/dev/null
cmake --build "$BUILD/consumer-installed" >/dev/null
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
