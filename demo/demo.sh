#!/usr/bin/env bash
# The demo: pack a folder of sample game files into a QOV archive with qov,
# check it, list it, unpack it and compare, then show that a damaged copy is
# caught.  `./run demo` runs it with NQOV_ROOT, NQOV_BUILD_DIR and
# NQOV_BIN_DIR set; it can also be run by hand after a build.
#
# Everything it makes goes under build/demo.  The sample files are the same
# on every run.  Exit status: 0 when every step did what it should, 1 when not.

set -uo pipefail

ROOT=${NQOV_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
BIN_DIR=${NQOV_BIN_DIR:-$ROOT/build/native/bin}
QOV="$BIN_DIR/qov"
DEMO_DIR="$ROOT/build/demo"
SAMPLE="$DEMO_DIR/sample"
ARCHIVE="$DEMO_DIR/sample.qov"
EXTRACTED="$DEMO_DIR/extracted"
DAMAGED="$DEMO_DIR/damaged.qov"
PIECE_SIZE=262144

step_number=0
step() {
    step_number=$((step_number + 1))
    printf '\n== Step %d: %s\n' "$step_number" "$*"
}
say() { printf '   %s\n' "$*"; }
fail() {
    printf '\nDEMO FAILED: %s\n' "$*" >&2
    exit 1
}
# Runs a command with its output indented under the step.
show() {
    printf '   $ %s\n' "$*"
    "$@" 2>&1 | sed 's/^/     /'
    return "${PIPESTATUS[0]}"
}

[[ -x "$QOV" ]] || fail "qov is not built: $QOV does not exist (run ./run build)"
command -v python3 >/dev/null || fail "python3 is needed to make the sample files"

step "make a folder of sample files in build/demo/sample"
rm -rf "$SAMPLE" "$EXTRACTED" "$ARCHIVE" "$DAMAGED"
mkdir -p "$DEMO_DIR"
python3 - "$SAMPLE" <<'EOF' || fail "could not make the sample files"
import gzip, os, random, sys

root = sys.argv[1]
rng = random.Random(20240601)  # fixed seed: the same files on every run

def write(name, data):
    path = os.path.join(root, *name.split("/"))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)

words = "sword shield potion castle dragon quest gold forest river tower".split()
story = "".join("%d: the %s near the %s holds %d %s\n" % (
    i, rng.choice(words), rng.choice(words), rng.randrange(1000), rng.choice(words))
    for i in range(40000)).encode()

write("readme.txt", b"Sample game data for the qov demo.\n")
write("config/settings.ini", b"[video]\nwidth=1920\nheight=1080\n[audio]\nvolume=80\n")
write("config/empty.cfg", b"")
write("text/story.txt", story)
write("text/credits.txt", b"Made by the Brevik team.\n" * 200)
write("textures/stone.dds", rng.randbytes(1500000))
write("textures/grass.dds", rng.randbytes(700000))
write("models/hero/hero.mesh", bytes(rng.randrange(16) for _ in range(400000)))
write("models/hero/hero.anim", rng.randbytes(4096))
write("sound/theme.ogg.gz", gzip.compress(rng.randbytes(300000) + story[:200000], mtime=0))
write("archives/level1.pak.gz", gzip.compress(story * 3, mtime=0))
write("lang/中文/对话.txt", "你好，勇者！欢迎来到城堡。\n".encode() * 500)
write("lang/français/dialogue.txt", "Bonjour, héros ! Bienvenue au château.\n".encode() * 500)
EOF
file_count=$(find "$SAMPLE" -type f | wc -l)
total_bytes=$(find "$SAMPLE" -type f -printf '%s\n' | awk '{s += $1} END {print s}')
say "made $file_count files, $total_bytes bytes in all: text, random binary data,"
say "already-compressed .gz files, nested folders, UTF-8 names and an empty file"

step "create an empty archive with pieces of $PIECE_SIZE bytes"
show "$QOV" create --piece-size "$PIECE_SIZE" "$ARCHIVE" || fail "qov create failed"

step "add the whole folder (each file under its path inside the folder)"
show "$QOV" add "$ARCHIVE" "$SAMPLE" || fail "qov add failed"
say "the archive file is $(stat -c %s "$ARCHIVE") bytes"

step "verify every piece and every file"
show "$QOV" verify "$ARCHIVE" || fail "qov verify found damage in a fresh archive"

step "list what the archive holds"
show "$QOV" list "$ARCHIVE" || fail "qov list failed"

step "extract everything into build/demo/extracted, on several threads"
show "$QOV" extract --jobs 3 -o "$EXTRACTED" "$ARCHIVE" || fail "qov extract failed"

step "compare the extracted files with the originals"
if ! diff -r "$SAMPLE" "$EXTRACTED" >/dev/null; then
    diff -r "$SAMPLE" "$EXTRACTED" | head -20 >&2
    fail "the extracted files differ from the originals"
fi
say "all $file_count files are byte for byte the same (diff -r finds no difference)"
one=$("$QOV" cat "$ARCHIVE" 'lang\中文\对话.txt' | cmp - "$SAMPLE/lang/中文/对话.txt" && echo same)
[[ "$one" == same ]] || fail "qov cat gave other bytes than the original file"
say "qov cat of 'lang\\中文\\对话.txt' gives the same bytes too"

step "damage one byte of a copy and verify it again"
cp "$ARCHIVE" "$DAMAGED"
offset=$((PIECE_SIZE + 12345))
old_byte=$(od -An -tu1 -j "$offset" -N1 "$DAMAGED" | tr -d ' ')
[[ -n "$old_byte" ]] || fail "the archive is shorter than $offset bytes"
# shellcheck disable=SC2059  # the format is the octal escape of the new byte
printf "$(printf '\\%03o' $((old_byte ^ 0xFF)))" |
    dd of="$DAMAGED" bs=1 seek="$offset" conv=notrunc status=none ||
    fail "could not change the copy"
say "byte $offset (in piece $((offset / PIECE_SIZE))) of damaged.qov was overwritten"
show "$QOV" verify "$DAMAGED"
status=$?
[[ $status -eq 1 ]] || fail "qov verify should report the damage with exit status 1, not $status"
say "qov verify found the damaged piece and the files in it (exit status 1), as it should"

printf '\nDEMO PASSED: qov packed, verified, listed and unpacked %d files exactly, and caught the damaged copy.\n' \
    "$file_count"
exit 0
