#!/usr/bin/env bash
# ctest's runner for a Windows QtTest program under Wine: wine-qtest.sh PROGRAM.exe [ARGUMENT...]
#
# QtTest sends its log to OutputDebugString instead of standard output when the program has no
# console window, which under Wine here it never has. So the log goes to a file, is printed from
# there, and the program's exit code is passed on.
set -u
# Wine hides the Unix QT_* variables from Windows programs (they are meant for Linux Qt); a
# WINEQT_* variable reaches them as QT_*.
[ -n "${QT_QPA_PLATFORM:-}" ] && export WINEQT_QPA_PLATFORM="$QT_QPA_PLATFORM"
log="$(mktemp --suffix=.txt)"
wine "$@" -o "Z:$log,txt"
status=$?
cat "$log"
rm -f "$log"
exit $status
