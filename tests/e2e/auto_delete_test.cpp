// Automatic deletion: a creation at the store's automatic-deletion capacity starts a
// pass that removes the finished jobs completed at least the time-out ago, each with
// its object, list entry, counts, cache entry and key-value entries.
#include <algorithm>
#include <string>
#include <vector>

#include "job_fixture.hpp"

namespace velmer::e2e {
namespace {

constexpr int64_t kDefaultTimeout = 172800;  // 48 hours

class AutoDeletion : public JobTest {
 protected:
  std::string jobIn(uint32_t state, int64_t completedSecondsAgo, uint16_t type = 1) {
    std::string id = createJob("Configure: RAID", type);
    EXPECT_EQ(setJob(id, {{"jobState", state}, {"completionTime", now() - completedSecondsAgo}}), 0);
    return id;
  }

  // The creation that finds the store at its capacity, and so starts a pass.
  void createAtCapacity(uint16_t numJobsInStore) {
    ASSERT_EQ(setMain({{"autoDeleteCapacity", numJobsInStore}, {"numJobsInStore", numJobsInStore}}), 0);
    createJob("Trigger", 1);
  }

  bool waitForRemovals(size_t count) {
    return recorder().waitFor(
        [&](const SignalList& signals) {
          return static_cast<size_t>(std::count_if(signals.begin(), signals.end(), [](const RecordedSignal& s) {
                   return s.member == "InterfacesRemoved";
                 })) >= count;
        },
        10s);
  }

  std::vector<std::string> removedPaths() {
    recorder().sync();
    std::vector<std::string> paths;
    for (const auto& signal : recorder().signals())
      if (signal.member == "InterfacesRemoved") paths.push_back(signal.objectPath);
    return paths;
  }

  std::vector<std::string> jobList() { return client().mainProperty<std::vector<std::string>>("jobInfoObjList"); }
};

TEST_F(AutoDeletion, PassRemovesExactlyTheFinishedJobsAtOrPastTheTimeout) {
  std::string due = jobIn(4, kDefaultTimeout);
  std::string longDue = jobIn(4, 10 * kDefaultTimeout, 0);  // type 0: an ID like a queue's
  std::string recent = jobIn(4, kDefaultTimeout - 60);
  std::string running = jobIn(3, 10 * kDefaultTimeout);
  std::string rebootPending = jobIn(6, 10 * kDefaultTimeout);
  ASSERT_EQ(client().callMain<uint16_t>("JS_WriteBLOB_Key_Value", due, std::string("key"), std::string("caller"),
                                        std::string("value")),
            0);
  ASSERT_EQ(client().callMain<uint16_t>("JS_WriteBLOB_Key_Value", recent, std::string("key"), std::string("caller"),
                                        std::string("value")),
            0);
  recorder().clear();

  createAtCapacity(5);
  ASSERT_TRUE(waitForRemovals(2));
  EXPECT_EQ(removedPaths(), (std::vector<std::string>{jobPath(due), jobPath(longDue)}));
  ASSERT_TRUE(waitForLog("[JSProcessDeletionCommands]: Exiting JSProcessDeletionCommands"));

  std::vector<std::string> left = jobList();
  EXPECT_EQ(left.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(left.begin(), left.begin() + 3),
            (std::vector<std::string>{recent, running, rebootPending}));
  EXPECT_EQ(client().mainProperty<uint16_t>("jobInfoObjCount"), 4);
  EXPECT_EQ(client().mainProperty<uint16_t>("numJobsInStore"), 4) << "6 after the creation, less the two removed";

  auto blob = client().mainProperty<BlobKeyValue>("blobKeyValue");
  EXPECT_FALSE(blob.contains(due));
  EXPECT_TRUE(blob.contains(recent));
  std::string keyValueFile = readFile(root() / "var/lib/jobservice/blobkeyvalue.json");
  EXPECT_EQ(keyValueFile.find(due), std::string::npos);
  EXPECT_NE(keyValueFile.find(recent), std::string::npos);
  std::string cacheJournal = readFile(root() / "var/log/velmer/jobcache.jsonl");
  EXPECT_NE(cacheJournal.find(R"("op":"remove_job","id":")" + due), std::string::npos);
  EXPECT_EQ(cacheJournal.find(R"("op":"remove_job","id":")" + recent), std::string::npos);
  EXPECT_THROW(job(due), sdbus::Error);
}

TEST_F(AutoDeletion, StoreCountNeverWrapsBelowZero) {
  jobIn(4, kDefaultTimeout);
  jobIn(4, kDefaultTimeout);
  recorder().clear();
  // The creation raises the count to 1; two removals must leave 0, not 65535.
  createAtCapacity(0);
  ASSERT_TRUE(waitForRemovals(2));
  ASSERT_TRUE(waitForLog("[JSProcessDeletionCommands]: Exiting JSProcessDeletionCommands"));
  EXPECT_EQ(client().mainProperty<uint16_t>("numJobsInStore"), 0);
  EXPECT_EQ(client().mainProperty<uint16_t>("jobInfoObjCount"), 1);
}

// The same removal serves a queue deleted on request.
class ObjectRemoval : public AutoDeletion {};

TEST_F(ObjectRemoval, DeletedQueueLeavesTheBusItsListAndItsCount) {
  std::string id = createJob("Configure: RAID", 1);
  auto [status, queueID, code] = client().callMain<uint16_t, std::string, uint16_t>(
      "JobServSchedule", std::vector<std::string>{id}, uint16_t{1}, std::string("TIME_NOW"), std::string("TIME_NA"));
  ASSERT_EQ(status, 0);
  ASSERT_EQ(client().mainProperty<uint16_t>("jobQueueObjCount"), 1);
  recorder().clear();

  ASSERT_EQ(client().callMain<uint16_t>("JobServDeleteQueue", queueID, uint16_t{0}), 0);
  ASSERT_TRUE(waitForRemovals(1));
  EXPECT_EQ(removedPaths(), std::vector<std::string>{"/xyz/openbmc_project/jobservice/jobservicequeueinfo/" + queueID});
  ASSERT_TRUE(waitForLog("[CleanupDBusObject]: Exiting CleanupDBusObject"));
  EXPECT_EQ(client().mainProperty<uint16_t>("jobQueueObjCount"), 0);
  EXPECT_TRUE(client().mainProperty<std::vector<std::string>>("jobQueueObjList").empty());
  EXPECT_EQ(jobList(), std::vector<std::string>{id}) << "the job stays";
  EXPECT_EQ(client().mainProperty<uint16_t>("numJobsInStore"), 1);
}

}  // namespace
}  // namespace velmer::e2e
