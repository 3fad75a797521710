#!/bin/sh
# What the recipes under examples/ share: where an input's output goes, the
# skipping of inputs already converted, and the failure lines. Sourced by
# them, or run as `sh convert_lib.sh <function> <arguments>` by xargs and
# GNU parallel for each batch; tar's --to-command sources it for each
# member. Plain sh (with local, which every sh of Linux has), the cheapest
# shell to start once a member.
#
# The program is pdb_convert from PATH. Each failed input is printed on
# standard output as one line, `<input><tab><its messages on one line>`;
# the messages hold no tab, so a line splits at its last tab.

# output_of <outdir> <input>: sets out to the output of input: the input's
# path under outdir, less a leading /, a final .gz and then a final .cif,
# .mmcif, .pdb or .ent, which .pdb replaces.
output_of() {
  out=${2#/}
  out=${out%.gz}
  case $out in
    *.cif | *.mmcif | *.pdb | *.ent) out=${out%.*}.pdb ;;
  esac
  out=$1/$out
}

# fail <input> <messages>: prints the failure line; the progress line is no
# failure, and the other lines become one.
fail() {
  local text
  text=$(printf '%s\n' "$2" | grep -v '^Writing data to ' | tr '\t' ' ' |
    tr -s '\n' ' ')
  text=${text% }
  printf '%s\t%s\n' "$(printf '%s' "$1" | tr '\n' ' ')" \
    "${text:-failed without a message}"
  return 1
}

# convert <input> <name> <outdir>: converts input to the output of name,
# unless that output exists.
convert() {
  local messages
  output_of "$3" "$2"
  [ -e "$out" ] && return 0
  if [ ! -d "${out%/*}" ]; then
    messages=$(mkdir -p -- "${out%/*}" 2>&1) || { fail "$2" "$messages"; return; }
  fi
  messages=$(pdb_convert "$1" "$out" 2>&1) || fail "$2" "$messages"
}

# start: a signal ends this shell once the conversion in flight has ended
# (Slurm, GNU parallel and a terminal signal it too), so after the program
# has removed its unfinished output; the script waiting on this shell's
# pipe (see save_failures) outlives it. The shell then dies by the signal,
# so that whoever started it sees how it ended.
start() {
  trap 'trap - TERM; kill -s TERM $$' TERM
  trap 'trap - INT; kill -s INT $$' INT
  trap 'trap - HUP; kill -s HUP $$' HUP
}

# convert_inputs <outdir> <input>...: converts each input (empty names are
# skipped); status 1 where any failed.
convert_inputs() {
  local outdir=$1 input status=0
  shift
  start
  for input; do
    [ -z "$input" ] || convert "$input" "$input" "$outdir" || status=1
  done
  return $status
}

# convert_member <outdir>: converts standard input, tar's member named by
# TAR_FILENAME, as tar's --to-command runs it, with the umask of the script
# that ran tar, PDB_CONVERT_UMASK (tar run by root clears it, which would
# make the outputs and their directories writable by all). A failure is
# told by its line, not by the status, so that tar adds no message.
convert_member() {
  umask "$PDB_CONVERT_UMASK"
  start
  convert /dev/stdin "$TAR_FILENAME" "$1"
  return 0
}

# save_failures <file>: copies the failure lines read to file, made anew,
# with its directory; where there are none, no file is left. Status 1 where
# there were any. A SIGTERM to the whole job (Slurm's scancel or time limit)
# leaves it reading until every conversion that holds its pipe has ended,
# so that the script waiting for it outlives them: where Slurm tracks a
# job's processes by cgroup, it kills what is left of them with SIGKILL
# once the script ends, which would leave the program's hidden file.
save_failures() {
  local line
  trap '' TERM
  rm -f -- "$1"
  IFS= read -r line || return 0
  mkdir -p -- "${1%/*}" && { printf '%s\n' "$line" && cat; } > "$1"
  return 1
}

if [ "${0##*/}" = convert_lib.sh ]; then
  "$@"
fi
