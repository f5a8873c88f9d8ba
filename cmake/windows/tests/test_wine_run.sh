#!/usr/bin/env bash
# The Wine runner's retry rule, with a fake Wine in place of the real one:
# only a marked program that fails without its start file is run again (at
# most three runs in all, each retry logged); a marked program's own failure
# and any failure of an unmarked program come back the first time.
#
#   test_wine_run.sh WINE_RUN_TEMPLATE WORK_DIR
set -euo pipefail

template=$1
work=$2
rm -rf "$work"
mkdir -p "$work"

# The fake Wine: each call appends to calls.txt; what it does comes from
# plan.txt, one word a call (start: create the start file; exitN: exit N).
cat >"$work/fake-wine" <<'FAKE'
#!/usr/bin/env bash
work=$(dirname "$0")
echo "$*" >>"$work/calls.txt"
n=$(wc -l <"$work/calls.txt")
step=$(sed -n "${n}p" "$work/plan.txt")
for word in $step; do
    case "$word" in
    start) marker=${BREVIK_WINE_START_FILE#Z:}; : >"$marker" ;;
    exit*) exit "${word#exit}" ;;
    esac
done
exit 0
FAKE
chmod +x "$work/fake-wine"

sed -e "s|@BREVIK_WINE_PREFIX@|$work/prefix|g" \
    -e "s|@BREVIK_WINESERVER@|/bin/false|g" \
    -e "s|@BREVIK_WINE@|$work/fake-wine|g" \
    -e "s|@BREVIK_WINE_START_DIR@|$work/starts|g" \
    -e "s|@BREVIK_WINE_START_LOG@|$work/start-failures.log|g" \
    "$template" >"$work/wine-run"
chmod +x "$work/wine-run"

printf 'test program: BREVIK_WINE_START_FILE\n' >"$work/marked.exe"
printf 'product program\n' >"$work/plain.exe"

failures=0
# check NAME PROGRAM PLAN EXPECTED_EXIT EXPECTED_CALLS EXPECTED_LOG_LINES
check() {
    local name=$1 program=$2 plan=$3 want_rc=$4 want_calls=$5 want_log=$6 rc=0 calls log
    rm -f "$work/calls.txt" "$work/start-failures.log"
    printf "%s\n" $plan | tr "," " " >"$work/plan.txt"
    "$work/wine-run" "$work/$program" --flag || rc=$?
    calls=$(wc -l <"$work/calls.txt")
    log=0
    [[ -f "$work/start-failures.log" ]] && log=$(wc -l <"$work/start-failures.log")
    if [[ "$rc" != "$want_rc" || "$calls" != "$want_calls" || "$log" != "$want_log" ]]; then
        echo "FAIL $name: exit $rc (want $want_rc), runs $calls (want $want_calls), logged $log (want $want_log)"
        failures=$((failures + 1))
    else
        echo "ok   $name"
    fi
}

check "marked program passes"                 marked.exe "start,exit0"                    0 1 0
check "marked program fails on its own"       marked.exe "start,exit3"                    3 1 0
check "never started once, then passes"       marked.exe "exit1 start,exit0"              0 2 1
check "never started once, then fails"        marked.exe "exit1 start,exit4"              4 2 1
check "never started three times"             marked.exe "exit1 exit1 exit1 start,exit0"  1 3 2
check "unmarked program fails at once"        plain.exe  "exit1 exit0"                    1 1 0
check "arguments reach the program"           marked.exe "start,exit0"                    0 1 0
grep -q -- "--flag" "$work/calls.txt" || { echo "FAIL arguments: $(cat "$work/calls.txt")"; failures=$((failures + 1)); }
# No start file is left behind.
if [[ -n "$(ls -A "$work/starts" 2>/dev/null)" ]]; then
    echo "FAIL start files left: $(ls "$work/starts")"
    failures=$((failures + 1))
fi

[[ $failures -eq 0 ]] && echo "wine-run: every case passed"
exit $((failures > 0))
