#!/usr/bin/env bash
# Merges static libraries into one, for integrators who link a single file.
#
#   merge-static.sh OUTPUT AR LD WHOLE_LIB LIB...
#
# WHOLE_LIB (the archive writer) is first linked into one object (ld -r),
# so that a program that uses any of it gets all of it: the writer installs
# itself for the read side from an object no call names.  The members of the
# other LIBs keep their own objects, prefixed with their library's name, so
# that equal member names of different libraries do not clash.  The order
# of the members is sorted and ar writes no time stamps or owners (D).

set -euo pipefail

output=$1 ar=$2 ld=$3 whole=$4
shift 4

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/objects"

"$ld" -r -o "$work/objects/$(basename "$whole" .a)__all.o" --whole-archive "$whole"
for lib in "$@"; do
    name=$(basename "$lib" .a)
    mkdir "$work/$name"
    (cd "$work/$name" && "$ar" x "$lib")
    for member in "$work/$name"/*; do
        mv "$member" "$work/objects/${name}__$(basename "$member")"
    done
done

mkdir -p "$(dirname "$output")"
rm -f "$output" "$output.tmp"
(cd "$work/objects" && LC_ALL=C ls | LC_ALL=C sort | xargs "$ar" rcsD "$output.tmp")
mv "$output.tmp" "$output"
