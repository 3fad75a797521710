#!/bin/bash
# Times pdb_convert against its peers on one large file, plain and gzipped,
# and on many small ones; measures its peak memory on the large file and on
# one of 2 GiB, and counts its instructions per coordinate record with
# callgrind. Prints figures only; nothing here passes or fails.
#
# usage: bench/run.sh [scratch dir]     (default: build/bench-data)
#   ROUNDS=n   rounds on the large file (default 5); the small set gets
#              ROUNDS_SMALL (default 3). In each round every program runs
#              once, in turn, so that a change in the machine's load falls
#              on all of them alike.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
data=${1:-$root/build/bench-data}
rounds=${ROUNDS:-5}
rounds_small=${ROUNDS_SMALL:-3}
awk_program=$root/bench/convert.awk

install_peers() {
  local missing=()
  command -v gemmi > /dev/null || missing+=(gemmi)
  command -v mawk > /dev/null || missing+=(mawk)
  command -v valgrind > /dev/null || missing+=(valgrind)
  [ -x /usr/bin/time ] || missing+=(time)
  [ ${#missing[@]} -eq 0 ] && return
  local sudo=
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get install -y -q "${missing[@]}" > /dev/null
}

build() {
  (cd "$root" && cmake --preset bench > /dev/null &&
    cmake --build --preset bench --target pdb_convert make_pdb > /dev/null)
  exe=$root/build/bench/pdb_convert
  make_pdb=$root/build/bench/bench/make_pdb
}

make_inputs() {
  mkdir -p "$data"
  [ -f "$data/large.pdb" ] ||
    "$make_pdb" file "$data/large.pdb" 100000000 1
  [ -f "$data/large.pdb.gz" ] || gzip -k "$data/large.pdb"
  [ -f "$data/2gib.pdb" ] ||
    "$make_pdb" file "$data/2gib.pdb" $((2 << 30)) 4
  [ -f "$data/callgrind.pdb" ] ||
    "$make_pdb" file "$data/callgrind.pdb" 5000000 3
  if [ ! -f "$data/small/1999.pdb" ]; then
    rm -rf "$data/small" && mkdir -p "$data/small"
    "$make_pdb" set "$data/small" 2000 50000 500000 2
  fi
}

# Each program converts $1 into $2, as one process.
run_pdb_convert() { "$exe" "$1" "$2" 2> /dev/null; }
run_gemmi() { gemmi convert "$1" "$2"; }
run_mawk() { mawk -f "$awk_program" "$1" > "$2"; }
run_grep() { grep '^ATOM' "$1" > "$2" || true; }
run_cat() { cat "$1" > "$2"; }
# The gzipped large file, read as it is and decompressed by zcat into a pipe.
run_gzip() { "$exe" "$1.gz" "$2" 2> /dev/null; }
run_zcat() { zcat "$1.gz" | "$exe" /dev/stdin "$2" 2> /dev/null; }
programs=(pdb_convert gemmi mawk grep cat)
programs_large=(pdb_convert gzip zcat gemmi mawk grep cat)
label_pdb_convert=pdb_convert
label_gzip="pdb_convert IN.gz"
label_zcat="zcat IN.gz | pdb_convert"
label_gemmi="gemmi convert"
label_mawk="awk program (mawk)"
label_grep="grep '^ATOM'"
label_cat=cat

# seconds <command...>: the wall time of the command.
seconds() {
  local start=$EPOCHREALTIME
  "$@"
  awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f\n", b - a }'
}

convert_large() { "run_$1" "$data/large.pdb" "$data/out/large.$1.pdb"; }

convert_small() {
  local file
  for file in "$data"/small/*.pdb; do
    "run_$1" "$file" "$data/out/small.$1/${file##*/}"
  done
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# time_set <set> <rounds> <program...>: fills $times/<set>.<program> with one
# line a round.
time_set() {
  local set=$1 n=$2 round program
  shift 2
  for program; do
    mkdir -p "$data/out/small.$program"
    : > "$times/$set.$program"
  done
  for ((round = 1; round <= n; ++round)); do
    for program; do
      seconds "convert_$set" "$program" >> "$times/$set.$program"
    done
  done
}

# ratios <set> <a> <b>: a's time over b's, one a round, in the same round.
ratios() {
  paste "$times/$1.$2" "$times/$1.$3" | awk '{ printf "%.3f\n", $1 / $2 }'
}

# range: "median (lowest-highest)" of the numbers read.
range() {
  sort -n | awk '{ v[NR] = $1 }
    END { printf "%.2f (%.2f-%.2f)", v[int((NR + 1) / 2)], v[1], v[NR] }'
}

# print_times <set> <title> <program...>: medians, and each program's time
# beside pdb_convert's in the same round.
print_times() {
  local set=$1 title=$2 program label
  shift 2
  printf '\n%s\n' "$title"
  printf '| %-26s | %8s | %-25s |\n' program "median s" \
    "pdb_convert/it per round"
  printf '|%s|%s|%s|\n' ---------------------------- ---------- \
    ---------------------------
  for program; do
    label=label_$program
    printf '| %-26s | %8s | %-25s |\n' "${!label}" \
      "$(median < "$times/$set.$program")" \
      "$(ratios "$set" pdb_convert "$program" | range)"
  done
}

records() { grep -c -E '^(ATOM|HETATM)' "$1"; }

# peak_kib <input> <form>: peak resident memory of a conversion of input, read
# from the file or through a pipe, in KiB.
peak_kib() {
  if [ "$2" = file ]; then
    /usr/bin/time -f %M "$exe" "$1" "$data/out/memory.pdb" 2>&1 > /dev/null
  else
    /usr/bin/time -f %M "$exe" /dev/stdin "$data/out/memory.pdb" \
      2>&1 > /dev/null < <(cat "$1")
  fi | tail -n 1
}

# peak_held_kib <input>: the same through standard output, an output that
# is written where it lies and so is held until the input is read.
peak_held_kib() {
  /usr/bin/time -f %M -o "$data/out/held.kib" "$exe" "$1" /dev/stdout \
    > "$data/out/memory.pdb" 2> /dev/null
  tail -n 1 "$data/out/held.kib"
}

print_memory() {
  local input n form cells
  printf '\npeak resident memory, MiB:\n'
  printf '| %-36s | %13s | %14s |\n' input "from the file" "through a pipe"
  printf '|%s|%s|%s|\n' -------------------------------------- \
    --------------- ----------------
  for input in large 2gib; do
    cells=()
    for form in file pipe; do
      cells+=("$(awk -v k="$(peak_kib "$data/$input.pdb" $form)" \
        'BEGIN { printf "%.1f", k / 1024 }')")
    done
    printf '| %-36s | %13s | %14s |\n' \
      "$input.pdb, $(($(stat -c %s "$data/$input.pdb") >> 20)) MiB" \
      "${cells[@]}"
  done
  n=$(grep -c '^ATOM' "$data/large.pdb")
  printf '\nheld until the input is read (output /dev/stdout), large.pdb:\n'
  awk -v k="$(peak_held_kib "$data/large.pdb")" -v n="$n" \
    'BEGIN { printf "%.1f MiB, %.1f bytes per ATOM record\n", k / 1024,
             k * 1024 / n }'
}

# Instruction counts do not depend on the machine's load, as times do.
print_instructions() {
  local out=$data/out/callgrind.out
  valgrind --tool=callgrind --callgrind-out-file="$out" \
    "$exe" "$data/callgrind.pdb" "$data/out/callgrind.pdb" > /dev/null 2>&1
  callgrind_annotate --inclusive=yes "$out" 2> /dev/null |
    awk -v n="$(records "$data/callgrind.pdb")" '
      function count(s) { gsub(",", "", s); return s + 0 }
      /PROGRAM TOTALS/ { total = count($1) }
      {
        for (f in wanted) {
          if (index($0, ":" f "(") && !(f in part)) part[f] = count($1)
        }
      }
      BEGIN {
        split("read_line put_integer put_coordinate trimmed", names, " ")
        for (i in names) wanted[names[i]] = 1
      }
      END {
        printf "\ninstructions per coordinate record (callgrind, %d records, 5 MB),\n", n
        printf "the whole run, from the start of the program:\n"
        printf "| %-28s | %8s |\n", "spent in", "per rec"
        printf "|%s|%s|\n", "------------------------------", "----------"
        inside = 0
        for (i = 1; i <= 4; ++i) {
          inside += part[names[i]]
          printf "| %-28s | %8.0f |\n", names[i], part[names[i]] / n
        }
        printf "| %-28s | %8.0f |\n", "everything else", (total - inside) / n
        printf "| %-28s | %8.0f |\n", "in all", total / n
      }'
}

install_peers
build
make_inputs
mkdir -p "$data/out"
times=$data/out/times
mkdir -p "$times"

# Every timed output must be right: check it against the awk program once,
# and the gzipped input's against the plain one's.
run_pdb_convert "$data/large.pdb" "$data/out/check.pdb"
run_mawk "$data/large.pdb" "$data/out/check.awk.pdb"
cmp "$data/out/check.pdb" "$data/out/check.awk.pdb"
run_gzip "$data/large.pdb" "$data/out/check.gz.pdb"
cmp "$data/out/check.pdb" "$data/out/check.gz.pdb"

time_set large "$rounds" "${programs_large[@]}"
time_set small "$rounds_small" "${programs[@]}"
print_times large "large: one file of $(($(stat -c %s "$data/large.pdb") / 1000000)) MB ($(($(stat -c %s "$data/large.pdb.gz") / 1000000)) MB gzipped), $(records "$data/large.pdb") coordinate records, $rounds rounds" "${programs_large[@]}"
print_times small "small: $(ls "$data/small" | wc -l) files of 50-500 KB, one process each, $rounds_small rounds" "${programs[@]}"
print_memory
print_instructions
