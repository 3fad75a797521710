#!/bin/bash
# Runs that stop part way must leave the output, and so an input converted in
# place, with its bytes; runs that append through standard output must append.
# usage: output_safety.sh <pdb_convert> <scratch dir> <scenario>
#   full_disk    a 1 MB file system fills up (needs mount; skips with 77)
#   full_attributes  no room is left to copy a replaced file's extended
#                attributes: a failed write, not an overwrite in place (needs
#                mount and a tmpfs that holds user attributes; skips with 77)
#   full_while_reading  the disk fills while the input still arrives through
#                a FIFO: the new file gives its room back at once (needs
#                mount; skips with 77)
#   signals      the process is signalled while its output is open
#   append       two conversions appended to one file through /dev/stdout
#   whole_lines  conversions appended through /dev/stdout while another
#                writer appends to the same file: no line is split (and,
#                where strace can show them, every write ends a line)
#   permissions  a file that may not be written, in a directory where files
#                may be created, and the other way round (run as nobody when
#                root; skips with 77 where that cannot be done)
#   append_only  an existing output and a new one in an append-only directory
#                are written where they lie, leaving no new file there (needs
#                chattr +a to work here; skips with 77)
#   descriptors  conversions appended through /dev/fd/3, /proc/self/fd/3 and
#                /dev/stderr
#   unopened     an output naming a descriptor that was not open when the
#                program started (/dev/fd/3 with no 3>, /dev/stdout with
#                standard output closed) is not opened, the input keeps its
#                bytes; /proc/<its own pid>/fd/3 appends as /dev/fd/3 does
#   attributes   a replaced file keeps its ACL and user attributes; a new one
#                gets the ACL the shell's > gives (needs setfacl, setfattr and
#                a file system that holds them; skips with 77)
#   private      the new file that replaces an owner-only file is owner-only
#                from the start (needs strace, to hold the run just before
#                the attributes are copied; skips with 77)
#   bind_mount   an output that is a mount point is written (needs mount;
#                skips with 77)
#   mounted_copy the result copied over a mounted output: where it does not
#                fit, or a signal comes during the copy, the output holds its
#                old bytes or the whole result (needs mount; skips with 77;
#                without strace, a file system that cannot reserve space is
#                not tried)
#   paths        a dangling link, a working directory deeper than PATH_MAX
#                and a relative name just short of it, under a file-size limit
#   changed      the output is replaced while the run writes it
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

# mount_namespace: sets unshare to the command that runs another in a mount
# namespace of its own, whose mounts go when it ends; outside root, a user
# namespace lends the right to mount. Skips the scenario where there is none.
mount_namespace() {
  unshare=(unshare --mount)
  [ "$(id -u)" = 0 ] || unshare+=(--map-root-user)
  local why
  why=$("${unshare[@]}" true 2>&1) && return
  # In a chroot the root's propagation cannot be changed: keep it, and make
  # the mount that holds the scratch directory private in the namespace
  # alone, so that nothing mounted below it shows outside.
  unshare+=(--propagation unchanged sh -c
            'mount --make-private "$(findmnt -no TARGET -T .)" && exec "$@"' sh)
  if ! "${unshare[@]}" true 2> /dev/null; then
    echo "cannot make a mount namespace here ($why): skipped"
    exit 77
  fi
}

# tracer: sets trace to the command that runs another under strace (its
# log to be named with -o), and fails where strace is missing or may not
# trace here. LeakSanitizer cannot work under ptrace: a sanitized build's
# leak check is left off there.
tracer() {
  trace=(env "ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
         strace -f -qq)
  "${trace[@]}" -o /dev/null true 2> /dev/null
}

# mounted <what> <status>: goes on where the commands run in the mount
# namespace ended with status 0; skips where they ended with 77 for want of
# a mount, saying why (the file mount.err holds mount's message).
mounted() {
  case $2 in
    0) ;;
    77) echo "cannot $1 here ($(< mount.err)): skipped"; exit 77 ;;
    *) fail "the run in the mount namespace failed"; exit 1 ;;
  esac
}

full_disk() {
  # Records of 46 characters grow to 55 when converted: in place, the input
  # fits the file system and its conversion does not.
  awk 'BEGIN {
    for (i = 1; i <= 20000; i++) print "ATOM      1  CA  GLY A   1      11.500 -22.250"
  }' > short.pdb
  records 20000 long.pdb
  mkdir small
  local unshare
  mount_namespace
  "${unshare[@]}" bash -c '
    mount -t tmpfs -o size=1m tmpfs small 2> mount.err || exit 77
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
  mounted "mount a tmpfs" $?
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

full_attributes() {
  records 2000 in.pdb
  "$exe" in.pdb converted.pdb 2> /dev/null || exit 2
  mkdir small
  local unshare
  mount_namespace
  "${unshare[@]}" bash -c '
    mount -t tmpfs -o size=1m,nr_inodes=8 tmpfs small 2> mount.err || exit 77
    echo earlier > small/out.pdb
    setfattr -n user.origin -v "$(printf "%04000d" 0)" small/out.pdb \
      2> mount.err || exit 77
    # Attributes take the room that inodes do: fill it, then leave room for
    # the new file but not for the attribute.
    touch small/filler
    i=0
    while setfattr -n user.f$i -v "$(printf "%0100d" 0)" small/filler \
      2> /dev/null; do i=$((i + 1)); done
    until touch small/probe 2> /dev/null; do
      i=$((i - 1)) && setfattr -x user.f$i small/filler || exit 1
    done
    rm small/probe
    "$0" in.pdb small/out.pdb 2> err
    echo $? > status
    cp small/out.pdb out.after &&
      find small -mindepth 1 -name ".*" > left' "$exe"
  mounted "mount a tmpfs that holds user attributes" $?
  expect "no room for attributes" 1 \
    $'Writing data to small/out.pdb\nCould not write small/out.pdb' "$(< status)"
  [ "$(< out.after)" = earlier ] || fail "no room for attributes: out.pdb lost its bytes"
  [ ! -s left ] || fail "temporary file left behind: $(< left)"
}

full_while_reading() {
  # Twice the room of the file system, converted.
  records 40000 in.pdb
  mkdir small
  local unshare
  mount_namespace
  "${unshare[@]}" bash -c '
    mount -t tmpfs -o size=1m tmpfs small 2> mount.err || exit 77
    mkfifo fifo
    "$0" fifo small/out.pdb 2> err &
    exec 3> fifo
    cat in.pdb >&3
    # The program has read all but a pipe full, and stopped writing at the
    # middle: the new file must be empty while it waits for more.
    for ((tries = 0; tries < 100; ++tries)); do
      size=$(find small -name ".*" -printf %s)
      [ "$size" = 0 ] && break
      sleep 0.01
    done
    echo "$size" > size.waiting
    exec 3>&-
    wait $!
    echo $? > status
    find small -mindepth 1 > left' "$exe"
  mounted "mount a tmpfs" $?
  [ "$(< size.waiting)" = 0 ] ||
    fail "the new file held $(< size.waiting) bytes while the input was read on"
  expect "disk full while reading" 1 \
    $'Writing data to small/out.pdb\nCould not write small/out.pdb' "$(< status)"
  [ ! -s left ] || fail "files left behind: $(< left)"
}

# start_held [outfile]: a full pipe on standard error holds the program,
# converting in.pdb to outfile (in.pdb itself by default), at its progress
# line, just after it has opened its output and before it writes a record.
start_held() {
  rm -f held
  mkfifo held
  exec 3<> held
  dd if=/dev/zero of=held bs=4096 oflag=nonblock status=none 2> /dev/null
  "$exe" in.pdb "${1:-in.pdb}" 2>&3 &
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

# release_held: lets the held program go on; its status is in status.
release_held() {
  cat <&3 > /dev/null &
  wait "$pid"
  status=$?
  kill $!
  exec 3>&-
}

signals() {
  records 2000 in.pdb
  cp in.pdb before.pdb
  local signal number status
  # Batch schedulers send USR1 and XCPU; real-time signals and SIGIO (SIGPOLL)
  # end a process too.
  for signal in TERM HUP USR1 XCPU RTMIN+2 IO; do
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
  release_held
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

whole_lines() {
  records 20000 in.pdb
  "$exe" in.pdb converted.pdb 2> /dev/null || exit 2
  : > all.pdb
  while :; do echo X; done >> all.pdb &
  local writer=$! i
  for i in 1 2 3; do
    "$exe" in.pdb /dev/stdout >> all.pdb 2> /dev/null || fail "run $i failed"
  done
  kill "$writer"
  wait "$writer" 2> /dev/null
  cat converted.pdb converted.pdb converted.pdb > expected.pdb
  grep -vx X all.pdb | cmp -s - expected.pdb ||
    fail "the conversions' lines were split by the other writer's"

  # Where strace shows the writes: each ends a line, every line being 55
  # bytes long.
  local trace
  if ! tracer; then
    echo "no strace: where the writes end not checked"
    return
  fi
  "${trace[@]}" -o writes -e trace=write "$exe" in.pdb /dev/stdout \
    >> all.pdb 2> /dev/null || fail "the traced run failed"
  # Standard error aside, the records go out through a copy of standard
  # output's descriptor.
  awk '/write\(/ && !/write\(2,/ && $NF % 55 != 0 { print; torn = 1 }
       END { exit torn }' writes > torn ||
    fail "writes end mid-line: $(head -3 torn)"
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

  # Another user's file that may be written: a new file could not take its
  # owner, so it is written in place and stays theirs.
  if [ ${#as[@]} != 0 ]; then
    cp in.pdb open/roots.pdb && chmod 666 open/roots.pdb
    "${as[@]}" "$exe" in.pdb open/roots.pdb 2> err
    expect "another user's file" 0 "Writing data to open/roots.pdb" $?
    cmp -s open/roots.pdb converted.pdb || fail "another user's file: not converted"
    [ "$(stat -c %u open/roots.pdb)" = 0 ] ||
      fail "another user's file: now owned by $(stat -c %u open/roots.pdb)"
  fi
}

append_only() {
  records 3 in.pdb
  "$exe" in.pdb converted.pdb 2> /dev/null || exit 2
  mkdir kept
  cp in.pdb kept/existing.pdb
  if ! chattr +a kept 2> /dev/null; then
    echo "cannot make a directory append-only here (chattr +a): skipped"
    exit 77
  fi
  trap 'chattr -a kept' EXIT
  "$exe" in.pdb kept/existing.pdb 2> err
  expect "existing output" 0 "Writing data to kept/existing.pdb" $?
  cmp -s kept/existing.pdb converted.pdb || fail "existing output: not converted"
  "$exe" in.pdb kept/new.pdb 2> err
  expect "new output" 0 "Writing data to kept/new.pdb" $?
  cmp -s kept/new.pdb converted.pdb || fail "new output: not converted"
  local left
  left=$(find kept -name '.*')
  [ -z "$left" ] || fail "a file that cannot be removed was left: $left"
}

descriptors() {
  records 3 a.pdb
  records 5 b.pdb
  "$exe" a.pdb a.out 2> /dev/null && "$exe" b.pdb b.out 2> /dev/null || exit 2
  echo earlier > all.pdb
  { "$exe" a.pdb /dev/fd/3 && "$exe" b.pdb /proc/self/fd/3 &&
      "$exe" a.pdb /dev/fd/3; } 2> /dev/null 3>> all.pdb
  [ $? = 0 ] || fail "/dev/fd/3: a run failed"
  { echo earlier; cat a.out b.out a.out; } | cmp -s - all.pdb ||
    fail "3>> all.pdb does not hold the earlier line and three conversions"
  echo earlier > log
  { echo before >&2; "$exe" a.pdb /dev/stderr; echo after >&2; } 2>> log
  { echo earlier; echo before; echo "Writing data to /dev/stderr"; cat a.out
    echo after; } | cmp -s - log ||
    fail "2>> log does not hold the earlier lines, the conversion and the later line"
  # A descriptor open only for reading is not written through: the file it
  # is open on is converted in place.
  cp a.pdb x.pdb
  "$exe" /dev/stdin /dev/fd/0 < x.pdb 2> /dev/null ||
    fail "/dev/fd/0 open for reading: the run failed"
  cmp -s x.pdb a.out || fail "/dev/fd/0 open for reading: x.pdb was not converted"
}

unopened() {
  records 3 in.pdb
  cp in.pdb before.pdb
  "$exe" in.pdb a.out 2> /dev/null || exit 2
  local name status
  # The input takes the first descriptor free.
  for name in /dev/fd/3 /proc/self/fd/3 /proc/thread-self/fd/3; do
    cp before.pdb in.pdb
    "$exe" in.pdb "$name" 3>&- > out 2> err
    expect "$name never opened" 1 "" $?
    [ "$(< out)" = $'This file could not be opened.\nDying' ] ||
      fail "$name never opened: standard output '$(< out)'"
    unchanged in.pdb before.pdb
  done
  # exec keeps the shell's process id, which names the program's own.
  cp before.pdb in.pdb
  bash -c 'exec "$0" in.pdb /proc/$$/fd/3' "$exe" 3>&- > out 2> err
  expect "/proc/<own pid>/fd/3 never opened" 1 "" $?
  unchanged in.pdb before.pdb
  cp before.pdb in.pdb
  "$exe" in.pdb /dev/stdin <&- > out 2> err
  expect "/dev/stdin closed" 1 "" $?
  unchanged in.pdb before.pdb
  cp before.pdb in.pdb
  "$exe" in.pdb /dev/stdout >&- 2> err
  expect "/dev/stdout closed" 1 "" $?
  unchanged in.pdb before.pdb
  # The program puts /dev/null on a closed standard error, for itself.
  "$exe" in.pdb /dev/stderr 2>&- > out
  status=$?
  [ "$status" = 1 ] || fail "/dev/stderr closed: status $status, expected 1"
  [ "$(< out)" = $'This file could not be opened.\nDying' ] ||
    fail "/dev/stderr closed: standard output '$(< out)'"

  # Open when it started, the same descriptor by the program's own process
  # id appends.
  echo earlier > all.pdb
  bash -c 'exec "$0" in.pdb /proc/$$/fd/3' "$exe" 3>> all.pdb 2> /dev/null ||
    fail "/proc/<own pid>/fd/3: the run failed"
  { echo earlier; cat a.out; } | cmp -s - all.pdb ||
    fail "3>> all.pdb does not hold the earlier line and the conversion"
}

attributes() {
  if ! command -v setfacl > /dev/null || ! command -v setfattr > /dev/null; then
    echo "no setfacl or setfattr: skipped"
    exit 77
  fi
  records 3 in.pdb
  "$exe" in.pdb converted.pdb 2> /dev/null || exit 2
  cp in.pdb out.pdb
  # Group r-- under a mask of rw-: a mode copied from the mask alone would
  # let the group write.
  chmod 640 out.pdb
  if ! setfacl -m u:nobody:rw out.pdb 2> /dev/null ||
     ! setfattr -n user.origin -v lab out.pdb 2> /dev/null; then
    echo "no ACLs or user attributes on this file system: skipped"
    exit 77
  fi
  getfacl -c out.pdb > acl.before 2> /dev/null
  "$exe" in.pdb out.pdb 2> /dev/null || fail "ACL: the run failed"
  cmp -s converted.pdb out.pdb || fail "ACL: out.pdb was not converted"
  getfacl -c out.pdb 2> /dev/null | cmp -s acl.before - ||
    fail "ACL: $(getfacl -c out.pdb | tr '\n' ' ') is not $(tr '\n' ' ' < acl.before)"
  [ "$(getfattr --only-values -n user.origin out.pdb 2> /dev/null)" = lab ] ||
    fail "the user.origin attribute was lost"

  # The directory's default ACL, not the umask, sets a new file's mask; a
  # replaced file without an ACL takes none from it.
  mkdir shared
  setfacl -d -m u:nobody:rw,m::rw shared
  cp in.pdb plain.pdb && mv plain.pdb shared/
  : > shared/by_shell.pdb
  (umask 077 && "$exe" in.pdb shared/new.pdb 2> /dev/null && umask 022 &&
     "$exe" in.pdb shared/plain.pdb 2> /dev/null) || fail "default ACL: a run failed"
  [ "$(getfacl -c shared/new.pdb)" = "$(getfacl -c shared/by_shell.pdb)" ] ||
    fail "default ACL: new.pdb has $(getfacl -c shared/new.pdb | tr '\n' ' ')"
  [ -z "$(getfacl -s shared/plain.pdb)" ] ||
    fail "default ACL: plain.pdb took an ACL: $(getfacl -c shared/plain.pdb | tr '\n' ' ')"
}

private() {
  local trace
  if ! tracer; then
    echo "no strace, or it may not trace here: skipped"
    exit 77
  fi
  records 2000 in.pdb
  echo private > out.pdb
  chmod 600 out.pdb
  # Held for a second where the attributes are about to be copied: the new
  # file's mode then is the one it was made with.
  "${trace[@]}" -o /dev/null -e trace=flistxattr \
    -e inject=flistxattr:delay_enter=1000000 "$exe" in.pdb out.pdb 2> err &
  local pid=$! tries new=
  for ((tries = 0; tries < 100; ++tries)); do
    new=$(find . -name '.*.pdb_convert-*')
    [ -n "$new" ] && break
    sleep 0.01
  done
  local mode
  mode=$(stat -c %a "$new" 2> /dev/null)
  wait "$pid"
  expect "private output" 0 "Writing data to out.pdb" $?
  [ "$mode" = 600 ] || fail "the new file was made with mode '$mode', not 600"
  [ "$(stat -c %a out.pdb)" = 600 ] ||
    fail "out.pdb has mode $(stat -c %a out.pdb), expected 600"
}

bind_mount() {
  records 3 in.pdb
  "$exe" in.pdb converted.pdb 2> /dev/null || exit 2
  echo mounted > source.pdb
  echo hidden > target.pdb
  local unshare
  mount_namespace
  # Renaming over a mount point is refused: the result is copied over it.
  "${unshare[@]}" bash -c '
    mount --bind source.pdb target.pdb 2> mount.err || exit 77
    "$0" in.pdb target.pdb 2> err
    echo $? > status' "$exe"
  mounted "bind-mount a file" $?
  expect "bind-mounted output" 0 "Writing data to target.pdb" "$(< status)"
  cmp -s source.pdb converted.pdb ||
    fail "bind-mounted output: the mounted file was not converted"
  unchanged target.pdb target.pdb
}

mounted_copy() {
  records 20000 in.pdb
  records 200000 large.pdb
  "$exe" in.pdb converted.pdb 2> /dev/null &&
    "$exe" large.pdb large.out 2> /dev/null || exit 2
  # A file system that cannot reserve space, where strace can make one.
  local trace no_reserve=()
  tracer && no_reserve=("${trace[@]}" -o /dev/null -e trace=fallocate
                        -e inject=fallocate:error=EOPNOTSUPP)
  local unshare
  mount_namespace
  "${unshare[@]}" bash -c '
    exe=$0
    mkdir small && mount -t tmpfs -o size=1m tmpfs small 2> mount.err || exit 77
    echo mounted > small/source.pdb
    : > target.pdb
    mount --bind small/source.pdb target.pdb 2> mount.err || exit 77
    # Too large for the file system that holds the mounted file.
    "$exe" in.pdb target.pdb 2> err.full
    echo $? > status.full
    cp small/source.pdb full.after
    if [ $# != 0 ]; then
      "$@" "$exe" in.pdb target.pdb 2> err.no_reserve
      echo $? > status.no_reserve
      cp small/source.pdb no_reserve.after
    fi

    # SIGTERM as soon as the copy has begun to change the mounted file; again
    # where the run ended before the signal was sent.
    umount target.pdb
    echo mounted > source.pdb
    mount --bind source.pdb target.pdb || exit 1
    for ((tries = 0; tries < 5; ++tries)); do
      "$exe" large.pdb target.pdb 2> /dev/null &
      pid=$!
      while kill -0 $pid 2> /dev/null && read -r first < source.pdb &&
        [ "$first" = mounted ]; do :; done
      kill -s TERM $pid 2> /dev/null && break
      wait $pid
      echo mounted > source.pdb
    done
    wait $pid
    echo $? > status.signal
    cp source.pdb signal.after
    # Where space need not be reserved, the part past the old end comes
    # first: the result must still be whole.
    if [ $# != 0 ]; then
      "$@" "$exe" in.pdb target.pdb 2> /dev/null
      echo $? > status.no_reserve_room
      cp source.pdb no_reserve_room.after
    fi
    find . -name ".*.pdb_convert-*" > left' "$exe" "${no_reserve[@]}"
  mounted "mount a tmpfs or bind-mount a file" $?
  mv err.full err
  expect "mounted output too large" 1 \
    $'Writing data to target.pdb\nCould not write target.pdb' "$(< status.full)"
  [ "$(< full.after)" = mounted ] ||
    fail "mounted output too large: it lost its bytes"
  if [ ${#no_reserve[@]} = 0 ]; then
    echo "no strace: a file system that cannot reserve space not tried"
  else
    mv err.no_reserve err
    expect "no space reserved, too large" 1 \
      $'Writing data to target.pdb\nCould not write target.pdb' \
      "$(< status.no_reserve)"
    [ "$(< no_reserve.after)" = mounted ] ||
      fail "no space reserved, too large: the output lost its bytes"
    [ "$(< status.no_reserve_room)" = 0 ] &&
      cmp -s no_reserve_room.after converted.pdb ||
      fail "no space reserved: the output is not the conversion"
  fi
  [ "$(< status.signal)" = 143 ] ||
    fail "SIGTERM during the copy: status $(< status.signal), expected 143"
  [ "$(< signal.after)" = mounted ] || cmp -s signal.after large.out ||
    fail "SIGTERM during the copy: the output holds part of the result"
  [ ! -s left ] || fail "temporary file left behind: $(< left)"
}

paths() {
  records 2000 in.pdb
  cp in.pdb before.pdb
  "$exe" in.pdb converted.pdb 2> /dev/null || exit 2
  # The converted records run past 8 KiB.
  local limit=8

  # A dangling link: the new file is made where the link points, so a failed
  # run leaves no part of it there.
  mkdir real
  ln -s real/target.pdb link.pdb
  (ulimit -S -f $limit && "$exe" in.pdb link.pdb 2> err)
  expect "dangling link" 1 $'Writing data to link.pdb\nCould not write link.pdb' $?
  [ ! -e real/target.pdb ] || fail "dangling link: a partial target was left"
  unchanged in.pdb before.pdb
  "$exe" in.pdb link.pdb 2> /dev/null
  [ -L link.pdb ] && cmp -s real/target.pdb converted.pdb ||
    fail "dangling link: the file it points to was not created, or the link replaced"

  # A working directory whose path is longer than PATH_MAX.
  local top=$PWD level=$(printf '%0200d' 0) i
  (
    for ((i = 0; i < 22; ++i)); do mkdir "$level" && cd "$level" || exit 2; done
    cp "$top/in.pdb" in.pdb
    (ulimit -S -f $limit && "$exe" in.pdb in.pdb 2> /dev/null)
    [ $? = 1 ] || echo "deep working directory: status $?, expected 1"
    cmp -s in.pdb "$top/before.pdb" || echo "deep working directory: the input lost its bytes"
    [ -z "$(find . -name '.*.pdb_convert-*')" ] || echo "deep working directory: temporary left"
  ) > deep.log
  [ ! -s deep.log ] || fail "$(< deep.log)"

  # A path longer than PATH_MAX, given whole.
  local deep=$level
  for ((i = 1; i < 22; ++i)); do deep+=/$level; done
  "$exe" in.pdb "$deep/out.pdb" > /dev/null 2>&1 ||
    fail "path longer than PATH_MAX: the run failed"
  (cd "$deep" 2> /dev/null || for ((i = 0; i < 22; ++i)); do cd "$level"; done
   cmp -s out.pdb "$top/converted.pdb") ||
    fail "path longer than PATH_MAX: the output is not the conversion"

  # A new file whose relative path is just short of PATH_MAX: a temporary
  # named after its whole path would be too long.
  local long=long
  for ((i = 0; i < 20; ++i)); do long+=/$level; done
  mkdir -p "$long" || exit 2
  long+=/$(printf '%0*d' $((4090 - ${#long})) 0).pdb
  (ulimit -S -f $limit && "$exe" in.pdb "$long" 2> /dev/null)
  [ $? = 1 ] || fail "long name: status $?, expected 1"
  [ ! -e "$long" ] || fail "long name: a partial output was left"
  unchanged in.pdb before.pdb
}

# What the run examined when it opened its output may be gone when it
# renames its result: the rename goes only over a file looked at again.
changed() {
  records 2000 in.pdb
  "$exe" in.pdb converted.pdb 2> /dev/null || exit 2

  # Another file put in the output's place: replaced, its mode kept.
  echo earlier > out.pdb
  start_held out.pdb
  echo other > other.pdb && chmod 600 other.pdb && mv other.pdb out.pdb
  release_held
  [ "$status" = 0 ] || fail "replaced output: status $status, expected 0"
  cmp -s out.pdb converted.pdb || fail "replaced output: it was not converted"
  [ "$(stat -c %a out.pdb)" = 600 ] ||
    fail "replaced output: mode $(stat -c %a out.pdb), expected 600"

  # A link to a file in another directory: neither it nor the link replaced.
  mkdir elsewhere
  echo victim > elsewhere/victim.pdb
  start_held out.pdb
  ln -sf elsewhere/victim.pdb out.pdb
  release_held
  [ "$status" = 1 ] || fail "output made a link: status $status, expected 1"
  [ -L out.pdb ] || fail "output made a link: the link was replaced"
  [ "$(< elsewhere/victim.pdb)" = victim ] ||
    fail "output made a link: the file it points to was written"

  # A dangling link to another directory: no file made there, nor here.
  rm out.pdb && echo earlier > out.pdb
  start_held out.pdb
  ln -sf elsewhere/new.pdb out.pdb
  release_held
  [ "$status" = 1 ] || fail "output made a dangling link: status $status, expected 1"
  [ ! -e elsewhere/new.pdb ] && [ ! -e new.pdb ] ||
    fail "output made a dangling link: a new.pdb was made"
  unchanged in.pdb in.pdb
}

"$scenario"
exit $failed
