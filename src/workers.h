#ifndef PDB_CONVERT_WORKERS_H_
#define PDB_CONVERT_WORKERS_H_

#include <sys/stat.h>
#include <time.h>

#include <string>

// One conversion of pdb_convert_many, carried out by a worker process,
// forked without exec, which keeps pdb_convert's messages, its exits on
// failure and its one output at a time: a failure, a crash or an exhausted
// memory ends only the worker converting that input.
struct conversion {
  std::string input;    // as failure lines and messages name it
  std::string path;     // what the output is named after: the path, or member
  std::string output;   // the file written
  int descriptor = -1;  // a member's bytes, at their start; -1: open input
  std::string copy_of;  // a hard-link member: the output it takes the bytes of
  struct timespec modified = {0, 0};  // given to the output once written
};

// Readies the workers: at most count at once, SIGINT, SIGTERM and SIGHUP
// caught to stop, SIGPIPE ignored so that a closed standard output is an
// error to report.
void start_workers(int count);

// Starts c once fewer than count workers convert, and closes its
// descriptor in this process. Waits first for a worker writing the same
// output to end.
void run(const conversion& c);

// Waits for every worker to end. Where a stop signal came, sends it on to
// them first, and once they have ended the process ends by it.
void finish_workers();

// Whether to start no more inputs: a stop signal came, or standard output
// cannot take failure lines.
bool stopping();

// Waits until no worker writes output.
void wait_for_output(const std::string& output);

// Prints the failure line of input; its messages become one line.
void report_failure(const std::string& input, std::string messages);

// Whether any input failed, or a failure could not be printed.
bool any_failed();

// A file's modification time, as status holds it.
struct timespec modified_time(const struct stat& status);

// Makes the directories that lead to path, up to its last '/', as mkdir -p
// does. Returns the one that cannot be made, with errno set, or "".
std::string make_directories(const std::string& path);

// Counts an input that needed nothing done, for the progress line.
void count_done();

#endif  // PDB_CONVERT_WORKERS_H_
