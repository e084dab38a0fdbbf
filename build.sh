#!/usr/bin/env bash
# Kelvra's one entry point: installs what a fresh Debian machine lacks,
# configures, builds and runs. See the README for the commands.
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$PWD
BUILD=${KELVRA_BUILD_DIR:-$ROOT/build}
JOBS=${KELVRA_JOBS:-$(nproc 2>/dev/null || echo 2)}

NATIVE_PACKAGES=(cmake ninja-build g++ googletest pkg-config libgmime-3.0-dev libcurl4-gnutls-dev libgnutls28-dev libsqlite3-dev libetpan-dev dovecot-core dovecot-imapd python3 python3-aiosmtpd openssl locales e2fsprogs libcli11-dev nlohmann-json3-dev notmuch libpng-dev libsecret-1-dev gnome-keyring dbus-daemon dbus-bin strace)
WINDOWS_PACKAGES=(cmake ninja-build googletest g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine wine64 libcli11-dev nlohmann-json3-dev)

say() { printf '== %s\n' "$*"; }

# Installs the Debian packages of the arguments that are not installed yet.
ensure_packages() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    say "installing ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -q || true
    "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# configure_and_build DIR [cmake options...]
configure_and_build() {
    local dir=$1
    shift
    cmake -S "$ROOT" -B "$dir" -G Ninja "$@" >/dev/null
    cmake --build "$dir" -j "$JOBS"
}

run_tests() {
    ctest --test-dir "$1" --output-on-failure -j "$JOBS"
}

native() {
    ensure_packages "${NATIVE_PACKAGES[@]}"
    say "native build"
    configure_and_build "$BUILD/native" -DCMAKE_BUILD_TYPE=RelWithDebInfo
    run_tests "$BUILD/native"
}

sanitized() {
    ensure_packages "${NATIVE_PACKAGES[@]}"
    say "AddressSanitizer + UndefinedBehaviorSanitizer build"
    configure_and_build "$BUILD/asan" -DCMAKE_BUILD_TYPE=Debug -DKELVRA_SANITIZE=ON
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        run_tests "$BUILD/asan"
}

# The thread tests under ThreadSanitizer: only the programs that start
# threads, so the build stays small.
threads() {
    ensure_packages "${NATIVE_PACKAGES[@]}"
    say "ThreadSanitizer build of the thread tests"
    local dir=$BUILD/tsan
    cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKELVRA_TSAN=ON >/dev/null
    cmake --build "$dir" -j "$JOBS" --target binding_threads_test provider_threads_test fakemapi
    # die_after_fork=0: a forked child starts the provider's threads of its
    # own, which the thread tests check (ThreadSanitizer refuses by default).
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 die_after_fork=0 suppressions=$ROOT/tests/threads/tsan.supp" \
        ctest --test-dir "$dir" --output-on-failure -R 'threads_test$'
}

# The Windows build: mingw-w64 cross compiler, every test program run by
# CTest under Wine, in a Wine prefix inside the build folder.
windows() {
    ensure_packages "${WINDOWS_PACKAGES[@]}"
    say "Windows build (mingw-w64), tests under Wine"
    local dir=$BUILD/windows
    configure_and_build "$dir" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo
    if [ ! -f "$dir/wineprefix/system.reg" ]; then
        say "creating the Wine prefix"
        # No Mono or Gecko installers: they would ask on a display.
        WINEPREFIX=$dir/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= wineboot -i >/dev/null 2>&1
    fi
    run_tests "$dir"
}

# The main job, shown: the native build, then the kelvra command sending,
# listing, reading and deleting mail in a temporary folder of its own.
demo() {
    ensure_packages "${NATIVE_PACKAGES[@]}"
    say "native build"
    configure_and_build "$BUILD/native" -DCMAKE_BUILD_TYPE=RelWithDebInfo
    say "demo"
    "$ROOT/cli/demo.sh" "$BUILD/native/bin"
}

# The peers the benchmarks compare with (a missing one is reported as such).
BENCH_PACKAGES=(libbenchmark-dev mblaze notmuch)

# Benchmarks: a release build, every program under bench/ run once, then one
# table of the comparisons with their peers.
bench() {
    ensure_packages "${NATIVE_PACKAGES[@]}" "${BENCH_PACKAGES[@]}"
    say "benchmarks (release build)"
    local dir=$BUILD/release
    configure_and_build "$dir" -DCMAKE_BUILD_TYPE=Release -DKELVRA_BENCH=ON
    local program table
    table=$(mktemp)
    for program in "$dir"/bin/*_bench; do
        say "$(basename "$program")"
        KELVRA_BENCH_TABLE=$table "$program"
    done
    say "Kelvra against its peers (time per message; ratio = Kelvra's time / the peer's, under 1 is faster)"
    cat "$table"
    rm -f "$table"
}

usage() {
    cat <<USAGE
usage: ./build.sh COMMAND
  demo      build, then show the main job with the kelvra command (in a temporary folder)
  test      every test: the native build, the same under the sanitizers, the thread tests under
            ThreadSanitizer, the Windows build under Wine
  native    the native build and its tests only
  sanitized the build under AddressSanitizer and UndefinedBehaviorSanitizer, and its tests
  threads   the thread tests under ThreadSanitizer
  windows   the Windows cross build and its tests under Wine only
  bench     the benchmarks, in a release build
USAGE
}

case "${1:-}" in
    test) native; sanitized; threads; windows ;;
    demo) demo ;;
    native) native ;;
    sanitized) sanitized ;;
    threads) threads ;;
    windows) windows ;;
    bench) bench ;;
    *) usage; exit 2 ;;
esac
