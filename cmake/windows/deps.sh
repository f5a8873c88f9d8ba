#!/usr/bin/env bash
# Builds the windows flavour's third-party libraries into the cache prefix,
# once per set of versions.
#
#   cmake/windows/deps.sh          (./run does it before building build/windows)
#
# Sources come from Debian's source packages (`apt-get source`; the deb-src
# entry is written by `./run setup`), compiled by our own small CMake project
# cmake/windows-deps with the toolchain cmake/toolchain-mingw64.cmake.
#
# Cache (survives `git clean`; shared by every clone of the project):
#   $BREVIK_CACHE (default $HOME/.cache/brevik)/windows/
#       src/PACKAGE_VERSION/    unpacked source packages
#       prefix/                 the installed libraries (BREVIK_WINDOWS_PREFIX
#                               overrides this folder)
#       prefix/brevik-deps.stamp  the versions the prefix was built from
#       deps.log                output of the last build
# Nothing is fetched or built when the stamp matches: the versions of the
# source packages, of the Debian packages used as they are (compiler, zlib,
# GoogleTest, SimpleIni) and a checksum of our build files.

set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
CACHE=${BREVIK_CACHE:-$HOME/.cache/brevik}
WIN="$CACHE/windows"
PREFIX=${BREVIK_WINDOWS_PREFIX:-$WIN/prefix}
SRC="$WIN/src"
LOG="$WIN/deps.log"
JOBS=${BREVIK_JOBS:-$(nproc 2>/dev/null || echo 2)}

SOURCE_PACKAGES=(zlib bzip2 libtommath libtomcrypt tinyxml)
BINARY_PACKAGES=(g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev libz-mingw-w64-dev
                 googletest libsimpleini-dev)
RECIPE_FILES=("$ROOT/cmake/toolchain-mingw64.cmake" "$ROOT/cmake/windows/deps.sh"
              "$ROOT/cmake/windows-deps/CMakeLists.txt" "$ROOT/cmake/windows-deps/ExceptionSafe.cmake"
              "$ROOT/cmake/windows-deps/BrevikWinDepsConfig.cmake")

log() { printf '[deps] %s\n' "$*"; }
die() { printf '[deps] error: %s\n' "$*" >&2; exit 1; }

# The source version apt would fetch (highest of the deb-src lists).
source_version() {
    apt-cache showsrc --only-source "$1" 2>/dev/null |
        awk '/^Version:/ {print $2}' | sort -V | tail -n 1
}

binary_version() {
    dpkg-query -W -f='${Version}' "$1" 2>/dev/null || true
}

# fetch PACKAGE VERSION DEST: unpacks the source package into DEST/tree.
fetch() {
    local pkg=$1 version=$2 dest=$3 tmp tree
    tmp="$dest.tmp"
    rm -rf "$tmp"
    mkdir -p "$tmp"
    log "apt-get source $pkg=$version"
    if ! (cd "$tmp" && apt-get source -q "$pkg=$version") >>"$LOG" 2>&1; then
        tail -n 20 "$LOG" >&2
        die "apt-get source $pkg=$version failed (see $LOG)"
    fi
    tree=$(find "$tmp" -mindepth 1 -maxdepth 1 -type d | head -n 1)
    [[ -n "$tree" ]] || die "apt-get source $pkg left no source folder"
    mv "$tree" "$tmp/tree"
    rm -rf "$dest"
    mv "$tmp" "$dest"
}

mkdir -p "$WIN" "$SRC"
# One build at a time per cache, whichever clone asks.
exec 9>"$WIN/lock"
flock 9

: >"$LOG"
stamp="brevik windows deps"$'\n'
declare -A tree_of version_of
for pkg in "${SOURCE_PACKAGES[@]}"; do
    version=$(source_version "$pkg")
    [[ -n "$version" ]] ||
        die "no source package '$pkg' in apt's lists: a deb-src entry is needed (./run setup writes it)"
    stamp+="source $pkg $version"$'\n'
    tree_of[$pkg]="$SRC/${pkg}_${version//:/_}"
    version_of[$pkg]=$version
done
for pkg in "${BINARY_PACKAGES[@]}"; do
    version=$(binary_version "$pkg")
    [[ -n "$version" ]] || die "package $pkg is not installed (./run setup installs it)"
    stamp+="package $pkg $version"$'\n'
done
stamp+="recipe $(cat "${RECIPE_FILES[@]}" | sha256sum | cut -d' ' -f1)"$'\n'

if [[ -f "$PREFIX/brevik-deps.stamp" && "$(cat "$PREFIX/brevik-deps.stamp")"$'\n' == "$stamp" ]]; then
    log "up to date: $PREFIX"
    exit 0
fi

for pkg in "${SOURCE_PACKAGES[@]}"; do
    if [[ ! -d "${tree_of[$pkg]}/tree" ]]; then
        fetch "$pkg" "${version_of[$pkg]}" "${tree_of[$pkg]}"
    fi
done
# Source trees of versions no longer wanted.
for dir in "$SRC"/*; do
    [[ -e "$dir" ]] || continue
    keep=0
    for pkg in "${SOURCE_PACKAGES[@]}"; do
        [[ "$dir" == "${tree_of[$pkg]}" ]] && keep=1
    done
    (( keep )) || rm -rf "$dir"
done

build="$WIN/deps-build"
staging="$PREFIX.new"
rm -rf "$build" "$staging"
log "building the libraries (log: $LOG)"
start=$(date +%s)
if ! {
    cmake -S "$ROOT/cmake/windows-deps" -B "$build" -G Ninja -Wno-dev \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw64.cmake" \
        -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$staging" \
        -DBREVIK_WINDOWS_PREFIX="$staging" \
        -DBREVIK_SRC_ZLIB="${tree_of[zlib]}/tree" \
        -DBREVIK_SRC_BZIP2="${tree_of[bzip2]}/tree" \
        -DBREVIK_SRC_TOMMATH="${tree_of[libtommath]}/tree" \
        -DBREVIK_SRC_TOMCRYPT="${tree_of[libtomcrypt]}/tree" \
        -DBREVIK_SRC_TINYXML="${tree_of[tinyxml]}/tree" &&
    cmake --build "$build" --parallel "$JOBS" &&
    cmake --install "$build"
} >>"$LOG" 2>&1; then
    tail -n 40 "$LOG" >&2
    die "building the Windows libraries failed (see $LOG)"
fi
printf '%s' "$stamp" >"$staging/brevik-deps.stamp"
rm -rf "$PREFIX"
mv "$staging" "$PREFIX"
rm -rf "$build"
log "built in $(( $(date +%s) - start )) s: $PREFIX"
