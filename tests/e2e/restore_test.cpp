// Restore at start-up as a client sees it: a stopped or killed daemon comes back with
// its jobs, queues, counts and settings; a damaged or hand-built backup file gives
// exactly the objects it holds before any damage; stray temporary files are never read
// and jobs marked for deletion are removed.
#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <set>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "persistence_fixture.hpp"
#include "queue_execution_peer.hpp"

namespace velmer::e2e {
namespace {

using layout::Bytes;

// The main object's view of the store; its key-value pairs and settings are the key-value
// store's own test.
auto storeSummary(BusClient& client) {
  return std::make_tuple(
      client.mainProperty<uint16_t>("numJobsInStore"), client.mainProperty<uint16_t>("jobInfoObjCount"),
      client.mainProperty<std::vector<std::string>>("jobInfoObjList"),
      client.mainProperty<uint16_t>("jobQueueObjCount"),
      client.mainProperty<std::vector<std::string>>("jobQueueObjList"));
}

// A job as a file written by an earlier run would hold it.
JobInfoRecord storedJob(const std::string& id, uint32_t state, uint32_t type = 3) {
  return {.startTime = 1764944000, .jobName = "stored " + id, .message = "stored message", .messageArgs = "", .queueID = "",
          .jobStatus = state == 4 ? "Completed" : state == 3 ? "Running" : "New", .messageID = "JCP000", .jsJobID = id,
          .jobType = type, .jobState = state, .percentComplete = static_cast<uint16_t>(state == 4 ? 100 : 254),
          .latestUpdateTime = 1764945000, .creationTime = 1764944000};
}

JobQueueRecord storedQueue(const std::string& id, std::vector<std::string> items) {
  return {.jsQueueID = id, .untilTime = kNoEnd, .jsJobsList = {}, .queueState = 1, .reservedAllign = {}, .itemCount = static_cast<uint32_t>(items.size()),
          .jobQueueItem = std::move(items)};
}

class Restore : public PersistenceTest {};

// Tests that lay out the backup directory themselves before the daemon first starts.
class RestoreFromFile : public PersistenceTest {
 protected:
  std::optional<DaemonOptions> initialDaemon() const override { return std::nullopt; }
};

TEST_F(Restore, RestartAfterSigtermOrKillBringsBackEveryJobQueueAndCount) {
  QueueExecutionPeer scheduler(root());
  recordPostRestoreCalls();
  // The first start's own post-restore step would otherwise come with the stop below.
  ASSERT_TRUE(waitForLog(kRestoreDone, kBackupStepTimeout));
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
  // The property writes above post no backup command; a burst of updates does, each
  // giving queued2 a message and percentage of its own. The stop with SIGTERM below
  // comes right after it and must carry out every update accepted before it.
  for (int step = 1; step <= 60; ++step)
    ASSERT_EQ(update(queued2, 255, static_cast<uint16_t>(step), "", "step " + std::to_string(step)), 0);

  auto expectedJobs = jobsOnBus();
  expectedJobs.at(failed).jobStateForInterface = 10;
  const auto queuesBefore = queuesOnBus();
  const auto summaryBefore = storeSummary(client());
  ASSERT_EQ(std::get<0>(summaryBefore), 4);
  while (scheduler.receive(0ms)) continue;  // the message of the scheduling itself

  const std::pair<const char*, std::function<void()>> restarts[] = {
      {"after SIGTERM", [&] { restartAndAwaitRestore(SIGTERM); }},
      // A kill of a running daemon, then one during the start-up wait: the store then lies
      // only in the restore directory, and the next start must find it.
      {"after kill -9, twice", [&] {
         killDaemon();
         startDaemon();
         restartAndAwaitRestore(SIGKILL);
       }},
      // A client's write of the store's limit during the start-up wait limits creations,
      // never what the restore brings back.
      {"with maxJobsInStore 0 written during the start-up wait", [&] {
         stopDaemon();
         const size_t logStart = readLog().size();
         startDaemon();
         client().setMainProperty("maxJobsInStore", sdbus::Variant(uint16_t{0}));
         ASSERT_TRUE(waitForLog(kRestoreDone, kBackupStepTimeout, logStart));
       }},
      // What follows damage in the backup file comes back from the legacy copy, which a
      // clean stop left complete.
      {"with a damaged backup file", [&] {
         stopDaemon();
         std::fstream file(root() / layout::kBackupFile, std::ios::in | std::ios::out | std::ios::binary);
         file.seekp(layout::kHeaderSize + layout::kJobRecordSize + 2);
         file.put('X');
         file.close();
         startAndAwaitRestore();
       }}};
  for (const auto& [how, restart] : restarts) {
    SCOPED_TRACE(how);
    const size_t callsBefore = postRestoreCalls().size();
    restart();

    const bool fromLegacyCopy = std::string(how) == "with a damaged backup file";
    std::map<std::string, std::string> queuePaths;
    if (fromLegacyCopy) {  // the older layout keeps fewer fields
      EXPECT_EQ(keysOf(jobsOnBus()), keysOf(expectedJobs));
      EXPECT_EQ(keysOf(queuesOnBus(&queuePaths)), keysOf(queuesBefore));
      EXPECT_EQ(std::get<0>(storeSummary(client())), std::get<0>(summaryBefore));
      continue;
    }
    EXPECT_EQ(jobsOnBus(), expectedJobs);
    EXPECT_EQ(queuesOnBus(&queuePaths), queuesBefore);
    EXPECT_EQ(queuePaths[queue], kRestoredQueuePathPrefix + queue);
    EXPECT_EQ(storeSummary(client()), summaryBefore);

    // The restored queue is handed to the queue-execution process again, once.
    auto resent = scheduler.receive(0ms);
    ASSERT_TRUE(resent.has_value());
    EXPECT_EQ(std::make_tuple(resent->type, resent->payload, scheduler.pending()),
              std::make_tuple(int64_t{2}, expectedSchedulerPayload(0, kNoEnd, queue), size_t{0}));

    // Only the job that was running is handed to the post-restore tool.
    auto calls = postRestoreCalls();
    EXPECT_EQ(std::vector<std::string>(calls.begin() + static_cast<ptrdiff_t>(callsBefore), calls.end()),
              std::vector<std::string>{"[" + (root() / "usr/bin/postrestorectl").string() + "][65] JID=" + running});

    EXPECT_FALSE(std::filesystem::exists(root() / layout::kRestoreDirectory));
    EXPECT_EQ(std::filesystem::status(root() / layout::kBackupDirectory).permissions(), std::filesystem::perms{0770});
    EXPECT_TRUE(waitUntilBackupMatchesBus());
  }
}

// Every start reads one file laid out by hand, some with something else than a
// directory at the restore directory's path: the store keeps every object before any
// damage, the file is rewritten from what was published, and whatever stood at the
// restore path is removed as itself (a linked directory keeps its contents); the
// restore directory goes with every entry it holds. A start that cannot publish its
// store leaves the file as it was.
TEST_F(RestoreFromFile, EachStartKeepsWhatLiesBeforeTheDamageAndRemovesAnythingButADirectoryAtTheRestorePath) {
  const std::string id1 = "JID_000000000001", id2 = "JID_000000000002";
  const Bytes job1 = layout::jobObject(storedJob(id1, 0)), job2 = layout::jobObject(storedJob(id2, 4));
  const Bytes task = layout::concat({layout::header("JOBCTR", layout::kTaskType, 500), Bytes(500, 0x5A)});
  Bytes truncatedQueue = layout::queueObject(storedQueue("QID_000000000009", {id1}));
  truncatedQueue.resize(truncatedQueue.size() / 2);
  // A full store: 256 jobs and 128 queues of two jobs each (about 17 MB).
  Bytes fullStore;
  std::vector<std::string> allJobs;
  for (int i = 0; i < 256; ++i) allJobs.push_back("JID_" + std::to_string(100000000001 + i));
  const auto append = [&](const Bytes& object) { fullStore.insert(fullStore.end(), object.begin(), object.end()); };
  for (const auto& id : allJobs) append(layout::jobObject(storedJob(id, 2)));
  for (size_t q = 0; q < 128; ++q)
    append(layout::queueObject(storedQueue("QID_" + std::to_string(900000000000 + q), {allJobs[2 * q], allJobs[2 * q + 1]})));
  const auto restorePath = root() / layout::kRestoreDirectory;
  const auto elsewhere = root() / "elsewhere";
  layout::writeBytes(elsewhere / "keep", Bytes{1, 2, 3});

  struct Case {
    const char* what;
    Bytes file;
    std::vector<std::string> kept;
    std::function<void()> beforeTheStart = [] {};
    size_t queues = 0;
  };
  const Case cases[] = {
      {"bad signature after a task record",
       layout::concat({job1, task, job2, layout::header("JOBCTX", 1, 1880), layout::jobRecord(storedJob("JID_4", 0))}),
       {id1, id2}},
      {"truncated record", layout::concat({job1, truncatedQueue}), {id1}},
      {"unknown object type",
       layout::concat({job1, layout::header("JOBCTR", 7, 1880), layout::jobRecord(storedJob("JID_5", 0)), job2}),
       {id1}},
      {"size not that of the type", layout::concat({job1, layout::header("JOBCTR", layout::kJobType, 0xFFFFFFFF), job2}),
       {id1}},
      {"a dangling symlink", job1, {id1}, [&] { std::filesystem::create_symlink(root() / "nowhere", restorePath); }},
      {"a symlink to a directory", job1, {id1},
       [&] { std::filesystem::create_directory_symlink(elsewhere, restorePath); }},
      {"a full store", fullStore, allJobs, [] {}, 128},
      {"stray entries in the backup directory, one in a folder", job1, {id1},
       [&] { for (const char* name : {"a", "b/c"}) layout::writeBytes(root() / layout::kBackupDirectory / name, {}); }},
  };
  bool running = false;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (running) stopDaemon();
    removeLegacyCopy();  // the previous case's objects would come back from it
    layout::writeBytes(root() / layout::kBackupFile, c.file);
    c.beforeTheStart();
    ASSERT_NO_THROW(startAndAwaitRestore());
    running = true;
    EXPECT_EQ(keysOf(jobsOnBus()), c.kept);
    EXPECT_EQ(queuesOnBus().size(), c.queues);
    const auto stored = backupObjects();
    EXPECT_EQ(keysOf(jobsIn(stored)), c.kept) << "the backup file is rewritten from what was published";
    EXPECT_EQ(stored.size(), c.kept.size() + c.queues);
    EXPECT_EQ(client().callMain<uint16_t>("GetJobServiceStatus"), 0);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(restorePath)));
    EXPECT_TRUE(std::filesystem::exists(elsewhere / "keep"));
  }

  // The bus goes away during the start-up wait: the daemon ends, its restore cannot
  // publish anything, and the store on flash stays for the next start.
  stopDaemon();
  removeLegacyCopy();
  layout::writeBytes(root() / layout::kBackupFile, job1);
  startDaemon();
  stopBus();
  ASSERT_TRUE(daemon().process().waitForExit(kBackupStepTimeout).has_value());
  EXPECT_EQ(keysOf(jobsIn(backupObjects())), std::vector<std::string>{id1});
}

// Creations that arrive during the start-up wait wait for the restore: every stored job
// comes back, and they take only the room the stored jobs leave.
TEST_F(RestoreFromFile, CreationsDuringTheStartUpWaitTakeOnlyTheRoomTheStoredJobsLeave) {
  Bytes file;
  std::vector<std::string> stored;
  for (int i = 0; i < 254; ++i) {
    stored.push_back("JID_" + std::to_string(100000000001 + i));
    const Bytes job = layout::jobObject(storedJob(stored.back(), 2));
    file.insert(file.end(), job.begin(), job.end());
  }
  layout::writeBytes(root() / layout::kBackupFile, file);
  startDaemon();
  std::vector<std::future<Reply>> creations;
  for (int i = 0; i < 5; ++i)
    creations.push_back(std::async(std::launch::async, [] {
      BusClient client;  // a refusal comes after the wait for room, beyond the usual call time-out
      client.connection().setMethodCallTimeout(30'000'000);
      return client.callMain<uint16_t, std::string, uint16_t>("JobServCreate", std::string("During the wait"),
                                                              uint16_t{1});
    }));
  std::multiset<uint16_t> codes;
  for (auto& creation : creations) codes.insert(std::get<2>(creation.get()));
  EXPECT_EQ(codes, (std::multiset<uint16_t>{0, 0, 6, 6, 6}));
  EXPECT_EQ(occurrences(readLog(), "the creation waits for it"), 5u);
  const auto jobs = jobsOnBus();
  EXPECT_TRUE(std::ranges::all_of(stored, [&](const std::string& id) { return jobs.contains(id); }));
  EXPECT_EQ(std::make_tuple(jobs.size(), client().mainProperty<uint16_t>("numJobsInStore")),
            std::make_tuple(size_t{256}, uint16_t{256}));
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
  // A deletion confirmed to a client before a stop that came before the job was removed:
  // the job is removed once the restore is done.
  JobInfoRecord deleted = storedJob("JID_000000000042", 0);
  deleted.flags = kJobFlagDeleted;
  layout::writeBytes(root() / layout::kBackupFile,
                     layout::concat({layout::jobObject(unpublishable), layout::jobObject(runningJob),
                                     layout::jobObject(finishedJob), damagedTextsObject, layout::jobObject(deleted),
                                     layout::queueObject(fullQueue, &damagedSlotCount),
                                     layout::queueObject(shortQueue, &damagedSlotCount)}));
  // Left by writes that a crash cut short.
  const auto strayBackup = root() / layout::kBackupDirectory / "jobsandqueues.jnqbkp.tmp";
  layout::writeBytes(strayBackup, layout::jobObject(storedJob("JID_000000000099", 0)));
  const auto strayKeyValues = (root() / layout::kKeyValueFile).string() + ".tmp";
  std::filesystem::create_directories((root() / layout::kKeyValueFile).parent_path());
  std::ofstream(strayKeyValues) << R"({"JID_000000000002": {"c": {"k": "v"}}})";
  recordPostRestoreCalls();

  startAndAwaitRestore();

  const std::vector<std::string> expected = {"JID_000000000002", "JID_000000000003", longID};
  std::map<std::string, JobInfoRecord> jobs;
  EXPECT_TRUE(waitUntil([&] { return keysOf(jobs = jobsOnBus()) == expected; }, kBackupStepTimeout));
  EXPECT_TRUE(waitForBackup([&](const auto& objects) { return keysOf(jobsIn(objects)) == expected; }));
  EXPECT_EQ(client().mainProperty<uint16_t>("numJobsInStore"), 3);
  EXPECT_EQ(jobs.at(longID), runningJob);
  // A text without NUL ends at its width; bus texts are valid UTF-8.
  EXPECT_EQ(std::make_tuple(jobs.at("JID_000000000003").jobName, jobs.at("JID_000000000003").messageArgs),
            std::make_tuple(std::string(256, 'x'), "bad ? byte"));
  auto queues = queuesOnBus();
  EXPECT_EQ(queues["QID_000000000010"].jobQueueItem, items) << "a damaged slot count reads 256 slots";
  EXPECT_EQ(std::make_tuple(queues["QID_000000000011"].jobQueueItem, queues["QID_000000000011"].itemCount),
            std::make_tuple(shortQueue.jobQueueItem, 2u)) << "up to the first empty slot";

  EXPECT_EQ(postRestoreCalls(), std::vector<std::string>{"[" + (root() / "usr/bin/postrestorectl").string() +
                                                         "][21] JID=" + longID.substr(0, 32)});
  EXPECT_FALSE(std::filesystem::exists(strayBackup));
  EXPECT_FALSE(std::filesystem::exists(strayKeyValues));
  EXPECT_TRUE(client().mainProperty<BlobKeyValue>("blobKeyValue").empty());
}

}  // namespace
}  // namespace velmer::e2e
