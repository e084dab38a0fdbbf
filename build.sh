#!/usr/bin/env bash
# Kelvra's one entry point: installs what a fresh Debian machine lacks,
# configures, builds and runs. See the README for the commands.
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$PWD
BUILD=${KELVRA_BUILD_DIR:-$ROOT/build}
JOBS=${KELVRA_JOBS:-$(nproc 2>/dev/null || echo 2)}

# What building the library, the provider and the commands needs, and the
# demo (python3 reads kelvra's JSON): all ./build.sh demo installs.
BUILD_PACKAGES=(cmake ninja-build g++ pkg-config libgmime-3.0-dev libcurl4-gnutls-dev libgnutls28-dev libsqlite3-dev libetpan-dev libcli11-dev nlohmann-json3-dev libpng-dev libsecret-1-dev libxml2-dev python3)
# The test laboratory: test frameworks, mail servers, a keyring, locales,
# interop peers and tools the tests watch with. Installed by test and package only.
LAB_PACKAGES=(googletest dovecot-core dovecot-imapd python3-aiosmtpd openssl locales e2fsprogs notmuch gnome-keyring dbus-daemon dbus-bin strace scdoc man-db msmtp-mta shared-mime-info xdg-utils xdg-desktop-portal xdg-desktop-portal-gtk xvfb xauth zsh bash-completion w3m)
NATIVE_PACKAGES=("${BUILD_PACKAGES[@]}" "${LAB_PACKAGES[@]}")
# Both bitnesses: the 32-bit programs run in the same Wine, through wine32
# from Debian's i386 architecture.
WINDOWS_PACKAGES=(cmake ninja-build googletest g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 g++-mingw-w64-i686 binutils-mingw-w64-i686 wine wine64 wine32:i386 libcli11-dev nlohmann-json3-dev wixl msitools)
# Building the Debian packages and the Windows installer, and checking them.
PACKAGE_PACKAGES=(dpkg-dev debhelper fakeroot scdoc lintian autopkgtest wixl msitools)

say() { printf '== %s\n' "$*"; }

# Installs the Debian packages of the arguments that are not installed yet
# (NAME:i386 turns on the i386 architecture first).
ensure_packages() {
    local missing=() p sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    if [[ " $* " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -x i386 >/dev/null; then
        "${sudo[@]}" dpkg --add-architecture i386
    fi
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep "ok installed" >/dev/null || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    say "installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -q || true
    "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# configure_and_build DIR [cmake options...]
configure_and_build() {
    local dir=$1
    shift
    cmake -S "$ROOT" -B "$dir" -G Ninja -DKELVRA_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j "$JOBS"
}

run_tests() {
    ctest --test-dir "$1" --output-on-failure -j "$JOBS"
}

native() {
    ensure_packages "${NATIVE_PACKAGES[@]}"
    say "native build"
    configure_and_build "$BUILD/native" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVRA_TESTS=ON
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
    cmake -S "$ROOT" -B "$dir" -G Ninja -DKELVRA_WERROR=ON -DCMAKE_BUILD_TYPE=Debug -DKELVRA_TSAN=ON >/dev/null
    cmake --build "$dir" -j "$JOBS" --target binding_threads_test provider_threads_test components_threads_test \
        fakemapi kelvramapi
    # die_after_fork=0: a forked child starts the provider's threads of its
    # own, which the thread tests check (ThreadSanitizer refuses by default).
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 die_after_fork=0 suppressions=$ROOT/tests/threads/tsan.supp" \
        ctest --test-dir "$dir" --output-on-failure -R 'threads_test$'
}

# The Release configuration (-O3, what ./build.sh bench and most people
# building from source use): the library, the provider, the command and the
# benchmarks compiled with warnings as errors, not run, so that a warning
# only optimisation shows cannot break them unseen.
release() {
    ensure_packages "${NATIVE_PACKAGES[@]}" libbenchmark-dev
    say "Release build (the benchmarks compiled, not run)"
    local dir=$BUILD/release
    cmake -S "$ROOT" -B "$dir" -G Ninja -DKELVRA_WERROR=ON -DCMAKE_BUILD_TYPE=Release -DKELVRA_BENCH=ON >/dev/null
    cmake --build "$dir" -j "$JOBS" --target kelvra kelvramapi kelvra_command recipients_bench readmail_bench \
        mailbox_bench smtp_bench imap_bench provider_cost_bench html_text_bench
}

# A Windows build: mingw-w64 cross compiler, every test program run by
# CTest under Wine, in a Wine prefix inside the build folder.
# windows_build DIR TOOLCHAIN WHAT
windows_build() {
    local dir=$BUILD/$1
    say "Windows build, $3 (mingw-w64), tests under Wine"
    configure_and_build "$dir" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/$2" -DCMAKE_BUILD_TYPE=RelWithDebInfo
    # A prefix made before wine32 was installed has no 32-bit system folder
    # (and Wine then starts no program in it): it is made anew.
    local prefix=$dir/wineprefix
    if [ ! -f "$prefix/system.reg" ] || [ -z "$(ls -A "$prefix/drive_c/windows/syswow64" 2>/dev/null)" ]; then
        say "creating the Wine prefix"
        rm -rf "$prefix"
        # No Mono or Gecko installers: they would ask on a display. The
        # registry is written when the prefix's server ends: waited for.
        WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= wineboot -i >/dev/null 2>&1
        WINEPREFIX=$prefix timeout 120 wineserver -w || true
    fi
    run_tests "$dir"
}

# Both Windows builds: 64-bit, and 32-bit (run in a 64-bit Wine prefix, as
# a 32-bit application runs on 64-bit Windows).
windows() {
    ensure_packages "${WINDOWS_PACKAGES[@]}"
    windows_build windows mingw-w64.cmake 64-bit
    windows_build windows32 mingw-w64-i686.cmake 32-bit
}

# The main job, shown: the native build, then the kelvra command sending,
# listing, reading and deleting mail in a temporary folder of its own.
demo() {
    ensure_packages "${BUILD_PACKAGES[@]}"
    say "native build"
    # The tests' part of the build is left for ./build.sh test, which turns it
    # on again in the same folder.
    configure_and_build "$BUILD/native" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVRA_TESTS=OFF
    say "demo"
    "$ROOT/cli/demo.sh" "$BUILD/native/bin"
}

# The Debian packages and the Windows installer, into build/packages, and
# their checks: lintian, the autopkgtests against the installed packages
# (purged afterwards, leaving no file behind), and the installer installed,
# used and removed under Wine. Needs root (or sudo) to install packages.
package() {
    ensure_packages "${BUILD_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"
    local out=$BUILD/packages work=$BUILD/debian
    rm -rf "$out" "$work"
    mkdir -p "$out" "$work"
    local version
    version=$(dpkg-parsechangelog -l "$ROOT/debian/changelog" -S Version)

    say "Debian packages"
    # dpkg-buildpackage writes beside the tree it builds: a copy of the
    # sources, inside the build folder.
    copy_sources "$work/kelvra-$version"
    (cd "$work/kelvra-$version" && DEB_BUILD_OPTIONS="parallel=$JOBS" dpkg-buildpackage -us -uc -b >"$work/build.log" 2>&1) ||
        { tail -40 "$work/build.log"; return 1; }
    mv "$work"/*.deb "$work"/*.buildinfo "$work"/*.changes "$out/"
    say "lintian"
    lintian --fail-on error,warning "$out"/*.changes

    local debs=() names=() deb
    for deb in "$out"/*.deb; do
        [[ $deb == *-dbgsym_* ]] && continue
        debs+=("$deb")
        names+=("$(dpkg-deb -f "$deb" Package)")
    done
    say "installing ${names[*]}"
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${debs[@]}" >/dev/null
    local files=$work/installed-files
    dpkg -L "${names[@]}" | sort -u >"$files"
    say "autopkgtest"
    copy_sources "$work/tests-tree"
    local status=0
    timeout 1200 "${sudo[@]}" autopkgtest --no-built-binaries "$work/tests-tree/" -- null || status=$?
    say "purging ${names[*]}"
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get purge -y -q "${names[@]}" >/dev/null
    local left
    left=$(while read -r f; do if [ -e "$f" ] && [ ! -d "$f" ]; then echo "$f"; fi; done <"$files")
    if [ -n "$left" ]; then
        echo "files left behind after purging:"
        echo "$left"
        return 1
    fi
    [ "$status" -eq 0 ] || { echo "autopkgtest failed ($status)"; return 1; }

    local build toolchain arch
    for build in windows:mingw-w64.cmake:x64 windows32:mingw-w64-i686.cmake:x86; do
        IFS=: read -r build toolchain arch <<<"$build"
        say "Windows installer, $arch"
        configure_and_build "$BUILD/$build" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/$toolchain" -DCMAKE_BUILD_TYPE=RelWithDebInfo
        "$ROOT/installer/windows/build-msi.sh" "$BUILD/$build" "$out"
        timeout 900 "$ROOT/installer/windows/test-msi.sh" "$out/kelvra-$version-$arch.msi" "$BUILD/$build" "$ROOT/cmake/$toolchain"
    done
    say "packages"
    ls -l "$out"
}

# The project's files, without its build folder or history, into FOLDER.
copy_sources() {
    rm -rf "$1"
    mkdir -p "$1"
    tar -C "$ROOT" --exclude=./build --exclude=./.git -cf - . | tar -C "$1" -xf -
}

# The peers the benchmarks compare with (a missing one is reported as such).
BENCH_PACKAGES=(libbenchmark-dev mblaze notmuch w3m)

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
            ThreadSanitizer, the Release build, the Windows build under Wine, the packages
  native    the native build and its tests only
  sanitized the build under AddressSanitizer and UndefinedBehaviorSanitizer, and its tests
  threads   the thread tests under ThreadSanitizer
  release   the Release build of the library, the command and the benchmarks (compiled, not run)
  windows   the Windows cross builds (64- and 32-bit) and their tests under Wine only
  package   the Debian packages and the Windows installer, into build/packages, and their checks
            (lintian, autopkgtest on the installed packages, the installer under Wine); needs root
  bench     the benchmarks, in a release build
USAGE
}

case "${1:-}" in
    test) native; sanitized; threads; release; windows; package ;;
    demo) demo ;;
    native) native ;;
    sanitized) sanitized ;;
    threads) threads ;;
    release) release ;;
    windows) windows ;;
    bench) bench ;;
    package) package ;;
    *) usage; exit 2 ;;
esac
