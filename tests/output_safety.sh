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
#   signals      the process is signalled while its output is open, and
#                killed by SIGKILL while it writes a new output and a replaced
#                one: nothing is left but a named new file
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
#                from the start
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
#   descriptor_paths  the program's own descriptor by other spellings of
#                /dev/fd/3, through links, and as 1024 past the caller's
#                3 to 1023, is not an output; the caller's appends by them all
#   shared_pipe  four runs writing one pipe tear no line
#   sticky       a file another user planted in a sticky directory is refused
#                as the shell refuses it (needs root and
#                fs.protected_regular=1; skips with 77)
#   mounted_turns  two runs copying over one mounted output, the first
#                stopped part way, copy in turn (needs mount; skips with 77)
#   reserved_signals  signals 32 and 33 remove the new file, and wait for the
#                copy over a mounted output to end (needs mount; skips with 77)
#   small_stack  a crash on an exhausted stack removes the new file (skips
#                with 77 where no limit from 8 to 32 KiB makes it crash)
#   set_id       a replaced file keeps its set-id bits and capabilities
#                (needs root; skips with 77)
#   user_namespace  an outside user's file, in a user namespace, is written in
#                place (needs root and unshare -U -r, which no chroot has;
#                skips with 77)
#   no_descriptor  an output that cannot be opened, or whose new file cannot
#                be made, for want of a descriptor fails before the conversion
#                is held (skips with 77 where the program cannot run under a
#                50 MB address-space limit, as a sanitizer's build cannot)
#   copy_on_write  on btrfs, a copy over a mounted output too large for the
#                free room fails before it begins (needs mkfs.btrfs, from
#                btrfs-progs, and a loop mount; skips with 77)
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

# in_chroot: whether this process's root is not its mount namespace's, as in
# a chroot, where the kernel gives no process a new user namespace. Where
# init's root may not be looked at, a root that is no mount point tells.
in_chroot() {
  local init
  if init=$(stat -c %d:%i /proc/1/root/. 2> /dev/null); then
    [ "$init" != "$(stat -c %d:%i /)" ]
  else
    ! awk '$5 == "/" { found = 1; exit } END { exit !found }' /proc/self/mountinfo
  fi
}

# mount_hint: what a skipped mount test needs where it stands, said in its
# skip line.
mount_hint() {
  local bind="bind the build directory onto itself, as root from the clone:"
  bind+=" mount --bind build build"
  if ! in_chroot; then
    if [ "$(id -u)" = 0 ]; then
      echo "to run it, give root the right to mount (in a container, the" \
           "SYS_ADMIN capability)"
    else
      echo "to run it, run the tests as root, or as a user where unprivileged" \
           "user namespaces are allowed (sysctl kernel.unprivileged_userns_clone=1" \
           "where the kernel has it, user.max_user_namespaces above 0)"
    fi
  elif [ "$(id -u)" = 0 ]; then
    echo "to run it in a chroot, first $bind"
  else
    echo "an ordinary user cannot run it in a chroot, where the kernel gives" \
         "no user namespace; to run it, run the tests as root, and first $bind"
  fi
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
    echo "cannot make a mount namespace here ($why): skipped; $(mount_hint)"
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

# mounted <what> <status> [<hint>]: goes on where the commands run in the
# mount namespace ended with status 0; skips where they ended with 77 for
# want of a mount, saying why (the file mount.err holds mount's message) and
# how to run it instead.
mounted() {
  case $2 in
    0) ;;
    77) echo "cannot $1 here ($(< mount.err)): skipped; ${3:-$(mount_hint)}"
        exit 77 ;;
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
  # mmCIF rows held for an _entity that never comes, more than memory takes.
  { printf 'data_h\nloop_\n_atom_site.label_atom_id\n_atom_site.label_entity_id\n'
    printf '_atom_site.Cartn_x\n_atom_site.Cartn_y\n_atom_site.Cartn_z\n'
    yes 'CA 1 1 2 3' | head -n 200000; } > held.cif
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
    TMPDIR=small "$0" held.cif small/out.pdb 2> err.held
    echo $? > status.held
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
  mv err.held err
  expect "rows held" 1 "Could not write small" "$(< status.held)"
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
  mounted "mount a tmpfs that holds user attributes" $? \
    "to run it, use Linux 6.6 or later, whose tmpfs holds user attributes"
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
  export -f new_file
  "${unshare[@]}" bash -c '
    mount -t tmpfs -o size=1m tmpfs small 2> mount.err || exit 77
    mkfifo fifo
    "$0" fifo small/out.pdb 2> err &
    exec 3> fifo
    cat in.pdb >&3
    # The program has read all but a pipe full, and stopped writing at the
    # middle: the new file must be empty while it waits for more.
    for ((tries = 0; tries < 100; ++tries)); do
      size=$(stat -L -c %s "$(new_file $!)")
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

# new_file <pid>: a path to the new file of the run <pid>: its hidden name,
# or, where it has none, its descriptor's in /proc.
new_file() {
  local named fd
  named=$(find . -name '.*.pdb_convert-*' -print -quit)
  [ -z "$named" ] || { echo "$named"; return; }
  for fd in /proc/"$1"/fd/*; do
    [[ $(readlink "$fd" 2> /dev/null) = */#*' (deleted)' ]] &&
      echo "$fd" && return
  done
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
  # However long a busy machine takes: held at the pipe with no new file
  # made, where the kernel names that wait, it opened the output in place.
  local waits
  until [ -n "$(new_file "$pid")" ]; do
    waits=$(cat "/proc/$pid/wchan" 2> /dev/null)
    if [[ $waits = *pipe_write || $waits = pipe_wait ]] &&
       [ -z "$(new_file "$pid")" ]; then
      kill -s KILL "$pid"
      fail "no temporary file appeared: the output was opened in place"
      exit 1
    fi
    sleep 0.01
  done
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

  # SIGKILL, which no handler sees, while a new output and a replaced one
  # are written: an unnamed new file leaves nothing, a named one stays (and
  # is named only where it must be, or the tests make it so).
  local out file tries
  mkfifo fifo
  for out in new.pdb in.pdb; do
    "$exe" fifo $out 2> /dev/null &
    pid=$!
    exec 4> fifo
    cat before.pdb >&4
    for ((tries = 0; tries < 1000; ++tries)); do
      file=$(new_file $pid)
      [ -n "$file" ] && [ "$(stat -L -c %s "$file")" != 0 ] && break
      sleep 0.01
    done
    kill -s KILL $pid
    wait $pid 2> /dev/null
    exec 4>&-
    [[ $file = /proc/* || -n ${PDB_CONVERT_NAMED_NEW_FILE-} ||
      $(stat -f -c %T .) != @(ext2/ext3|tmpfs|btrfs|xfs) ]] ||
      fail "SIGKILL, $out: the new file was named where it need not be"
    [[ $file = /proc/* ]] || rm "$file" || fail "SIGKILL, $out: $file went"
  done
  [ ! -e new.pdb ] || fail "SIGKILL: new.pdb was made"
  unchanged in.pdb before.pdb

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
  # Root may write anything: as root, the program runs as nobody.
  local as=()
  [ "$(id -u)" = 0 ] && as_nobody
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
    echo "cannot make a directory append-only here (chattr +a): skipped;" \
         "to run it, run the tests as root, in a build directory on ext4," \
         "xfs or btrfs (not tmpfs or overlayfs)"
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
  local name status closed
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
  # The program puts /dev/null on a closed standard error, for itself: opened
  # as 2, or, with standard input closed too, as 0 and moved to 2.
  for closed in 2 0; do
    (if [ $closed = 0 ]; then exec <&-; fi
      exec "$exe" in.pdb /dev/stderr 2>&-) > out
    status=$?
    [ "$status" = 1 ] || fail "/dev/stderr closed: status $status, expected 1"
    [ "$(< out)" = $'This file could not be opened.\nDying' ] ||
      fail "/dev/stderr closed ($closed): standard output '$(< out)'"
  done

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
    echo "no setfacl or setfattr: skipped; to run it, apt-get install -y acl attr"
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
    echo "no ACLs or user attributes on this file system: skipped; to run" \
         "it, build in a directory on ext4, xfs, btrfs or tmpfs"
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
  records 2000 in.pdb
  echo private > out.pdb
  chmod 600 out.pdb
  # Held at its progress line, before a record is written: the new file's
  # mode then is the one it was made with.
  start_held out.pdb
  local mode
  mode=$(stat -L -c %a "$(new_file "$pid")")
  release_held
  [ "$status" = 0 ] || fail "private output: status $status, expected 0"
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
    # where the run ended before the signal was sent: stopped first, as one
    # that has ended would take the signal too, and seem to ignore it.
    umount target.pdb
    echo mounted > source.pdb
    mount --bind source.pdb target.pdb || exit 1
    for ((tries = 0; tries < 20; ++tries)); do
      "$exe" large.pdb target.pdb 2> /dev/null &
      pid=$!
      while kill -0 $pid 2> /dev/null && read -r first < source.pdb &&
        [ "$first" = mounted ]; do :; done
      kill -s STOP $pid 2> /dev/null
      # T once stopped; Z, or gone once the shell has reaped it, where it ended.
      while state=$(cut -d " " -f 3 /proc/$pid/stat 2> /dev/null) &&
        [[ $state != [TZ] ]]; do :; done
      [ "$state" = T ] && kill -s TERM $pid && kill -s CONT $pid && break
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

  # A file made where there was none: replaced as well, its mode kept.
  start_held made.pdb
  echo other > made.pdb && chmod 600 made.pdb
  release_held
  [ "$status" = 0 ] && cmp -s made.pdb converted.pdb &&
    [ "$(stat -c %a made.pdb)" = 600 ] ||
    fail "output made meanwhile: status $status, mode $(stat -c %a made.pdb)"

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

# as_nobody: sets as to the command that runs another as nobody, and moves to
# a new directory that nobody may reach, with the program copied there. Skips
# the scenario where that cannot be done, saying how to run it.
as_nobody() {
  as=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  if [ "$(id -u)" != 0 ]; then
    echo "needs root, to act as another user: skipped; to run it, run the" \
         "tests as root"
    exit 77
  fi
  if ! "${as[@]}" true 2> /dev/null; then
    echo "cannot run as nobody: skipped; to run it, install setpriv" \
         "(apt-get install -y util-linux)"
    exit 77
  fi
  cd "$(mktemp -d)" && chmod 755 . && trap 'rm -rf "$PWD"' EXIT || exit 2
  if ! "${as[@]}" test -x . 2> /dev/null; then
    echo "nobody cannot reach $PWD: skipped; to run it, set TMPDIR to a" \
         "directory that every user may enter, such as /tmp"
    exit 77
  fi
  cp "$exe" . && exe=$PWD/${exe##*/}
}

# However a path to one of the program's descriptors is spelled, and through
# whatever links, the descriptor is the caller's only if it was open when the
# program started.
descriptor_paths() {
  records 3 in.pdb
  cp in.pdb before.pdb
  "$exe" in.pdb a.out 2> /dev/null || exit 2
  ln -s /proc/self/fd fds
  ln -s /proc/self/fd/3 three.pdb
  local name names=(/dev//fd/3 /dev/./fd/3 //proc/self/fd/3 /proc/self/fd/./3
                    /dev/fd/../fd/3 fds/3 three.pdb)
  # The input takes descriptor 3, the first free.
  for name in "${names[@]}"; do
    cp before.pdb in.pdb
    "$exe" in.pdb "$name" 3>&- > out 2> err
    expect "$name never opened" 1 "" $?
    unchanged in.pdb before.pdb
  done
  (cd /dev && "$exe" "$OLDPWD/in.pdb" fd/3 3>&- > /dev/null 2>&1)
  expect "fd/3 from /dev, never opened" 1 "" $?
  unchanged in.pdb before.pdb
  # exec keeps the shell's process ID, the program's and its thread's.
  bash -c 'exec "$0" in.pdb /proc/$$/task/$$/fd/3' "$exe" 3>&- > out 2> err
  expect "/proc/<pid>/task/<tid>/fd/3 never opened" 1 "" $?
  unchanged in.pdb before.pdb

  # Given by the caller, the same descriptor appends by every spelling.
  echo earlier > all.pdb
  for name in "${names[@]}"; do
    "$exe" before.pdb "$name" 3>> all.pdb 2> /dev/null ||
      fail "$name given: the run failed"
  done
  { echo earlier; for name in "${names[@]}"; do cat a.out; done; } |
    cmp -s - all.pdb || fail "3>> all.pdb does not hold a conversion for each spelling"

  # Another process's table, though it holds itself open by every low number
  # as the program's does, is not the program's: its descriptor 1 there is
  # the file that one is open on.
  echo other > other.pdb
  bash -c 'for ((fd = 3; fd < 40; ++fd)); do eval "exec $fd< /proc/$$/fd"; done
    exec sleep 60' > other.pdb &
  local other=$!
  until [ -L /proc/$other/fd/39 ]; do sleep 0.01; done
  "$exe" before.pdb /proc/$other/fd/1 > out 2> /dev/null ||
    fail "another process's descriptor: the run failed"
  kill $other
  [ ! -s out ] && cmp -s other.pdb a.out ||
    fail "another process's descriptor: not the file it is open on converted"

  # With the caller's 3 to 1023 open, the input takes 1024: the program's
  # own, however high.
  cp before.pdb in.pdb
  if ! (ulimit -n 1100) 2> /dev/null; then
    echo "cannot open descriptors past 1023 here: 1024 not tried; to try" \
         "it, raise the hard limit on open files (ulimit -Hn) past 1100"
    return
  fi
  bash -c 'ulimit -n 1100 &&
    for ((fd = 3; fd < 1024; ++fd)); do eval "exec $fd< before.pdb"; done &&
    exec "$0" in.pdb /dev/fd/1024' "$exe" > out 2> err
  expect "/dev/fd/1024, the input's" 1 "" $?
  unchanged in.pdb before.pdb
}

# Runs writing one pipe at once, as xargs -P 4 runs them, each through its
# standard output: a slow reader lets the pipe fill, where a write of more
# than PIPE_BUF bytes is cut among the others'.
shared_pipe() {
  records 100000 in.pdb
  "$exe" in.pdb converted.pdb 2> /dev/null || exit 2
  printf '%s\n' in.pdb in.pdb in.pdb in.pdb |
    xargs -P 4 -I {} "$exe" {} /dev/stdout 2> /dev/null | gzip -1 | gzip -d > all.pdb
  awk 'NR == FNR { whole[$0]; next } !($0 in whole) { ++torn }
       END { print FNR ":" torn + 0 }' converted.pdb all.pdb > counts
  [ "$(< counts)" = 400000:0 ] ||
    fail "four runs on one pipe: lines:torn $(< counts), expected 400000:0"
}

# With fs.protected_regular set, a file another user planted in a sticky
# directory is refused to root, as the shell's > refuses it.
sticky() {
  local as
  as_nobody
  records 3 in.pdb
  "$exe" in.pdb converted.pdb 2> /dev/null || exit 2
  mkdir shared && chmod 1777 shared
  "${as[@]}" sh -c 'echo planted > shared/result.pdb &&
    echo planted > shared/linked.pdb && ln shared/linked.pdb shared/other.pdb &&
    chmod 666 shared/result.pdb shared/linked.pdb' || exit 2
  if (: > shared/result.pdb) 2> /dev/null; then
    echo "the shell's > writes a planted file here: skipped; to run it, set" \
         "Debian's default, as root: sysctl -w fs.protected_regular=1"
    exit 77
  fi
  local name
  # Replaced, or written where it lies for its second link.
  for name in result.pdb linked.pdb; do
    "$exe" in.pdb shared/$name > out 2> err
    expect "planted $name" 1 "" $?
    [ "$(< out)" = $'This file could not be opened.\nDying' ] ||
      fail "planted $name: standard output '$(< out)'"
    [ "$(< shared/$name)" = planted ] || fail "planted $name: it was written"
  done
  [ -z "$(find shared -name '.*')" ] || fail "a new file was left in shared"
  # Root's own file there is replaced as anywhere.
  echo earlier > shared/own.pdb
  "$exe" in.pdb shared/own.pdb 2> /dev/null || fail "own file: the run failed"
  cmp -s shared/own.pdb converted.pdb || fail "own file: not converted"
}

# Two runs copying over one mounted output, the first stopped part way:
# the second waits for it, and the output holds one whole result.
mounted_turns() {
  records 200000 large.pdb
  records 2000 small.pdb
  "$exe" large.pdb large.out 2> /dev/null &&
    "$exe" small.pdb small.out 2> /dev/null || exit 2
  local unshare
  mount_namespace
  "${unshare[@]}" bash -c '
    exe=$0
    echo mounted > source.pdb
    : > target.pdb
    mount --bind source.pdb target.pdb 2> mount.err || exit 77
    # Stopped as soon as its copy has begun to change the mounted file.
    for ((tries = 0; tries < 5; ++tries)); do
      "$exe" large.pdb target.pdb 2> /dev/null &
      first=$!
      while kill -0 $first 2> /dev/null && read -r line < source.pdb &&
        [ "$line" = mounted ]; do :; done
      kill -s STOP $first 2> /dev/null && break
      wait $first
      echo mounted > source.pdb
    done
    "$exe" small.pdb target.pdb 2> /dev/null &
    second=$!
    # Until the second has ended, or waits for the first one'\''s lock.
    for ((tries = 0; tries < 500; ++tries)); do
      kill -0 $second 2> /dev/null || break
      grep -q -- "-> FLOCK .* $second " /proc/locks && break
      sleep 0.01
    done
    kill -s CONT $first
    wait $first
    echo $? > status.first
    wait $second
    echo $? > status.second
    cp source.pdb after
    find . -name ".*.pdb_convert-*" > left' "$exe"
  mounted "bind-mount a file" $?
  [ "$(< status.first)" = 0 ] && [ "$(< status.second)" = 0 ] ||
    fail "runs in turn: status $(< status.first) and $(< status.second), expected 0"
  cmp -s after small.out ||
    fail "runs in turn: the output is not the second run's whole result"
  [ ! -s left ] || fail "temporary file left behind: $(< left)"
}

# Signals 32 and 33, which the C library keeps for itself, end the process
# too: the new file goes with it, and the copy over a mounted output is
# whole or not begun.
reserved_signals() {
  records 2000 in.pdb
  records 200000 large.pdb
  cp in.pdb before.pdb
  "$exe" large.pdb large.out 2> /dev/null || exit 2
  local number status usr1
  # The handler's form for the kernel is read from SIGUSR1's: with SIGUSR1
  # ignored, from the handler installed there for the moment.
  for number in 32 33; do
    for usr1 in '' ignored; do
      [ -z "$usr1" ] || trap '' USR1
      start_held
      trap - USR1
      kill -n $number "$pid"
      wait "$pid" 2> /dev/null
      status=$?
      exec 3>&-
      [ "$status" = $((128 + number)) ] ||
        fail "signal $number $usr1: status $status, expected $((128 + number))"
      unchanged in.pdb before.pdb
    done
  done

  local unshare
  mount_namespace
  "${unshare[@]}" bash -c '
    exe=$0
    echo mounted > source.pdb
    : > target.pdb
    mount --bind source.pdb target.pdb 2> mount.err || exit 77
    for number in 32 33; do
      # Stopped first, as in mounted_copy.
      for ((tries = 0; tries < 20; ++tries)); do
        "$exe" large.pdb target.pdb 2> /dev/null &
        pid=$!
        while kill -0 $pid 2> /dev/null && read -r first < source.pdb &&
          [ "$first" = mounted ]; do :; done
        kill -s STOP $pid 2> /dev/null
        # T once stopped; Z, or gone once the shell has reaped it, where it ended.
        while state=$(cut -d " " -f 3 /proc/$pid/stat 2> /dev/null) &&
          [[ $state != [TZ] ]]; do :; done
        [ "$state" = T ] && kill -n $number $pid && kill -s CONT $pid && break
        wait $pid
        echo mounted > source.pdb
      done
      wait $pid
      echo $? > status.$number
      cp source.pdb after.$number
      echo mounted > source.pdb
    done 2> /dev/null' "$exe"
  mounted "bind-mount a file" $?
  for number in 32 33; do
    [ "$(< status.$number)" = $((128 + number)) ] ||
      fail "signal $number during the copy: status $(< status.$number)"
    [ "$(< after.$number)" = mounted ] || cmp -s after.$number large.out ||
      fail "signal $number during the copy: the output holds part of the result"
  done
  unchanged in.pdb before.pdb
}

# Under a stack limit too small for it, the program crashes at its progress
# line, with its new file made: a handler on a stack of its own removes it.
small_stack() {
  records 3 in.pdb
  cp in.pdb before.pdb
  "$exe" in.pdb converted.pdb 2> /dev/null || exit 2
  local limit round status crashed=0
  for round in 1 2; do
    for ((limit = 8; limit <= 32; limit += 2)); do
      cp before.pdb in.pdb
      # A sanitizer's own handler, which the program keeps, would report
      # the overflow instead.
      { (ulimit -s $limit &&
         ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}handle_segv=0 \
           exec "$exe" in.pdb in.pdb 2> /dev/null); } 2> /dev/null
      status=$?
      case $status in
        0) cmp -s in.pdb converted.pdb || fail "stack of $limit KiB: not converted" ;;
        139) crashed=$((crashed + 1)); unchanged in.pdb before.pdb ;;
        *) fail "stack of $limit KiB: status $status" ;;
      esac
    done
  done
  if [ $crashed = 0 ]; then
    echo "no stack limit from 8 to 32 KiB made the program overflow:" \
         "skipped; to run it, use the test workflow's build" \
         "(cmake --workflow --preset test)"
    exit 77
  fi
}

# A file's set-id bits and capabilities are kept when it is replaced: they
# are given after the last write, which would clear them.
set_id() {
  local as
  as_nobody
  records 3 in.pdb
  "$exe" in.pdb converted.pdb 2> /dev/null || exit 2
  # chown clears the set-id bits: they come after it.
  mkdir own && cp in.pdb own/tool.pdb && chown -R 65534:65534 own &&
    chmod 6755 own/tool.pdb || exit 2
  "${as[@]}" "$exe" in.pdb own/tool.pdb 2> /dev/null ||
    fail "set-id file: the run failed"
  cmp -s own/tool.pdb converted.pdb || fail "set-id file: not converted"
  [ "$(stat -c %a own/tool.pdb)" = 6755 ] ||
    fail "set-id file replaced by its owner: mode $(stat -c %a own/tool.pdb), expected 6755"

  # cap_net_raw+ep, as setcap writes it.
  local capability=0sAQAAAgAgAAAAAAAAAAAAAAAAAAA=
  cp in.pdb capable.pdb
  if ! setfattr -n security.capability -v $capability capable.pdb 2> /dev/null; then
    echo "cannot give a file capabilities here: those not tried; to try" \
         "them, apt-get install -y attr, on ext4, xfs, btrfs or tmpfs"
    return
  fi
  "$exe" in.pdb capable.pdb 2> /dev/null || fail "capable file: the run failed"
  cmp -s capable.pdb converted.pdb || fail "capable file: not converted"
  getfattr -e base64 -n security.capability capable.pdb 2> /dev/null |
    grep -qx "security.capability=$capability" ||
    fail "capable file: its capabilities were lost"
}

# In a user namespace (a rootless container), a file of an outside user may
# be written, but a new file cannot be given its owner: it is written in
# place.
user_namespace() {
  if [ "$(id -u)" != 0 ] || ! unshare -U -r true 2> /dev/null; then
    if in_chroot; then
      echo "cannot run in a chroot, where the kernel gives no user" \
           "namespace: skipped; to run it, run the tests as root outside one"
    else
      echo "needs root, and user namespaces (unshare -U -r): skipped; to run" \
           "it, run the tests as root where user namespaces are allowed" \
           "(sysctl user.max_user_namespaces above 0)"
    fi
    exit 77
  fi
  records 3 in.pdb
  "$exe" in.pdb converted.pdb 2> /dev/null || exit 2
  echo earlier > out.pdb && chown 1234:1234 out.pdb && chmod 666 out.pdb
  unshare -U -r "$exe" in.pdb out.pdb 2> err
  expect "an outside user's file" 0 "Writing data to out.pdb" $?
  cmp -s out.pdb converted.pdb || fail "an outside user's file: not converted"
  [ "$(stat -c %u:%a out.pdb)" = 1234:666 ] ||
    fail "an outside user's file: now $(stat -c %u:%a out.pdb), expected 1234:666"
  unchanged in.pdb in.pdb
}

# On btrfs, which writes every changed block anew, the room reserved for a
# copy over a mounted output does not cover it: one too large for the free
# room fails before the output is touched.
copy_on_write() {
  if [ "$(id -u)" != 0 ]; then
    echo "needs root, to mount a btrfs image: skipped; to run it, run the" \
         "tests as root"
    exit 77
  fi
  if ! command -v mkfs.btrfs > /dev/null; then
    echo "no mkfs.btrfs: skipped; to run it, apt-get install -y btrfs-progs"
    exit 77
  fi
  records 20000 in.pdb
  "$exe" in.pdb converted.pdb 2> /dev/null || exit 2
  # The old output larger than the result: no room needs reserving past its
  # end, and each block written over it needs new room.
  head -c 1200000 in.pdb > old.pdb
  local room
  # Room left for half the result, and for twice it, each on a new file
  # system: btrfs shows room freed only some time after.
  for room in 500000 2200000; do
    truncate -s 256M btrfs.$room && mkfs.btrfs -q -m single -d single \
      btrfs.$room > /dev/null 2>&1 || { fail "mkfs.btrfs failed"; return; }
  done
  mkdir disk
  local unshare
  mount_namespace
  "${unshare[@]}" bash -c '
    exe=$0
    for room in 500000 2200000; do
      mount -o loop btrfs.$room disk 2> mount.err || exit 77
      cp old.pdb disk/source.pdb
      : > target.pdb
      mount --bind disk/source.pdb target.pdb 2> mount.err || exit 77
      sync -f disk
      fallocate -l $(($(stat -f -c "%a * %S" disk) - room)) disk/filler &&
        sync -f disk || exit 1
      "$exe" in.pdb target.pdb 2> err.$room
      echo $? > status.$room
      cp disk/source.pdb after.$room
      umount target.pdb && umount disk || exit 1
    done' "$exe"
  mounted "mount a btrfs image" $? \
    "to run it, run the tests as root, with loop devices (modprobe loop)"
  mv err.500000 err
  expect "no room to write the result anew" 1 \
    $'Writing data to target.pdb\nCould not write target.pdb' "$(< status.500000)"
  cmp -s after.500000 old.pdb || fail "no room to write the result anew: the output lost its bytes"
  [ "$(< status.2200000)" = 0 ] && cmp -s after.2200000 converted.pdb ||
    fail "room to write the result anew: the output is not the conversion"
}

# Where the output cannot be opened, or its new file cannot be made, for want
# of a descriptor, the run fails before it holds any of the conversion: under
# a memory limit that a million records' conversion, held, would pass, it
# says so rather than "Out of memory".
no_descriptor() {
  # Sanitizer builds reserve more than that before main.
  if ! (ulimit -v 50000 && "$exe" /dev/null /dev/null 2> /dev/null); then
    echo "this build cannot run under a memory limit: skipped; to run it," \
         "use the test workflow's build (cmake --workflow --preset test)"
    exit 77
  fi
  yes 'ATOM      1  CA  GLY A   1      11.500 -22.250  -7.125' |
    head -n 1000000 > in.pdb
  echo earlier > existing.pdb
  # Descriptors for the input and the output's directory, the first two
  # free, and no more.
  local fd free=()
  for ((fd = 3; ${#free[@]} < 2; ++fd)); do
    [ -L /proc/$BASHPID/fd/$fd ] || free+=($fd)
  done
  local name
  for name in new.pdb existing.pdb; do
    (ulimit -v 50000 && ulimit -n $((free[1] + 1)) && exec "$exe" in.pdb $name) \
      > out 2> err
    expect "no descriptor for $name" 1 "" $?
    [ "$(< out)" = $'This file could not be opened.\nDying' ] ||
      fail "no descriptor for $name: standard output '$(< out)'"
  done
  [ ! -e new.pdb ] || fail "no descriptor for new.pdb: it was created"
  [ "$(< existing.pdb)" = earlier ] || fail "no descriptor for existing.pdb: it lost its bytes"
}

"$scenario"
exit $failed
