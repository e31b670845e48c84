#include "trace.h"

#include <gtest/gtest.h>

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
