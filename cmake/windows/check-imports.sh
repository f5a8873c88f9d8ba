#!/usr/bin/env bash
# Checks that the Windows programs and DLLs of a build import system DLLs
# only: no C or C++ runtime DLL of the compiler (libstdc++-6.dll,
# libgcc_s_seh-1.dll, libwinpthread-1.dll), no third-party DLL (zlib1.dll).
# Such a DLL is missing on the users' machines, and a program that lacks one
# ends silently under Wine (exit code 53).
#
#   check-imports.sh OBJDUMP BIN_DIR [KNOWN_NAME...]
#
# Checked: every .exe and .dll in BIN_DIR, and each KNOWN_NAME (a shipped
# file name such as qov.exe) found anywhere below the build folder (the
# parent of BIN_DIR).  A DLL that the project itself builds into BIN_DIR
# may be imported by its neighbours.

set -euo pipefail

objdump=$1
bin_dir=$2
shift 2

# System DLLs (lower case; api-ms-win-* and ext-ms-win-* are matched below).
SYSTEM_DLLS=(
    kernel32.dll user32.dll gdi32.dll advapi32.dll shell32.dll ole32.dll
    oleaut32.dll ws2_32.dll version.dll gdiplus.dll msvcrt.dll comctl32.dll
    shlwapi.dll crypt32.dll bcrypt.dll comdlg32.dll winmm.dll uxtheme.dll
    dwmapi.dll imm32.dll wininet.dll winhttp.dll iphlpapi.dll userenv.dll
    secur32.dll ntdll.dll rpcrt4.dll psapi.dll shcore.dll dbghelp.dll
    mswsock.dll setupapi.dll wtsapi32.dll msimg32.dll urlmon.dll
    ucrtbase.dll
)

lower() { tr '[:upper:]' '[:lower:]'; }

declare -A allowed
for dll in "${SYSTEM_DLLS[@]}"; do allowed[$dll]=1; done
for dll in "$bin_dir"/*.dll "$bin_dir"/*.DLL; do
    [[ -f "$dll" ]] && allowed[$(basename "$dll" | lower)]=1
done

files=()
for file in "$bin_dir"/*.exe "$bin_dir"/*.dll; do
    [[ -f "$file" ]] && files+=("$file")
done
build_dir=$(dirname "$bin_dir")
for name in "$@"; do
    while IFS= read -r file; do
        files+=("$file")
    done < <(find "$build_dir" -name "$name" -type f -not -path '*/wine-prefix/*' 2>/dev/null)
done
if (( ${#files[@]} == 0 )); then
    echo "no .exe or .dll in $bin_dir" >&2
    exit 1
fi

declare -A seen
bad=0
checked=0
for file in "${files[@]}"; do
    [[ -n "${seen[$file]:-}" ]] && continue
    seen[$file]=1
    if ! imports=$("$objdump" -p "$file" | awk '/DLL Name:/ {print $3}' | lower); then
        echo "FAIL $file: objdump could not read it"
        bad=1
        continue
    fi
    checked=$((checked + 1))
    foreign=()
    for dll in $imports; do
        case "$dll" in
            api-ms-win-*|ext-ms-win-*) continue ;;
        esac
        [[ -n "${allowed[$dll]:-}" ]] || foreign+=("$dll")
    done
    if (( ${#foreign[@]} > 0 )); then
        echo "FAIL ${file#"$build_dir"/}: imports ${foreign[*]}"
        bad=1
    else
        echo "ok   ${file#"$build_dir"/}: $(echo $imports)"
    fi
done
echo "$checked file(s) checked"
exit $bad
