#include "trace.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

TEST(Trace, ThresholdDropsHigherLevels) {
  int saved = trace_get_threshold();
  trace_set_threshold(2);
  testing::internal::CaptureStderr();
  trace_printf(2, 8, "[%s]: kept %d\n", "tag", 7);
  trace_printf(4, 8, "[%s]: dropped\n", "tag");
  std::string out = testing::internal::GetCapturedStderr();
  trace_set_threshold(saved);
  EXPECT_NE(out.find("L2/M8 [tag]: kept 7\n"), std::string::npos);
  EXPECT_EQ(out.find("dropped"), std::string::npos);
  EXPECT_EQ(out.find("\n\n"), std::string::npos) << "the format's own newline is folded";
}

// Under systemd, stderr is a stream to journald, named by JOURNAL_STREAM ("device:inode").
TEST(Trace, LinesToTheJournalCarryTheirPriority) {
  int saved = trace_get_threshold();
  trace_set_threshold(9);
  testing::internal::CaptureStderr();
  struct stat captured {};
  ASSERT_EQ(fstat(STDERR_FILENO, &captured), 0);
  std::string stream = std::to_string(captured.st_dev) + ":" + std::to_string(captured.st_ino);
  setenv("JOURNAL_STREAM", stream.c_str(), 1);
  for (int level = 1; level <= 6; ++level) trace_printf(level, 8, "level %d", level);
  setenv("JOURNAL_STREAM", (stream + "1").c_str(), 1);  // inherited, but stderr went elsewhere
  trace_printf(1, 8, "not the journal");
  unsetenv("JOURNAL_STREAM");
  trace_printf(1, 8, "no journal");
  std::string out = testing::internal::GetCapturedStderr();
  trace_set_threshold(saved);

  std::istringstream lines(out);
  std::vector<std::string> priorities;
  for (std::string line; std::getline(lines, line);) priorities.push_back(line[0] == '<' ? line.substr(0, 3) : "none");
  EXPECT_EQ(priorities, (std::vector<std::string>{"<3>", "<4>", "<5>", "<6>", "<7>", "<7>", "none", "none"}))
      << out;
}
