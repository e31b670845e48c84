#include "persistence/auto_delete.hpp"

#include <gtest/gtest.h>

#include "clock.hpp"
#include "persistence/backup_thread.hpp"

namespace velmer {
namespace {

TEST(AutoDeletion, FinishedJobsGoAtTheTimeoutAndClearAllTakesMarkedJobs) {
  struct Case {
    uint8_t operation;
    uint32_t state;
    uint8_t flags;
    int64_t completedSecondsAgo;
    uint32_t timeout;
    bool deleted;
  };
  // The states a pass leaves are pinned through the bus (tests/e2e/auto_delete_test.cpp);
  // here the edges of the time that a client cannot reach exactly.
  const Case cases[] = {
      {AutoDelete, 4, 0, 0, 0, true},
      {AutoDelete, 4, 0, -5, 0, false},  // completed in the future
      {ClearAll, 3, 0, 0, 0, false},     {ClearAll, 3, kJobFlagDeleted | kJobFlagQueued, 0, 0, true},
      {Create, 3, kJobFlagDeleted | kJobFlagQueued, 0, 0, false},
  };
  for (const Case& c : cases) {
    JobInfoRecord job;
    job.jsJobID = "JID_000000000001";
    job.jobState = c.state;
    job.flags = c.flags;
    job.completionTime = currentTimeSeconds() - c.completedSecondsAgo;
    EXPECT_EQ(JSIsAutoDeletionEnabled(c.operation, job, c.timeout), c.deleted)
        << c.operation << " state " << c.state << " " << c.completedSecondsAgo << " s ago";
  }
}

}  // namespace
}  // namespace velmer
