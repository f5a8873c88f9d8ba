#!/usr/bin/env bash
# Creates the Wine prefix of a windows build folder (run by CMake when the
# folder is configured and the prefix is missing or incomplete).
#
#   wine-prefix.sh WINE_RUN PREFIX [MARK]
#
# WINE_RUN is the folder's wrapper (wine-run, which names PREFIX).  The
# prefix gets: Wine's start-up files (wineboot -i); the graphics drivers
# "x11,null" (real windows under an X server such as Xvfb, none without
# one); no crash dialog (a crash prints a backtrace and ends the program,
# where a dialog would wait for a click until the test times out); fonts for the Microsoft names programs ask for (Chinese names to
# WenQuanYi Micro Hei, Arial, Times New Roman and Courier New to Liberation,
# Microsoft Sans Serif to Wine's Tahoma)
# and a Chinese fallback for the dialog fonts; Wine's own fonts linked into
# C:\windows\Fonts (Debian's Wine does not show them to programs otherwise).
# The file .brevik-prefix marks a finished prefix and holds MARK (CMake
# passes the checksum of this script).  Output goes to
# PREFIX.log, so that configuring stays quiet.

set -euo pipefail

run=$1
prefix=$2
mark=${3:-done}
log="$prefix.log"

fail() {
    printf 'wine-prefix.sh: %s (see %s)\n' "$*" "$log" >&2
    exit 1
}

"$run" --wineserver -k >/dev/null 2>&1 || true
rm -rf "$prefix"
mkdir -p "$(dirname "$prefix")"
: >"$log"

# No window while the prefix is made, whatever display the caller has.
unset DISPLAY WAYLAND_DISPLAY

"$run" wineboot -i </dev/null >>"$log" 2>&1 || fail "wineboot -i failed"

reg="$prefix/brevik.reg"
{
    printf 'REGEDIT4\r\n\r\n'
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\Drivers]\r\n'
    printf '"Graphics"="x11,null"\r\n\r\n'
    # A crashing program gets a backtrace on its standard error and ends,
    # instead of a crash dialog that waits for a click.
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\WineDbg]\r\n'
    printf '"ShowCrashDialog"=dword:00000000\r\n\r\n'
    printf '[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontSubstitutes]\r\n'
    for name in "Microsoft YaHei" "SimSun" "NSimSun" "SimHei"; do
        printf '"%s"="WenQuanYi Micro Hei"\r\n' "$name"
    done
    # Windows' own dialog font; Wine has none of that name.
    printf '"Microsoft Sans Serif"="Tahoma"\r\n'
    printf '"Arial"="Liberation Sans"\r\n'
    printf '"Times New Roman"="Liberation Serif"\r\n'
    printf '"Courier New"="Liberation Mono"\r\n\r\n'
    # REG_MULTI_SZ (in a REGEDIT4 file: single-byte text): strings, each
    # ending in a zero, then a zero.
    link=$(printf 'wqy-microhei.ttc,WenQuanYi Micro Hei\0\0' | od -An -v -tx1 | tr -s ' \n' ' ' | sed 's/^ //; s/ $//; s/ /,/g')
    printf '[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontLink\\SystemLink]\r\n'
    for name in "Tahoma" "Microsoft Sans Serif" "MS Shell Dlg" "MS Shell Dlg 2"; do
        printf '"%s"=hex(7):%s\r\n' "$name" "$link"
    done
    printf '\r\n'
} >"$reg"
"$run" regedit /S "Z:${reg//\//\\}" </dev/null >>"$log" 2>&1 || fail "regedit failed"

# Let the server write the registry to disk and stop.
"$run" --wineserver -w >>"$log" 2>&1 || true

fonts="$prefix/drive_c/windows/Fonts"
[[ -d "$fonts" ]] || fail "no $fonts after wineboot"
for font in /usr/share/wine/fonts/*.ttf; do
    [[ -e "$font" ]] && ln -sf "$font" "$fonts/"
done

grep -q '"Graphics"="x11,null"' "$prefix/user.reg" || fail "the registry settings did not reach user.reg"
printf '%s\n' "$mark" >"$prefix/.brevik-prefix"
