// pdb_convert: writes the ATOM records of a PDB file, with old-style hydrogen
// names renamed, to a new file in fixed-column PDB layout.

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <new>

#include "pdb_files.h"

// Run with standard error closed (2>&-), the output file would take
// descriptor 2 and the progress line would be written into it. Marked
// close-on-exec, as every descriptor the program opens, so that it is never
// taken for one the caller gave: /dev/stderr stays an output that was not
// open when the program started.
static void keep_stderr_open() {
  if (fcntl(2, F_GETFD) != -1) return;
  int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null < 0 || null == 2) return;
  dup2(null, 2);
  fcntl(2, F_SETFD, FD_CLOEXEC);
  close(null);
}

// A large input whose conversion must be held until it is read whole can
// exhaust memory: that must end the run with a message and status 1, not
// abort it. Said where the allocation fails, since throwing needs memory too:
// under a tight limit, throwing bad_alloc itself ends in std::terminate.
static void out_of_memory() {
  fputs("Out of memory\n", stderr);
  exit(1);
}

int main(int argc, char* argv[]) {
  std::set_new_handler(out_of_memory);
  keep_stderr_open();
  if (argc < 3) {
    fputs("Program pdb_file outfile\n", stderr);
    return 1;
  }
  convert_pdb(argv[1], argv[2]);
  return 0;
}
