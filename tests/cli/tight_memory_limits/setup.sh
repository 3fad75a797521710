# Under any limit of address space, from one too small to load the program
# to one it converts under, the run converts, says "Out of memory" with
# status 1, or is refused by the loader (status 127): it never aborts, as it
# did when throwing std::bad_alloc itself needed memory that was not there.
# A static program has no loader to refuse it: where its C library cannot
# allocate its own state, it is killed by SIGSEGV (status 139) with no word,
# before it starts, and so only below every limit that it ran under.
# Sanitizer and valgrind builds cannot run under such limits: skip there.
(ulimit -v 50000 && runs_limited) || exit 77
static=0
ldd "$exe" > /dev/null 2>&1 || static=1
{
  echo '#!/bin/bash'
  echo "program='$exe' static=$static"
  cat <<'WRAPPER'
started=0
for ((limit = 1000; limit <= 20000; limit += 250)); do
  # The shell's own word of a signal's death goes to the null device.
  (ulimit -v $limit && "$program" "$@" > stdout 2> stderr) 2> /dev/null
  status=$?
  case $static$started:$status:$(< stderr) in
    ??:0:"Writing data to $2" | ??:1:"Out of memory") started=1 ;;
    ??:127:* | 10:139:) ;;
    *) echo "limit $limit KiB: status $status, stderr $(< stderr)" ;;
  esac
done
rm -f stdout stderr
WRAPPER
} > limits.sh
chmod +x limits.sh
exe=$PWD/limits.sh
