// The backup file and the legacy copy as the daemon leaves them after changes made over
// the bus, read with the formats' own tables: the objects, their order, and every byte of
// each backup record; velmer-dump on the same files; and the backup thread that writes
// them under bursts of commands.
#include <sys/stat.h>

#include <csignal>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "child_process.hpp"
#include "persistence_fixture.hpp"
#include "queue_execution_peer.hpp"

namespace velmer::e2e {
namespace {

// Where each object of a backup file starts: a header, then its record.
constexpr size_t kJobObjectSize = layout::kHeaderSize + layout::kJobRecordSize;

struct DumpResult {
  ExitStatus status = -1;
  nlohmann::json json;
};

class BackupFile : public PersistenceTest {
 protected:
  // velmer-dump on `file`.
  DumpResult dump(const std::filesystem::path& file, std::vector<std::string> options = {}) {
    const auto output = root() / "dump.json";
    std::filesystem::remove(output);
    options.insert(options.begin(), {VELMER_DUMP_COMMAND, file.string()});
    ChildProcess tool(options, output.string());
    const auto status = tool.waitForExit(kBackupStepTimeout);
    if (!status) return {};
    return {*status, nlohmann::json::parse(readFile(output), nullptr, false)};
  }
};

// Changes reach flash as journal entries beside the backup file, which is written whole
// only at checkpoints (after restore, at a clean stop): byte for byte in the format every
// reader knows, with holes where its blocks are zero. What is stored comes from the job
// and queue objects, whatever a client writes into the main object's lists. velmer-dump
// shows what a restart would find, the journal applied, and where any damage starts.
TEST_F(BackupFile, ChangesGoToTheJournalAndACleanStopWritesThemWholeWithHolesAsVelmerDumpShows) {
  QueueExecutionPeer scheduler(root());
  ASSERT_TRUE(waitForStartupSequence());
  const std::string first = createJob("First job"), second = createJob("Second job \u00e9");
  const std::string queue = scheduleNow({first, second});
  // A list without the second job (and with an ID of no job) decides nothing stored.
  client().setMainProperty("jobInfoObjList", sdbus::Variant(std::vector<std::string>{"JID_999999999999", first}));
  // A message longer than the record's field, written directly as a client may.
  client().setProperty(kJobPathPrefix + first, kJobInterface, "message", sdbus::Variant(std::string(300, 'm')));
  ASSERT_EQ(update(second, 255, 50), 0);

  ASSERT_TRUE(waitForBackup([&](const std::vector<layout::StoredObject>& objects) {
    auto stored = jobsIn(objects);
    return objects.size() == 3 && stored.contains(second) && stored.at(second).percentComplete == 50;
  })) << readLog();
  EXPECT_EQ(std::filesystem::file_size(root() / layout::kBackupFile), 0u) << "the start's checkpoint, unchanged";
  const auto journal = root() / layout::kBackupDirectory / "jobsandqueues.journal";
  const DumpResult withJournal = dump(root() / layout::kBackupFile);
  EXPECT_EQ(std::make_tuple(withJournal.status, withJournal.json["objects"].size(),
                            withJournal.json["objects"][1]["job"]["percentComplete"], withJournal.json["journal"]["complete"]),
            std::make_tuple(0, size_t{3}, nlohmann::json(50), nlohmann::json(true)))
      << withJournal.json.dump(2);
  // A torn last entry: what comes before it is shown, and where the damage starts.
  const std::string journalBytes = readFile(journal);
  layout::writeBytes(root() / "torn/jobsandqueues.journal",
                     layout::Bytes(journalBytes.begin(), journalBytes.end() - 10));
  layout::writeBytes(root() / "torn/jobsandqueues.jnqbkp", {});
  const DumpResult torn = dump(root() / "torn/jobsandqueues.jnqbkp");
  EXPECT_EQ(std::make_tuple(torn.status, torn.json["journal"]["entries"].get<size_t>() + 1,
                            torn.json["journal"]["damage"]["field"]),
            std::make_tuple(1, withJournal.json["journal"]["entries"].get<size_t>(), nlohmann::json("payload")));

  auto jobs = jobsOnBus();
  std::map<std::string, std::string> paths;
  auto queues = queuesOnBus(&paths);
  EXPECT_EQ(paths.at(queue), kNewQueuePathPrefix + queue);
  // The legacy copy, for a firmware downgrade, follows creations and schedules at once.
  const auto legacy = root() / layout::kLegacyFile;
  const std::vector<std::string> expectedLegacy = {"job " + first + " First job", "job " + second + " Second job \u00e9",
                                                   "queue " + queue + " " + first + " " + second};
  bool whole = false;
  ASSERT_TRUE(waitUntil([&] { return layout::readLegacyStore(readFile(legacy), &whole) == expectedLegacy && whole; },
                        kBackupStepTimeout))
      << ::testing::PrintToString(layout::readLegacyStore(readFile(legacy)));
  EXPECT_EQ(std::filesystem::status(legacy.parent_path()).permissions(), std::filesystem::perms{0770});

  ASSERT_EQ(stopDaemon(), 0);
  // Byte for byte: headers, reserved bytes, bytes after each NUL and unused slots are
  // zero, and the 300-byte message is cut to 255 and a NUL. The queue record's zeros are
  // holes: the file takes a few blocks of its 135,440 bytes.
  const std::string backup = readFile(root() / layout::kBackupFile);
  EXPECT_TRUE(layout::Bytes(backup.begin(), backup.end()) ==
              layout::concat({layout::jobObject(jobs.at(first)), layout::jobObject(jobs.at(second)),
                              layout::queueObject(queues.at(queue))}));
  struct stat info {};
  ASSERT_EQ(::stat((root() / layout::kBackupFile).c_str(), &info), 0);
  EXPECT_LE(info.st_blocks * 512, 32 * 1024) << "of " << info.st_size << " bytes";
  EXPECT_EQ(std::filesystem::file_size(journal), 0u) << "a clean stop leaves the journal empty";
  for (const auto& file : {root() / layout::kBackupFile, legacy})
    EXPECT_FALSE(std::filesystem::exists(file.string() + ".tmp"));

  const DumpResult dumped = dump(root() / layout::kBackupFile);
  EXPECT_EQ(std::make_tuple(dumped.status, dumped.json["format"], dumped.json["complete"]),
            std::make_tuple(0, nlohmann::json("backup"), nlohmann::json(true)));
  ASSERT_EQ(dumped.json["objects"].size(), 3u) << dumped.json.dump(2);
  const auto& dumpedJob = dumped.json["objects"][1]["job"];
  EXPECT_EQ(std::make_tuple(dumpedJob["jsJobID"], dumpedJob["jobName"], dumpedJob["creationTime"]),
            std::make_tuple(nlohmann::json(second), nlohmann::json(jobs.at(second).jobName),
                            nlohmann::json(jobs.at(second).creationTime)));
  const auto& dumpedQueue = dumped.json["objects"][2];
  EXPECT_EQ(std::make_tuple(dumpedQueue["offset"], dumpedQueue["queue"]["jsQueueID"], dumpedQueue["queue"]["jobQueueItem"]),
            std::make_tuple(nlohmann::json(2 * kJobObjectSize), nlohmann::json(queue), nlohmann::json({first, second})));
  const DumpResult dumpedLegacy = dump(legacy);
  EXPECT_EQ(std::make_tuple(dumpedLegacy.status, dumpedLegacy.json["format"]),
            std::make_tuple(0, nlohmann::json("legacy")));
  EXPECT_EQ(dumpedLegacy.json["objects"][1]["job"]["jobName"], "Second job \u00e9");

  // A damaged copy (the second job's signature): the objects before the damage, where
  // and why reading stopped, exit 1.
  std::string badSignature = backup;
  badSignature[kJobObjectSize + 3] = 'X';
  layout::writeBytes(root() / "torn/jobsandqueues.jnqbkp", layout::Bytes(badSignature.begin(), badSignature.end()));
  const DumpResult damaged = dump(root() / "torn/jobsandqueues.jnqbkp", {"--no-journal"});
  EXPECT_EQ(std::make_tuple(damaged.status, damaged.json["complete"], damaged.json["objects"].size(),
                            damaged.json["objects"][0]["offset"], damaged.json["damage"]["offset"],
                            damaged.json["damage"]["field"], damaged.json.contains("journal")),
            std::make_tuple(1, nlohmann::json(false), size_t{1}, nlohmann::json(0), nlohmann::json(kJobObjectSize),
                            nlohmann::json("signature"), false));
}

using BackupThread = PersistenceTest;

// More commands than the buffer's 256 entries, a deletion among the last, while a
// post-restore tool runs that waits for the test to release it (or for the tool
// time-out): equal commands merge, so nothing is dropped, and the buffer is served while
// the tool runs, so every confirmed deletion is carried out at once. A stop meanwhile
// waits for that tool only.
TEST_F(BackupThread, ABurstOfReportsAndDeletionsWhileBusyEndsWithTheFileMatchingTheBus) {
  const std::string running = createJob("Configure: RAID running", 1);
  const std::string alsoRunning = createJob("Configure: RAID running too", 1);
  ASSERT_EQ(update(running, 3, 0), 0);
  ASSERT_EQ(update(alsoRunning, 3, 0), 0);
  ASSERT_TRUE(waitUntilBackupMatchesBus());
  ASSERT_EQ(stopDaemon(), 0);
  const auto started = root() / "hold.started", release = root() / "hold.release";
  installPostRestoreTool("echo started >> " + started.string() + "\nwhile [ ! -e " + release.string() +
                         " ]; do sleep 0.05; done\n");
  startDaemon();
  ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(started); }, kBackupStepTimeout));

  std::vector<std::string> ids;
  for (int i = 0; i < 3; ++i) ids.push_back(createJob("Configure: RAID " + std::to_string(i), 1));
  // Reports of no change, sent without waiting for replies so that the daemon takes them
  // back to back; the calls with replies afterwards return once all are handled.
  for (int i = 0; i < 300; ++i) {
    auto call = client().newCall(kServicePath, kMainInterface, "JobServUpdateJobInfo");
    call << running << kSame << kSame << std::string() << std::string() << std::string() << std::string();
    call.dontExpectReply();
    client().send(call);
  }
  for (const auto& id : ids) ASSERT_EQ(std::get<2>(deleteJobs({id})), 0);
  ASSERT_EQ(update(running, 3, 10), 0);
  // The buffer is served while the post-restore tool still runs.
  ASSERT_TRUE(waitUntilBackupMatchesBus());
  const auto jobs = jobsOnBus();
  EXPECT_EQ(keysOf(jobs), keysOf(std::map<std::string, int>{{running, 0}, {alsoRunning, 0}})) << "every deleted job is gone";
  EXPECT_EQ(jobs.at(running).percentComplete, 10);

  // A stop while the tool runs for the first running job starts none for the second.
  ::kill(daemon().process().pid(), SIGTERM);
  std::ofstream(release).put('\n');
  EXPECT_EQ(stopDaemon(), 0);
  EXPECT_EQ(readFile(started), "started\n");
}

// Each file is retried on its own, and a file whose content did not change is not
// written. The first checkpoint after restore cannot be written: the restore directory
// stays, a kill then loses nothing (a job type above 255, which the legacy copy cannot
// hold, included), and the checkpoint follows once it can. A legacy copy that cannot be
// written holds up neither the journal nor the backup file, and is written once it can.
// A checkpoint that fails at a stop leaves the journal to the next start.
TEST_F(BackupThread, EachFileIsRetriedOnItsOwnAndNothingUnchangedIsWrittenAgain) {
  const std::string wide = createJob("Wide type", 300);
  ASSERT_TRUE(waitUntilBackupMatchesBus());
  const auto backupFile = root() / layout::kBackupFile;
  const auto blockCheckpoint = [&] { std::filesystem::create_directories(backupFile.string() + ".tmp"); };
  for (int signal : {SIGKILL, SIGTERM}) {
    SCOPED_TRACE(signal == SIGKILL ? "killed while blocked" : "unblocked");
    stopDaemon(signal);
    size_t logStart = readLog().size();
    startDaemon();
    ASSERT_TRUE(waitForLog("Created Backup Directory", kBackupStepTimeout, logStart));
    blockCheckpoint();
    ASSERT_TRUE(waitForLog("Unable to write the backup file", kBackupStepTimeout, logStart)) << readLog(logStart);
    EXPECT_TRUE(std::filesystem::exists(root() / layout::kRestoreDirectory / "jobsandqueues.jnqbkp"));
    EXPECT_EQ(jobValue<uint32_t>(wide, "jobType"), 300u);
  }
  std::filesystem::remove(backupFile.string() + ".tmp");
  ASSERT_TRUE(waitUntil([&] { return !std::filesystem::exists(root() / layout::kRestoreDirectory); },
                        kBackupStepTimeout));
  EXPECT_EQ(jobsIn(backupObjects()).at(wide).jobType, 300u);

  const auto legacyTemporary = (root() / layout::kLegacyFile).string() + ".tmp";
  std::filesystem::create_directories(legacyTemporary);
  size_t logStart = readLog().size();
  const std::string added = createJob("Added while the legacy copy fails");
  ASSERT_TRUE(waitForLog("Unable to write the legacy copy", kBackupStepTimeout, logStart));
  ASSERT_TRUE(waitUntilBackupMatchesBus());
  const auto journal = backupFile.parent_path() / "jobsandqueues.journal";
  const auto journalSize = std::filesystem::file_size(journal);
  const auto backupWritten = std::filesystem::last_write_time(backupFile);
  ASSERT_TRUE(waitForLog("Unable to write the legacy copy, next attempt in 1000 ms", kBackupStepTimeout, logStart));
  EXPECT_EQ(std::filesystem::file_size(journal), journalSize) << "nothing changed, nothing appended";
  EXPECT_EQ(std::filesystem::last_write_time(backupFile), backupWritten);
  std::filesystem::remove(legacyTemporary);
  EXPECT_TRUE(waitUntil([&] { return layout::readLegacyStore(readFile(root() / layout::kLegacyFile)).size() == 2; },
                        kBackupStepTimeout));

  blockCheckpoint();
  ASSERT_EQ(update(added, 3, 40), 0);
  ASSERT_TRUE(waitForBackup([&](const auto& objects) { return jobsIn(objects).at(added).percentComplete == 40; }));
  restartAndAwaitRestore();
  EXPECT_EQ(std::make_tuple(jobValue<uint16_t>(added, "percentComplete"), jobValue<uint32_t>(wide, "jobType")),
            std::make_tuple(uint16_t{40}, 300u));
}

}  // namespace
}  // namespace velmer::e2e
