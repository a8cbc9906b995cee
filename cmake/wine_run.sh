#!/usr/bin/env bash
# Runs a Windows program of the build under wine, in the build's 32-bit
# prefix, without a display. Its exit status comes through (a crash gives 5);
# its output's CRLF line ends become plain ones, so that CTest and GoogleTest's
# test discovery read it as they read a Linux program's.
# Usage: wine_run.sh WINE PREFIX PROGRAM.exe [ARGUMENT...]
set -uo pipefail
wine=$1
export WINEPREFIX=$2 WINEARCH=win32 WINEDEBUG=-all DISPLAY=
shift 2
"$wine" "$@" 2> >(tr -d '\r' >&2) | tr -d '\r'
status=$?
# The error stream's filter, so that its last lines are out before the exit.
wait $!
exit $status
