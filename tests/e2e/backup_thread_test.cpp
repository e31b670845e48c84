// The backup command buffer and the backup thread, seen through the daemon's log: the
// thread serves nothing during its 2-second start-up wait, so commands posted then
// pile up and show how the buffer fills and drains.
#include <csignal>
#include <string>
#include <vector>

#include "job_fixture.hpp"

namespace velmer::e2e {
namespace {

constexpr const char* kServing = "[backupThread]: ___ Post restoration all job info";
constexpr const char* kBatchLine = "[backupThread]: Read commands from buffer, number of commands: ";
constexpr const char* kPosted = "[jsWriteToBuffer]: Command written to buffer";
constexpr const char* kServed = "[backupJCObjects]: Command processed: ";

class BackupThread : public JobTest {
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

  // Where `text` first occurs in the log, npos when it does not.
  size_t logPosition(const std::string& text) const { return readLog().find(text); }
};

TEST_F(BackupThread, CommandsPostedDuringTheStartupWaitAreServedAfterRestoreAsOneBatchInOrder) {
  std::vector<std::string> ids = {createJob("First", 1), createJob("Second", 1), createJob("Third", 1)};
  ASSERT_LT(logPosition(std::string(kPosted) + ", buffer size: 3"), logPosition(kServing))
      << "the three commands must be posted during the start-up wait";

  ASSERT_TRUE(waitForLog(std::string(kBatchLine) + "3"));
  ASSERT_TRUE(waitForLog("[backupJCObjects]: Exiting backupJCObjects"));
  std::string served = readLog(logPosition(kServing));
  EXPECT_EQ(occurrences(readLog(), kBatchLine), 1u);
  size_t previous = 0;
  for (const std::string& id : ids) {
    size_t at = served.find("[backupJCObjects]: Create operation: " + id);
    ASSERT_NE(at, std::string::npos) << id;
    EXPECT_GT(at, previous) << id << " out of order";
    previous = at;
  }
}

TEST_F(BackupThread, TakesTwoHundredFiftySixCommandsWhileBusyAndDropsTheNext) {
  std::string id = createJob("Configure: RAID", 1);  // command 1
  postReportsWithoutWaiting(id, 254);
  ASSERT_EQ(update(id, 255, 255), 0);  // command 256
  const size_t logStart = readLog().size();
  EXPECT_EQ(update(id, 255, 255), 0) << "a dropped command does not fail the report";
  EXPECT_NE(readLog(logStart).find("[jsWriteToBuffer]: Buffer is full"), std::string::npos);
  ASSERT_LT(logPosition(std::string(kPosted) + ", buffer size: 256"), logPosition(kServing))
      << "the commands must be posted during the start-up wait";

  ASSERT_TRUE(waitForLog(std::string(kBatchLine) + "256"));
  EXPECT_EQ(occurrences(readLog(), "Buffer is full"), 1u);
}

TEST_F(BackupThread, SigtermRightAfterABurstOfReportsCarriesThemOutAndEndsPromptly) {
  ASSERT_TRUE(waitForLog(kServing));
  std::string id = createJob("Configure: RAID", 1);
  postReportsWithoutWaiting(id, 200);
  ASSERT_EQ(update(id, 3, 10), 0);

  const auto signalled = Clock::now();
  daemon().process().signal(SIGTERM);
  auto status = daemon().process().waitForExit(kStopTimeout);
  ASSERT_TRUE(status.has_value()) << "still running " << kStopTimeout.count() << " s after SIGTERM";
  EXPECT_EQ(*status, 0);
  EXPECT_LT(Clock::now() - signalled, 2s);
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
