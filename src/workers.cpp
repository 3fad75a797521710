#include "workers.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

#include "input_file.h"
#include "output_file.h"
#include "pdb_files.h"

// A worker's messages beyond this are dropped: a failure line stays short,
// and the memory of a run stays the same whatever a worker prints.
static const std::size_t kMessagesKept = 4096;
// The progress line is redrawn at most this often, in nanoseconds.
static const long long kProgressInterval = 250000000;

static const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
static const int kChangedSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// A worker converts input after input sent to it through jobs, a member's
// descriptor with it, and after each that it converted prints a NUL byte,
// which no message holds; the first failure ends it, as it ends
// pdb_convert, and a new one takes its place.
struct worker {
  pid_t pid;
  int pipe;  // its standard output and error, read here
  int jobs;  // a socket the inputs are sent through; -1 once none will be
  bool busy;
  std::string input;
  std::string output;
  std::string messages;
};

static std::size_t most_workers = 1;
static std::vector<worker> workers;
// The stop signal's number, and a pipe the handler writes it to, so that
// waiting on the workers' pipes wakes for it.
static volatile sig_atomic_t stop_signal = 0;
static int stop_pipe[2] = {-1, -1};
// The actions and mask the program started with, which each worker takes
// back before it converts, as a process started anew would have them.
static struct sigaction
    started_actions[sizeof kChangedSignals / sizeof kChangedSignals[0]];
static sigset_t started_mask;
static bool output_broken = false;
static bool failed = false;
static unsigned long inputs_done = 0;
static unsigned long inputs_failed = 0;
static bool show_progress = false;
static struct timespec started_at;
static long long progress_shown_at = 0;

static void note_stop(int signal_number) {
  int saved = errno;
  stop_signal = signal_number;
  char byte = 0;
  if (write(stop_pipe[1], &byte, 1) < 0) {
    // Full: a byte is already waiting to wake the loop.
  }
  errno = saved;
}

// The loop's own end of a pipe, never waited on.
static void own_end(int fd) {
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

static sigset_t stop_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal_number : kStopSignals) sigaddset(&set, signal_number);
  return set;
}

void start_workers(int count) {
  most_workers = count;
  if (pipe(stop_pipe) == 0) {
    own_end(stop_pipe[0]);
    own_end(stop_pipe[1]);
  }
  sigprocmask(SIG_SETMASK, nullptr, &started_mask);
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = note_stop;
  sigfillset(&action.sa_mask);
  // A stop signal ignored by whoever started the program (nohup's SIGHUP)
  // stays ignored.
  for (std::size_t i = 0; i < std::size(kChangedSignals); ++i) {
    int signal_number = kChangedSignals[i];
    sigaction(signal_number, nullptr, &started_actions[i]);
    bool ignored = started_actions[i].sa_handler == SIG_IGN;
    action.sa_handler =
        signal_number == SIGPIPE || ignored ? SIG_IGN : note_stop;
    sigaction(signal_number, &action, nullptr);
  }
  show_progress = isatty(2);
  clock_gettime(CLOCK_MONOTONIC, &started_at);
}

bool stopping() { return stop_signal != 0 || output_broken; }

bool any_failed() { return failed; }

static long long since_start() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - started_at.tv_sec) * 1000000000LL +
         (now.tv_nsec - started_at.tv_nsec);
}

// Writes all of bytes; false, with errno set, where it cannot.
static bool write_all(int fd, const char* bytes, std::size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= n;
  }
  return true;
}

static void print_progress(bool last) {
  long long elapsed = since_start();
  if (!last && elapsed - progress_shown_at < kProgressInterval) return;
  progress_shown_at = elapsed;
  char line[128];
  int length = snprintf(
      line, sizeof line, "\r%lu done, %lu failed, %.0f files/s%s", inputs_done,
      inputs_failed, elapsed > 0 ? inputs_done * 1e9 / elapsed : 0.0,
      last ? "\n" : "");
  write_all(2, line, length);
}

void count_done() {
  ++inputs_done;
  if (show_progress) print_progress(false);
}

// Tabs and line feeds would split the line's fields, or the line.
static void blank_separators(std::string& text) {
  for (char& c : text) {
    if (c == '\t' || c == '\n' || c == '\0') c = ' ';
  }
}

void report_failure(const std::string& input, std::string messages) {
  failed = true;
  ++inputs_failed;
  std::string line = input;
  while (!messages.empty() && messages.back() == '\n') messages.pop_back();
  line += '\t';
  line += messages.empty() ? "failed without a message" : messages;
  blank_separators(line);
  line[input.size()] = '\t';
  line += '\n';
  // Where standard output takes no more, the line goes to standard error,
  // so that no failure is lost, and no new input is started.
  if (output_broken || !write_all(1, line.data(), line.size())) {
    if (!output_broken) {
      fprintf(stderr, "pdb_convert_many: cannot write failure lines: %s\n",
              strerror(errno));
    }
    output_broken = true;
    write_all(2, line.data(), line.size());
  }
  count_done();
}

struct timespec modified_time(const struct stat& status) {
#ifdef __APPLE__
  return status.st_mtimespec;
#else
  return status.st_mtim;
#endif
}

std::string make_directories(const std::string& path) {
  // Most outputs go where an earlier one went.
  struct stat status;
  std::size_t last = path.rfind('/');
  if (last != std::string::npos && last > 0 &&
      stat(path.substr(0, last).c_str(), &status) == 0 &&
      S_ISDIR(status.st_mode)) {
    return std::string();
  }
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    std::string directory = path.substr(0, slash);
    if (mkdir(directory.c_str(), 0777) == 0) continue;
    if (errno == EEXIST && stat(directory.c_str(), &status) == 0 &&
        S_ISDIR(status.st_mode)) {
      continue;
    }
    return directory;
  }
  return std::string();
}

// A hard-link member's output: the bytes of its target's, written as any
// output is, whole or not at all. The target's output must bear the time
// they share, or it is not the conversion of their bytes: the target failed
// and an older output is left.
static void copy_output(const std::string& from, const conversion& c) {
  const std::string& to = c.output;
  int fd = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat status;
  if (fd < 0 || fstat(fd, &status) != 0) {
    fprintf(stderr, "Could not read %s, the output of the linked member\n",
            from.c_str());
    exit(1);
  }
  struct timespec modified = modified_time(status);
  if (modified.tv_sec != c.modified.tv_sec ||
      modified.tv_nsec != c.modified.tv_nsec) {
    fprintf(stderr, "%s, the output of the linked member, is not up to date\n",
            from.c_str());
    exit(1);
  }
  if (!start_output(to)) {
    puts("This file could not be opened.\nDying\n");
    exit(1);
  }
  std::unique_ptr<char[]> block(new char[kBlockSize]);
  ssize_t n;
  while ((n = read(fd, block.get(), kBlockSize)) > 0) put_lines(block, n);
  if (n < 0) {
    fprintf(stderr, "Could not read %s\n", from.c_str());
    exit(1);
  }
  close(fd);
  if (!open_output(to)) {
    puts("This file could not be opened.\nDying\n");
    exit(1);
  }
  if (!close_output()) {
    fprintf(stderr, "Could not write %s\n", to.c_str());
    exit(1);
  }
}

// Converts c, with pdb_convert's messages and exits.
static void convert(const conversion& c) {
  std::string unmade = make_directories(c.output);
  if (!unmade.empty()) {
    fprintf(stderr, "Could not make directory %s: %s\n", unmade.c_str(),
            strerror(errno));
    exit(1);
  }
  // The output's time becomes the input's, which tells the next run that
  // it is up to date.
  keep_output_time(c.modified);
  if (!c.copy_of.empty()) {
    copy_output(c.copy_of, c);
  } else {
    if (c.descriptor >= 0) read_descriptor_as(c.descriptor, c.input);
    convert_pdb(c.input, c.output);
  }
}

// The fields of a job, each ended by a NUL byte: input, output, the output
// that a hard-link member copies, and the time.
static const int kJobFields = 4;

// Reads bytes of the next job, and the descriptor sent with them, if any,
// into descriptor. Returns what recvmsg does.
static ssize_t receive(int jobs, char* bytes, std::size_t size,
                       int& descriptor) {
  iovec io = {bytes, size};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  msghdr message;
  memset(&message, 0, sizeof message);
  message.msg_iov = &io;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ssize_t n;
  while ((n = recvmsg(jobs, &message, 0)) < 0 && errno == EINTR) {
  }
  cmsghdr* header = n > 0 ? CMSG_FIRSTHDR(&message) : nullptr;
  if (header != nullptr && header->cmsg_type == SCM_RIGHTS) {
    memcpy(&descriptor, CMSG_DATA(header), sizeof descriptor);
    fcntl(descriptor, F_SETFD, FD_CLOEXEC);
  }
  return n;
}

// Reads the next job; false once none will come. The loop sends one only
// to a worker that waits, so that no job's bytes follow another's.
static bool next_job(int jobs, conversion& c) {
  std::string job;
  c.descriptor = -1;
  while (std::count(job.begin(), job.end(), '\0') < kJobFields) {
    char bytes[4096];
    ssize_t n = receive(jobs, bytes, sizeof bytes, c.descriptor);
    if (n <= 0) return false;
    job.append(bytes, n);
  }
  std::string* fields[] = {&c.input, &c.output, &c.copy_of};
  std::size_t start = 0;
  for (std::string* field : fields) {
    std::size_t end = job.find('\0', start);
    field->assign(job, start, end - start);
    start = end + 1;
  }
  long long seconds = 0;
  long nanoseconds = 0;
  sscanf(job.c_str() + start, "%lld %ld", &seconds, &nanoseconds);
  c.modified = {time_t(seconds), nanoseconds};
  return true;
}

// Sends c to w, with its descriptor, if any.
static void send_job(const worker& w, const conversion& c) {
  char time[64];
  int length = snprintf(time, sizeof time, "%lld %ld",
                        (long long)c.modified.tv_sec, c.modified.tv_nsec);
  std::string job = c.input + '\0' + c.output + '\0' + c.copy_of + '\0' +
                    std::string(time, length) + '\0';
  iovec io = {&job[0], job.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  msghdr message;
  memset(&message, 0, sizeof message);
  message.msg_iov = &io;
  message.msg_iovlen = 1;
  if (c.descriptor >= 0) {
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(header), &c.descriptor, sizeof(int));
  }
  ssize_t n;
  while ((n = sendmsg(w.jobs, &message, 0)) < 0 && errno == EINTR) {
  }
  // A worker that ended meanwhile is told by the end of its pipe.
  if (n > 0) write_all(w.jobs, job.data() + n, job.size() - n);
}

// In the new process: the program's signal actions and mask as it started,
// its messages into the pipe, none of the other workers' descriptors, and
// then the conversion of each input sent through jobs.
[[noreturn]] static void work(int pipe, int jobs) {
  for (std::size_t i = 0; i < std::size(kChangedSignals); ++i) {
    sigaction(kChangedSignals[i], &started_actions[i], nullptr);
  }
  sigprocmask(SIG_SETMASK, &started_mask, nullptr);
  for (const worker& w : workers) {
    close(w.pipe);
    if (w.jobs >= 0) close(w.jobs);
  }
  // The list of inputs stays the loop's: at exit the C library would move
  // a seekable standard input back to where its buffer was read to.
  // Where /dev/null is missing (an empty root), none at all.
  int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null < 0) close(0);
  dup2(null, 0);
  if (null > 0) close(null);
  dup2(pipe, 1);
  dup2(pipe, 2);
  close(pipe);
  conversion next;
  while (next_job(jobs, next)) {
    convert(next);
    fflush(stdout);
    write_all(1, "", 1);
  }
  exit(0);
}

// What a worker's status and messages say of its input, where it failed.
static void report_end(worker& w, int status) {
  // A worker stopped by the signal that stops the run has not failed: its
  // input is converted by the next run.
  if (!w.busy || (WIFSIGNALED(status) && WTERMSIG(status) == stop_signal)) {
    return;
  }
  std::string progress = "Writing data to " + w.output + "\n";
  std::size_t at = w.messages.find(progress);
  if (at != std::string::npos) w.messages.erase(at, progress.size());
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    count_done();
    return;
  }
  while (!w.messages.empty() && w.messages.back() == '\n') {
    w.messages.pop_back();
  }
  if (WIFSIGNALED(status)) {
    if (!w.messages.empty()) w.messages += ' ';
    w.messages += "ended by signal " + std::to_string(WTERMSIG(status)) + " (" +
                  strsignal(WTERMSIG(status)) + ")";
  } else if (w.messages.empty()) {
    w.messages = "ended with status " + std::to_string(WEXITSTATUS(status)) +
                 " without a message";
  }
  report_failure(w.input, w.messages);
}

// Reads what worker i has printed; at the end of it, waits for the worker
// and removes it.
static void read_worker(std::size_t i) {
  worker& w = workers[i];
  char bytes[4096];
  ssize_t n = read(w.pipe, bytes, sizeof bytes);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n > 0) {
    const char* end = bytes + n;
    const char* converted = static_cast<const char*>(memchr(bytes, '\0', n));
    const char* rest = converted != nullptr ? converted + 1 : bytes;
    if (converted != nullptr) {
      w.busy = false;
      w.messages.clear();
      count_done();
    }
    if (w.messages.size() < kMessagesKept) {
      w.messages.append(
          rest,
          std::min<std::size_t>(end - rest, kMessagesKept - w.messages.size()));
    }
    return;
  }
  close(w.pipe);
  if (w.jobs >= 0) close(w.jobs);
  int status = 0;
  while (waitpid(w.pid, &status, 0) < 0 && errno == EINTR) {
  }
  report_end(w, status);
  workers[i] = std::move(workers.back());
  workers.pop_back();
}

static void forward_stop() {
  for (const worker& w : workers) kill(w.pid, stop_signal);
}

// Waits for what the workers print, or a stop signal, and handles it.
static void wait_for_workers() {
  std::vector<pollfd> fds;
  for (const worker& w : workers) fds.push_back({w.pipe, POLLIN, 0});
  fds.push_back({stop_pipe[0], POLLIN, 0});
  if (poll(fds.data(), fds.size(), -1) < 0) return;
  if (fds.back().revents != 0) {
    char bytes[16];
    while (read(stop_pipe[0], bytes, sizeof bytes) > 0) {
    }
    forward_stop();
  }
  for (std::size_t i = workers.size(); i-- > 0;) {
    if (fds[i].revents != 0) read_worker(i);
  }
}

static bool writes(const std::string& output) {
  for (const worker& w : workers) {
    if (w.busy && w.output == output) return true;
  }
  return false;
}

static std::size_t busy_workers() {
  std::size_t busy = 0;
  for (const worker& w : workers) busy += w.busy;
  return busy;
}

// A worker waiting for an input, or nullptr.
static worker* idle_worker() {
  for (worker& w : workers) {
    if (!w.busy && w.jobs >= 0) return &w;
  }
  return nullptr;
}

void wait_for_output(const std::string& output) {
  while (writes(output)) wait_for_workers();
}

// Forks a worker; returns it, or nullptr with errno set.
static worker* start_worker() {
  int ends[2], jobs[2];
  if (pipe(ends) != 0) return nullptr;
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, jobs) != 0) {
    close(ends[0]);
    close(ends[1]);
    return nullptr;
  }
  own_end(ends[0]);
  for (int fd : {ends[1], jobs[0], jobs[1]}) fcntl(fd, F_SETFD, FD_CLOEXEC);
  // A stop signal that reaches the worker before it has put back the
  // program's own actions waits until it has.
  sigset_t stops = stop_set(), previous;
  sigprocmask(SIG_BLOCK, &stops, &previous);
  pid_t pid = fork();
  if (pid == 0) {
    close(jobs[1]);
    work(ends[1], jobs[0]);
  }
  int fork_error = errno;
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  close(ends[1]);
  close(jobs[0]);
  if (pid < 0) {
    close(ends[0]);
    close(jobs[1]);
    errno = fork_error;
    return nullptr;
  }
  workers.push_back({pid, ends[0], jobs[1], false, std::string(), std::string(),
                     std::string()});
  return &workers.back();
}

void run(const conversion& c) {
  wait_for_output(c.output);
  while (busy_workers() >= most_workers && !stopping()) wait_for_workers();
  worker* w = stopping() ? nullptr : idle_worker();
  if (w == nullptr && !stopping()) w = start_worker();
  if (w != nullptr) send_job(*w, c);
  if (c.descriptor >= 0) close(c.descriptor);
  if (w == nullptr) {
    if (!stopping()) {
      report_failure(c.input,
                     std::string("cannot start a worker: ") + strerror(errno));
    }
    return;
  }
  w->busy = true;
  w->input = c.input;
  w->output = c.output;
  w->messages.clear();
}

// Tells the workers waiting for an input that none will come.
static void end_idle_workers() {
  for (worker& w : workers) {
    if (!w.busy && w.jobs >= 0) {
      close(w.jobs);
      w.jobs = -1;
    }
  }
}

void finish_workers() {
  if (stop_signal != 0) forward_stop();
  while (!workers.empty()) {
    end_idle_workers();
    wait_for_workers();
  }
  if (show_progress) print_progress(true);
  if (stop_signal == 0) return;
  int signal_number = stop_signal;
  signal(signal_number, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal_number);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(signal_number);
}
