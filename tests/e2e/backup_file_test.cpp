// The backup file as the daemon leaves it after changes made over the bus, read with
// the format's own tables: the objects, their order, and every byte of each record.
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "persistence_fixture.hpp"
#include "queue_execution_peer.hpp"

namespace velmer::e2e {
namespace {

class BackupFile : public PersistenceTest {};

TEST_F(BackupFile, EveryChangeRewritesItWholeJobsFirstAndAnEmptyStoreLeavesAnEmptyFile) {
  QueueExecutionPeer scheduler(root());
  const std::string first = createJob("First job"), second = createJob("Second job");
  const std::string queue = scheduleNow({first, second});
  // A message longer than the record's field, written directly as a client may.
  client().setProperty(kJobPathPrefix + first, kJobInterface, "message", sdbus::Variant(std::string(300, 'm')));
  ASSERT_EQ(update(second, 255, 50), 0);

  ASSERT_TRUE(waitForBackup([&](const std::vector<layout::StoredObject>& objects) {
    auto stored = jobsIn(objects);
    return objects.size() == 3 && stored.contains(second) && stored.at(second).percentComplete == 50;
  }));
  auto objects = backupObjects();
  ASSERT_EQ(objects.size(), 3u);
  EXPECT_EQ(std::filesystem::file_size(layout::backupFile(root())), 135440u);
  auto jobs = jobsOnBus();
  std::map<std::string, std::string> paths;
  auto queues = queuesOnBus(&paths);
  EXPECT_EQ(paths.at(queue), "/xyz/openbmc_project/jobservice/jobservicequeueinfo/" + queue);
  const std::vector<layout::Bytes> expectedRecords = {
      layout::jobRecord(jobs.at(first)), layout::jobRecord(jobs.at(second)), layout::queueRecord(queues.at(queue))};
  const uint32_t expectedTypes[] = {layout::kJobType, layout::kJobType, layout::kQueueType};
  for (size_t i = 0; i < objects.size(); ++i) {
    SCOPED_TRACE("object " + std::to_string(i));
    EXPECT_EQ(objects[i].header,
              layout::header("JOBCTR", expectedTypes[i], i < 2 ? layout::kJobRecordSize : layout::kQueueRecordSize));
    // Byte for byte: reserved bytes, bytes after each NUL and unused slots are zero.
    EXPECT_TRUE(objects[i].record == expectedRecords[i]);
  }
  EXPECT_EQ(layout::decodeJob(objects[0].record).message, std::string(255, 'm'));
  EXPECT_EQ(layout::decodeQueue(objects[2].record).jobQueueItem, (std::vector<std::string>{first, second}));
  EXPECT_TRUE(waitUntil([&] { return !std::filesystem::exists(layout::backupFile(root()).string() + ".tmp"); },
                        kBackupStepTimeout))
      << "no temporary file is left behind";

  ASSERT_EQ(client().callMain<uint16_t>("JobServDeleteQueue", queue, uint16_t{0}), 0);
  auto [status, data, code] = client().callMain<uint16_t, std::string, uint16_t>(
      "JobServDelete", std::vector<std::string>{first, second}, uint16_t{2}, uint16_t{0});
  ASSERT_EQ(code, 0) << data;
  EXPECT_TRUE(waitUntil([&] { return jobsOnBus().empty() && queuesOnBus().empty(); }, kBackupStepTimeout));
  EXPECT_TRUE(waitForBackup([](const std::vector<layout::StoredObject>& objects) { return objects.empty(); }));
  EXPECT_TRUE(std::filesystem::exists(layout::backupFile(root()))) << "an empty store writes an empty file";
}

// Nothing a client writes and no failed write removes the backup file: an ID listed
// without a job is left out, and a rewrite that failed is tried again by the daemon on
// its own until the file matches the bus.
TEST_F(BackupFile, AListedIdWithoutAJobIsLeftOutAndAFailedRewriteIsRetriedUntilTheFileMatches) {
  const std::string first = createJob("First job"), second = createJob("Second job");
  auto listed = client().mainProperty<std::vector<std::string>>("jobInfoObjList");
  listed.insert(listed.begin(), "JID_999999999999");
  client().setMainProperty("jobInfoObjList", sdbus::Variant(listed));
  ASSERT_EQ(update(second, 255, 40), 0);
  ASSERT_TRUE(waitForBackup([&](const std::vector<layout::StoredObject>& objects) {
    auto stored = jobsIn(objects);
    return stored.size() == 2 && stored.contains(first) && stored.at(second).percentComplete == 40;
  })) << readLog();

  const auto obstacle = layout::backupFile(root()).string() + ".tmp";
  std::filesystem::create_directory(obstacle);
  const size_t logStart = readLog().size();
  auto [status, data, code] = client().callMain<uint16_t, std::string, uint16_t>(
      "JobServDelete", std::vector<std::string>{first}, uint16_t{1}, uint16_t{0});
  ASSERT_EQ(code, 0) << data;
  ASSERT_TRUE(waitForLog("[JS_PersistObjects]: Unable to open jqlegacy backup file", kBackupStepTimeout, logStart));
  EXPECT_TRUE(jobsInBackup().contains(first)) << "the previous file stays while the rewrite fails";
  std::filesystem::remove(obstacle);
  EXPECT_TRUE(waitForBackup([&](const std::vector<layout::StoredObject>& objects) {
    auto stored = jobsIn(objects);
    return stored.size() == 1 && stored.contains(second);
  }));
}

}  // namespace
}  // namespace velmer::e2e
