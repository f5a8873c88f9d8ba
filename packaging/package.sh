#!/usr/bin/env bash
# Makes the release packages in dist/ from the release builds that ./run
# package has made (build/package/windows and build/package/native):
#
#   brevik-VERSION-windows-x64.zip   the plug-in, the check tool, qov.exe,
#                                    headers, libnqov.a, README.txt and
#                                    THIRD-PARTY-NOTICES.txt
#   qov-VERSION-linux-x86_64.tar.gz  qov and qov.1
#   qov_DEBVERSION_amd64.deb         qov with its manual page (CPack)
#   SHA256SUMS                       over the three, with bare names
#
#   package.sh ROOT WINDOWS_BUILD NATIVE_BUILD DIST
#
# The packages depend only on the commit: every file's time is the commit's
# (SOURCE_DATE_EPOCH), files are stored in sorted order with no owners,
# and zip, tar and gzip store nothing of the machine or the moment.

set -euo pipefail

root=$1 windows=$2 native=$3 dist=$4

: "${SOURCE_DATE_EPOCH:?SOURCE_DATE_EPOCH must be set (the commit time)}"
export TZ=UTC LC_ALL=C

version_of() {
    sed -n 's/^#define BREVIK_VERSION "\(.*\)"$/\1/p' "$1/generated/version/brevik_version.h"
}
version=$(version_of "$windows")
[[ -n "$version" ]] || { echo "no version in $windows" >&2; exit 1; }
if [[ "$(version_of "$native")" != "$version" ]]; then
    echo "the windows and native builds have different versions" >&2
    exit 1
fi

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
rm -rf "$dist"
mkdir -p "$dist"

# normalise DIR: the commit's time on everything, modes without the umask.
normalise() {
    find "$1" -type d -exec chmod 755 {} +
    find "$1" -type f -exec chmod 644 {} +
    find "$1" -type f \( -name '*.exe' -o -name '*.dll' -o -name qov \) -exec chmod 755 {} +
    find "$1" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
}

#--- the Windows zip
zip_name="brevik-$version-windows-x64"
top="$stage/$zip_name"
mkdir -p "$top/include" "$top/lib"
for file in Brevik.dll MORLRepairTools.exe MORLRepairTools.zip qov.exe; do
    cp "$windows/bin/$file" "$top/"
done
cp "$root/plugin/include/MORLRepair.h" "$root/nqov/include/QOVLib.h" "$top/include/"
cp "$windows/dist/lib/libnqov.a" "$top/lib/"
sed "s/@VERSION@/$version/g" "$root/packaging/README-windows.txt.in" | sed 's/$/\r/' >"$top/README.txt"
echo "third-party libraries in the Windows binaries (from the linker maps):"
python3 "$root/packaging/notices.py" "$top/THIRD-PARTY-NOTICES.txt" \
    "${BREVIK_CACHE:-$HOME/.cache/brevik}/windows/src" \
    "$windows/bin/Brevik.dll.map" "$windows/bin/MORLRepairTools.exe.map" "$windows/bin/qov.exe.map"
normalise "$top"
(cd "$stage" && find "$zip_name" -type f | sort | zip -X -9 -q "$dist/$zip_name.zip" -@)

#--- the Linux tarball
tar_name="qov-$version-linux-x86_64"
mkdir -p "$stage/install" "$stage/$tar_name"
cmake --install "$native" --prefix "$stage/install/usr" --strip >/dev/null
cp "$stage/install/usr/bin/qov" "$native/man/qov.1" "$stage/$tar_name/"
normalise "$stage/$tar_name"
tar -C "$stage" --sort=name --mtime="@$SOURCE_DATE_EPOCH" --owner=0 --group=0 --numeric-owner \
    --format=gnu -cf - "$tar_name" | gzip -n -9 >"$dist/$tar_name.tar.gz"

#--- the Debian package
(cd "$native" && cpack -G DEB -B "$stage/cpack" >/dev/null)
cp "$stage"/cpack/*.deb "$dist/"

(cd "$dist" && sha256sum -- *.zip *.tar.gz *.deb >SHA256SUMS)
echo "packages of $version in $dist:"
(cd "$dist" && ls -l)
