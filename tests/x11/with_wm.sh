#!/bin/sh
# Runs a command with openbox managing the windows of the display xvfb-run
# gives, and stops openbox afterwards. $@: the command.
openbox --sm-disable --config-file /dev/null >/dev/null 2>&1 &
wm=$!
# Ready once it has claimed the screen.
i=0
until xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; do
  i=$((i + 1))
  if [ $i -gt 400 ]; then echo "openbox did not start" >&2; kill $wm; exit 1; fi
  sleep 0.05
done
"$@"
status=$?
kill $wm 2>/dev/null
wait $wm 2>/dev/null
exit $status
