// pdb_convert_many: converts many inputs, named on standard input or the
// members of tar shards, into a tree of outputs, each as pdb_convert would,
// skipping those already converted, and prints a line for each failure.

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

#include "shards.h"
#include "workers.h"

static const char kUsage[] =
    "usage: pdb_convert_many [-j N] [-0] OUTDIR [SHARD ...]\n";

// The first input of the run to each output, by the output's path below
// OUTDIR, so that a second input whose output it is, is refused; a file is
// also known by its device and inode, however it is spelled.
struct first_input {
  std::string input;
  dev_t device;
  ino_t inode;
};

static std::string outdir;
// Never destroyed: each worker's exit would otherwise free its copy, entry
// by entry, a cost in the number of outputs for every input.
static auto& outputs = *new std::unordered_map<std::string, first_input>;

static bool ends_with_any_case(const std::string& text, const char* suffix) {
  std::size_t size = strlen(suffix);
  return text.size() >= size &&
         strcasecmp(text.c_str() + text.size() - size, suffix) == 0;
}

// The output's path below OUTDIR for an input's path: its components but
// empty and "." ones, a final .gz dropped and then a final .cif, .mmcif,
// .pdb or .ent made .pdb, in any case. False where a component is "..", or
// none is left.
static bool relative_output(const std::string& path, std::string& relative) {
  relative.clear();
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string component = path.substr(start, end - start);
    if (component == "..") return false;
    if (!component.empty() && component != ".") {
      if (!relative.empty()) relative += '/';
      relative += component;
    }
    start = end + 1;
  }
  if (ends_with_any_case(relative, ".gz")) relative.resize(relative.size() - 3);
  for (const char* suffix : {".cif", ".mmcif", ".pdb", ".ent"}) {
    if (ends_with_any_case(relative, suffix)) {
      relative.resize(relative.size() - strlen(suffix));
      relative += ".pdb";
      break;
    }
  }
  return !relative.empty();
}

static void refuse(conversion& c, const std::string& why) {
  if (c.descriptor >= 0) close(c.descriptor);
  report_failure(c.input, why);
}

static bool same_time(const struct stat& status, const struct timespec& t) {
  struct timespec modified = modified_time(status);
  return modified.tv_sec == t.tv_sec && modified.tv_nsec == t.tv_nsec;
}

// Converts c unless refused or up to date. device and inode are the input
// file's, 0 for a member.
static void take(conversion& c, dev_t device, ino_t inode) {
  std::string relative;
  if (!relative_output(c.path, relative)) {
    refuse(c, c.path.empty() ? "names no file" : "leads out of OUTDIR");
    return;
  }
  c.output = outdir + relative;
  auto [first, is_first] =
      outputs.try_emplace(relative, first_input{c.input, device, inode});
  if (!is_first) {
    const first_input& f = first->second;
    bool same = f.input == c.input ||
                (inode != 0 && f.device == device && f.inode == inode);
    if (!same) {
      refuse(c, c.output + " is the output of " + f.input);
      return;
    }
    // A file named twice is converted once; a member added to its shard
    // again replaces the earlier copy, as tar -x would, whatever its time.
    if (c.descriptor < 0 && c.copy_of.empty()) {
      count_done();
      return;
    }
  }
  bool again = !is_first;
  wait_for_output(c.output);
  struct stat status;
  if (stat(c.output.c_str(), &status) == 0) {
    if (inode != 0 && status.st_dev == device && status.st_ino == inode) {
      refuse(c, "its output " + c.output + " is the input itself");
      return;
    }
    if (!again && same_time(status, c.modified)) {
      if (c.descriptor >= 0) close(c.descriptor);
      count_done();
      return;
    }
  }
  run(c);
}

static void take_file(const std::string& path) {
  conversion c;
  c.input = c.path = path;
  if (path.find('\0') != std::string::npos) {
    refuse(c, "holds a NUL byte");
    return;
  }
  struct stat status;
  if (stat(path.c_str(), &status) != 0) {
    // Converted all the same, for pdb_convert's own message; no output's
    // time is this.
    c.modified = {0, UTIME_OMIT};
    take(c, 0, 0);
    return;
  }
  c.modified = modified_time(status);
  take(c, status.st_dev, status.st_ino);
}

static void take_member(conversion& member, const char* refusal) {
  if (refusal != nullptr) {
    refuse(member, refusal);
    return;
  }
  if (!member.copy_of.empty()) {
    std::string relative;
    if (!relative_output(member.copy_of, relative)) {
      refuse(member, "links to a member that leads out of OUTDIR");
      return;
    }
    member.copy_of = outdir + relative;
    wait_for_output(member.copy_of);
  }
  take(member, 0, 0);
}

// Reads the input paths from standard input, each ended by delimiter; a
// line's CR before its line feed is dropped. Returns false where the list
// cannot be read to its end.
static bool read_list(int delimiter) {
  char* line = nullptr;
  std::size_t room = 0;
  ssize_t length;
  while (!stopping() &&
         (length = getdelim(&line, &room, delimiter, stdin)) >= 0) {
    if (length > 0 && line[length - 1] == delimiter) --length;
    if (delimiter == '\n' && length > 0 && line[length - 1] == '\r') --length;
    if (length > 0) take_file(std::string(line, length));
  }
  free(line);
  if (stopping() || !ferror(stdin)) return true;
  fprintf(stderr, "pdb_convert_many: cannot read the list of inputs: %s\n",
          strerror(errno));
  return false;
}

// The CPUs this process may run on: under Slurm, the task's.
static int usable_cpus() {
#ifdef CPU_COUNT
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return CPU_COUNT(&set);
#endif
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? int(online) : 1;
}

[[noreturn]] static void usage_error(const char* message, const char* what) {
  if (message != nullptr) {
    fprintf(stderr, "pdb_convert_many: %s%s\n", message, what);
  }
  fputs(kUsage, stderr);
  exit(2);
}

static int parse_count(const char* text) {
  char* end;
  errno = 0;
  long count = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || count < 1 || count > 4096) {
    usage_error("-j takes a number of conversions at once, 1 to 4096: ", text);
  }
  return int(count);
}

// Makes OUTDIR where it is missing, and gives it a trailing '/'.
static void make_outdir(const char* name) {
  if (name[0] == '\0') usage_error("OUTDIR is empty", "");
  outdir = name;
  if (outdir.back() != '/') outdir += '/';
  std::string unmade = make_directories(outdir);
  if (!unmade.empty()) {
    fprintf(stderr, "pdb_convert_many: cannot make OUTDIR %s: %s\n",
            unmade.c_str(), strerror(errno));
    exit(2);
  }
}

// A closed standard input or error would be taken by the first pipe opened,
// which the list would then be read from, or messages written into: each
// becomes /dev/null. Without standard output, the failure lines that are
// the run's result could go nowhere.
static void check_standard_descriptors() {
  for (int fd : {0, 2}) {
    if (fcntl(fd, F_GETFD) != -1) continue;
    int null = open("/dev/null", O_RDWR);
    if (null >= 0 && null != fd) {
      dup2(null, fd);
      close(null);
    }
  }
  if (fcntl(1, F_GETFD) == -1) {
    fputs(
        "pdb_convert_many: standard output is closed, where failure lines "
        "go\n",
        stderr);
    exit(2);
  }
}

int main(int argc, char* argv[]) {
  check_standard_descriptors();
  int count = usable_cpus();
  int delimiter = '\n';
  int option;
  while ((option = getopt(argc, argv, "j:0")) != -1) {
    if (option == 'j') {
      count = parse_count(optarg);
    } else if (option == '0') {
      delimiter = '\0';
    } else {
      usage_error(nullptr, "");
    }
  }
  if (optind >= argc) usage_error("no OUTDIR", "");
  if (optind + 1 < argc && !reads_shards()) {
    fputs(
        "pdb_convert_many: this build cannot read a shard; give the "
        "inputs' paths on standard input\n",
        stderr);
    return 2;
  }
  make_outdir(argv[optind]);
  start_workers(count);
  bool read = true;
  if (optind + 1 == argc) read = read_list(delimiter);
  for (int i = optind + 1; i < argc && !stopping(); ++i) {
    read_shard(argv[i], take_member);
  }
  finish_workers();
  return read && !any_failed() ? 0 : 1;
}
