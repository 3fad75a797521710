# One line without end: it is read until the program is stopped, as cut
# would read it, in the memory that any input needs. Stopped, it leaves
# nothing behind. The program is run by a wrapper that samples its memory
# twice a second apart, then sends it SIGTERM.
{
  echo '#!/bin/bash'
  echo "program='$exe'"
  cat <<'WRAPPER'
"$program" "$@" &
pid=$!
resident() { awk '/^VmRSS/ { print $2 }' "/proc/$pid/status"; }
sleep 0.5
first=$(resident)
sleep 1
last=$(resident)
kill -s TERM "$pid"
wait "$pid"
status=$?
[ "$last" -le $((first + 1024)) ] ||
  echo "resident memory grew from $first to $last kB"
exit $status
WRAPPER
} > stop_later.sh
chmod +x stop_later.sh
exe=$PWD/stop_later.sh
