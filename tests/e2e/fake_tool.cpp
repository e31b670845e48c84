#include "fake_tool.hpp"

#include <fstream>
#include <sstream>

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

void FakeTool::hang() {
  writeScript("trap 'echo TERM >> \"$0.signals\"' TERM\n(trap '' TERM; exec sleep 60) & echo $! >> \"$0.straggler\"\n"
              "sleep 60; sleep 60");
}

bool FakeTool::termRequested() const { return !readFile(path_.string() + ".signals").empty(); }

void FakeTool::holdUntilReleased() { writeScript("while [ ! -e \"$0.released\" ]; do sleep 0.02; done"); }

void FakeTool::release() const { std::ofstream(path_.string() + ".released").flush(); }

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
  // Whole calls only: a tool may be appending one right now.
  const std::string text = readFile(record_);
  std::vector<ToolCall> result;
  std::istringstream lines(text.substr(0, text.rfind('\n') + 1));
  for (std::string line; std::getline(lines, line);) {
    std::istringstream arguments(line);
    ToolCall& call = result.emplace_back();
    for (std::string argument; std::getline(arguments, argument, '\0');) call.push_back(argument);
  }
  return result;
}

bool FakeTool::waitForCalls(size_t count, std::chrono::milliseconds timeout) const {
  return waitUntil([&] { return calls().size() >= count; }, timeout);
}

}  // namespace velmer::e2e
