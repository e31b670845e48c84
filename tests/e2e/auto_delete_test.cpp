// Automatic deletion: a creation at the store's automatic-deletion capacity starts a
// pass that removes the finished jobs completed at least the time-out ago, each with
// its object, list entry, counts, cache entry and key-value entries.
#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "job_fixture.hpp"

namespace velmer::e2e {
namespace {

constexpr int64_t kDefaultTimeout = 172800;  // 48 hours
constexpr const char* kPassDone = "[JSProcessDeletionCommands]: Exiting JSProcessDeletionCommands";

class AutoDeletion : public JobTest {
 protected:
  std::string jobIn(uint32_t state, int64_t completedSecondsAgo, uint16_t type = 1) {
    std::string id = createJob("Configure: RAID", type);
    EXPECT_EQ(setJob(id, {{"jobState", state}, {"completionTime", now() - completedSecondsAgo}}), 0);
    return id;
  }

  // The creation that finds the store at its capacity starts a pass; returns the paths
  // of the objects the pass removed, once `count` are gone and the pass is over.
  std::vector<std::string> passRemoving(uint16_t numJobsInStore, size_t count) {
    recorder().clear();
    const size_t logStart = readLog().size();
    EXPECT_EQ(setMain({{"autoDeleteCapacity", numJobsInStore}, {"numJobsInStore", numJobsInStore}}), 0);
    createJob("Trigger", 1);
    std::vector<std::string> paths;
    EXPECT_TRUE(recorder().waitFor(
        [&](const SignalList& signals) {
          paths.clear();
          for (const auto& signal : signals)
            if (signal.member == "InterfacesRemoved") paths.push_back(signal.objectPath);
          return paths.size() >= count;
        },
        10s));
    EXPECT_TRUE(waitForLog(kPassDone, 10s, logStart));
    return paths;
  }
};

TEST_F(AutoDeletion, PassRemovesExactlyTheFinishedJobsAtOrPastTheTimeoutAndTheCountNeverWraps) {
  std::string due = jobIn(4, kDefaultTimeout);
  std::string longDue = jobIn(4, 10 * kDefaultTimeout, 0);  // type 0: an ID like a queue's
  std::string recent = jobIn(4, kDefaultTimeout - 60);
  std::string running = jobIn(3, 10 * kDefaultTimeout);
  std::string rebootPending = jobIn(6, 10 * kDefaultTimeout);
  for (const std::string& id : {due, recent})
    ASSERT_EQ(client().callMain<uint16_t>("JS_WriteBLOB_Key_Value", id, std::string("key"), std::string("caller"),
                                          std::string("value")),
              0);

  EXPECT_EQ(passRemoving(5, 2), (std::vector<std::string>{jobPath(due), jobPath(longDue)}));
  std::vector<std::string> left = client().mainProperty<std::vector<std::string>>("jobInfoObjList");
  ASSERT_EQ(left.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(left.begin(), left.begin() + 3),
            (std::vector<std::string>{recent, running, rebootPending}));
  EXPECT_EQ(client().mainProperty<uint16_t>("jobInfoObjCount"), 4);
  EXPECT_EQ(client().mainProperty<uint16_t>("numJobsInStore"), 4) << "6 after the creation, less the two removed";

  // The key-value file follows the property as it does for a named deletion.
  const auto blob = client().mainProperty<BlobKeyValue>("blobKeyValue");
  EXPECT_EQ(std::make_tuple(blob.contains(due), blob.contains(recent)), std::make_tuple(false, true));
  std::string cacheJournal = readFile(root() / "var/log/velmer/jobcache.jsonl");
  EXPECT_NE(cacheJournal.find(R"("op":"remove_job","id":")" + due), std::string::npos);
  EXPECT_EQ(cacheJournal.find(R"("op":"remove_job","id":")" + recent), std::string::npos);
  EXPECT_THROW(job(due), sdbus::Error);

  // A count below the jobs removed: the creation raises it to 1, two removals leave 0.
  ASSERT_EQ(setMain({{"autoDeleteCapacity", uint16_t{128}}}), 0);  // no pass while the jobs are made
  jobIn(4, kDefaultTimeout);
  jobIn(4, kDefaultTimeout);
  EXPECT_EQ(passRemoving(0, 2).size(), 2u);
  EXPECT_EQ(client().mainProperty<uint16_t>("numJobsInStore"), 0) << "not 65535";
  EXPECT_EQ(client().mainProperty<uint16_t>("jobInfoObjCount"), 5);
}

}  // namespace
}  // namespace velmer::e2e
