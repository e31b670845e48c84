// A tool program under the sandbox root replaced by a script that records every call
// and exits with the code the test chooses. The daemon runs tools by their absolute
// path under ROOT, so writing the script is all it takes.
//
//   FakeTool cancel(root(), "/usr/bin/jobcancelctl", 25);
//   ... the daemon runs it ...
//   EXPECT_EQ(cancel.calls(), (std::vector<ToolCall>{{"JID_000000000001"}}));
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace velmer::e2e {

// The argument vector of one call, without the program name.
using ToolCall = std::vector<std::string>;

class FakeTool {
 public:
  FakeTool(const std::filesystem::path& root, const std::string& absolutePath, int exitCode = 0);

  // Rewrites the script; calls recorded so far are kept.
  void exitWith(int exitCode);
  // The tool ends by the signal, as a crashed or killed one would.
  void dieOf(int signalNumber);
  // The tool starts a child of its own and never ends (not within a minute); the
  // child's process ID is appended to straggler(). The child ignores SIGTERM; the tool
  // notes one (termRequested()) and goes on.
  void hang();
  std::filesystem::path straggler() const { return path_.string() + ".straggler"; }
  bool termRequested() const;
  // Each call waits until release() (for good) lets it end with 0.
  void holdUntilReleased();
  void release() const;
  // Every call completed so far, oldest first.
  std::vector<ToolCall> calls() const;
  bool waitForCalls(size_t count, std::chrono::milliseconds timeout) const;
  const std::filesystem::path& path() const { return path_; }

 private:
  void writeScript(const std::string& lastLine);

  std::filesystem::path path_;
  std::filesystem::path record_;
};

}  // namespace velmer::e2e
