# The conversion pdb_convert does, in awk: a benchmark peer and a second
# opinion on its output for well-formed input (every coordinate record at
# least 46 characters long).
# usage: mawk -f convert.awk in.pdb > out.pdb
function trim(s) {
  gsub(/^[ \t\r\n]+|[ \t\r\n]+$/, "", s)
  return s
}
BEGIN {
  split("1H 2H 3H HE2 HG 1HZ 2HZ 3HZ 1HD2 2HD2 1HE2 2HE2 1HH1 2HH1 1HH2 2HH2",
        from, " ")
  split("H H H H H HZ1 HZ2 HZ3 HD21 HD22 HE21 HE22 HH11 HH12 HH21 HH22", to, " ")
  for (i in from) renamed[from[i]] = to[i]
}
substr($0, 1, 4) == "ATOM" {
  name = trim(substr($0, 13, 5))
  if (name in renamed) name = renamed[name]
  if (length(name) == 4)
    format = "ATOM  %5d %-4s %3s %1s%4d    %8.3f%8.3f%8.3f\n"
  else
    format = "ATOM  %5d  %-3s %3s %1s%4d    %8.3f%8.3f%8.3f\n"
  printf format, int(substr($0, 7, 5)), name, trim(substr($0, 18, 3)),
    trim(substr($0, 22, 1)), int(substr($0, 23, 4)),
    substr($0, 31, 8), substr($0, 39, 8), substr($0, 47, 8)
}
