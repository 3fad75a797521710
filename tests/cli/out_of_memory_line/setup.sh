# One line without end: it outgrows the 50 MB of address space allowed.
# Sanitizer and valgrind builds cannot run under the limit at all: skip there.
ulimit -v 50000
"$exe" /dev/null /dev/null 2> /dev/null || exit 77
