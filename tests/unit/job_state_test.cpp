#include "jobs/job_state.hpp"

#include <gtest/gtest.h>

#include <string>

namespace velmer {
namespace {

TEST(InterfaceState, EachStateAndStatusTextMapsToItsClientState) {
  struct Case {
    uint32_t jobState;
    const char* status;
    uint8_t expected;
  };
  const Case cases[] = {
      // Finished: by status text, compared whole and case-sensitively.
      {4, "Failed", 10}, {4, "Completed with Errors", 11}, {4, "Reboot Failed", 13}, {4, "Reboot Completed", 14},
      {4, "GracefulShutdown Failed", 10}, {4, "Completed", 9}, {4, "failed", 9}, {4, "Failed ", 9},
      // Scheduled and running.
      {2, "anything", 4}, {3, "Pending", 4}, {3, "Paused, Waiting for Reboot", 8}, {3, "Downloading", 1},
      {3, "Pending Reboot", 12}, {3, "Completed, server reboot pending", 16}, {3, "Completed, virtual AC pending", 17},
      {3, "Running", 6}, {1, "Running", 6}, {1, "Downloading", 1}, {1, "Pending Reboot", 12}, {1, "New", 3},
      // New.
      {0, "Ready For Execution", 5}, {0, "Completed with Errors", 5}, {0, "Ready For Restore", 5}, {0, "Scheduled", 4},
      {0, "Pending Reboot", 12}, {0, "Running", 6}, {0, "Downloaded", 2}, {0, "Downloading", 1},
      {0, "Completed, server reboot pending", 16}, {0, "Completed, virtual AC pending", 17}, {0, "New", 0},
      // Pending reboot and pending AC; states above 7 keep the current state (99).
      {5, "Failed", 15}, {6, "Failed", 10}, {6, "Completed with Errors", 11}, {6, "Completed", 16}, {7, "Failed", 10},
      {7, "Completed with Errors", 11}, {7, "Completed", 17}, {8, "Failed", 99}, {255, "", 99},
  };
  for (const Case& c : cases) {
    uint8_t result = 0;
    EXPECT_EQ(getState4Interface(99, c.jobState, c.status, result), 0);
    EXPECT_EQ(result, c.expected) << c.jobState << " \"" << c.status << "\"";
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
