# Under any limit of address space, from one too small to load the program
# to one it converts under, the run converts, says "Out of memory" with
# status 1, or is refused by the loader (status 127): it never aborts, as it
# did when throwing std::bad_alloc itself needed memory that was not there.
# Sanitizer and valgrind builds cannot run under such limits: skip there.
(ulimit -v 50000 && runs_limited) || exit 77
{
  echo '#!/bin/bash'
  echo "program='$exe'"
  cat <<'WRAPPER'
for ((limit = 1000; limit <= 20000; limit += 250)); do
  (ulimit -v $limit && "$program" "$@" > stdout 2> stderr)
  status=$?
  case $status:$(< stderr) in
    0:"Writing data to $2" | 1:"Out of memory" | 127:*) ;;
    *) echo "limit $limit KiB: status $status, stderr $(< stderr)" ;;
  esac
done
rm -f stdout stderr
WRAPPER
} > limits.sh
chmod +x limits.sh
exe=$PWD/limits.sh
