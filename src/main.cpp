// pdb_convert: writes the ATOM records of a PDB file, with old-style hydrogen
// names renamed, to a new file in fixed-column PDB layout.

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "atom.h"
#include "pdb_files.h"

// The whole input is held in memory, so a large one can exhaust it; that
// must end the run with a message and status 1, not an uncaught bad_alloc.
[[noreturn]] static void die_out_of_memory() {
  fputs("Out of memory\n", stderr);
  exit(1);
}

// Run with standard error closed (2>&-), the output file would take
// descriptor 2 and the progress line would be written into it.
static void keep_stderr_open() {
  if (fcntl(2, F_GETFD) != -1) return;
  int null = open("/dev/null", O_WRONLY);
  if (null >= 0 && null != 2) {
    dup2(null, 2);
    close(null);
  }
}

int main(int argc, char* argv[]) {
  keep_stderr_open();
  std::set_new_handler(die_out_of_memory);
  if (argc < 3) {
    fputs("Program pdb_file outfile\n", stderr);
    return 1;
  }
  std::string pdb_file = argv[1];
  std::string outfile = argv[2];
  std::vector<atom> atoms;
  // The input is read whole and closed before the output is opened, so both
  // may name the same file.
  read_protein(pdb_file, atoms);
  write_pdb(outfile, atoms);
  return 0;
}
