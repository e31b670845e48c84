#include "fake_tool.hpp"

#include <fstream>

#include "child_process.hpp"
#include "daemon_fixture.hpp"

namespace velmer::e2e {

FakeTool::FakeTool(const std::filesystem::path& root, const std::string& absolutePath, int exitCode)
    : path_(root / absolutePath.substr(1)), record_(path_.string() + ".calls") {
  std::filesystem::create_directories(path_.parent_path());
  exitWith(exitCode);
}

void FakeTool::exitWith(int exitCode) { writeScript("exit " + std::to_string(exitCode)); }

void FakeTool::dieOf(int signalNumber) { writeScript("kill -" + std::to_string(signalNumber) + " $$"); }

void FakeTool::hang() { writeScript("sleep 60 & echo $! >> \"$0.straggler\"\nsleep 60"); }

void FakeTool::writeScript(const std::string& lastLine) {
  // Each argument ends in a NUL, each call in a newline. The call is built in a file of
  // its own and appended in one write, so a reader never sees half a call, also from a
  // tool started in the background.
  std::ofstream(path_) << "#!/bin/sh\n"
                          "call=\"$0.$$\"\n"
                          "printf '%s\\0' \"$@\" > \"$call\"\n"
                          "printf '\\n' >> \"$call\"\n"
                          "cat \"$call\" >> \"$0.calls\"\n"
                          "rm -f \"$call\"\n"
                       << lastLine << "\n";
  std::filesystem::permissions(path_, std::filesystem::perms(0755));
}

std::vector<ToolCall> FakeTool::calls() const {
  std::vector<ToolCall> result;
  const std::string text = readFile(record_);
  ToolCall current;
  for (size_t start = 0; start < text.size();) {
    if (text[start] == '\n') {
      result.push_back(std::move(current));
      current.clear();
      ++start;
      continue;
    }
    const size_t end = text.find('\0', start);
    if (end == std::string::npos) break;  // a call still being appended
    current.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return result;
}

bool FakeTool::waitForCalls(size_t count, std::chrono::milliseconds timeout) const {
  return waitUntil([&] { return calls().size() >= count; }, timeout);
}

}  // namespace velmer::e2e
