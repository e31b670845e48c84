#include "jobs/job_state.hpp"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace velmer {
namespace {

TEST(InterfaceState, EachStateAndStatusTextMapsToItsClientState) {
  // One or two texts of each state and its answer for any other text: a text is
  // compared whole and case-sensitively, and states above 7 keep the current state (99).
  const std::tuple<uint32_t, const char*, uint8_t> cases[] = {
      {4, "Completed with Errors", 11}, {4, "Reboot Failed", 13}, {4, "Failed", 10}, {4, "failed", 9},
      {4, "Failed ", 9}, {2, "anything", 4}, {3, "Paused, Waiting for Reboot", 8}, {3, "Running", 6},
      {1, "Downloading", 1}, {1, "New", 3}, {0, "Ready For Restore", 5}, {0, "Downloaded", 2}, {0, "New", 0},
      {5, "Failed", 15}, {6, "Failed", 10}, {6, "Completed", 16}, {7, "Completed with Errors", 11},
      {7, "Completed", 17}, {8, "Failed", 99}, {255, "", 99},
  };
  for (const auto& [jobState, status, expected] : cases) {
    uint8_t result = 0;
    EXPECT_EQ(getState4Interface(99, jobState, status, result), 0);
    EXPECT_EQ(result, expected) << jobState << " \"" << status << "\"";
  }
}

TEST(JobPredicates, ControllerUpdateNames) {
  const std::pair<const char*, int> cases[] = {{"Firmware Update: Kelvo", 1}, {"Firmware Rollback: Kelvo", 1},
                                               {"firmware update: kelvo", 0}, {"update:", 0},
                                               {"update:x", 1},               {"Update:x", 0},
                                               {"", 0}};
  for (const auto& [name, expected] : cases) EXPECT_EQ(jobIsKelvoUpdate(name), expected) << name;
}

}  // namespace
}  // namespace velmer
