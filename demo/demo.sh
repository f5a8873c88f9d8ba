#!/usr/bin/env bash
# The demo: the product's main job on a sample game.  demo.py builds a game
# folder under build/demo (a game archive with damaged pieces, a pristine
# mirror, the plug-in folder with Brevik.dll and the stand-ins), serves the
# mirror with nginx on a free loopback port, runs MORLHost.exe under Wine so
# that the plug-in repairs the game over HTTP, runs it again (the game is up
# to date), prints what nginx served, and checks the result with qov.
#
# `./run demo` runs it with BREVIK_ROOT, BREVIK_BUILD_DIR and BREVIK_BIN_DIR set to
# the windows build folder; by hand: BREVIK_BUILD_DIR=build/windows demo/demo.sh
# Exit status: 0 when every step did what it should, 1 when not.

set -uo pipefail

ROOT=${BREVIK_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
BUILD_DIR=${BREVIK_BUILD_DIR:-$ROOT/build/windows}
BIN_DIR=${BREVIK_BIN_DIR:-$BUILD_DIR/bin}

for needed in "$BUILD_DIR/wine-run" "$BIN_DIR/MORLHost.exe" "$BIN_DIR/Brevik.dll" \
              "$BIN_DIR/morl.dll" "$BIN_DIR/MORLCheck.dll" "$BIN_DIR/qov.exe"; do
    [[ -e "$needed" ]] || { echo "DEMO FAILED: $needed is not built (run ./run demo)" >&2; exit 1; }
done

# Wine's programs need a display: a virtual one when there is none.
if [[ -z "${DISPLAY:-}" && -z "${BREVIK_DEMO_IN_XVFB:-}" ]]; then
    BREVIK_DEMO_IN_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

BREVIK_EMULATOR="$BUILD_DIR/wine-run" python3 "$ROOT/demo/demo.py" \
    --bin "$BIN_DIR" --work "$ROOT/build/demo" "$@"
rc=$?
"$BUILD_DIR/wine-run" --wineserver -k >/dev/null 2>&1 || true
exit "$rc"
