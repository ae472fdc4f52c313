#!/usr/bin/env bash
# Runs the Windows launcher under Wine for the end-to-end scripts, which read its debug lines
# from standard error. Wine gives a GUI-subsystem program no standard handles, so the lines
# of the log file it appends to in the working folder (embercrest-launcher.log) are copied to
# standard error while it runs. The exit code is the launcher's.
log=embercrest-launcher.log
skip=0
[ -f "$log" ] && skip=$(wc -l <"$log")
"$(dirname "$0")/wine-run.sh" "$@" &
pid=$!
trap 'kill "$pid" 2>/dev/null' TERM INT
# Without the time stamp, as on standard error.
tail -s 0.1 -n +"$((skip + 1))" -F "$log" 2>/dev/null | sed -u 's/^[0-9-]* [0-9:.]* //' >&2 &
tailer=$!
status=0
wait "$pid" || status=$?
sleep 0.3 # the last lines
kill "$tailer" 2>/dev/null
wait "$tailer" 2>/dev/null
exit "$status"
