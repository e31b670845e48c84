#include "utl.h"

#include "guarded.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using velmer::platform::describeError;
using velmer::platform::guarded;
using velmer::platform::kTraceMask;

constexpr int kExecFailedExitCode = 127;

// ---- Running programs -------------------------------------------------------------------

// A program with its argument and environment vectors, complete before fork(): the child of a
// multi-threaded process may only make async-signal-safe calls until exec, so it cannot
// allocate or format anything.
struct Command {
  const char* path;
  char* const* argv;
  char* const* envp;
};

std::vector<char*> argumentVector(const char* program, va_list arguments) {
  std::vector<char*> argv{const_cast<char*>(program)};
  while (const char* argument = va_arg(arguments, const char*)) argv.push_back(const_cast<char*>(argument));
  argv.push_back(nullptr);
  return argv;
}

// Child only. A tool must not inherit the daemon's ignored or blocked signals (an ignored
// SIGPIPE or a blocked SIGTERM survives exec).
void resetSignalsInChild() {
  struct sigaction defaultAction {};
  defaultAction.sa_handler = SIG_DFL;
  for (int signal = 1; signal < NSIG; ++signal) sigaction(signal, &defaultAction, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Child only. Marks every descriptor above stderr close-on-exec, so the exec-error pipe stays
// usable until exec; kernels without close_range get the descriptors closed one by one.
void closeInheritedDescriptorsInChild(int keep, int limit) {
  if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
  for (int fd = 3; fd < limit; ++fd) {
    if (fd != keep) close(fd);
  }
}

[[noreturn]] void execInChild(const Command& command, int errorPipe, int descriptorLimit) {
  // A process group of its own, so that a tool that overruns its time is killed with
  // every process it started.
  setpgid(0, 0);
  resetSignalsInChild();
  closeInheritedDescriptorsInChild(errorPipe, descriptorLimit);
  execve(command.path, command.argv, command.envp);
  int error = errno;
  ssize_t ignored = write(errorPipe, &error, sizeof error);
  (void)ignored;
  _exit(kExecFailedExitCode);
}

// Forks with every signal blocked, so that no handler of the daemon runs in the child
// before its dispositions are reset. Only the parent returns.
pid_t forkToExec(const Command& command, int errorPipe) {
  int descriptorLimit = static_cast<int>(sysconf(_SC_OPEN_MAX));
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  pid_t pid = fork();
  if (pid == 0) execInChild(command, errorPipe, descriptorLimit);
  int forkError = errno;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = forkError;
  return pid;
}

struct Started {
  pid_t pid;        // -1 when no child was made
  int execError;    // errno of a failed exec; the child then exits with 127
};

// Waits until exec has happened or failed: the close-on-exec pipe closes unread when exec
// succeeds, and carries errno when it fails.
int readExecError(int pipe) {
  int error = 0;
  ssize_t got;
  do got = read(pipe, &error, sizeof error);
  while (got < 0 && errno == EINTR);
  return got == static_cast<ssize_t>(sizeof error) ? error : 0;
}

Started start(const Command& command, const char* caller) {
  if (command.path == nullptr) {
    trace_printf(1, kTraceMask, "[%s]: no program given", caller);
    return {-1, 0};
  }
  int pipe[2];
  if (pipe2(pipe, O_CLOEXEC) != 0) {
    trace_printf(1, kTraceMask, "[%s]: cannot start %s: pipe: %s", caller, command.path, describeError(errno));
    return {-1, 0};
  }
  pid_t pid = forkToExec(command, pipe[1]);
  int forkError = errno;
  close(pipe[1]);
  int execError = pid > 0 ? readExecError(pipe[0]) : 0;
  close(pipe[0]);
  if (pid < 0) {
    trace_printf(1, kTraceMask, "[%s]: cannot start %s: fork: %s", caller, command.path, describeError(forkError));
  } else if (execError != 0) {
    trace_printf(1, kTraceMask, "[%s]: cannot run %s: %s", caller, command.path, describeError(execError));
  }
  return {pid, execError};
}

// The wait status of `pid`, or -1 when it cannot be waited for (for instance when SIGCHLD is
// ignored and the kernel has reaped the child already).
int waitForExit(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

// Whether `pid` has ended, without reaping it: while it is a zombie its process ID, and so
// its group's ID, cannot be given to another process. -1 when it cannot be waited for.
int hasEnded(pid_t pid) {
  siginfo_t info{};
  if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return errno == EINTR ? 0 : -1;
  return info.si_pid == pid ? 1 : 0;
}

// Waits until `pid` has ended (not reaped) or `deadline` has passed: 1 ended, 0 still
// running, -1 cannot be waited for. The checks start 1 ms apart and slow down to 50 ms,
// so a quick tool is not held up.
int waitForEndUntil(pid_t pid, std::chrono::steady_clock::time_point deadline) {
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    if (int ended = hasEnded(pid); ended != 0) return ended;
    if (std::chrono::steady_clock::now() >= deadline) return 0;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
}

// As waitForExit, but a program still running UTL_TOOL_TIMEOUT_SECONDS after it started
// is asked to end (SIGTERM to its process group), given UTL_TOOL_GRACE_SECONDS to do so,
// and then its whole group is killed (SIGKILL), which also ends a child that outlived it.
// Its result is then that of a program killed by SIGKILL, whatever it did on SIGTERM: it
// overran its time, so its work is not to be trusted.
int waitForExitWithinTimeout(pid_t pid, const char* program, const char* caller) {
  const auto started = std::chrono::steady_clock::now();
  const int ended = waitForEndUntil(pid, started + std::chrono::seconds(UTL_TOOL_TIMEOUT_SECONDS));
  if (ended < 0) return -1;
  if (ended > 0) return waitForExit(pid);
  trace_printf(1, kTraceMask, "[%s]: %s (pid %d) did not end within %d s: asked to end, then killed with its group",
               caller, program, static_cast<int>(pid), UTL_TOOL_TIMEOUT_SECONDS);
  kill(-pid, SIGTERM);
  waitForEndUntil(pid, std::chrono::steady_clock::now() + std::chrono::seconds(UTL_TOOL_GRACE_SECONDS));
  kill(-pid, SIGKILL);
  return waitForExit(pid) < 0 ? -1 : SIGKILL;
}

int runAndWait(const Command& command, const char* caller) {
  Started started = start(command, caller);
  if (started.pid < 0) return -1;
  int status = waitForExitWithinTimeout(started.pid, command.path, caller);
  if (status < 0) {
    trace_printf(1, kTraceMask, "[%s]: cannot wait for %s: %s", caller, command.path, describeError(errno));
  } else {
    trace_printf(4, kTraceMask, "[%s]: %s ended with wait status %d", caller, command.path, status);
  }
  return status;
}

// Reaps `pid` on a detached thread. Without a thread the caller waits: better late than a zombie.
void reapInBackground(pid_t pid, std::string program) {
  auto reap = [pid, program] {
    int status = waitForExit(pid);
    guarded("utl_va_run_background", 0, [&] {
      trace_printf(4, kTraceMask, "[utl_va_run_background]: %s (pid %d) ended with wait status %d",
                   program.c_str(), static_cast<int>(pid), status);
      return 0;
    });
  };
  try {
    std::thread(reap).detach();
  } catch (const std::system_error& error) {
    trace_printf(2, kTraceMask, "[utl_va_run_background]: no waiter thread (%s), waiting for %s", error.what(),
                 program.c_str());
    reap();
  }
}

int startInBackground(const Command& command) {
  const char* caller = "utl_va_run_background";
  Started started = start(command, caller);
  if (started.pid < 0) return -1;
  if (started.execError != 0) return waitForExit(started.pid);  // exits at once with 127
  trace_printf(4, kTraceMask, "[%s]: started %s (pid %d)", caller, command.path, static_cast<int>(started.pid));
  reapInBackground(started.pid, command.path);
  return 0;
}

// ---- Copying, removing and listing trees --------------------------------------------------

bool failed(const char* what, const fs::path& path, const std::error_code& error) {
  trace_printf(1, kTraceMask, "[utl]: cannot %s %s: %s", what, path.c_str(), error.message().c_str());
  return false;
}

// The names below `dir`; a missing directory has none.
bool listChildren(const fs::path& dir, std::vector<fs::path>& children) {
  std::error_code error;
  fs::directory_iterator entry(dir, error);
  for (; !error && entry != fs::directory_iterator(); entry.increment(error)) children.push_back(entry->path());
  if (error == std::errc::no_such_file_or_directory) return true;
  return !error || failed("read", dir, error);
}

bool copyEntry(const fs::path& from, const fs::path& to);

bool copyChildren(const fs::path& from, const fs::path& to) {
  std::vector<fs::path> children;
  if (!listChildren(from, children)) return false;
  bool complete = true;
  for (const fs::path& child : children) complete = copyEntry(child, to / child.filename()) && complete;
  return complete;
}

// A directory is merged into one that is there already; anything else in its way goes.
bool copyDirectory(const fs::path& from, const fs::path& to, fs::perms mode) {
  std::error_code error;
  if (!fs::is_directory(fs::symlink_status(to, error))) {
    fs::remove_all(to, error);
    if (error || !fs::create_directory(to, error)) return failed("create", to, error);
  }
  bool complete = copyChildren(from, to);
  // The mode comes last: a read-only source directory must not keep its own children out.
  fs::permissions(to, mode, error);
  return (!error || failed("set the mode of", to, error)) && complete;
}

// Whatever is in the way is removed first, so an existing link is replaced and never
// written through, and a read-only file is replaced as well.
bool copyNonDirectory(const fs::path& from, const fs::path& to, const fs::file_status& source) {
  std::error_code error;
  fs::remove_all(to, error);
  if (error) return failed("replace", to, error);
  if (fs::is_symlink(source)) {
    fs::copy_symlink(from, to, error);
  } else if (fs::is_regular_file(source)) {
    fs::copy_file(from, to, error);
  } else {
    error = std::make_error_code(std::errc::not_supported);
  }
  return !error || failed("copy", from, error);
}

bool copyEntry(const fs::path& from, const fs::path& to) {
  std::error_code error;
  fs::file_status source = fs::symlink_status(from, error);
  if (error) return failed("read", from, error);
  if (fs::is_directory(source)) return copyDirectory(from, to, source.permissions());
  return copyNonDirectory(from, to, source);
}

bool copyTree(const fs::path& from, const fs::path& to) {
  std::error_code error;
  if (!fs::is_directory(from, error)) {
    return failed("copy from", from, error ? error : std::make_error_code(std::errc::not_a_directory));
  }
  fs::create_directories(to, error);
  if (error) return failed("create", to, error);
  return copyChildren(from, to);
}

bool removeMatchingChildren(const fs::path& dir, std::string_view pattern) {
  std::vector<fs::path> children;
  if (!listChildren(dir, children)) return false;
  bool complete = true;
  for (const fs::path& child : children) {
    if (child.filename().native().find(pattern) == std::string::npos) continue;
    std::error_code error;
    fs::remove_all(child, error);
    complete = (!error || failed("remove", child, error)) && complete;
  }
  return complete;
}

void listTreeToLog(unsigned int mask, bool withSize, const fs::path& dir) {
  if (trace_get_threshold() < 4) return;  // the lines would be dropped: skip the walk as well
  std::error_code error;
  fs::recursive_directory_iterator entry(dir, fs::directory_options::skip_permission_denied, error);
  for (; !error && entry != fs::recursive_directory_iterator(); entry.increment(error)) {
    struct stat info {};
    if (withSize && lstat(entry->path().c_str(), &info) == 0) {
      trace_printf(4, mask, "%s %lld", entry->path().c_str(), static_cast<long long>(info.st_size));
    } else {
      trace_printf(4, mask, "%s", entry->path().c_str());
    }
  }
  if (error) trace_printf(2, mask, "[utl_ls_recursive_to_log_with_level]: cannot list %s: %s", dir.c_str(),
                          error.message().c_str());
}

}  // namespace

extern "C" int utl_va_run(const char* program, ...) {
  va_list arguments;
  va_start(arguments, program);
  int status = guarded(__func__, -1, [&] {
    std::vector<char*> argv = argumentVector(program, arguments);
    return runAndWait({program, argv.data(), environ}, "utl_va_run");
  });
  va_end(arguments);
  return status;
}

extern "C" int utl_va_run_background(const char* program, ...) {
  va_list arguments;
  va_start(arguments, program);
  int result = guarded(__func__, -1, [&] {
    std::vector<char*> argv = argumentVector(program, arguments);
    return startInBackground({program, argv.data(), environ});
  });
  va_end(arguments);
  return result;
}

extern "C" int utl_execve(const void* /*reserved1*/, const void* /*reserved2*/, const void* /*reserved3*/,
                          char* const argv[], char* const envp[]) {
  return guarded(__func__, -1, [&] {
    static char* const kEmptyEnvironment[] = {nullptr};
    if (argv == nullptr) return -1;
    return runAndWait({argv[0], argv, envp != nullptr ? envp : kEmptyEnvironment}, "utl_execve");
  });
}

extern "C" int utl_cp_children_force_recursive(const char* sourceDir, const char* destinationDir,
                                               int /*overwrite*/, const void* /*reserved*/) {
  return guarded(__func__, -1, [&] {
    if (sourceDir == nullptr || destinationDir == nullptr) return -1;
    return copyTree(sourceDir, destinationDir) ? 0 : -1;
  });
}

extern "C" int utl_rm_children_force_recursive(const char* dir, int /*flags*/, const char* pattern) {
  return guarded(__func__, -1, [&] {
    if (dir == nullptr) return -1;
    return removeMatchingChildren(dir, pattern != nullptr ? pattern : "") ? 0 : -1;
  });
}

extern "C" void utl_ls_recursive_to_log_with_level(unsigned int mask, int detail, const char* dir) {
  guarded(__func__, 0, [&] {
    if (dir != nullptr) listTreeToLog(mask, detail != 0, dir);
    return 0;
  });
}
