#!/usr/bin/env bash
# Runs a Windows test program under Wine for ctest (the windows preset's
# emulator). Wine may start helper processes (the desktop's explorer,
# services) that inherit the program's output and outlive it; ctest would
# wait for them to close its pipe. The output goes through a file instead.
out=$(mktemp)
wine "$@" >"$out" 2>&1 </dev/null
status=$?
cat "$out"
rm -f "$out"
exit "$status"
