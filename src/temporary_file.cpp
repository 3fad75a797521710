#include "temporary_file.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>
#if __has_include(<sys/syscall.h>)
#include <sys/syscall.h>
#endif

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// The new file's name: hidden, beside the output and named after it, so that
// one a killed run leaves behind is easy to recognise and remove.
static const char kTemporaryPrefix[] = ".";
static const char kTemporarySuffix[] = ".pdb_convert-";
static const int kRandomCharacters = 6;
static const std::size_t kMaxNameInTemporary =
    NAME_MAX - (sizeof kTemporaryPrefix - 1) - (sizeof kTemporarySuffix - 1) -
    kRandomCharacters;

static const int kMaxCreateTries = 100;

// The signals whose default action ends the process, besides the real-time
// ones and the two the C library keeps for itself; SIGKILL cannot be caught.
// Those that only some systems have are taken where they are defined.
// SIGPOLL is Linux's SIGIO, which ends the process there; BSD's and macOS's
// SIGIO is ignored by default, and a handler there would remove the new file
// of a run that goes on.
static const int kEndingSignals[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGILL,  SIGTRAP,   SIGABRT, SIGBUS,
    SIGFPE,    SIGUSR1, SIGSEGV, SIGUSR2, SIGPIPE,   SIGALRM, SIGTERM,
    SIGXCPU,   SIGXFSZ, SIGSYS,  SIGPROF, SIGVTALRM,
#ifdef SIGPOLL
    SIGPOLL,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGEMT
    SIGEMT,
#endif
};

// The new file while it is written: its directory and name, set before the
// file exists and cleared once it is renamed or removed, read by the signal
// handler and at exit to remove it. A handler can reach nothing else, hence
// globals.
static int temporary_dir = -1;
static char temporary_name[NAME_MAX + 1];

// Whether the new file has no name.
static bool unnamed = false;

// The path that names the file open on fd, for linkat to give it a name.
struct descriptor_path {
  char text[32];
};

static descriptor_path path_of(int fd) {
  descriptor_path path;
  snprintf(path.text, sizeof path.text, "/proc/self/fd/%d", fd);
  return path;
}

static void unlink_temporary() {
  if (temporary_name[0] == '\0') return;
  unlinkat(temporary_dir, temporary_name, 0);
  temporary_name[0] = '\0';
}

// The stack the handler runs on: a stack overflow leaves none of the
// process's own for it.
static const std::size_t kSignalStackSize = 64 * 1024;

// Installed with SA_RESETHAND: the signal sent again ends the process, once
// the handler returns, as it would have without the handler, so callers see
// the status they expect. Sent with kill, since the C library's raise refuses
// the signals it keeps for itself.
static void remove_temporary_and_reraise(int signal_number) {
  unlink_temporary();
  kill(getpid(), signal_number);
}

#ifdef SYS_rt_sigprocmask
// The kernel's signal sets: 64 bits on Linux, fewer than the C library's.
static const std::size_t kKernelSignalSetSize = (NSIG - 1) / 8;
#endif

// sigprocmask, through the kernel's call: the C library's leaves out the
// signals it keeps for itself (32 and 33 with glibc on Linux), which end the
// process all the same.
static void set_signal_mask(int how, const sigset_t* set, sigset_t* previous) {
#ifdef SYS_rt_sigprocmask
  syscall(SYS_rt_sigprocmask, how, set, previous, kKernelSignalSetSize);
#else
  // A system without it, as macOS, keeps no signals from sigprocmask.
  sigprocmask(how, set, previous);
#endif
}

// Signals are held off while the new file's name and its existence may
// disagree, so that the handler never removes a file that is not ours.
sigset_t block_signals() {
  sigset_t all, previous;
  memset(&all, 0xff, sizeof all);
  sigemptyset(&previous);
  set_signal_mask(SIG_BLOCK, &all, &previous);
  return previous;
}

void restore_signals(const sigset_t& previous) {
  int error = errno;
  set_signal_mask(SIG_SETMASK, &previous, nullptr);
  errno = error;
}

// Only over the default action: a signal the caller chose to ignore stays
// ignored, and a handler already there (a sanitizer's) is kept. One call
// swaps the handler in; a second, rarely needed, puts back what was there.
static void install_over_default(int signal_number,
                                 const struct sigaction& action) {
  struct sigaction previous;
  if (sigaction(signal_number, &action, &previous) == 0 &&
      ((previous.sa_flags & SA_SIGINFO) != 0 ||
       previous.sa_handler != SIG_DFL)) {
    sigaction(signal_number, &previous, nullptr);
  }
}

#if defined(__linux__) && (defined(__x86_64__) || defined(__aarch64__))
// A signal's action as the kernel's rt_sigaction takes it on these machines.
struct kernel_action {
  void (*handler)(int);
  unsigned long flags;
  void (*restorer)();
  uint64_t mask;
};
#endif

#if defined(__linux__) && (defined(__x86_64__) || defined(__aarch64__))
static int kernel_sigaction(int signal_number, const kernel_action* action,
                            kernel_action* previous) {
  return syscall(SYS_rt_sigaction, signal_number, action, previous,
                 kKernelSignalSetSize);
}
#endif

// Installs action over the default action of the signals the C library keeps
// for itself (32 and 33 with glibc on Linux), through the kernel's call, which
// the library refuses them. The kernel's form of the action, with the
// library's return from a handler that the kernel needs, is read back from a
// signal the library installed it on: SIGUSR1, where the caller left it to
// its default, and otherwise installed there for the moment. As elsewhere,
// one call swaps it in, and a second, rarely needed, puts back what was
// there.
static void install_over_reserved(const struct sigaction& action) {
#if defined(__linux__) && (defined(__x86_64__) || defined(__aarch64__))
  static const int kFirstReserved = 32;
  kernel_action own, old;
  if (kernel_sigaction(SIGUSR1, nullptr, &own) != 0) return;
  if (own.handler != action.sa_handler) {
    struct sigaction previous;
    if (sigaction(SIGUSR1, &action, &previous) != 0) return;
    bool read = kernel_sigaction(SIGUSR1, nullptr, &own) == 0;
    sigaction(SIGUSR1, &previous, nullptr);
    if (!read) return;
  }
  for (int signal_number = kFirstReserved; signal_number < SIGRTMIN;
       ++signal_number) {
    if (kernel_sigaction(signal_number, &own, &old) == 0 &&
        old.handler != SIG_DFL) {
      kernel_sigaction(signal_number, &old, nullptr);
    }
  }
#else
  (void)action;
#endif
}

// Gives the handler a stack of its own, where none is set yet (a sanitizer
// sets its own, which is put back).
static void use_signal_stack() {
  static char stack[kSignalStackSize];
  stack_t own, current;
  memset(&own, 0, sizeof own);
  own.ss_sp = stack;
  own.ss_size = sizeof stack;
  if (sigaltstack(&own, &current) == 0 &&
      (current.ss_flags & SS_DISABLE) == 0) {
    sigaltstack(&current, nullptr);
  }
}

// To be called with signals held off, so that no signal meets the handler
// before the caller's action is put back.
static bool install_cleanup() {
  atexit(unlink_temporary);
  use_signal_stack();
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = remove_temporary_and_reraise;
  action.sa_flags = SA_RESETHAND | SA_ONSTACK;
  sigfillset(&action.sa_mask);
  for (int signal_number : kEndingSignals) {
    install_over_default(signal_number, action);
  }
#ifdef SIGRTMIN
  for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX;
       ++signal_number) {
    install_over_default(signal_number, action);
  }
#endif
  install_over_reserved(action);
  return true;
}

// Six characters for a new file's name; uniqueness rests on O_EXCL, so they
// need only vary.
static void random_characters(char* out) {
  static const char kCharacters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  static unsigned long long state = 0;
  if (state == 0) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    state = ((unsigned long long)now.tv_sec << 30) ^
            ((unsigned long long)now.tv_nsec << 10) ^
            (unsigned long long)getpid() ^ 1;
  }
  for (int i = 0; i < kRandomCharacters; ++i) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    out[i] = kCharacters[state % (sizeof kCharacters - 1)];
  }
  out[kRandomCharacters] = '\0';
}

// Calls make, which makes a file at temporary_name, at hidden names after
// output_name until one is free; the caller holds signals off. Returns what
// make returns, -1 with errno set where it fails, temporary_name cleared.
template <typename Make>
static int at_free_name(const std::string& output_name, Make make) {
  std::string name = kTemporaryPrefix +
                     output_name.substr(0, kMaxNameInTemporary) +
                     kTemporarySuffix;
  int status = -1;
  for (int tries = 0; tries < kMaxCreateTries; ++tries) {
    memcpy(temporary_name, name.c_str(), name.size());
    random_characters(temporary_name + name.size());
    status = make();
    if (status >= 0 || errno != EEXIST) break;
  }
  if (status < 0) temporary_name[0] = '\0';
  return status;
}

// Its name is recorded before it exists, with signals held off meanwhile, so
// that no moment leaves it behind unrecorded.
static int create_named(int directory, const std::string& output_name,
                        mode_t mode) {
  sigset_t previous = block_signals();
  static const bool kCleanupInstalled = install_cleanup();
  (void)kCleanupInstalled;
  int fd = at_free_name(output_name, [&] {
    return openat(directory, temporary_name,
                  O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  });
  restore_signals(previous);
  return fd;
}

// A file with no name, which a process killed before it is named leaves
// nowhere, even by SIGKILL, and which needs no handler; it is named through
// /proc (linkat's AT_EMPTY_PATH needs a capability), and so is made only where
// /proc is there to name it by (an empty chroot has none). Returns -1 where
// it cannot be made, for whatever reason: the named file is then tried, and
// fails, where it does, as it always has.
static int create_unnamed(int directory, mode_t mode) {
#ifdef O_TMPFILE
  // Lets the tests run the named file's path where unnamed files work.
  if (getenv("PDB_CONVERT_NAMED_NEW_FILE") != nullptr) return -1;
  int fd = openat(directory, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
  if (fd < 0) return -1;
  if (access(path_of(fd).text, F_OK) == 0) return fd;
  close(fd);
#else
  (void)directory;
  (void)mode;
#endif
  return -1;
}

int create_temporary(int directory, const std::string& output_name,
                     mode_t mode) {
  temporary_dir = directory;
  int fd = create_unnamed(directory, mode);
  unnamed = fd >= 0;
  return unnamed ? fd : create_named(directory, output_name, mode);
}

// renameat where no file is named to, or -1 with errno EEXIST; EINVAL where
// the file system cannot promise that. Linux's renameat2 and macOS's
// renameatx_np make the same promise under two names.
static int rename_exclusive(const char* from, const char* to) {
#ifdef RENAME_NOREPLACE
  return renameat2(temporary_dir, from, temporary_dir, to, RENAME_NOREPLACE);
#else
  int status =
      renameatx_np(temporary_dir, from, temporary_dir, to, RENAME_EXCL);
  if (status != 0 && errno == ENOTSUP) errno = EINVAL;
  return status;
#endif
}

// Names the unnamed file: at name where no file is there, and otherwise at a
// hidden name renamed over name, with signals held off between the two, so
// that only SIGKILL can leave it there, and then whole.
static int name_unnamed(int fd, const std::string& name, bool replace) {
  descriptor_path path = path_of(fd);
  if (!replace) {
    return linkat(AT_FDCWD, path.text, temporary_dir, name.c_str(),
                  AT_SYMLINK_FOLLOW) == 0
               ? 0
               : errno;
  }
  sigset_t previous = block_signals();
  int status = at_free_name(name, [&] {
    return linkat(AT_FDCWD, path.text, temporary_dir, temporary_name,
                  AT_SYMLINK_FOLLOW);
  });
  if (status == 0) {
    status =
        renameat(temporary_dir, temporary_name, temporary_dir, name.c_str());
  }
  int error = status == 0 ? 0 : errno;
  if (error != 0) unlink_temporary();
  temporary_name[0] = '\0';
  restore_signals(previous);
  return error;
}

int rename_temporary(int fd, const std::string& name, bool replace) {
  if (unnamed) return name_unnamed(fd, name, replace);
  sigset_t previous = block_signals();
  int status;
  if (replace) {
    status =
        renameat(temporary_dir, temporary_name, temporary_dir, name.c_str());
  } else {
    status = rename_exclusive(temporary_name, name.c_str());
    // A file system that cannot promise it.
    if (status != 0 && errno == EINVAL) {
      status =
          renameat(temporary_dir, temporary_name, temporary_dir, name.c_str());
    }
  }
  int error = status == 0 ? 0 : errno;
  if (status == 0) temporary_name[0] = '\0';
  restore_signals(previous);
  return error;
}

void remove_temporary() {
  // None recorded, none to remove: only this process records one, and a
  // signal that removes it ends the process.
  if (temporary_name[0] == '\0') return;
  sigset_t previous = block_signals();
  unlink_temporary();
  restore_signals(previous);
}
