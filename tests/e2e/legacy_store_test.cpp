// The legacy copy of the store: written after changes so that a firmware downgrade finds
// the jobs (checked with the backup file), and read at start-up so that an upgrade keeps
// the older firmware's jobs. Legacy files are read and built here from the layout's byte
// tables, never with the daemon's own code.
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "persistence_fixture.hpp"

namespace velmer::e2e {
namespace {

using layout::legacyHeader, layout::legacyJob, layout::legacyQueue;

constexpr const char* kUpgradeDone = "=== UPGRADE RESTORE COMPLETE ===";

class LegacyStoreTest : public PersistenceTest {
 protected:
  void writeLegacyFile(const std::string& bytes) const {
    layout::writeBytes(root() / layout::kLegacyFile, layout::Bytes(bytes.begin(), bytes.end()));
  }
  std::vector<std::string> listedJobs() { return client().mainProperty<std::vector<std::string>>("jobInfoObjList"); }
};

// The main file is rewritten before the legacy copy: a crash between the two leaves a
// deleted job in the copy. The copy is still the one the daemon wrote last, so the job
// does not come back. A copy an older firmware wrote is read: its new objects are added
// up to the first damaged one; jobs the store holds already are kept, except a controller
// update, which takes the copy's outcome.
TEST_F(LegacyStoreTest, ADeletedJobDoesNotComeBackFromTheDaemonsOwnCopyButAnOlderFirmwaresCopyAddsWhatIsNew) {
  const std::string update = createJob("Firmware Update: Kelvo", 20), raid = createJob("RAID configuration", 2);
  const std::string deleted = createJob("RAID configuration", 3);
  ASSERT_TRUE(waitUntil([&] { return layout::readLegacyStore(readFile(root() / layout::kLegacyFile)).size() == 3; },
                        kBackupStepTimeout));
  ASSERT_EQ(stopDaemon(), 0);
  // The main file as the deletion's rewrite left it.
  layout::Bytes rewritten;
  for (const auto& object : backupObjects())
    if (layout::decodeJob(object.record).jsJobID != deleted)
      rewritten = layout::concat({rewritten, object.header, object.record});
  layout::writeBytes(root() / layout::kBackupFile, rewritten);
  startAndAwaitRestore();
  EXPECT_EQ(listedJobs(), (std::vector<std::string>{update, raid}));

  ASSERT_EQ(stopDaemon(), 0);
  const std::string newJob = "JID_100000000001", newQueue = "QID_100000000002";
  writeLegacyFile(legacyJob(update, "Firmware Update: Kelvo", "Completed") +
                  legacyJob(raid, "RAID configuration", "Completed") + legacyJob(newJob, "Storage reset", "Failed") +
                  legacyQueue(newQueue, {newJob}) + legacyHeader(8) + std::string(8, '\0') +
                  legacyJob("JID_100000000004", "Lost", "Completed"));
  const size_t logStart = readLog().size();
  startDaemon();
  ASSERT_TRUE(waitForLog(kUpgradeDone, kBackupStepTimeout, logStart)) << readLog(logStart);
  EXPECT_EQ(listedJobs(), (std::vector<std::string>{update, raid, newJob}));
  auto jobs = jobsOnBus();
  EXPECT_EQ(std::make_tuple(jobs[newJob].jobName, jobs[newJob].jobStatus),
            std::make_tuple("Storage reset", "Failed"));
  EXPECT_EQ(queue(kRestoredQueuePathPrefix + newQueue).at("jobQueueItem").get<std::vector<std::string>>(),
            std::vector<std::string>{newJob});

  const JobInfoRecord& completed = jobs[update];
  EXPECT_EQ(std::make_tuple(completed.jobState, completed.percentComplete, completed.jobStatus, completed.messageID,
                            completed.completionTime, completed.actualRunningStopTime),
            std::make_tuple(4u, uint16_t{100}, "Completed", "RED001", int64_t{1764949999}, int64_t{1764949998}));
  EXPECT_NE(jobs[raid].jobStatus, "Completed");
  EXPECT_TRUE(waitForBackup([&](const std::vector<layout::StoredObject>& objects) {
    auto stored = jobsIn(objects);
    return stored.contains(update) && stored.at(update).jobStatus == "Completed" &&
           stored.at(update).percentComplete == 100;
  })) << "the forced completion reaches the backup file";
}

// Tests that lay out the legacy copy before the daemon first starts.
class LegacyCopyAtTheFirstStart : public LegacyStoreTest {
 protected:
  std::optional<DaemonOptions> initialDaemon() const override { return std::nullopt; }
};

// A stop within the start-up wait, or without a backup thread (the backup directory
// cannot be made), never loses what the legacy copy holds: without a backup thread the
// copy is left as it is, and a stop within the wait still restores it first. A copy with
// more than the store can hold publishes up to the store's limits, so that creation is
// still possible afterwards, and keeps the rest on flash; a stray temporary copy is
// removed unread.
TEST_F(LegacyCopyAtTheFirstStart, AnEarlyStopKeepsItWholeAndItsRestoreStopsAtTheStoreLimits) {
  std::string copy;
  for (int i = 0; i < 257; ++i) copy += legacyJob("JID_" + std::to_string(100000000000 + i), "Old", "Completed");
  for (int i = 0; i < 257; ++i)
    copy += legacyQueue("QID_" + std::to_string(100000000000 + i), {"JID_" + std::to_string(100000000000 + i)});
  writeLegacyFile(copy);
  const auto stray = (root() / layout::kLegacyFile).string() + ".tmp";
  const std::string unfinished = legacyJob("JID_200000000000", "Unfinished", "Completed");
  layout::writeBytes(stray, layout::Bytes(unfinished.begin(), unfinished.end()));
  for (bool backupThread : {false, true}) {
    SCOPED_TRACE(backupThread ? "stop within the start-up wait" : "no backup thread");
    startDaemon(backupThread ? DaemonOptions{} : DaemonOptions{{"--bare"}, 5, "NOT_READY"});
    ASSERT_EQ(stopDaemon(), 0);
    EXPECT_EQ(layout::readLegacyStore(readFile(root() / layout::kLegacyFile)), layout::readLegacyStore(copy));
  }
  EXPECT_FALSE(std::filesystem::exists(stray));

  startAndAwaitRestore();
  EXPECT_EQ(client().mainProperty<uint16_t>("jobInfoObjCount"), 256);
  EXPECT_EQ(client().mainProperty<uint16_t>("jobQueueObjCount"), 256);
  EXPECT_EQ(backupObjects().size(), 2 * 257u) << "what is not published stays on flash";
}

}  // namespace
}  // namespace velmer::e2e
