#include "child_process.hpp"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace velmer::e2e {

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  auto pause = 1ms;
  for (;;) {
    if (condition()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(25));
  }
}

namespace {

// Everything between fork and exec must be async-signal-safe, so the argument
// vector is built before the fork.
std::vector<char*> argvPointers(const std::vector<std::string>& argv) {
  std::vector<char*> pointers;
  for (const auto& arg : argv) pointers.push_back(const_cast<char*>(arg.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

[[noreturn]] void execChild(char* const* argv, const char* logPath, pid_t parent) {
  // Die with the test process; check the parent in case it died before prctl.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(127);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
  int log = open(logPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (input < 0 || log < 0 || dup2(input, STDIN_FILENO) < 0 || dup2(log, STDOUT_FILENO) < 0 ||
      dup2(log, STDERR_FILENO) < 0)
    _exit(127);
  execve(argv[0], argv, environ);
  _exit(127);
}

ExitStatus decode(int waitStatus) {
  return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -WTERMSIG(waitStatus);
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& logPath) {
  auto pointers = argvPointers(argv);
  pid_t parent = getpid();
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  if (pid_ == 0) execChild(pointers.data(), logPath.c_str(), parent);
}

ChildProcess::~ChildProcess() {
  if (running()) kill();
}

bool ChildProcess::reap(int flags) {
  if (exitStatus_) return true;
  int status = 0;
  pid_t result = waitpid(pid_, &status, flags);
  if (result == pid_) exitStatus_ = decode(status);
  return exitStatus_.has_value();
}

bool ChildProcess::running() { return !reap(WNOHANG); }

std::optional<ExitStatus> ChildProcess::waitForExit(std::chrono::milliseconds timeout) {
  waitUntil([&] { return !running(); }, timeout);
  return exitStatus_;
}

ExitStatus ChildProcess::stop(int signalNumber, std::chrono::milliseconds timeout) {
  if (running()) ::kill(pid_, signalNumber);
  if (auto status = waitForExit(timeout)) return *status;
  return kill();
}

ExitStatus ChildProcess::kill() {
  if (running()) ::kill(pid_, SIGKILL);
  reap(0);
  return *exitStatus_;
}

}  // namespace velmer::e2e
