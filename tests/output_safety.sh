#!/bin/bash
# Runs that stop part way must leave the output, and so an input converted in
# place, with its bytes; runs that append through standard output must append.
# usage: output_safety.sh <pdb_convert> <scratch dir> <scenario>
#   full_disk    a 1 MB file system fills up (needs mount; skips with 77)
#   signals      the process is signalled while its output is open
#   append       two conversions appended to one file through /dev/stdout
#   permissions  a file that may not be written, in a directory where files
#                may be created, and the other way round (run as nobody when
#                root; skips with 77 where that cannot be done)
set -u
exe=$1 work=$2 scenario=$3

rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 2
failed=0
fail() {
  echo "$*"
  failed=1
}

# records <n> <file>: n ATOM records of 80 columns.
records() {
  awk -v n="$1" 'BEGIN {
    for (i = 1; i <= n; i++)
      printf "ATOM  %5d  CA  GLY A%4d    %8.3f%8.3f%8.3f  1.00 20.00           C  \n",
             i % 100000, i % 10000, i % 1000 / 8, -i % 100 / 4, 7.125
  }' > "$2"
}

# unchanged <file> <copy>: file still has its bytes and no temporary is left.
unchanged() {
  cmp -s "$1" "$2" || fail "$1 lost its bytes"
  local left
  left=$(find . -name '.*.pdb_convert-*')
  [ -z "$left" ] || fail "temporary file left behind: $left"
}

# expect <what> <status> <stderr> <actual status>
expect() {
  [ "$4" = "$2" ] || fail "$1: status $4, expected $2"
  [ "$(< err)" = "$3" ] || fail "$1: stderr '$(< err)', expected '$3'"
}

full_disk() {
  # Records of 46 characters grow to 55 when converted: in place, the input
  # fits the file system and its conversion does not.
  awk 'BEGIN {
    for (i = 1; i <= 20000; i++) print "ATOM      1  CA  GLY A   1      11.500 -22.250"
  }' > short.pdb
  records 20000 long.pdb
  mkdir small
  # A mount namespace of its own: the file system goes when the test ends.
  # Outside root, a user namespace lends the right to mount.
  local unshare=(unshare --mount)
  [ "$(id -u)" = 0 ] || unshare+=(--map-root-user)
  if ! "${unshare[@]}" true 2> /dev/null; then
    echo "cannot make a mount namespace here: skipped"
    exit 77
  fi
  "${unshare[@]}" bash -c '
    mount -t tmpfs -o size=1m tmpfs small 2> /dev/null || exit 77
    cp short.pdb small/in.pdb
    "$0" small/in.pdb small/in.pdb 2> err
    echo $? > status.in_place
    echo earlier > small/out.pdb
    "$0" long.pdb small/out.pdb 2> err.existing
    echo $? > status.existing
    cd small && cp in.pdb ../in.after && cp out.pdb ../out.after &&
      find . -mindepth 1 -name ".*" > ../left && cd .. || exit 1
    # No inode left for a new file: that must not send the output back to
    # being overwritten in place.
    mkdir full && mount -t tmpfs -o size=1m,nr_inodes=2 tmpfs full &&
      cp short.pdb full/in.pdb || exit 1
    "$0" full/in.pdb full/in.pdb > out.no_inode 2> err.no_inode
    echo $? > status.no_inode
    cp full/in.pdb in.no_inode' "$exe"
  case $? in
    0) ;;
    77) echo "cannot mount a tmpfs here: skipped"; exit 77 ;;
    *) fail "the run in the mount namespace failed" ;;
  esac
  expect "in place" 1 $'Writing data to small/in.pdb\nCould not write small/in.pdb' \
    "$(< status.in_place)"
  cmp -s in.after short.pdb || fail "in place: the input lost its bytes"
  mv err.existing err
  expect "existing output" 1 \
    $'Writing data to small/out.pdb\nCould not write small/out.pdb' \
    "$(< status.existing)"
  [ "$(< out.after)" = earlier ] || fail "existing output: it lost its bytes"
  [ ! -s left ] || fail "temporary file left behind: $(< left)"
  mv err.no_inode err
  expect "no inode left" 1 "" "$(< status.no_inode)"
  [ "$(< out.no_inode)" = $'This file could not be opened.\nDying' ] ||
    fail "no inode left: standard output '$(< out.no_inode)'"
  cmp -s in.no_inode short.pdb || fail "no inode left: the input lost its bytes"
}

# A full pipe on standard error holds the program at its progress line, just
# after it has opened its output and before it writes a record.
start_held() {
  rm -f held
  mkfifo held
  exec 3<> held
  dd if=/dev/zero of=held bs=4096 oflag=nonblock status=none 2> /dev/null
  "$exe" in.pdb in.pdb 2>&3 &
  pid=$!
  local tries
  for ((tries = 0; tries < 1000; ++tries)); do
    [ -n "$(find . -name '.*.pdb_convert-*')" ] && return
    sleep 0.01
  done
  kill -s KILL "$pid"
  fail "no temporary file appeared: the output was opened in place"
  exit 1
}

signals() {
  records 2000 in.pdb
  cp in.pdb before.pdb
  local signal number status
  for signal in TERM HUP; do
    start_held
    kill -s "$signal" "$pid"
    wait "$pid" 2> /dev/null
    status=$?
    exec 3>&-
    number=$(kill -l "$signal")
    [ "$status" = $((128 + number)) ] ||
      fail "SIG$signal: status $status, expected $((128 + number))"
    unchanged in.pdb before.pdb
  done

  # A signal the caller ignores stays ignored: the run goes on to the end.
  trap '' HUP
  start_held
  trap - HUP
  kill -s HUP "$pid"
  sleep 0.1
  cat <&3 > /dev/null &
  wait "$pid"
  status=$?
  kill $!
  exec 3>&-
  [ "$status" = 0 ] || fail "ignored SIGHUP: status $status, expected 0"
  "$exe" before.pdb converted.pdb 2> /dev/null
  cmp -s in.pdb converted.pdb || fail "ignored SIGHUP: in.pdb not converted"

  # Standard error is a pipe whose reader has gone: the progress line raises
  # SIGPIPE.
  cp before.pdb in.pdb
  exec 4> >(exit 0)
  wait $!
  "$exe" in.pdb in.pdb 2>&4
  status=$?
  exec 4>&-
  [ "$status" = 141 ] || fail "SIGPIPE: status $status, expected 141"
  unchanged in.pdb before.pdb
}

append() {
  records 3 a.pdb
  records 5 b.pdb
  "$exe" a.pdb a.out 2> /dev/null && "$exe" b.pdb b.out 2> /dev/null || exit 2
  echo earlier > all.pdb
  "$exe" a.pdb /dev/stdout >> all.pdb 2> err
  expect "first append" 0 "Writing data to /dev/stdout" $?
  "$exe" b.pdb /proc/self/fd/1 >> all.pdb 2> err
  expect "second append" 0 "Writing data to /proc/self/fd/1" $?
  { echo earlier; cat a.out b.out; } | cmp -s - all.pdb ||
    fail "all.pdb does not hold the earlier line and both conversions"
  # A plain redirection still truncates.
  "$exe" a.pdb /dev/stdout > all.pdb 2> /dev/null
  cmp -s a.out all.pdb || fail "> all.pdb does not hold the conversion alone"
}

permissions() {
  local as=()
  if [ "$(id -u)" = 0 ]; then
    as=(setpriv --reuid=65534 --regid=65534 --clear-groups)
    "${as[@]}" true 2> /dev/null || { echo "cannot run as nobody: skipped"; exit 77; }
    # Where nobody may reach the program and the files.
    cd "$(mktemp -d)" && chmod 755 . && trap 'rm -rf "$PWD"' EXIT || exit 2
    cp "$exe" . && exe=$PWD/${exe##*/}
  fi
  records 3 in.pdb
  "$exe" in.pdb converted.pdb 2> /dev/null || exit 2
  mkdir open locked
  cp in.pdb open/read_only.pdb
  cp in.pdb locked/writable.pdb
  chmod 444 open/read_only.pdb
  # Its own, so that only its mode stands in the way.
  [ ${#as[@]} = 0 ] || chown 65534:65534 open/read_only.pdb
  chmod 666 locked/writable.pdb
  chmod 777 open
  chmod 555 locked

  # fopen refused such a file; a rename must not replace it.
  "${as[@]}" "$exe" in.pdb open/read_only.pdb > out 2> err
  expect "read-only file" 1 "" $?
  [ "$(< out)" = $'This file could not be opened.\nDying' ] ||
    fail "read-only file: standard output '$(< out)'"
  cmp -s open/read_only.pdb in.pdb || fail "read-only file: it lost its bytes"

  # No new file may be made beside it, but the file itself may be written.
  "${as[@]}" "$exe" in.pdb locked/writable.pdb 2> err
  expect "locked directory" 0 "Writing data to locked/writable.pdb" $?
  cmp -s locked/writable.pdb converted.pdb ||
    fail "locked directory: the file was not converted"
  chmod 755 locked
}

"$scenario"
exit $failed
