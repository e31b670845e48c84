// Restore at start-up as a client sees it: a stopped or killed daemon comes back with
// its jobs, queues, counts and settings; a damaged or hand-built backup file gives
// exactly the objects it holds before any damage; stray temporary files are never read.
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "persistence_fixture.hpp"
#include "queue_execution_peer.hpp"

namespace velmer::e2e {
namespace {

using layout::Bytes;

// The main object's view of the store.
auto storeSummary(BusClient& client) {
  return std::make_tuple(
      client.mainProperty<uint16_t>("numJobsInStore"), client.mainProperty<uint16_t>("jobInfoObjCount"),
      client.mainProperty<std::vector<std::string>>("jobInfoObjList"),
      client.mainProperty<uint16_t>("jobQueueObjCount"),
      client.mainProperty<std::vector<std::string>>("jobQueueObjList"),
      client.mainProperty<BlobKeyValue>("blobKeyValue"), client.mainProperty<uint32_t>("autoDeleteTimeout"));
}

template <class Map>
std::vector<std::string> keysOf(const Map& map) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : map) keys.push_back(key);
  return keys;
}

mode_t permissionsOf(const std::filesystem::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

// A job as a file written by an earlier run would hold it.
JobInfoRecord storedJob(const std::string& id, uint32_t state, uint32_t type = 3) {
  JobInfoRecord job;
  job.jsJobID = id;
  job.jobName = "stored " + id;
  job.jobType = type;
  job.jobState = state;
  job.jobStatus = state == 4 ? "Completed" : state == 3 ? "Running" : "New";
  job.message = "stored message";
  job.messageID = "JCP000";
  job.percentComplete = state == 4 ? 100 : 254;
  job.creationTime = 1764944000;
  job.latestUpdateTime = 1764945000;
  job.startTime = 1764944000;
  return job;
}

JobQueueRecord storedQueue(const std::string& id, std::vector<std::string> items) {
  JobQueueRecord queue;
  queue.jsQueueID = id;
  queue.untilTime = kNoEnd;
  queue.queueState = 1;
  queue.itemCount = static_cast<uint32_t>(items.size());
  queue.jobQueueItem = std::move(items);
  return queue;
}

class Restore : public PersistenceTest {};

// Tests that lay out the backup directory themselves before the daemon first starts.
class RestoreFromFile : public PersistenceTest {
 protected:
  std::optional<DaemonOptions> initialDaemon() const override { return std::nullopt; }
};

TEST_F(Restore, RestartAfterSigtermOrKillBringsBackEveryJobQueueCountAndSetting) {
  QueueExecutionPeer scheduler(root());
  recordPostRestoreCalls();
  const std::string queued1 = createJob("Queued one"), queued2 = createJob("Queued two");
  const std::string running = createJob("Running job"), failed = createJob("Failed job");
  const std::string queue = scheduleNow({queued1, queued2});

  // Every stored property of one job gets a value unlike its default, extremes included.
  const JobInfoRecord runningValues = {
      .startTime = -2, .untilTime = kNoEnd, .completionTime = 1764945003, .processID = 4000000000u,
      .runningTimeoutSeconds = 21600, .jobName = "Running job \u00fcber", .message = std::string(255, 'm'),
      .messageArgs = "arg1,arg2", .queueID = "QID_999999999999", .jobStatus = "Running", .messageID = "JCP007",
      .jsJobID = running, .flags = 0x18, .jobType = 65, .jobState = 3, .percentComplete = 40,
      .latestUpdateTime = 1764945004, .creationTime = 1764945001, .jobStateForInterface = 6, .reserved0 = 0,
      .actualRunningStartTime = 1764945005, .actualRunningStopTime = -1};
  ASSERT_EQ(setJob(running, layout::restoredJobProperties(runningValues)), 0);
  // An interface state stored as 0 is computed again from state and status; 5 is kept.
  ASSERT_EQ(setJob(failed, {{"jobState", uint32_t{4}}, {"jobStatus", std::string("Failed")}}), 0);
  ASSERT_EQ(setJob(queued1, {{"jobStateForInterface", uint8_t{5}}}), 0);
  ASSERT_EQ(client().callMain<uint16_t>("JS_WriteBLOB_Key_Value", queued1, std::string("stage"), std::string("updater"),
                                        std::string("2")),
            0);
  ASSERT_EQ(client().callMain<uint16_t>("JS_WriteBLOB_Key_Value", running, std::string("phase"),
                                        std::string("installer"), std::string("copy \xe2\x82\xac")),
            0);
  ASSERT_EQ(client().callMain<uint16_t>("ConfigureJobStoreAutoDeletionPolicy", uint16_t{600}), 0);
  ASSERT_EQ(update(queued2, 255, 12), 0);  // the property writes above post no backup command; this one does
  ASSERT_TRUE(waitUntilBackupMatchesBus());

  auto expectedJobs = jobsOnBus();
  expectedJobs.at(failed).jobStateForInterface = 10;
  const auto queuesBefore = queuesOnBus();
  const auto summaryBefore = storeSummary(client());
  ASSERT_EQ(std::get<0>(summaryBefore), 4);
  while (scheduler.receive(0ms)) continue;  // the message of the scheduling itself

  const std::pair<const char*, std::function<void()>> restarts[] = {
      {"after SIGTERM", [&] { restartAndAwaitRestore(SIGTERM); }},
      {"after kill -9", [&] { restartAndAwaitRestore(SIGKILL); }},
      // The store then lies only in the restore directory: the next start must find it.
      {"after kill -9 during the start-up wait", [&] {
         killDaemon();
         startDaemon();
         restartAndAwaitRestore(SIGKILL);
       }}};
  for (const auto& [how, restart] : restarts) {
    SCOPED_TRACE(how);
    const size_t callsBefore = postRestoreCalls().size();
    restart();

    EXPECT_EQ(jobsOnBus(), expectedJobs);
    std::map<std::string, std::string> queuePaths;
    EXPECT_EQ(queuesOnBus(&queuePaths), queuesBefore);
    EXPECT_EQ(queuePaths[queue], kRestoredQueuePathPrefix + queue);
    EXPECT_EQ(storeSummary(client()), summaryBefore);

    // The restored queue is handed to the queue-execution process again, once.
    auto resent = scheduler.receive(0ms);
    ASSERT_TRUE(resent.has_value());
    EXPECT_EQ(resent->type, 2);
    EXPECT_EQ(resent->payload, expectedSchedulerPayload(0, kNoEnd, queue));
    EXPECT_EQ(scheduler.pending(), 0u);

    // Only the job that was running is handed to the post-restore tool.
    auto calls = postRestoreCalls();
    ASSERT_EQ(calls.size(), callsBefore + 1);
    EXPECT_EQ(calls.back(), "[" + (root() / "usr/bin/postrestorectl").string() + "][65] JID=" + running);

    EXPECT_FALSE(std::filesystem::exists(layout::restoreDirectory(root())));
    EXPECT_EQ(permissionsOf(layout::backupDirectory(root())), 0770u);
    EXPECT_TRUE(waitUntilBackupMatchesBus());
  }
}

// Each update of the burst gives its job the message "step N" and the percentage N % 101
// in one call: a restored job must show a pair from one call, or its state from before.
TEST_F(Restore, KillDuringABurstOfUpdatesRestoresAConsistentStore) {
  QueueExecutionPeer scheduler(root());
  std::vector<std::string> created;
  for (int i = 0; i < 6; ++i) created.push_back(createJob("Burst " + std::to_string(i)));
  scheduleNow({created[0], created[1]});  // a queue makes every rewrite 128 KB longer
  ASSERT_TRUE(waitUntilBackupMatchesBus());
  const auto before = jobsOnBus();

  std::map<std::string, std::set<int>> stepsOfJob;
  for (int step = 1; step <= 60; ++step) {
    const std::string job = created[static_cast<size_t>(step) % created.size()];
    ASSERT_EQ(update(job, 255, static_cast<uint16_t>(step % 101), "", "step " + std::to_string(step)), 0);
    stepsOfJob[job].insert(step);
    if (step % 10 == 0) created.push_back(createJob("Burst extra " + std::to_string(step)));
  }
  killDaemon();
  const size_t logStart = readLog().size();
  startAndAwaitRestore();

  const std::string log = readLog(logStart);
  for (const char* damage : {"Signature mismatch", "End of file reached while reading", "Failed to read"})
    EXPECT_EQ(log.find(damage), std::string::npos) << damage;
  const auto restored = jobsOnBus();
  for (const auto& [id, job] : before) EXPECT_TRUE(restored.contains(id)) << id << " was stored before the burst";
  for (const auto& [id, job] : restored) {
    ASSERT_NE(std::find(created.begin(), created.end(), id), created.end()) << id << " was never created";
    if (job.message.starts_with("step ")) {
      const int step = std::stoi(job.message.substr(5));
      EXPECT_TRUE(stepsOfJob[id].contains(step)) << id << " never got " << job.message;
      EXPECT_EQ(job.percentComplete, step % 101) << id << ": percentage and message from different updates";
    } else if (before.contains(id)) {
      EXPECT_EQ(job, before.at(id));
    } else {
      EXPECT_EQ(std::make_tuple(job.message, job.percentComplete), std::make_tuple(std::string("New"), uint16_t{254}));
    }
  }
}

// Every start reads one file whose damage lies after some good objects.
TEST_F(RestoreFromFile, DamagedFileKeepsEveryObjectBeforeTheDamageAndNeverHangs) {
  const Bytes job1 = layout::jobObject(storedJob("JID_000000000001", 0));
  const Bytes job2 = layout::jobObject(storedJob("JID_000000000002", 4));
  const Bytes job3 = layout::jobObject(storedJob("JID_000000000003", 0));
  const Bytes task = layout::concat({layout::header("JOBCTR", layout::kTaskType, 500), Bytes(500, 0x5A)});
  Bytes truncatedQueue = layout::queueObject(storedQueue("QID_000000000009", {"JID_000000000001"}));
  truncatedQueue.resize(truncatedQueue.size() / 2);

  struct Case {
    const char* damage;
    Bytes file;
    std::vector<std::string> kept;
  };
  const Case cases[] = {
      {"bad signature after a task record",
       layout::concat({job1, task, job2, layout::header("JOBCTX", 1, 1880), layout::jobRecord(storedJob("JID_4", 0))}),
       {"JID_000000000001", "JID_000000000002"}},
      {"truncated record",
       layout::concat({job1, truncatedQueue}),
       {"JID_000000000001"}},
      {"unknown object type",
       layout::concat({job1, layout::header("JOBCTR", 7, 1880), layout::jobRecord(storedJob("JID_5", 0)), job3}),
       {"JID_000000000001"}},
      {"size not that of the type",
       layout::concat({job1, layout::header("JOBCTR", layout::kJobType, 0xFFFFFFFF), job2}),
       {"JID_000000000001"}},
  };

  bool running = false;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.damage);
    if (running) stopDaemon();
    removeLegacyCopy();  // the previous case's objects would come back from it
    layout::writeBytes(layout::backupFile(root()), c.file);
    ASSERT_NO_THROW(startAndAwaitRestore());
    running = true;
    EXPECT_EQ(keysOf(jobsOnBus()), c.kept);
    EXPECT_TRUE(queuesOnBus().empty());
    EXPECT_EQ(keysOf(jobsInBackup()), c.kept) << "the backup file is rewritten from what was published";
    EXPECT_EQ(client().callMain<uint16_t>("GetJobServiceStatus"), 0);
  }
}

// Whatever stands at the restore directory's path is removed as itself; the store is
// restored and a linked directory keeps its contents.
TEST_F(RestoreFromFile, AnythingButADirectoryAtTheRestorePathIsRemovedAndTheStoreRestored) {
  const auto restorePath = layout::restoreDirectory(root());
  const auto elsewhere = root() / "elsewhere";
  layout::writeBytes(elsewhere / "keep", Bytes{1, 2, 3});
  const std::pair<const char*, std::function<void()>> obstacles[] = {
      {"a plain file", [&] { layout::writeBytes(restorePath, Bytes{9}); }},
      {"a symlink to a file", [&] { std::filesystem::create_symlink(elsewhere / "keep", restorePath); }},
      {"a dangling symlink", [&] { std::filesystem::create_symlink(root() / "nowhere", restorePath); }},
      {"a symlink to a directory", [&] { std::filesystem::create_directory_symlink(elsewhere, restorePath); }},
  };
  bool running = false;
  for (const auto& [what, place] : obstacles) {
    SCOPED_TRACE(what);
    if (running) stopDaemon();
    removeLegacyCopy();
    layout::writeBytes(layout::backupFile(root()), layout::jobObject(storedJob("JID_000000000001", 0)));
    place();
    startAndAwaitRestore();
    running = true;
    EXPECT_EQ(keysOf(jobsOnBus()), std::vector<std::string>{"JID_000000000001"});
    EXPECT_EQ(keysOf(jobsInBackup()), std::vector<std::string>{"JID_000000000001"});
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(restorePath)));
    EXPECT_TRUE(std::filesystem::exists(elsewhere / "keep"));
  }
}

// The bus goes away during the start-up wait: the daemon ends, its restore cannot
// publish anything, and the store on flash stays for the next start.
TEST_F(RestoreFromFile, AStartThatCannotPublishItsStoreKeepsTheBackupFile) {
  const JobInfoRecord job = storedJob("JID_000000000001", 0);
  layout::writeBytes(layout::backupFile(root()), layout::jobObject(job));
  startDaemon();
  stopBus();
  ASSERT_TRUE(daemon().process().waitForExit(kBackupStepTimeout).has_value());
  EXPECT_EQ(keysOf(jobsInBackup()), std::vector<std::string>{job.jsJobID});
}

TEST_F(RestoreFromFile, HandBuiltFileGivesItsEdgeValuesAndStrayTemporaryFilesAreNeverRead) {
  // A running job with an ID longer than the 32 characters the tool's environment takes.
  const std::string longID = "JID_" + std::string(36, '7');
  JobInfoRecord runningJob = storedJob(longID, 3, 21);
  runningJob.jobStateForInterface = 6;
  JobInfoRecord finishedJob = storedJob("JID_000000000002", 4);
  JobInfoRecord damagedTexts = storedJob("JID_000000000003", 0);
  damagedTexts.messageArgs = "bad \xff byte";
  Bytes damagedTextsObject = layout::jobObject(damagedTexts);
  std::memset(&damagedTextsObject[layout::kHeaderSize + 32], 'x', 256);  // jobName without a NUL

  std::vector<std::string> items;
  for (int i = 0; i < 256; ++i) items.push_back("JID_" + std::to_string(100000000000 + i));
  const uint32_t damagedSlotCount = 1000;
  JobQueueRecord fullQueue = storedQueue("QID_000000000010", items);
  JobQueueRecord shortQueue = storedQueue("QID_000000000011", {items[0], items[1]});
  // No bus object can have this ID: the job is skipped and the objects after it restored.
  const JobInfoRecord unpublishable = storedJob("JID-000000000004", 0);
  layout::writeBytes(
      layout::backupFile(root()),
      layout::concat({layout::jobObject(unpublishable), layout::jobObject(runningJob), layout::jobObject(finishedJob),
                      damagedTextsObject, layout::queueObject(fullQueue, &damagedSlotCount),
                      layout::queueObject(shortQueue, &damagedSlotCount)}));
  // Left by writes that a crash cut short.
  const auto strayBackup = layout::backupDirectory(root()) / "jobsandqueues.jnqbkp.tmp";
  layout::writeBytes(strayBackup, layout::jobObject(storedJob("JID_000000000099", 0)));
  const auto strayKeyValues = layout::keyValueFile(root()).string() + ".tmp";
  std::filesystem::create_directories(layout::keyValueFile(root()).parent_path());
  std::ofstream(strayKeyValues) << R"({"JID_000000000002": {"c": {"k": "v"}}})";
  recordPostRestoreCalls();

  startAndAwaitRestore();

  auto jobs = jobsOnBus();
  EXPECT_EQ(keysOf(jobs), (std::vector<std::string>{"JID_000000000002", "JID_000000000003", longID}));
  EXPECT_EQ(client().mainProperty<uint16_t>("numJobsInStore"), 3);
  EXPECT_EQ(keysOf(jobsInBackup()), keysOf(jobs));
  EXPECT_EQ(jobs.at(longID), runningJob);
  EXPECT_EQ(jobs.at("JID_000000000003").jobName, std::string(256, 'x')) << "a text without NUL ends at its width";
  EXPECT_EQ(jobs.at("JID_000000000003").messageArgs, "bad ? byte") << "bus texts are valid UTF-8";
  auto queues = queuesOnBus();
  ASSERT_EQ(queues.count("QID_000000000010"), 1u);
  EXPECT_EQ(queues.at("QID_000000000010").jobQueueItem, items) << "a damaged slot count reads 256 slots";
  ASSERT_EQ(queues.count("QID_000000000011"), 1u);
  EXPECT_EQ(queues.at("QID_000000000011").jobQueueItem, shortQueue.jobQueueItem) << "up to the first empty slot";
  EXPECT_EQ(queues.at("QID_000000000011").itemCount, 2u);

  EXPECT_EQ(postRestoreCalls(), std::vector<std::string>{"[" + (root() / "usr/bin/postrestorectl").string() +
                                                         "][21] JID=" + longID.substr(0, 32)});
  EXPECT_FALSE(std::filesystem::exists(strayBackup));
  EXPECT_FALSE(std::filesystem::exists(layout::backupDirectory(root()) / "jobsandqueues.jnqbkp.tmp"));
  EXPECT_FALSE(std::filesystem::exists(strayKeyValues));
  EXPECT_TRUE(client().mainProperty<BlobKeyValue>("blobKeyValue").empty());
}

// A full store, 256 jobs and 128 queues of two jobs each (about 17 MB), comes back whole
// and is rewritten whole. How long that takes is for velmerd-bench, not for a test.
TEST_F(RestoreFromFile, AFullStoreIsRestoredAndRewrittenWhole) {
  constexpr int kJobs = 256, kQueues = 128;
  const auto jobID = [](int i) { return "JID_" + std::to_string(100000000001 + i); };
  Bytes file;
  const auto append = [&](const Bytes& object) { file.insert(file.end(), object.begin(), object.end()); };
  for (int i = 0; i < kJobs; ++i) append(layout::jobObject(storedJob(jobID(i), 2)));
  for (int q = 0; q < kQueues; ++q)
    append(layout::queueObject(storedQueue("QID_" + std::to_string(900000000000 + q), {jobID(2 * q), jobID(2 * q + 1)})));
  layout::writeBytes(layout::backupFile(root()), file);
  startAndAwaitRestore();
  EXPECT_EQ(client().mainProperty<uint16_t>("jobInfoObjCount"), kJobs);
  EXPECT_EQ(client().mainProperty<uint16_t>("jobQueueObjCount"), kQueues);
  EXPECT_EQ(client().mainProperty<uint16_t>("numJobsInStore"), kJobs);
  ASSERT_EQ(update(jobID(0), 255, 1), 0);
  EXPECT_TRUE(waitForBackup([&](const std::vector<layout::StoredObject>& objects) {
    return objects.size() == kJobs + kQueues && jobsIn(objects).at(jobID(0)).percentComplete == 1;
  }));
}

}  // namespace
}  // namespace velmer::e2e
