#include "jobs/job_state.hpp"

#include <gtest/gtest.h>

#include <string>

using velmer::getState4Interface;

namespace {
uint8_t interfaceState(uint32_t jobState, const std::string& status, uint8_t current = 99) {
  uint8_t result = 0;
  EXPECT_EQ(getState4Interface(current, jobState, status, result), 0);
  return result;
}
}  // namespace

TEST(InterfaceState, FinishedJobsMapByStatusText) {
  EXPECT_EQ(interfaceState(4, "Failed"), 10);
  EXPECT_EQ(interfaceState(4, "Completed with Errors"), 11);
  EXPECT_EQ(interfaceState(4, "Reboot Failed"), 13);
  EXPECT_EQ(interfaceState(4, "Reboot Completed"), 14);
  EXPECT_EQ(interfaceState(4, "GracefulShutdown Failed"), 10);
  EXPECT_EQ(interfaceState(4, "Completed"), 9);
  EXPECT_EQ(interfaceState(4, "failed"), 9) << "comparisons are case-sensitive";
  EXPECT_EQ(interfaceState(4, "Failed "), 9) << "comparisons are whole-string";
}

TEST(InterfaceState, RunningAndScheduledJobs) {
  EXPECT_EQ(interfaceState(2, "anything"), 4);
  EXPECT_EQ(interfaceState(3, "Pending"), 4);
  EXPECT_EQ(interfaceState(3, "Paused, Waiting for Reboot"), 8);
  EXPECT_EQ(interfaceState(3, "Downloading"), 1);
  EXPECT_EQ(interfaceState(3, "Pending Reboot"), 12);
  EXPECT_EQ(interfaceState(3, "Completed, server reboot pending"), 16);
  EXPECT_EQ(interfaceState(3, "Completed, virtual AC pending"), 17);
  EXPECT_EQ(interfaceState(3, "Running"), 6);
  EXPECT_EQ(interfaceState(1, "Running"), 6);
  EXPECT_EQ(interfaceState(1, "Downloading"), 1);
  EXPECT_EQ(interfaceState(1, "Pending Reboot"), 12);
  EXPECT_EQ(interfaceState(1, "New"), 3);
}

TEST(InterfaceState, NewJobsMapByStatusText) {
  EXPECT_EQ(interfaceState(0, "Ready For Execution"), 5);
  EXPECT_EQ(interfaceState(0, "Completed with Errors"), 5);
  EXPECT_EQ(interfaceState(0, "Ready For Restore"), 5);
  EXPECT_EQ(interfaceState(0, "Scheduled"), 4);
  EXPECT_EQ(interfaceState(0, "Pending Reboot"), 12);
  EXPECT_EQ(interfaceState(0, "Running"), 6);
  EXPECT_EQ(interfaceState(0, "Downloaded"), 2);
  EXPECT_EQ(interfaceState(0, "Downloading"), 1);
  EXPECT_EQ(interfaceState(0, "Completed, server reboot pending"), 16);
  EXPECT_EQ(interfaceState(0, "Completed, virtual AC pending"), 17);
  EXPECT_EQ(interfaceState(0, "New"), 0);
}

TEST(InterfaceState, PendingRebootAndAcStatesAndUnknownStates) {
  EXPECT_EQ(interfaceState(5, "Failed"), 15);
  EXPECT_EQ(interfaceState(6, "Failed"), 10);
  EXPECT_EQ(interfaceState(6, "Completed with Errors"), 11);
  EXPECT_EQ(interfaceState(6, "Completed"), 16);
  EXPECT_EQ(interfaceState(7, "Failed"), 10);
  EXPECT_EQ(interfaceState(7, "Completed with Errors"), 11);
  EXPECT_EQ(interfaceState(7, "Completed"), 17);
  EXPECT_EQ(interfaceState(8, "Failed", 42), 42) << "states above 7 keep the current interface state";
  EXPECT_EQ(interfaceState(9, "Completed", 3), 3);
  EXPECT_EQ(interfaceState(255, "", 7), 7);
}

TEST(JobPredicates, ControllerUpdateNames) {
  using velmer::jobIsKelvoUpdate;
  EXPECT_EQ(jobIsKelvoUpdate("Firmware Update: Kelvo"), 1);
  EXPECT_EQ(jobIsKelvoUpdate("Firmware Rollback: Kelvo"), 1);
  EXPECT_EQ(jobIsKelvoUpdate("firmware update: kelvo"), 0);
  EXPECT_EQ(jobIsKelvoUpdate("update:"), 0) << "seven characters are not enough";
  EXPECT_EQ(jobIsKelvoUpdate("update:x"), 1);
  EXPECT_EQ(jobIsKelvoUpdate("Update:x"), 0);
  EXPECT_EQ(jobIsKelvoUpdate(""), 0);
}
