#!/usr/bin/env bash
# Runs a Windows program under wine on a private virtual X server: the cross-compiling emulator
# of the mingw-w64 toolchain, so ctest runs the Windows tests with it.
#
# Usage: run-under-wine.sh PROGRAM.exe [ARG ...]
#
# The wine prefix is $TESSVANE_WINEPREFIX, or wineprefix/ beside the program; it is made on first
# use, with the crash dialog off so that a crash ends the run instead of waiting on a person.
# Wine's own carriage returns are taken out of the output, which ctest parses line by line.
set -uo pipefail
program=$1
shift
export WINEPREFIX=${TESSVANE_WINEPREFIX:-$(cd "$(dirname "$program")" && pwd)/wineprefix}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

scratch=$(mktemp -d)
server=
finish() {
    wineserver -k 2>/dev/null
    [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
    rm -rf "$scratch"
}
trap finish EXIT

# Xvfb picks a free display number itself and writes it once it is ready. The screen is larger
# than any window the tests make, since wine places the client area at +3+22. The two minutes
# only bound a server that hangs or died: a loaded machine may be slow to start it.
Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 2048x1536x24 3>"$scratch/display" \
    >/dev/null 2>&1 &
server=$!
for _ in $(seq 1200); do
    grep -q . "$scratch/display" 2>/dev/null && break
    kill -0 "$server" 2>/dev/null || break
    sleep 0.1
done
grep -q . "$scratch/display" || { echo "run-under-wine: Xvfb did not start" >&2; exit 1; }
export DISPLAY=:$(head -n 1 "$scratch/display")

# One prefix, one program at a time: the prefix is locked while it is made and while it runs.
exec 9>"$WINEPREFIX.lock"
flock 9
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot --init >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
    wineserver -w
fi
wine "$program" "$@" </dev/null | tr -d '\r'
