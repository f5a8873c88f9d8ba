#!/usr/bin/env bash
# The Wine session of a CTest run of the windows flavour (the fixture
# "wine" of every test that runs a Windows program).
#
#   wine-fixture.sh start WINE_RUN KEEPER.exe READY_FILE [URL_RECORDER.exe]
#   wine-fixture.sh stop  WINE_RUN
#
# start: stops whatever Wine server this prefix still has (a server started
# elsewhere, e.g. without the X display of this run, would keep programs
# from getting windows), starts a persistent server and the keeper program,
# both with their standard streams on /dev/null (CTest would otherwise wait
# for the Wine helper processes that inherit its pipes), and waits until the
# keeper has opened the desktop.  With URL_RECORDER, the prefix's handler of
# http and https addresses becomes that program (a web page opened through
# the shell is recorded, not shown: see url-recorder.c).
# stop: ends the server and every Wine process of the prefix.

set -euo pipefail

cmd=${1:-}
run=${2:-}
[[ -x "$run" ]] || { echo "usage: wine-fixture.sh start|stop WINE_RUN [KEEPER READY]" >&2; exit 2; }

case "$cmd" in
start)
    keeper=$3
    ready=$4
    recorder=${5:-}
    "$run" --wineserver -k >/dev/null 2>&1 || true
    "$run" --wineserver -w >/dev/null 2>&1 || true
    rm -f "$ready"
    "$run" --wineserver -p </dev/null >/dev/null 2>&1
    if [[ -n "$recorder" ]]; then
        command="\"Z:${recorder//\//\\}\" \"%1\""
        for scheme in http https; do
            "$run" reg add "HKEY_LOCAL_MACHINE\\Software\\Classes\\$scheme\\shell\\open\\command" \
                /ve /d "$command" /f </dev/null >/dev/null 2>&1 ||
                { echo "cannot register the URL recorder for $scheme" >&2; exit 1; }
        done
    fi
    setsid "$run" "$keeper" "Z:${ready//\//\\}" </dev/null >/dev/null 2>&1 &
    keeper_pid=$!
    # A hang guard, not a time limit on anything measured: 120 s.
    for _ in $(seq 1 1200); do
        if [[ -s "$ready" ]]; then
            echo "Wine server and desktop ready"
            exit 0
        fi
        if ! kill -0 "$keeper_pid" 2>/dev/null; then
            wait "$keeper_pid" && rc=0 || rc=$?
            echo "the Wine keeper ended (exit $rc) before the desktop was ready" >&2
            exit 1
        fi
        sleep 0.1
    done
    echo "the Wine desktop did not come up" >&2
    exit 1
    ;;
stop)
    "$run" --wineserver -k >/dev/null 2>&1 || true
    "$run" --wineserver -w >/dev/null 2>&1 || true
    echo "Wine server stopped"
    ;;
*)
    echo "usage: wine-fixture.sh start|stop WINE_RUN [KEEPER READY]" >&2
    exit 2
    ;;
esac
