// Child processes of an end-to-end test (the bus daemon, velmerd-sandbox), started
// without a shell and always ended by their own PID, and the deadline-bound wait that
// every end-to-end helper uses instead of sleeping.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace velmer::e2e {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Checks `condition` until it holds or `timeout` has passed, with short pauses between
// checks. Returns whether it held.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// How a process ended: its exit code, or minus the number of the signal that ended it.
using ExitStatus = int;

class ChildProcess {
 public:
  // Runs the program `argv[0]` (a path) with stdin from /dev/null and stdout and
  // stderr appended to `logPath`. The child is killed if the test process dies, so a
  // crashed test leaves no daemon behind.
  ChildProcess(const std::vector<std::string>& argv, const std::string& logPath);
  // Kills the process if it still runs.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  bool running();
  // Waits until the process has ended; nullopt when it still runs after `timeout` (0:
  // whether it has ended).
  std::optional<ExitStatus> waitForExit(std::chrono::milliseconds timeout);
  // `signalNumber`, then a wait of up to `timeout`, then SIGKILL if it still runs.
  ExitStatus stop(int signalNumber, std::chrono::milliseconds timeout);
  ExitStatus kill();

 private:
  bool reap(int flags);

  pid_t pid_ = -1;
  std::optional<ExitStatus> exitStatus_;
};

}  // namespace velmer::e2e
