#!/bin/bash
# Times pdb_convert against its peers on one large file, plain and gzipped
# (inflated by ISA-L and by zlib, the inflater where ISA-L is missing), and
# on many small ones, where the static program runs too; times starting the
# program and exiting at once; measures its peak memory on the large file
# and on one of 2 GiB, and counts its instructions per coordinate record
# with callgrind. Does the same for an mmCIF file of about a million
# _atom_site rows. Times pdb_convert_many on 1,000 small models of each kind,
# beside a process a file. Prints figures only; nothing here passes or fails.
#
# usage: bench/run.sh [scratch dir]     (default: build/bench-data)
#   ROUNDS=n   rounds on the large file and on the mmCIF file (default 5);
#              the small set gets ROUNDS_SMALL (default 3). In each round
#              every program runs once, in turn, so that a change in the
#              machine's load falls on all of them alike.
#   ONLY=pdb   only the PDB inputs; ONLY=mmcif only the mmCIF one, a
#              minute or two: ONLY=mmcif ROUNDS=3 bench/run.sh; ONLY=small
#              only the small files and the starts, without the peers
#              slower than cat; ONLY=many only pdb_convert_many's part
#   ROUNDS_MANY=n   rounds of pdb_convert_many's part (default 3)
#   MMCIF_ENTRY=path   the mmCIF entry whose models are repeated into the
#              mmCIF input (plain or gzipped, one _atom_site row a line, with
#              _atom_site.id and pdbx_PDB_model_num, and coordinates of three
#              decimals as the archive's: gemmi rounds longer ones its own
#              way, which the check of the output does not excuse). By
#              default the NMR entry 1gya from ../shared/data/mmcif/pairs
#              beside the clone; where there is none, the mmCIF that gemmi
#              writes for the generated callgrind.pdb.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
data=${1:-$root/build/bench-data}
rounds=${ROUNDS:-5}
rounds_small=${ROUNDS_SMALL:-3}
rounds_start=$((rounds_small * 5))
rounds_many=${ROUNDS_MANY:-3}
only=${ONLY:-}
awk_program=$root/bench/convert.awk
case $only in
  "" | pdb | mmcif | small | many) ;;
  *)
    echo "ONLY is pdb, mmcif, small or many, not $only" >&2
    exit 2
    ;;
esac

# part <pdb|mmcif|small>: whether that part of the benchmark runs; the small
# files are part of the PDB inputs.
part() {
  [ -z "$only" ] || [ "$only" = "$1" ] ||
    { [ "$1" = small ] && [ "$only" = pdb ]; }
}

install_peers() {
  local missing=()
  command -v gemmi > /dev/null || missing+=(gemmi)
  command -v mawk > /dev/null || missing+=(mawk)
  command -v igzip > /dev/null || missing+=(isal)
  command -v valgrind > /dev/null || missing+=(valgrind)
  command -v hyperfine > /dev/null || missing+=(hyperfine)
  [ -x /usr/bin/time ] || missing+=(time)
  [ ${#missing[@]} -eq 0 ] && return
  local sudo=
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get install -y -q "${missing[@]}" > /dev/null
}

# The program as the bench preset builds it, with ISA-L where it is found;
# the same with zlib, the inflater where ISA-L is missing; and the static
# program, as the static preset builds it.
build() {
  (cd "$root" && cmake --preset bench > /dev/null &&
    cmake --build --preset bench --target pdb_convert pdb_convert_many \
      make_pdb > /dev/null &&
    cmake --preset bench -B build/bench-zlib -DPDB_CONVERT_INFLATE=zlib \
      > /dev/null &&
    cmake --build build/bench-zlib -j 2 --target pdb_convert > /dev/null &&
    cmake --preset bench -B build/bench-static -DPDB_CONVERT_STATIC=ON \
      -DPDB_CONVERT_INFLATE=zlib > /dev/null &&
    cmake --build build/bench-static -j 2 --target pdb_convert > /dev/null)
  exe=$root/build/bench/pdb_convert
  exe_many=$root/build/bench/pdb_convert_many
  exe_zlib=$root/build/bench-zlib/pdb_convert
  exe_static=$root/build/bench-static/pdb_convert
  make_pdb=$root/build/bench/bench/make_pdb
  # What time_starts starts for each program.
  start_pdb_convert=$exe
  start_static=$exe_static
  start_true=/bin/true
  # A run on a one-record file, to a new output, removed before each start
  # and untimed: what a run costs beyond its records. Replacing a file
  # would add its file system's freeing of the old one, the same for any
  # program.
  start_one="$exe $data/one.pdb $data/one.out.pdb"
  start_one_static="$exe_static $data/one.pdb $data/one.out.pdb"
  prepare_one="rm -f $data/one.out.pdb"
  prepare_one_static=$prepare_one
}

make_callgrind_pdb() {
  [ -f "$data/callgrind.pdb" ] ||
    "$make_pdb" file "$data/callgrind.pdb" 5000000 3
}

make_small_inputs() {
  mkdir -p "$data"
  grep -m 1 "^ATOM" "$root/examples/peptide.pdb" > "$data/one.pdb"
  if [ ! -f "$data/small/1999.pdb" ]; then
    rm -rf "$data/small" && mkdir -p "$data/small"
    "$make_pdb" set "$data/small" 2000 50000 500000 2
  fi
}

make_pdb_inputs() {
  mkdir -p "$data"
  [ -f "$data/large.pdb" ] ||
    "$make_pdb" file "$data/large.pdb" 100000000 1
  [ -f "$data/large.pdb.gz" ] || gzip -k "$data/large.pdb"
  [ -f "$data/2gib.pdb" ] ||
    "$make_pdb" file "$data/2gib.pdb" $((2 << 30)) 4
  make_callgrind_pdb
}

# repeat_models <entry> <rows> <out>: writes the entry again with its
# _atom_site models repeated, in turn, under fresh pdbx_PDB_model_num values
# and ids, until there are at least <rows> rows: what the archive would write
# for an ensemble of that many models, so that every row is one a real file
# holds. The rows keep their spacing; the two renumbered columns are padded
# to their widest value, as the archive pads every column.
repeat_models() {
  zcat -f "$1" | awk -v want="$2" -v entry="$1" '
    function fail(why) {
      print entry ": " why > "/dev/stderr"
      failed = 1
      exit 1
    }
    # The text from field a to field b with the blanks after each but the last.
    function span(a, b,   j, t) {
      t = ""
      for (j = a; j <= b; ++j) t = t field[j] (j < b ? gap[j] : "")
      return t
    }
    state == 0 && after_loop && tolower($1) ~ /^_atom_site\./ { state = 1 }
    state == 0 { head = head $0 "\n"; after_loop = $1 == "loop_"; next }
    state == 1 && /^_/ {
      tags++
      if (tolower($1) == "_atom_site.id") id = tags
      if (tolower($1) == "_atom_site.pdbx_pdb_model_num") model = tags
      head = head $0 "\n"
      next
    }
    state == 1 {
      if (!id || !model) fail("no _atom_site.id or pdbx_PDB_model_num")
      first = id < model ? id : model
      second = id < model ? model : id
      state = 2
    }
    state == 2 && (NF == 0 || /^(#|_|loop_|data_)/) { state = 3 }
    state == 2 {
      if (NF != tags) fail("line " NR " is not one row of " tags " values")
      line = $0
      n = 0
      match(line, /^[ \t]*/)
      lead = substr(line, 1, RLENGTH)
      line = substr(line, RLENGTH + 1)
      while (line != "") {
        match(line, /^[^ \t]+/)
        field[++n] = substr(line, 1, RLENGTH)
        line = substr(line, RLENGTH + 1)
        match(line, /^[ \t]*/)
        gap[n] = substr(line, 1, RLENGTH)
        line = substr(line, RLENGTH + 1)
      }
      ++rows
      # A run of rows of one model is one model to repeat.
      if (rows == 1 || $model != last_model) sizes[++models] = 0
      ++sizes[models]
      last_model = $model
      before[rows] = lead (first > 1 ? span(1, first - 1) gap[first - 1] : "")
      between[rows] = ""
      if (second > first + 1)
        between[rows] = span(first + 1, second - 1) gap[second - 1]
      after[rows] = second < n ? span(second + 1, n) gap[n] : ""
      next
    }
    { tail = tail $0 "\n" }
    END {
      if (failed) exit 1
      if (!rows) fail("no _atom_site loop")
      for (total = copies = 0; total < want; ++copies)
        total += sizes[copies % models + 1]
      wide_id = length(total)
      wide_model = length(copies)
      printf "%s", head
      for (written = copy = 0; copy < copies; ++copy) {
        end = 0
        for (m = 1; m <= copy % models; ++m) end += sizes[m]
        start = end + 1
        end += sizes[copy % models + 1]
        for (r = start; r <= end; ++r) {
          ++written
          a = sprintf("%-" wide_id "s", written)
          b = sprintf("%-" wide_model "s", copy + 1)
          if (id > model) { t = a; a = b; b = t }
          printf "%s%s %s%s %s\n", before[r], a, between[r], b, after[r]
        }
      }
      printf "%s", tail
    }' > "$3.new"
  mv "$3.new" "$3"
}

# atom_site_rows <file>: the rows of the _atom_site loop, one a line.
atom_site_rows() {
  awk 'tolower($1) ~ /^_atom_site\./ { tags = 1; next }
    tags && (NF == 0 || /^(#|_|loop_|data_)/) { exit }
    tags { ++rows }
    END { print rows + 0 }' "$1"
}

default_entry=$root/../shared/data/mmcif/pairs/1gya.cif.gz

make_mmcif_inputs() {
  local entry
  mkdir -p "$data"
  if [ -n "${MMCIF_ENTRY:-}" ]; then
    entry=$(realpath -e "$MMCIF_ENTRY")
    mmcif_source=${entry##*/}
  elif [ -f "$default_entry" ]; then
    entry=$(realpath -e "$default_entry")
    mmcif_source=${entry##*/}
  else
    # A clone without ../shared has no real entry: the generated structure,
    # as gemmi writes it in mmCIF with columns aligned, stands in for one.
    make_callgrind_pdb
    entry=$data/callgrind.gemmi.cif
    [ -f "$entry" ] ||
      gemmi convert --style=aligned -L "$data/callgrind.pdb" "$entry"
    mmcif_source="callgrind.pdb written by gemmi as mmCIF"
  fi
  # Made from another entry or to other sizes before: make them again.
  local made="$entry 1000000 55000"
  if [ "$(cat "$data/mmcif.source" 2> /dev/null)" != "$made" ]; then
    rm -f "$data/mmcif.cif" "$data/mmcif.cif.gz" "$data/callgrind.cif" \
      "$data/mmcif.line.cif" "$data/mmcif.cr.cif" "$data/callgrind.line.cif" \
      "$data/callgrind.cr.cif" "$data/mmcif.single.cif" \
      "$data/mmcif.single.cif.gz"
  fi
  [ -f "$data/mmcif.cif" ] || repeat_models "$entry" 1000000 "$data/mmcif.cif"
  [ -f "$data/mmcif.cif.gz" ] || gzip -k "$data/mmcif.cif"
  [ -f "$data/mmcif.single.cif" ] ||
    single_spaced "$data/mmcif.cif" "$data/mmcif.single.cif"
  [ -f "$data/mmcif.single.cif.gz" ] || gzip -k "$data/mmcif.single.cif"
  [ -f "$data/held.cif" ] || held_rows 2000000 "$data/held.cif"
  [ -f "$data/held.cif.gz" ] || gzip -k "$data/held.cif"
  make_layout_inputs
  [ -f "$data/callgrind.cif" ] ||
    repeat_models "$entry" 55000 "$data/callgrind.cif"
  [ -f "$data/mmcif.line.cif" ] ||
    rows_ended_by "$data/mmcif.cif" " " "$data/mmcif.line.cif"
  [ -f "$data/mmcif.cr.cif" ] ||
    rows_ended_by "$data/mmcif.cif" $'\r' "$data/mmcif.cr.cif"
  [ -f "$data/callgrind.line.cif" ] ||
    rows_ended_by "$data/callgrind.cif" " " "$data/callgrind.line.cif"
  [ -f "$data/callgrind.cr.cif" ] ||
    rows_ended_by "$data/callgrind.cif" $'\r' "$data/callgrind.cr.cif"
  echo "$made" > "$data/mmcif.source"
}

# single_spaced <in> <out>: in, with one blank between the values of each
# row of its _atom_site loop, as gemmi, Boltz and OpenMM write them.
single_spaced() {
  awk 'tolower($1) ~ /^_atom_site\./ { tags = 1; print; next }
    tags && (NF == 0 || /^(#|_|loop_|data_)/) { tags = 0 }
    tags { $1 = $1 }
    { print }' "$1" > "$2"
}

# held_rows <n> <out>: n _atom_site rows of models of 1,000 and no _entity,
# so that every row is held until the data block ends.
held_rows() {
  {
    printf 'data_held\nloop_\n'
    printf '_atom_site.%s\n' group_PDB id type_symbol label_atom_id \
      label_alt_id label_comp_id label_asym_id label_entity_id label_seq_id \
      pdbx_PDB_ins_code Cartn_x Cartn_y Cartn_z occupancy B_iso_or_equiv \
      pdbx_formal_charge auth_seq_id auth_comp_id auth_asym_id auth_atom_id \
      pdbx_PDB_model_num
    awk -v n="$1" 'BEGIN {
      for (i = 0; i < n; ++i)
        printf "ATOM %d N N . MET A 1 %d ? -11.104 6.134 -6.504 1.00 20.00 ? %d MET A N %d\n",
          i % 1000 + 1, i % 1000 / 8 + 1, i % 1000 / 8 + 1, int(i / 1000) + 1
    }'
  } > "$2"
}

# The entries whose rows' instructions are counted in five layouts: 1aki and
# 2d0f aligned and single-spaced, and 4gxy aligned, with quoted atom names.
layout_entries=(1aki 2d0f 4gxy)

make_layout_inputs() {
  local name entry
  for name in "${layout_entries[@]}"; do
    entry=$root/../shared/data/mmcif/pairs/$name.cif
    [ -f "$entry" ] || continue
    [ -f "$data/layout.$name.cif" ] ||
      repeat_models "$entry" 60000 "$data/layout.$name.cif"
    [ "$name" = 4gxy ] || [ -f "$data/layout.$name.single.cif" ] ||
      single_spaced "$data/layout.$name.cif" "$data/layout.$name.single.cif"
  done
}

# rows_ended_by <in> <separator> <out>: in, with each row of its _atom_site
# loop ended by separator in place of a line feed: a blank puts the loop on
# one line, a CR gives it CR line ends.
rows_ended_by() {
  awk -v separator="$2" '
    tolower($1) ~ /^_atom_site\./ { tags = 1; print; next }
    tags && (NF == 0 || /^(#|_|loop_|data_)/) {
      if (rows) printf "\n"
      tags = rows = 0
    }
    tags { printf "%s%s", $0, separator; rows = 1; next }
    { print }' "$1" > "$3"
}

# Each program converts $1 into $2, as one process.
run_pdb_convert() { "$exe" "$1" "$2" 2> /dev/null; }
run_gemmi() { gemmi convert "$1" "$2"; }
run_mawk() { mawk -f "$awk_program" "$1" > "$2"; }
run_grep() { grep '^ATOM' "$1" > "$2" || true; }
run_cat() { cat "$1" > "$2"; }
# The gzipped large file, read as it is and decompressed by zcat into a pipe.
run_gzip() { "$exe" "$1.gz" "$2" 2> /dev/null; }
run_zlib() { "$exe_zlib" "$1.gz" "$2" 2> /dev/null; }
run_zcat() { zcat "$1.gz" | "$exe" /dev/stdin "$2" 2> /dev/null; }
run_static() { "$exe_static" "$1" "$2" 2> /dev/null; }
# ISA-L's own tool inflating the gzipped file alone: what pdb_convert IN.gz
# does less the conversion, with the same inflater.
run_igzip() { igzip -dc "$1.gz" > "$2"; }
# The mmCIF file with its loop on one line, and with CR line ends.
run_line() { "$exe" "${1%.cif}.line.cif" "$2" 2> /dev/null; }
run_cr() { "$exe" "${1%.cif}.cr.cif" "$2" 2> /dev/null; }
# The mmCIF file with one blank between values, plain and gzipped.
run_single() { "$exe" "${1%.cif}.single.cif" "$2" 2> /dev/null; }
run_single_gzip() { "$exe" "${1%.cif}.single.cif.gz" "$2" 2> /dev/null; }
run_single_igzip() { igzip -dc "${1%.cif}.single.cif.gz" > "$2"; }
programs=(pdb_convert static gemmi mawk grep cat)
[ "$only" != small ] || programs=(pdb_convert static cat)
programs_large=(pdb_convert gzip zlib zcat gemmi mawk grep cat)
programs_mmcif=(pdb_convert gzip igzip line cr single single_gzip single_igzip
  gemmi cat)
label_pdb_convert=pdb_convert
label_gzip="pdb_convert IN.gz"
label_zlib="pdb_convert IN.gz, zlib"
label_zcat="zcat IN.gz | pdb_convert"
label_static="pdb_convert, static"
label_igzip="igzip -dc IN.gz"
label_line="pdb_convert, one line"
label_cr="pdb_convert, CR ends"
label_single="single-spaced"
label_single_gzip="single-spaced IN.gz"
label_single_igzip="igzip -dc, single-spaced"
label_gemmi="gemmi convert"
label_mawk="awk program (mawk)"
label_grep="grep '^ATOM'"
label_cat=cat
label_true=/bin/true
label_one="pdb_convert, one record"
label_one_static="static, one record"

# The timed mmCIF output must be right: the same rows, written in PDB format
# by gemmi and converted, give the same records line for line, and so do the
# gzipped file and the loop on one line or with CR line ends. On 1gya gemmi
# numbers the serials and TER records as the archive's own PDB file does,
# and every line is the same. gemmi's PDB parts from the archive's in one
# way, which the fallback input shows: a name that begins with a digit (2HB)
# starts in column 13, where the archive's rule starts a name of three
# characters in 14. Lines that differ only so are counted and excused.
check_mmcif() {
  local ours=$data/out/check.cif.pdb theirs=$data/out/check.gemmi.out.pdb
  run_pdb_convert "$data/mmcif.cif" "$ours"
  gemmi convert "$data/mmcif.cif" "$data/out/check.gemmi.pdb"
  run_pdb_convert "$data/out/check.gemmi.pdb" "$theirs"
  [ -s "$theirs" ]
  awk -v theirs="$theirs" '
    {
      if ((getline line < theirs) <= 0) fail("a line more than " theirs)
      if ($0 == line) next
      if (digit_name($0, line) && spaced_alike($0, line)) ++digits
      else fail("line " FNR " is not that of " theirs ":\n" $0 "\n" line)
    }
    function digit_name(a, b) {
      return substr(a, 13, 2) ~ /[0-9]/ || substr(b, 13, 2) ~ /[0-9]/
    }
    # The same but for the blanks in and around the name and alternate
    # location: the same words, those between the serial and the residue
    # name run together.
    function spaced_alike(a, b,   i, x, y, m, n, p, q) {
      m = split(a, x)
      n = split(b, y)
      if (x[1] != y[1] || x[2] != y[2]) return 0
      for (i = 0; i < 6; ++i) if (x[m - i] != y[n - i]) return 0
      for (i = 3; i <= m - 6; ++i) p = p x[i]
      for (i = 3; i <= n - 6; ++i) q = q y[i]
      return p == q
    }
    function fail(why) {
      print FILENAME ": " why > "/dev/stderr"
      failed = 1
      exit 1
    }
    END {
      if (failed) exit 1
      if ((getline line < theirs) > 0) fail("a line less than " theirs)
      if (digits > 0)
        printf "mmcif check: excused %d lines for a name that begins " \
          "with a digit\n", digits
    }' "$ours"
  local form
  for form in gzip line cr single single_gzip; do
    "run_$form" "$data/mmcif.cif" "$data/out/check.cif.$form.pdb"
    cmp "$ours" "$data/out/check.cif.$form.pdb"
  done
}

# seconds <command...>: the wall time of the command.
seconds() {
  local start=$EPOCHREALTIME
  "$@"
  awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f\n", b - a }'
}

convert_large() { "run_$1" "$data/large.pdb" "$data/out/large.$1.pdb"; }

convert_mmcif() { "run_$1" "$data/mmcif.cif" "$data/out/mmcif.$1.pdb"; }

# time_starts <rounds> <program...>: the fixed cost of a run, the program
# started with no arguments, which exits at once with its usage line, and
# converting a file of one record into a new output, beside /bin/true. hyperfine starts each kStarts times without a shell, in turn
# each round, short rounds so that the load of a shared machine changes
# little within one; $times/start.<program> gets the median seconds a start,
# one line a round.
kStarts=300
time_starts() {
  local n=$1 round program command prepare
  shift
  for program; do : > "$times/start.$program"; done
  for ((round = 1; round <= n; ++round)); do
    for program; do
      command=start_$program
      prepare=prepare_$program
      hyperfine -N -i --warmup 20 --runs "$kStarts" \
        ${!prepare:+--prepare "${!prepare}"} \
        --export-json "$times/start.json" "${!command}" > /dev/null 2>&1
      awk -F': *' '/"median"/ { sub(",", "", $2); print $2; exit }' \
        "$times/start.json" >> "$times/start.$program"
    done
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

# time_small <rounds> <program...>: as time_set for the small files, but the
# programs take turns at each file rather than at each round, so that the
# load of a shared machine, which changes within the seconds of a round,
# falls on all of them alike. Each file is first read by the next program
# in turn: the first to read a file reads it from memory, the others from
# the processor's cache. Times are summed in microseconds, as bash counts
# them.
time_small() {
  local n=$1 round program file start first=0 i
  shift
  local -a turn=("$@")
  local -A spent
  for program; do
    mkdir -p "$data/out/small.$program"
    : > "$times/small.$program"
  done
  for ((round = 1; round <= n; ++round)); do
    for program; do spent[$program]=0; done
    for file in "$data"/small/*.pdb; do
      for ((i = 0; i < ${#turn[@]}; ++i)); do
        program=${turn[(first + i) % ${#turn[@]}]}
        start=${EPOCHREALTIME/./}
        "run_$program" "$file" "$data/out/small.$program/${file##*/}"
        spent[$program]=$((spent[$program] + ${EPOCHREALTIME/./} - start))
      done
      first=$(((first + 1) % ${#turn[@]}))
    done
    for program; do
      awk -v us="${spent[$program]}" 'BEGIN { printf "%.3f\n", us / 1e6 }' \
        >> "$times/small.$program"
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

# print_over_cat <program...>: each program's time on the small files over
# cat's in the same round.
print_over_cat() {
  local program label
  printf '\nsmall: time over cat'"'"'s per round\n'
  for program; do
    label=label_$program
    printf '| %-26s | %-25s |\n' "${!label}" \
      "$(ratios small "$program" cat | range)"
  done
}

# print_starts <program...>: the median time a start takes, and each
# program's over /bin/true's in the same round.
print_starts() {
  local program label
  printf '\nstart and exit (hyperfine -N), %d starts a round, %d rounds\n' \
    "$kStarts" "$rounds_start"
  printf '| %-26s | %8s | %-25s |\n' program "ms/start" "it/true per round"
  printf '|%s|%s|%s|\n' ---------------------------- ---------- \
    ---------------------------
  for program; do
    label=label_$program
    printf '| %-26s | %8s | %-25s |\n' "${!label}" \
      "$(median < "$times/start.$program" |
        awk '{ printf "%.3f", $1 * 1000 }')" \
      "$(ratios start "$program" true | range)"
  done
}

records() { grep -c -E '^(ATOM|HETATM)' "$1"; }

# size <file>: its size in MB, for the titles.
size() { echo "$(($(stat -c %s "$1") / 1000000)) MB"; }
# size_tenths <file>: the same to a tenth, for the smaller inputs.
size_tenths() {
  awk -v b="$(stat -c %s "$1")" 'BEGIN { printf "%.1f MB", b / 1e6 }'
}

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

# memory_row <input>: a table row, the input's peak read from the file and
# through a pipe.
memory_row() {
  local form cells=()
  for form in file pipe; do
    cells+=("$(awk -v k="$(peak_kib "$1" $form)" \
      'BEGIN { printf "%.1f", k / 1024 }')")
  done
  printf '| %-36s | %13s | %14s |\n' \
    "${1##*/}, $(($(stat -c %s "$1") >> 20)) MiB" "${cells[@]}"
}

print_memory() {
  local n
  printf '\npeak resident memory, MiB:\n'
  printf '| %-36s | %13s | %14s |\n' input "from the file" "through a pipe"
  printf '|%s|%s|%s|\n' -------------------------------------- \
    --------------- ----------------
  if part pdb; then
    memory_row "$data/large.pdb"
    memory_row "$data/2gib.pdb"
  fi
  if part mmcif; then
    memory_row "$data/mmcif.cif"
    memory_row "$data/mmcif.line.cif"
    memory_row "$data/mmcif.cif.gz"
    memory_row "$data/held.cif"
    memory_row "$data/held.cif.gz"
  fi
  part pdb || return 0
  n=$(grep -c '^ATOM' "$data/large.pdb")
  printf '\nheld until the input is read (output /dev/stdout), large.pdb:\n'
  awk -v k="$(peak_held_kib "$data/large.pdb")" -v n="$n" \
    'BEGIN { printf "%.1f MiB, %.1f bytes per ATOM record\n", k / 1024,
             k * 1024 / n }'
}

# print_instructions <input> <count> <unit> <heading> <function...>:
# instructions per unit of the input, of which it holds count, in each
# function with its callees (the functions named must not call each other)
# and in all; heading heads the column. Instruction counts do not depend on
# the machine's load, as times do.
print_instructions() {
  local input=$1 n=$2 unit=$3 heading=$4 out=$data/out/${1##*/}.callgrind
  shift 4
  valgrind --tool=callgrind --callgrind-out-file="$out" \
    "$exe" "$input" "$data/out/callgrind.pdb" > /dev/null 2>&1
  callgrind_annotate --inclusive=yes "$out" 2> /dev/null |
    awk -v n="$n" -v unit="$unit" -v heading="$heading" \
      -v size="$(size_tenths "$input")" -v file="${input##*/}" \
      -v names="$*" '
      function count(s) { gsub(",", "", s); return s + 0 }
      /PROGRAM TOTALS/ { total = count($1) }
      {
        for (f in wanted) {
          if (index($0, ":" f "(") && !(f in part)) part[f] = count($1)
        }
      }
      BEGIN {
        named = split(names, name, " ")
        for (i in name) wanted[name[i]] = 1
      }
      END {
        printf "\ninstructions per %s (callgrind, %s: %d %ss, %s),\n",
          unit, file, n, unit, size
        printf "the whole run, from the start of the program:\n"
        printf "| %-28s | %8s |\n", "spent in", heading
        printf "|%s|%s|\n", "------------------------------", "----------"
        inside = 0
        for (i = 1; i <= named; ++i) {
          # A function renamed or inlined shows as "-", not as 0.
          if (!(name[i] in part)) {
            printf "| %-28s | %8s |\n", name[i], "-"
            continue
          }
          inside += part[name[i]]
          printf "| %-28s | %8.0f |\n", name[i], part[name[i]] / n
        }
        printf "| %-28s | %8.0f |\n", "everything else", (total - inside) / n
        printf "| %-28s | %8.0f |\n", "in all", total / n
      }'
}

# The part of pdb_convert_many: 1,000 models of about 3,000 atoms of each
# kind in $data/many/<kind>/, the mmCIF ones written by gemmi from the
# generator's structures, and each kind as one tar shard, <kind>.tar.
many_kinds=(cif cif.gz pdb pdb.gz)
many_ways=(each many_1 many_2 shard tar cat cat_all)
declare -A many_label=([each]="one pdb_convert a file"
  [many_1]="pdb_convert_many -j 1" [many_2]="pdb_convert_many -j 2"
  [shard]="pdb_convert_many OUT shard.tar"
  [tar]="tar --to-command, a member" [cat]="cat a file"
  [cat_all]="one cat of them all")
kManyFiles=1000

make_many_inputs() {
  local dir=$data/many f name kind
  [ -f "$dir/made" ] && return
  rm -rf "$dir" && mkdir -p "$dir"/{cif,cif.gz,pdb,pdb.gz,larger}
  "$make_pdb" set "$dir/pdb" "$kManyFiles" 250000 250000 5
  # gemmi writes a row in fewer bytes than the archive does: larger
  # structures make mmCIF files of the archive's size.
  "$make_pdb" set "$dir/larger" "$kManyFiles" 347000 347000 6
  for f in "$dir"/pdb/*.pdb; do
    name=${f##*/}
    name=${name%.pdb}
    gzip -c "$f" > "$dir/pdb.gz/$name.pdb.gz"
    gemmi convert --style=aligned "$dir/larger/$name.pdb" "$dir/cif/$name.cif"
    gzip -c "$dir/cif/$name.cif" > "$dir/cif.gz/$name.cif.gz"
  done
  rm -r "$dir/larger"
  for kind in "${many_kinds[@]}"; do
    (cd "$dir/$kind" && tar -cf "../$kind.tar" -- *)
  done
  touch "$dir/made"
}

# Each way converts the files of the working directory, all of one kind,
# into the directory $1; $2 is their shard.
many_each() {
  local f name
  for f in *; do
    name=${f%.gz}
    "$exe" "$f" "$1/${name%.*}.pdb" 2> /dev/null
  done
}
many_many_1() { printf '%s\0' * | "$exe_many" -0 -j 1 "$1"; }
many_many_2() { printf '%s\0' * | "$exe_many" -0 -j 2 "$1"; }
many_shard() { "$exe_many" "$1" "$2"; }
# A shard member at a time, as the tar recipe converted one before
# pdb_convert_many: tar starts a shell for each member, which runs the
# program where it catches its messages, and prints them as a failure line.
many_tar() {
  OUT=$1 EXE=$exe tar -xf "$2" --to-command='out=${TAR_FILENAME%.gz}
    out=$OUT/${out%.*}.pdb
    [ -e "$out" ] || m=$("$EXE" /dev/stdin "$out" 2>&1) ||
      printf "%s\t%s\n" "$TAR_FILENAME" "$m"'
}
many_cat() {
  local f
  for f in *; do cat "$f" > "$1/$f"; done
}
many_cat_all() { cat -- * > "$1/all"; }

# children_ms: sets ms to the CPU milliseconds, user and system, that this
# shell's children have used, read without starting another.
children_ms() {
  local line user system
  times > "$times/times"
  { read -r line && read -r user system; } < "$times/times"
  ms=0
  for line in "$user" "$system"; do
    line=${line%s}
    ms=$((ms + ${line%%m*} * 60000))
    line=${line#*m}
    ms=$((ms + 10#${line%.*} * 1000 + 10#${line#*.}))
  done
}

# time_many <rounds>: each way on each kind in turn, each round; fills
# $times/many.<kind>.<way>.cpu with CPU ms a file and .wall with wall
# seconds, one line a round. In the first round the outputs of every way
# that converts must be those of a process a file.
time_many() {
  local n=$1 round kind way out=$data/out/many before start
  for kind in "${many_kinds[@]}"; do
    for way in "${many_ways[@]}"; do
      : > "$times/many.$kind.$way.cpu"
      : > "$times/many.$kind.$way.wall"
    done
  done
  for ((round = 1; round <= n; ++round)); do
    for kind in "${many_kinds[@]}"; do
      for way in "${many_ways[@]}"; do
        rm -rf "$out/$way" && mkdir -p "$out/$way"
        children_ms
        before=$ms start=$EPOCHREALTIME
        (cd "$data/many/$kind" && "many_$way" "$out/$way" "../$kind.tar")
        children_ms
        awk -v ms=$((ms - before)) -v n="$kManyFiles" \
          'BEGIN { printf "%.3f\n", ms / n }' >> "$times/many.$kind.$way.cpu"
        awk -v a="$start" -v b="$EPOCHREALTIME" \
          'BEGIN { printf "%.3f\n", b - a }' >> "$times/many.$kind.$way.wall"
        if ((round == 1)) && [[ $way != each && $way != cat* ]]; then
          diff -r "$out/each" "$out/$way" > /dev/null
        fi
      done
    done
  done
}

# many_row <label> <cell command...>: a table row, a cell a kind.
many_row() {
  local label=$1 kind cells=()
  shift
  for kind in "${many_kinds[@]}"; do cells+=("$("$@" "$kind")"); done
  printf '| %-32s | %17s | %17s | %17s | %17s |\n' "$label" "${cells[@]}"
}
many_cpu() { median < "$times/many.$2.$1.cpu"; }
many_wall() {
  median < "$times/many.$2.$1.wall" |
    awk -v n="$kManyFiles" '{ printf "%.3f", $1 * 1000 / n }'
}
many_ratio() { ratios "many.$3" "$1" "$2" | range; }

# many_peak <command...>: its peak resident memory in MiB: that of its
# largest process, which for a forked process counts the pages it shares.
many_peak() {
  /usr/bin/time -f %M -o "$times/peak" "$@" > /dev/null 2>&1
  tail -n 1 "$times/peak" | awk '{ printf "%.1f", $1 / 1024 }'
}

print_many() {
  local way kind sizes out=$data/out/many dir=$data/many/cif.gz
  for kind in "${many_kinds[@]}"; do
    sizes+="$kind $(du -k "$data/many/$kind.tar" |
      awk -v n="$kManyFiles" '{ printf "%.0f KB", $1 * 1.024 / n }'), "
  done
  printf '\nmany: %d models of each kind (about %s), %d rounds\n' \
    "$kManyFiles" "${sizes%, }" "$rounds_many"
  printf '| %-32s | %17s | %17s | %17s | %17s |\n' \
    "CPU ms a file (user + system)" "${many_kinds[@]}"
  printf '|%s|%s|%s|%s|%s|\n' ---------------------------------- \
    ------------------- ------------------- ------------------- \
    -------------------
  for way in "${many_ways[@]}"; do
    many_row "${many_label[$way]}" many_cpu "$way"
  done
  many_row "pdb_convert_many -j 1, wall ms" many_wall many_1
  many_row "pdb_convert_many -j 2, wall ms" many_wall many_2
  printf '\nmany: the aims, per round in the same round\n'
  many_row "-j 1 / a file, CPU (<= 0.5)" many_ratio many_1.cpu each.cpu
  many_row "shard / tar, CPU (<= 0.4)" many_ratio shard.cpu tar.cpu
  many_row "-j 2 / -j 1, files/s (>= 1.7)" many_ratio many_1.wall \
    many_2.wall
  printf '\nmany: peak resident memory, MiB (/usr/bin/time %%M), cif.gz\n'
  printf '| %-21s | %-9s | %-9s | %-16s |\n' "pdb_convert, one file" \
    "many -j 1" "many -j 2" "many -j 1, shard"
  printf '|%s|%s|%s|%s|\n' ----------------------- ----------- ----------- \
    ------------------
  rm -rf "$out/peak"
  printf '| %21s | %9s | %9s | %16s |\n' \
    "$(many_peak "$exe" "$dir/0000.cif.gz" "$out/peak.pdb")" \
    "$(many_peak sh -c 'find "$1" -type f -print0 |
        "$2" -0 -j 1 "$3/1"' sh "$dir" "$exe_many" "$out/peak")" \
    "$(many_peak sh -c 'find "$1" -type f -print0 |
        "$2" -0 -j 2 "$3/2"' sh "$dir" "$exe_many" "$out/peak")" \
    "$(many_peak "$exe_many" -j 1 "$out/peak/shard" "$dir.tar")"
}

install_peers
build
mkdir -p "$data/out"
times=$data/out/times
mkdir -p "$times"

part small && make_small_inputs
part many && make_many_inputs
if part pdb; then
  make_pdb_inputs
  # Every timed output must be right: check it against the awk program once,
  # and the gzipped input's against the plain one's.
  run_pdb_convert "$data/large.pdb" "$data/out/check.pdb"
  run_mawk "$data/large.pdb" "$data/out/check.awk.pdb"
  cmp "$data/out/check.pdb" "$data/out/check.awk.pdb"
  run_gzip "$data/large.pdb" "$data/out/check.gz.pdb"
  cmp "$data/out/check.pdb" "$data/out/check.gz.pdb"
  run_zlib "$data/large.pdb" "$data/out/check.zlib.pdb"
  cmp "$data/out/check.pdb" "$data/out/check.zlib.pdb"
fi
if part mmcif; then
  make_mmcif_inputs
  check_mmcif
fi

if part pdb; then
  time_set large "$rounds" "${programs_large[@]}"
  print_times large "large: one file of $(size "$data/large.pdb") ($(size "$data/large.pdb.gz") gzipped), $(records "$data/large.pdb") coordinate records, $rounds rounds" "${programs_large[@]}"
fi
if part small; then
  time_small "$rounds_small" "${programs[@]}"
  time_starts "$rounds_start" pdb_convert static one one_static true
  print_times small "small: $(ls "$data/small" | wc -l) files of 50-500 KB, one process each, in turn at each file, $rounds_small rounds" "${programs[@]}"
  print_over_cat pdb_convert static
  print_starts pdb_convert static one one_static true
fi
if part mmcif; then
  time_set mmcif "$rounds" "${programs_mmcif[@]}"
  title="mmcif: one file of $(size "$data/mmcif.cif")"
  title+=" ($(size "$data/mmcif.cif.gz") gzipped),"
  title+=" $(atom_site_rows "$data/mmcif.cif") _atom_site rows,"
  title+=" the models of $mmcif_source repeated, $rounds rounds"
  print_times mmcif "$title" "${programs_mmcif[@]}"
  printf 'pdb_convert IN.gz / igzip -dc IN.gz per round: %s\n' \
    "$(ratios mmcif gzip igzip | range)"
  printf 'the same, single-spaced: %s\n' \
    "$(ratios mmcif single_gzip single_igzip | range)"
  printf 'single-spaced / cat per round: %s\n' \
    "$(ratios mmcif single cat | range)"
fi
if part many; then
  time_many "$rounds_many"
  print_many
fi
[ "$only" = small ] || [ "$only" = many ] || print_memory
if part pdb; then
  print_instructions "$data/callgrind.pdb" "$(records "$data/callgrind.pdb")" \
    "coordinate record" "per rec" read_line trimmed
fi
if part mmcif; then
  for form in "" .line .cr; do
    print_instructions "$data/callgrind$form.cif" \
      "$(atom_site_rows "$data/callgrind.cif")" "_atom_site row" "per row" \
      read_mmcif_record
  done
  for name in "${layout_entries[@]}"; do
    for input in "$data/layout.$name.cif" "$data/layout.$name.single.cif"; do
      [ -f "$input" ] || continue
      print_instructions "$input" "$(atom_site_rows "$input")" \
        "_atom_site row" "per row" read_mmcif_record
    done
  done
fi
