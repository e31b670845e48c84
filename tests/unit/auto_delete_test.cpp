#include "persistence/auto_delete.hpp"

#include <gtest/gtest.h>

#include <tuple>

#include "clock.hpp"
#include "persistence/backup_thread.hpp"

namespace velmer {
namespace {

TEST(AutoDeletion, FinishedJobsGoAtTheTimeoutAndClearAllTakesMarkedJobs) {
  // The states a pass leaves are pinned through the bus (tests/e2e/job_delete_test.cpp);
  // here the edges of the time that a client cannot reach exactly.
  // operation, state, flags, completed seconds ago, time-out, deleted
  const std::tuple<uint8_t, uint32_t, uint8_t, int64_t, uint32_t, bool> cases[] = {
      {AutoDelete, 4, 0, 0, 0, true},
      {AutoDelete, 4, 0, -5, 0, false},  // completed in the future
      {ClearAll, 3, 0, 0, 0, false},     {ClearAll, 3, kJobFlagDeleted | kJobFlagQueued, 0, 0, true},
      {Create, 3, kJobFlagDeleted | kJobFlagQueued, 0, 0, false},
  };
  for (const auto& [operation, state, flags, completedSecondsAgo, timeout, deleted] : cases) {
    JobInfoRecord job;
    job.jsJobID = "JID_000000000001";
    job.jobState = state;
    job.flags = flags;
    job.completionTime = currentTimeSeconds() - completedSecondsAgo;
    EXPECT_EQ(JSIsAutoDeletionEnabled(operation, job, timeout), deleted)
        << operation << " state " << state << " " << completedSecondsAgo << " s ago";
  }
}

}  // namespace
}  // namespace velmer
