#!/bin/bash
# Times pdb_convert against its peers on one large file and on many small
# ones, and counts its instructions per coordinate record with callgrind.
# Prints figures only; nothing here passes or fails.
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
programs=(pdb_convert gemmi mawk grep cat)
label_pdb_convert=pdb_convert
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

# time_set <set> <rounds>: fills $times/<set>.<program> with one line a round.
time_set() {
  local set=$1 n=$2 round program
  for program in "${programs[@]}"; do
    mkdir -p "$data/out/small.$program"
    : > "$times/$set.$program"
  done
  for ((round = 1; round <= n; ++round)); do
    for program in "${programs[@]}"; do
      seconds "convert_$set" "$program" >> "$times/$set.$program"
    done
  done
}

print_times() {
  local set=$1 title=$2 program ours theirs label
  ours=$(median < "$times/$set.pdb_convert")
  printf '\n%s\n' "$title"
  printf '| %-20s | %10s | %16s |\n' program "median s" "pdb_convert/it"
  printf '|%s|%s|%s|\n' ---------------------- ------------ ------------------
  for program in "${programs[@]}"; do
    theirs=$(median < "$times/$set.$program")
    label=label_$program
    printf '| %-20s | %10s | %16s |\n' "${!label}" "$theirs" \
      "$(awk -v a="$ours" -v b="$theirs" 'BEGIN { printf "%.2f", a / b }')"
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

# A list grown by doubling peaks at twice its size just past a power of two.
print_memory() {
  local input label n form cells
  [ -f "$data/pow2.pdb" ] ||
    awk -v n=$((1 << 20 | 1)) '/^(ATOM|HETATM)/ && ++k <= n' \
      "$data/large.pdb" > "$data/pow2.pdb"
  printf '\npeak resident memory, bytes per coordinate record:\n'
  printf '| %-34s | %13s | %14s |\n' input "from the file" "through a pipe"
  printf '|%s|%s|%s|\n' ------------------------------------ --------------- \
    ----------------
  for input in large pow2; do
    n=$(records "$data/$input.pdb")
    label="$input.pdb, $n records"
    cells=()
    for form in file pipe; do
      cells+=("$(awk -v k="$(peak_kib "$data/$input.pdb" $form)" -v n="$n" \
        'BEGIN { printf "%.1f", k * 1024 / n }')")
    done
    printf '| %-34s | %13s | %14s |\n' "$label" "${cells[@]}"
  done
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
      / [^ ]*:fprintf \[/ { part["fprintf"] = count($1) }
      / [^ ]*:strtod \[/ { part["atof (strtod)"] = count($1) }
      / [^ ]*:strtol \[/ { part["atoi (strtol)"] = count($1) }
      / [^ ]*:getdelim \[/ { part["getline"] = count($1) }
      END {
        printf "\ninstructions per coordinate record (callgrind, %d records, 5 MB):\n", n
        printf "| %-16s | %8s | %6s |\n", "spent in", "per rec", "share"
        printf "|%s|%s|%s|\n", "------------------", "----------", "--------"
        inside = 0
        split("fprintf,atof (strtod),atoi (strtol),getline", names, ",")
        for (i = 1; i <= 4; ++i) {
          inside += part[names[i]]
          printf "| %-16s | %8.0f | %5.1f%% |\n", names[i], part[names[i]] / n,
            100 * part[names[i]] / total
        }
        printf "| %-16s | %8.0f | %5.1f%% |\n", "everything else",
          (total - inside) / n, 100 * (total - inside) / total
        printf "| %-16s | %8.0f | %5.1f%% |\n", "in all", total / n, 100
      }'
}

install_peers
build
make_inputs
mkdir -p "$data/out"
times=$data/out/times
mkdir -p "$times"

# Every timed output must be right: check it against the awk program once.
run_pdb_convert "$data/large.pdb" "$data/out/check.pdb"
run_mawk "$data/large.pdb" "$data/out/check.awk.pdb"
cmp "$data/out/check.pdb" "$data/out/check.awk.pdb"

time_set large "$rounds"
time_set small "$rounds_small"
print_times large "large: one file of $(($(stat -c %s "$data/large.pdb") / 1000000)) MB, $(records "$data/large.pdb") coordinate records, median of $rounds rounds"
print_times small "small: $(ls "$data/small" | wc -l) files of 50-500 KB, one process each, median of $rounds_small rounds"
print_memory
print_instructions
