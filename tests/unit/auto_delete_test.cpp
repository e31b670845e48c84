#include "persistence/auto_delete.hpp"

#include <gtest/gtest.h>

#include "persistence/backup_thread.hpp"
#include "clock.hpp"

using namespace velmer;

namespace {
JobInfoRecord finishedJob(int64_t secondsAgo, uint32_t state = 4) {
  JobInfoRecord job;
  job.jsJobID = "JID_000000000001";
  job.jobState = state;
  job.completionTime = currentTimeSeconds() - secondsAgo;
  return job;
}
}  // namespace

TEST(AutoDeletion, FinishedJobsGoExactlyAtTheTimeout) {
  EXPECT_TRUE(JSIsAutoDeletionEnabled(AutoDelete, finishedJob(172800), 172800));
  EXPECT_TRUE(JSIsAutoDeletionEnabled(AutoDelete, finishedJob(172900), 172800));
  EXPECT_FALSE(JSIsAutoDeletionEnabled(AutoDelete, finishedJob(172790), 172800));
  EXPECT_FALSE(JSIsAutoDeletionEnabled(AutoDelete, finishedJob(1000000, 3), 172800)) << "only finished jobs";
  EXPECT_FALSE(JSIsAutoDeletionEnabled(AutoDelete, finishedJob(1000000, 6), 172800));
  EXPECT_TRUE(JSIsAutoDeletionEnabled(AutoDelete, finishedJob(0), 0)) << "time-out 0 deletes every finished job";
  EXPECT_FALSE(JSIsAutoDeletionEnabled(AutoDelete, finishedJob(-5), 0)) << "completion in the future";
}

TEST(AutoDeletion, ClearAllTakesMarkedJobsWhateverTheirState) {
  JobInfoRecord job = finishedJob(0, 3);
  EXPECT_FALSE(JSIsAutoDeletionEnabled(ClearAll, job, 0));
  job.flags = kJobFlagDeleted | kJobFlagQueued;
  EXPECT_TRUE(JSIsAutoDeletionEnabled(ClearAll, job, 0));
  EXPECT_FALSE(JSIsAutoDeletionEnabled(Create, job, 0)) << "other operations delete nothing";
}
