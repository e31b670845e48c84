// The backup command buffer and the backup thread under bursts of commands: equal
// commands merge, none is dropped, and a stop carries out every one accepted before it.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "persistence_fixture.hpp"

namespace velmer::e2e {
namespace {

constexpr const char* kPosted = "[jsWriteToBuffer]: Command written to buffer";
constexpr const char* kServed = "[backupJCObjects]: Command processed: ";

class BackupThread : public PersistenceTest {
 protected:
  // `count` reports of no change for `jobID`, each posting a backup command, sent
  // without waiting for replies so that the daemon takes them back to back. A call
  // with a reply afterwards returns once all of them are handled.
  void postReportsWithoutWaiting(const std::string& jobID, int count) {
    for (int i = 0; i < count; ++i) {
      auto call = client().newCall(kServicePath, kMainInterface, "JobServUpdateJobInfo");
      call << jobID << uint16_t{255} << uint16_t{255} << std::string() << std::string() << std::string()
           << std::string();
      call.dontExpectReply();
      client().send(call);
    }
  }
};

// More commands than the buffer's 256 entries, a deletion among the last: equal commands
// merge, so nothing is dropped and every confirmed deletion is carried out. The backup
// thread is held busy by a post-restore tool that waits for the test to release it (or
// for the tool time-out).
TEST_F(BackupThread, ABurstOfReportsAndDeletionsWhileBusyEndsWithTheFileMatchingTheBus) {
  const std::string running = createJob("Configure: RAID running", 1);
  ASSERT_EQ(update(running, 3, 0), 0);
  ASSERT_TRUE(waitUntilBackupMatchesBus());
  ASSERT_EQ(stopDaemon(), 0);
  const auto started = root() / "hold.started", release = root() / "hold.release";
  {
    const auto tool = root() / "usr/bin/postrestorectl";
    std::ofstream(tool) << "#!/bin/sh\ntouch " << started << "\nwhile [ ! -e " << release
                        << " ]; do sleep 0.05; done\n";
    std::filesystem::permissions(tool, std::filesystem::perms::owner_all);
  }
  startDaemon();
  ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(started); }, kBackupStepTimeout));

  std::vector<std::string> ids;
  for (int i = 0; i < 3; ++i) ids.push_back(createJob("Configure: RAID " + std::to_string(i), 1));
  postReportsWithoutWaiting(running, 300);
  for (const auto& id : ids) {
    auto [status, data, code] = client().callMain<uint16_t, std::string, uint16_t>(
        "JobServDelete", std::vector<std::string>{id}, uint16_t{1}, uint16_t{0});
    ASSERT_EQ(code, 0) << data;
  }
  ASSERT_EQ(update(running, 3, 10), 0);
  std::ofstream(release).put('\n');

  ASSERT_TRUE(waitUntilBackupMatchesBus());
  const auto jobs = jobsOnBus();
  EXPECT_EQ(jobs.size(), 1u) << "every deleted job is gone";
  ASSERT_TRUE(jobs.contains(running));
  EXPECT_EQ(jobs.at(running).percentComplete, 10);
  EXPECT_EQ(occurrences(readLog(), "Buffer is full"), 0u);
}

// A deletion confirmed to a client before a stop is finished by the next start, even when
// the stop came before the job was removed.
TEST_F(BackupThread, AJobRestoredWithItsDeleteMarkIsRemovedOnceTheRestoreIsDone) {
  const std::string kept = createJob("Configure: RAID", 1);
  ASSERT_TRUE(waitUntilBackupMatchesBus());
  ASSERT_EQ(stopDaemon(), 0);
  const JobInfoRecord stored = jobsInBackup().at(kept);
  JobInfoRecord marked = stored;
  marked.jsJobID = "JID_000000000042";
  marked.flags = kJobFlagDeleted;
  layout::writeBytes(layout::backupFile(root()), layout::concat({layout::jobObject(stored), layout::jobObject(marked)}));
  removeLegacyCopy();

  startAndAwaitRestore();
  ASSERT_TRUE(waitUntilBackupMatchesBus());
  EXPECT_EQ(jobsInBackup().size(), 1u);
  EXPECT_TRUE(jobsOnBus().contains(kept));
}

TEST_F(BackupThread, SigtermRightAfterABurstOfReportsCarriesThemOut) {
  ASSERT_TRUE(waitForLog(kRestoreDone));
  std::string id = createJob("Configure: RAID", 1);
  postReportsWithoutWaiting(id, 200);
  ASSERT_EQ(update(id, 3, 10), 0);

  ASSERT_EQ(stopDaemon(), 0);
  // Every command accepted before the signal was carried out before the thread ended.
  std::string log = readLog();
  EXPECT_EQ(occurrences(log, kServed), occurrences(log, kPosted));
  EXPECT_EQ(occurrences(log, "Buffer is full"), 0u);

  // The last report reached the backup: a new process restores the job as reported.
  startDaemon();
  ASSERT_TRUE(waitUntil([&] { return client().mainProperty<uint16_t>("jobInfoObjCount") == 1; }, 10s));
  EXPECT_EQ(jobValue<uint32_t>(id, "jobState"), 3u);
  EXPECT_EQ(jobValue<uint16_t>(id, "percentComplete"), 10);
}

}  // namespace
}  // namespace velmer::e2e
