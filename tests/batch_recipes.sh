#!/bin/bash
# The recipes under examples/, run by the real engines on a tree of files made
# here, with a few inputs that must fail: every output equal to a direct run,
# every failure named once, and after a stop part way and a new run, nothing
# partial, nothing converted again and nothing missing.
# usage: batch_recipes.sh <pdb_convert> <source dir> <scratch dir> <scenario>
#   slurm     a Slurm array over 2,048 files on a one-node Slurm started here,
#             cancelled, and submitted again; tasks that must fail at once
#             (needs root, slurm-wlm, munge)
#   parallel  GNU parallel over ssh to an sshd started here, interrupted and
#             run again; a machine that cannot be reached (needs root,
#             parallel, openssh-server and -client)
#   many      pdb_convert_many, beside <pdb_convert>, on lists and shards
set -u
exe=$1 src=$2 work=$3 scenario=$4
examples=$src/examples

skip() {
  echo "$scenario: $1: skipped; to run it, as root:" \
       "apt-get install -y $2 && ctest --preset dev -R batch_recipes"
  exit 77
}
needs() {
  local packages=$1 command
  shift
  [ "$(id -u)" = 0 ] || skip "needs root" "$packages"
  for command; do
    command -v "$command" > /dev/null || skip "no $command" "$packages"
  done
}
# The recipes do not change with the build, and a sanitizer's program makes
# these tests three times as long; pdb_convert_many's own scenario runs there.
if [ -n "${ASAN_OPTIONS-}" ] && [ "$scenario" != many ]; then
  echo "$scenario: a sanitizer's build: skipped; the test workflow's build" \
       "runs it (cmake --workflow --preset test)"
  exit 77
fi
PATH=$PATH:/usr/sbin
case $scenario in
  slurm) needs "slurm-wlm munge" munged slurmctld slurmd sbatch ;;
  parallel) needs "parallel openssh-server openssh-client" parallel ssh \
                  ssh-keygen sshd ;;
esac

rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 2
# The daemons' sockets and state, on a short path, gone at the end whatever
# happens; each daemon is stopped by its process id.
daemons=$(mktemp -d) || exit 2
pids=()
finish() {
  if [ -n "${SLURM_CONF-}" ]; then
    scancel -u root
    until_true 30 eval '[ -z "$(squeue -h 2> /dev/null)" ]'
  fi
  [ ${#pids[@]} = 0 ] || { kill "${pids[@]}"; wait "${pids[@]}"; }
  rm -rf "$daemons"
  [ -z "${made_privsep-}" ] || rmdir /run/sshd
}
trap finish EXIT
failed=0
fail() {
  echo "$*"
  failed=1
}
# free_port: a port on which nothing listens.
free_port() {
  local port
  while port=$((20000 + RANDOM % 40000)); do
    (: < "/dev/tcp/127.0.0.1/$port") 2> /dev/null || { echo $port && return; }
  done
}
# until_true <seconds> <command>...: polls command every 0.1 s.
until_true() {
  local tries=$(($1 * 10))
  shift
  until "$@"; do
    [ $((tries -= 1)) -gt 0 ] || return 1
    sleep 0.1
  done
}

# converting: whether any process runs the program.
converting() {
  local p
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/exe" 2> /dev/null)" = "$many" ] && return 0
  done
  return 1
}
many=$(readlink -f "${exe%/*}/pdb_convert_many")

# The inputs: a set of eight files, PDB and mmCIF, plain and gzipped, names
# with blanks among them, in 2^levels directories below in ("s 0/s 1/..."),
# and in the same places below exp/in what a direct run makes of each. LIST
# names them, and among them inputs that fail, which make no output: a
# missing file, a damaged gzip stream, a record cut short, an output
# directory that is a file, and an output that is a link into no directory,
# whose message goes to standard output.
make_tree() {
  local levels=$1 i d
  mkdir -p in exp/in
  cp "$examples/peptide.pdb" "in/a b.pdb"
  gzip -c "$examples/peptide.pdb" > in/g.pdb.gz
  cp "$src/tests/mmcif/syntax.cif" in/c.cif
  cp "$src/tests/mmcif/entity_after.cif" in/m.mmcif
  cp "$src/tests/mmcif/one_row.cif.gz" in/z.cif.gz
  cp "$src/tests/cli/hydrogen_names/input.pdb" in/e.ent
  gzip -c "$src/tests/cli/layout/input.pdb" > "in/t e.ent.gz"
  cp "$src/tests/mmcif/items_interleaved.cif" in/x.cif
  for i in "a b.pdb:a b" g.pdb.gz:g c.cif:c m.mmcif:m z.cif.gz:z e.ent:e \
           "t e.ent.gz:t e" x.cif:x; do
    "$exe" "in/${i%:*}" "exp/in/${i#*:}.pdb" 2> /dev/null || return
  done
  for ((i = 0; i < levels; i++)); do
    for d in in exp/in; do
      mkdir "$d.new" && mv "$d" "$d.new/s 0" && cp -al "$d.new/s 0" "$d.new/s 1" &&
        mv "$d.new" "$d" || return
    done
  done
  (cd in && find . -type f | sort | sed 's|^\./|in/|') > good
  printf 'ATOM      1  N\n' > in/short.pdb
  gzip -c "$examples/peptide.pdb" | head -c 300 > in/bad.pdb.gz
  mkdir in/blocked && cp "$examples/peptide.pdb" in/blocked/x.pdb
  cp "$examples/peptide.pdb" in/linked.pdb
  # Lines 0, 1, 4, 5 and 8: tasks 0 and 1's in an array of four.
  local bad=(in/missing.pdb in/short.pdb in/bad.pdb.gz in/blocked/x.pdb
             in/linked.pdb) line
  for ((i = 0; i < 5; i++)); do
    printf '%s\n' "${bad[i]}"
    ((i % 2 == 0)) || for line in 1 2; do IFS= read -r line && echo "$line"; done
  done < good > list
  tail -n +5 good >> list
  cat > failures <<'EOF'
in/bad.pdb.gz	Could not read in/bad.pdb.gz
in/blocked/x.pdb	Could not make directory out/in/blocked: File exists
in/linked.pdb	This file could not be opened. Dying
in/missing.pdb	No file
in/short.pdb	in/short.pdb:1: coordinate record shorter than 46 characters
EOF
}
# blocks <outdir>: the obstacles of the failing inputs; in exp too.
blocks() {
  mkdir -p "$1/in" && touch "$1/in/blocked" &&
    ln -s /nonexistent/linked.pdb "$1/in/linked.pdb"
}

mkdir bin tmp && ln -s "$many" bin/pdb_convert_many || exit 2
export PATH=$work/bin:$PATH TMPDIR=$work/tmp LC_ALL=C

# outputs: the inode and name of each output, one a line, sorted.
outputs() { find out -name '*.pdb' -type f -printf '%i %p\n' | sort; }
# same_tree <what>: out holds exp, with the umask's modes, and the failures
# listed once each; no output that existed after a stop (listed in done)
# was made again; TMPDIR holds nothing.
same_tree() {
  local again
  again=$(outputs | comm -13 - done | head -3)
  [ -z "$again" ] || fail "$1: converted again after the stop: $again"
  [ -z "$(ls -A tmp)" ] || fail "$1: left in TMPDIR: $(ls -A tmp)"
  diff -r --no-dereference -x failed exp out > /dev/null ||
    fail "$1: the outputs differ from a direct run:" \
         "$(diff -rq --no-dereference -x failed exp out | head -5)"
  [ -z "$(find out -perm -o=w ! -type l)" ] ||
    fail "$1: outputs or directories that anyone may write"
  sort out/failed/* | diff failures - > /dev/null ||
    fail "$1: the failures are not each named once:" \
         "$(sort out/failed/* | diff failures - | head -5)"
}
# stopped <what>: after a stop, part of the outputs, whole, and nothing
# else, no hidden file among them; lists them in done.
stopped() {
  local extra
  extra=$(diff -rq --no-dereference -x failed exp out | grep -v '^Only in exp')
  [ -z "$extra" ] || fail "$1: more than a part of the outputs: ${extra:0:300}"
  outputs > done
  [ -s done ] && [ -n "$(diff -rq --no-dereference -x failed exp out)" ] ||
    fail "$1: $(wc -l < done) outputs: not a stop part way"
}
# progress <count>: whether out holds more than count outputs.
progress() { [ "$(find out -name '*.pdb' -type f | wc -l)" -gt "$1" ]; }

slurm() {
  local port1 port2 out job at_once
  port1=$(free_port) port2=$(free_port)
  head -c 1024 /dev/urandom > "$daemons/munge.key" &&
    chmod 600 "$daemons/munge.key" || exit 2
  munged -F -f --key-file="$daemons/munge.key" \
    --socket="$daemons/munge.sock" --pid-file="$daemons/munged.pid" \
    --seed-file="$daemons/munged.seed" --log-file=/dev/null \
    > "$daemons/munged.out" 2>&1 &
  pids+=($!)
  mkdir "$daemons/state" "$daemons/spool"
  # Eight CPUs, whatever the machine has, so that the array's four tasks
  # of two CPUs run at once. Jobs are remembered as long as Slurm's default
  # keeps them: sbatch --wait takes its status from the tasks it still
  # finds, and a task of seconds forgotten before the last one ended made
  # it 0. The states are kept in a file.
  cat > "$daemons/slurm.conf" << EOF
ClusterName=pdb_convert_test
SlurmctldHost=localhost(127.0.0.1)
SlurmctldPort=$port1
SlurmdPort=$port2
AuthType=auth/munge
AuthInfo=socket=$daemons/munge.sock
StateSaveLocation=$daemons/state
SlurmdSpoolDir=$daemons/spool
SlurmctldPidFile=$daemons/slurmctld.pid
SlurmdPidFile=$daemons/slurmd.pid
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SlurmdParameters=config_overrides
MinJobAge=300
JobCompType=jobcomp/filetxt
JobCompLoc=$daemons/jobs
MailProg=/bin/true
NodeName=localhost NodeAddr=127.0.0.1 CPUs=8 State=UNKNOWN
PartitionName=test Nodes=localhost Default=YES MaxTime=INFINITE State=UP
EOF
  export SLURM_CONF=$daemons/slurm.conf
  until_true 5 test -S "$daemons/munge.sock" || exit 2
  slurmctld -D -i > "$daemons/slurmctld.out" 2>&1 &
  pids+=($!)
  slurmd -D -N localhost > "$daemons/slurmd.out" 2>&1 &
  pids+=($!)
  if ! until_true 20 eval '[ "$(sinfo -h -o %t 2> /dev/null)" = idle ]'; then
    echo "the Slurm daemons did not start:"
    tail -5 "$daemons"/*.out
    exit 1
  fi

  make_tree 8 || exit 2
  blocks exp && blocks out || exit 2
  # An array cancelled part way, and the same command again with another
  # array, run to its end. Amid the first list, FIFOs that no one writes
  # hold every conversion of the tasks, however fast the first half went.
  mkfifo in/wait{0..5}.pdb &&
    { head -n 1024 list; printf 'in/wait%d.pdb\n' {0..5}; tail -n +1025 list; } \
    > list.stop || exit 2
  job=$(sbatch --array=0-2 -c 2 -o /dev/null \
        "$examples/slurm/convert.sbatch" list.stop out) || exit 1
  job=${job##* }
  until_true 30 progress 300
  scancel "$job"
  until_true 30 eval '[ -z "$(squeue -h -j "$job" 2> /dev/null)" ]' ||
    fail "slurm: the cancelled tasks did not end"
  grep -q "JobState=CANCELLED .* ArrayJobId=$job " "$daemons/jobs" ||
    fail "slurm: no task says it was cancelled"
  stopped slurm
  rm -r out/failed
  # Beside it, tasks that fail at once and convert nothing: a directory as
  # LIST, and an OUTDIR where the failure file cannot be made.
  mkdir bad && touch bad/failed || exit 2
  at_once=$(sbatch --parsable --array=0-0 -o list.out \
            "$examples/slurm/convert.sbatch" in bad &&
            sbatch --parsable --array=0-0 -o failed.out \
            "$examples/slurm/convert.sbatch" list bad) || exit 1
  job=$(sbatch --wait --array=0-3 -c 2 -o /dev/null \
        "$examples/slurm/convert.sbatch" list out)
  [ $? != 0 ] || fail "slurm: sbatch --wait: status 0 with failures"
  job=${job##* }
  same_tree slurm
  ls out/failed > tasks
  printf '%s\n' "${job}_0.tsv" "${job}_1.tsv" | diff - tasks > /dev/null ||
    fail "slurm: not one failure file a task that failed: $(cat tasks)"
  sed -n "s/.*JobState=\([A-Z]*\).* ArrayJobId=$job ArrayTaskId=\([0-9]*\) .*/\2 \1/p" \
    "$daemons/jobs" | sort > states
  printf '%s\n' "0 FAILED" "1 FAILED" "2 COMPLETED" "3 COMPLETED" |
    diff - states > /dev/null || fail "slurm: the tasks' states: $(cat states)"
  until_true 30 eval '[ -z "$(squeue -h 2> /dev/null)" ]'
  for job in $at_once; do
    grep -q "JobState=FAILED .* ArrayJobId=$job " "$daemons/jobs" ||
      fail "slurm: a task that had to fail at once did not: job $job"
  done
  [ "$(ls -A bad)" = failed ] && grep -q "^convert.sbatch: in: " list.out &&
    grep -q "bad/failed.*File exists" failed.out ||
    fail "slurm: tasks that fail at once: $(ls -A bad; cat list.out failed.out)"
}

parallel() {
  local port sshd ssh job input output
  port=$(free_port)
  # sshd needs its directory for privilege separation, which a machine
  # where it never ran lacks.
  [ -d /run/sshd ] || { mkdir -m 755 /run/sshd && made_privsep=1; } || exit 2
  ssh-keygen -q -N '' -t ed25519 -f "$daemons/host" &&
    ssh-keygen -q -N '' -t ed25519 -f "$daemons/user" || exit 2
  cp "$daemons/user.pub" "$daemons/authorized"
  cat > "$daemons/sshd_config" << EOF
ListenAddress 127.0.0.1:$port
HostKey $daemons/host
AuthorizedKeysFile $daemons/authorized
StrictModes no
UsePAM no
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
EOF
  # A machine that cannot be reached: a port where nothing listens.
  cat > "$daemons/ssh_config" << EOF
Host unreachable
  HostName 127.0.0.1
  Port $(free_port)
Host 127.0.0.1 unreachable
  Port $port
  IdentityFile $daemons/user
  BatchMode yes
  StrictHostKeyChecking no
  UserKnownHostsFile /dev/null
  LogLevel ERROR
EOF
  "$(command -v sshd)" -D -e -f "$daemons/sshd_config" 2> "$daemons/sshd.out" &
  sshd=$!
  pids+=($sshd)
  ssh=(-S 2/127.0.0.1 --ssh "ssh -F $daemons/ssh_config" --env TMPDIR)
  if ! until_true 10 ssh -F "$daemons/ssh_config" 127.0.0.1 true 2> /dev/null; then
    echo "sshd did not start:"
    tail -5 "$daemons/sshd.out"
    exit 1
  fi

  make_tree 5 || exit 2
  blocks exp && blocks out || exit 2
  export LINES_A_JOB=50
  # An interrupt part way, as from a terminal, to this process group.
  setsid "$examples/parallel/convert.sh" list out "${ssh[@]}" &
  job=$!
  until_true 30 progress 50
  kill -INT -- -$job
  wait $job
  until_true 30 eval '[ -z "$(cat /proc/$sshd/task/$sshd/children)" ]' ||
    fail "parallel: the jobs over ssh did not end"
  # A program whose ssh session has gone ends its conversions in flight.
  until_true 30 eval '! converting' || fail "parallel: a conversion did not end"
  stopped parallel
  "$examples/parallel/convert.sh" list out "${ssh[@]}"
  [ $? = 1 ] || fail "parallel: not status 1 with failures"
  same_tree parallel
  # The blocks sent to a machine not reached are named, input by input, and
  # only they are not converted.
  "$examples/parallel/convert.sh" list out2 "${ssh[@]}" -S 1/unreachable
  [ $? = 1 ] || fail "parallel: not status 1 with a machine not reached"
  grep ' on unreachable: status 255$' out2/failed/parallel.tsv | cut -f 1 > lost
  [ -s lost ] && [ -z "$(cut -f 1 out2/failed/parallel.tsv | sort | uniq -d)" ] ||
    fail "parallel: a machine not reached: $(head -3 out2/failed/parallel.tsv)"
  while IFS= read -r input; do
    output=${input%.gz} output=${output%.*}.pdb
    if grep -qxF -- "$input" lost; then
      [ ! -e "out2/$output" ]
    else
      cmp -s "exp/$output" "out2/$output"
    fi || fail "parallel: $input, named or not, converted or not"
  done < good
}

# pdb_convert_many on lists and shards: the outputs of direct runs whatever
# -j, each failure named, nothing written out of OUTDIR or over an input,
# what is up to date skipped, and a stop part way leaving nothing partial.
many() {
  local many=${exe%/*}/pdb_convert_many j status before member name pid
  local top=${PWD#/}
  top=${top%%/*}
  make_tree 2 || exit 2
  cp "in/s 0/s 0/z.cif.gz" in/1ABC.CIF.GZ && cp "exp/in/s 0/s 0/z.pdb" exp/in/1ABC.pdb &&
    echo in/1ABC.CIF.GZ >> list && blocks exp || exit 2
  cat > failures << 'EOF'
in/bad.pdb.gz	Could not read in/bad.pdb.gz
in/blocked/x.pdb	Could not make directory out/in/blocked: File exists
in/linked.pdb	This file could not be opened. Dying
in/missing.pdb	No file
in/short.pdb	in/short.pdb:1: coordinate record shorter than 46 characters
EOF
  # A CRLF list in a file, longer than a buffer, at -j 1; a NUL-separated
  # one at -j 2.
  { cat list; yes in/1ABC.CIF.GZ | head -n 400; } | sed 's/$/\r/' > list.crlf
  tr '\n' '\0' < list > list.nul
  for j in 1 2; do
    rm -rf out && blocks out || exit 2
    if [ $j = 1 ]; then "$many" -j 1 out < list.crlf; else
      "$many" -j 2 -0 out < list.nul; fi > failed.tsv
    status=$?
    [ $status = 1 ] || fail "many -j $j: status $status with failures"
    diff -r --no-dereference exp out > /dev/null ||
      fail "many -j $j: outputs differ from direct runs:" \
           "$(diff -rq --no-dereference exp out | head -3)"
    sort failed.tsv | diff failures - || fail "many -j $j: the failure lines"
  done
  # Up to date: nothing replaced but the outputs of an input whose time
  # changed (four names of one file).
  before=$(find out -type f -printf '%i %p\n' | sort)
  touch -d 2001-01-01 "in/s 0/s 0/c.cif"
  "$many" out < list > /dev/null
  [ "$(find out -type f -printf '%i %p\n' | sort | comm -13 <(echo "$before") - |
       grep -c '/c\.pdb$')" = 4 ] &&
    [ "$(find out -type f -printf '%i %p\n' | sort | comm -3 <(echo "$before") - |
         grep -vc '/c\.pdb$')" = 0 ] ||
    fail "many: not only the outputs of the changed input converted again"
  # Refused: a path out of OUTDIR, that not yet made; the input as its own
  # output; a second input to one output, naming the first, the same input
  # twice converted once; a directory as the list.
  cp in/1ABC.CIF.GZ in/c.pdb.gz
  (cd in && printf '%s\n' "../in/s 0/s 0/a b.pdb" | "$many" ../fresh) > failed.tsv
  printf '%s\n' "$PWD/in/s 0/s 0/a b.pdb" | "$many" / >> failed.tsv
  printf '%s\n' in/c.pdb.gz in/c.pdb.gz "in/s 0/../c.pdb.gz" in/c.cif |
    "$many" pair >> failed.tsv
  printf '%s\t%s\n' "../in/s 0/s 0/a b.pdb" "leads out of OUTDIR" \
    "$PWD/in/s 0/s 0/a b.pdb" \
    "its output $PWD/in/s 0/s 0/a b.pdb is the input itself" \
    "in/s 0/../c.pdb.gz" "leads out of OUTDIR" \
    in/c.cif "pair/in/c.pdb is the output of in/c.pdb.gz" |
    diff - failed.tsv || fail "many: the refusals"
  cmp "in/s 0/s 0/a b.pdb" "$examples/peptide.pdb" ||
    fail "many: an input written"
  "$many" out < in > failed.tsv 2> /dev/null
  [ $? = 1 ] && [ ! -s failed.tsv ] || fail "many: a directory as the list"
  # Standard input closed is an empty list, not a pipe of the program's
  # own read as one; standard output closed, a usage error.
  timeout 10 "$many" out <&- > /dev/null && ! "$many" out < list >&- 2> /dev/null ||
    fail "many: a closed standard input or output"
  # A shard: hard links (cp -al made them), a member added again, a
  # symbolic link and an absolute name; compressed with xz and zstd.
  ln -s "s 0/s 0/c.cif" in/l.cif && tar -cf s.tar in/1ABC.CIF.GZ "in/s 0" \
    "in/s 1" && cp "$examples/peptide.pdb" in/1ABC.CIF.GZ &&
    tar -rf s.tar in/1ABC.CIF.GZ in/l.cif && tar -rPf s.tar "$PWD/in/s 0/s 0/x.cif" &&
    xz -k s.tar && zstd -q s.tar && rm -r exp/in/blocked exp/in/linked.pdb &&
    cp "$examples/peptide_converted.pdb" exp/in/1ABC.pdb &&
    mkdir -p "exp/${PWD#/}/in/s 0/s 0" &&
    cp "exp/in/s 0/s 0/x.pdb" "exp/${PWD#/}/in/s 0/s 0" || exit 2
  for shard in s.tar.xz s.tar.zst; do
    rm -rf out
    "$many" out "$shard" > failed.tsv
    [ $? = 1 ] && printf '%s\t%s\n' "$shard:in/l.cif" \
      "is a symbolic link, not a file" | diff - failed.tsv &&
      diff -r --no-dereference exp out ||
      fail "many $shard: failures or outputs differ from direct runs"
  done
  # A hard link whose target fails takes not the output an older run left.
  ln in/short.pdb in/short2.pdb && tar -cf hl.tar in/short.pdb in/short2.pdb &&
    mkdir -p hl/in && echo old > hl/in/short.pdb || exit 2
  "$many" hl hl.tar | grep -q '^hl.tar:in/short2.pdb	' &&
    [ ! -e hl/in/short2.pdb ] || fail "many: a link copied a failed target's"
  # Cut inside a member: that member and the shard fail, with no output;
  # the whole shard then converts it.
  read -r member name < <(tar -tRvf s.tar 2> /dev/null | sed -n \
    's/^block \([0-9]*\): -[^ ]* [^ ]* *[0-9]\{4,\} [^ ]* [^ ]* \(.*\.\(pdb\|cif\)\)$/\1 \2/p')
  head -c $(((member + 1) * 512 + 600)) s.tar > cut.tar && rm -rf out || exit 2
  "$many" out cut.tar > failed.tsv
  [ $? = 1 ] && [ "$(cut -f 1 failed.tsv)" = "cut.tar:$name
cut.tar" ] && [ ! -e "out/${name%.*}.pdb" ] ||
    fail "many: a member cut short is not a failure, or has an output"
  "$many" out s.tar > /dev/null
  diff -r --no-dereference exp out > /dev/null ||
    fail "many: the whole shard after a cut one"
  # SIGTERM while a conversion waits on its input, a FIFO: nothing partial,
  # no hidden file, ended by the signal; a new run completes.
  rm -rf out && mkfifo in/slow.pdb && exec 3<> in/slow.pdb &&
    head -c 3000 "$examples/peptide.pdb" >&3 || exit 2
  (echo in/slow.pdb; grep -v '^in/[a-z]*[./]' list) | "$many" -j 2 out > /dev/null &
  pid=$!
  until_true 10 eval '[ -n "$(find out -name ".slow.pdb.*" 2> /dev/null)" ]'
  kill -TERM $pid
  wait $pid
  status=$?
  exec 3>&-
  [ $status = 143 ] && [ -z "$(find out -name '.*')" ] &&
    [ ! -e out/in/slow.pdb ] || fail "many: stopped, status $status, or left" \
      "$(find out -name '.*' -o -name slow.pdb)"
  rm in/slow.pdb && cp "$examples/peptide.pdb" in/slow.pdb &&
    cp "$examples/peptide_converted.pdb" exp/in/slow.pdb &&
    (echo in/slow.pdb; grep -v '^in/[a-z]*[./]' list) | "$many" out &&
    diff -r --no-dereference -x "$top" exp out > /dev/null ||
    fail "many: the run after a stop"
}

case $scenario in
  slurm) slurm ;;
  parallel) parallel ;;
  many) many ;;
  *) echo "unknown scenario: $scenario"; exit 2 ;;
esac
exit $failed
