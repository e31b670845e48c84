// The backup file and the legacy copy as the daemon leaves them after changes made over
// the bus, read with the formats' own tables: the objects, their order, and every byte of
// each backup record; velmer-dump on the same files; and the backup thread that writes
// them under bursts of commands.
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
  // velmer-dump on `bytes`, written to a file of their own.
  DumpResult dump(const std::string& bytes) {
    const auto copy = root() / "copy.jnqbkp", output = root() / "dump.json";
    layout::writeBytes(copy, layout::Bytes(bytes.begin(), bytes.end()));
    std::filesystem::remove(output);
    ChildProcess tool({VELMER_DUMP_COMMAND, copy.string()}, output.string());
    const auto status = tool.waitForExit(kBackupStepTimeout);
    if (!status) return {};
    return {*status, nlohmann::json::parse(readFile(output), nullptr, false)};
  }
};

// Every change rewrites both copies whole. Nothing a client writes and no failed write
// removes the backup file: an ID listed without a job is left out, and a rewrite that
// failed is tried again by the daemon on its own until the file matches the bus.
TEST_F(BackupFile, EveryChangeRewritesBothCopiesWholeAndVelmerDumpDecodesThemUpToAnyDamage) {
  QueueExecutionPeer scheduler(root());
  const std::string first = createJob("First job"), second = createJob("Second job \u00e9");
  const std::string queue = scheduleNow({first, second});
  auto listed = client().mainProperty<std::vector<std::string>>("jobInfoObjList");
  listed.insert(listed.begin(), "JID_999999999999");
  client().setMainProperty("jobInfoObjList", sdbus::Variant(listed));
  // A message longer than the record's field, written directly as a client may.
  client().setProperty(kJobPathPrefix + first, kJobInterface, "message", sdbus::Variant(std::string(300, 'm')));
  ASSERT_EQ(update(second, 255, 50), 0);

  ASSERT_TRUE(waitForBackup([&](const std::vector<layout::StoredObject>& objects) {
    auto stored = jobsIn(objects);
    return objects.size() == 3 && stored.contains(second) && stored.at(second).percentComplete == 50;
  })) << readLog();
  auto jobs = jobsOnBus();
  std::map<std::string, std::string> paths;
  auto queues = queuesOnBus(&paths);
  EXPECT_EQ(paths.at(queue), kNewQueuePathPrefix + queue);
  // Byte for byte: headers, reserved bytes, bytes after each NUL and unused slots are
  // zero, and the 300-byte message is cut to 255 and a NUL.
  const std::string backup = readFile(root() / layout::kBackupFile);
  EXPECT_TRUE(layout::Bytes(backup.begin(), backup.end()) ==
              layout::concat({layout::jobObject(jobs.at(first)), layout::jobObject(jobs.at(second)),
                              layout::queueObject(queues.at(queue))}));

  // The legacy copy, for a firmware downgrade, holds every job and queue too.
  const auto legacy = root() / layout::kLegacyFile;
  const std::vector<std::string> expectedLegacy = {"job " + first + " First job", "job " + second + " Second job \u00e9",
                                                   "queue " + queue + " " + first + " " + second};
  bool whole = false;
  ASSERT_TRUE(waitUntil([&] { return layout::readLegacyStore(readFile(legacy), &whole) == expectedLegacy && whole; },
                        kBackupStepTimeout))
      << ::testing::PrintToString(layout::readLegacyStore(readFile(legacy)));
  EXPECT_EQ(std::filesystem::status(legacy.parent_path()).permissions(), std::filesystem::perms{0770});
  // A rewrite may still be under way; once it is done no temporary file is left.
  const auto temporary = (root() / layout::kBackupFile).string() + ".tmp";
  EXPECT_TRUE(waitUntil(
      [&] { return !std::filesystem::exists(temporary) && !std::filesystem::exists(legacy.string() + ".tmp"); },
      kBackupStepTimeout));

  const DumpResult dumped = dump(backup);
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
  const DumpResult dumpedLegacy = dump(readFile(legacy));
  EXPECT_EQ(std::make_tuple(dumpedLegacy.status, dumpedLegacy.json["format"]),
            std::make_tuple(0, nlohmann::json("legacy")));
  EXPECT_EQ(dumpedLegacy.json["objects"][1]["job"]["jobName"], "Second job \u00e9");

  // A damaged copy (the second job's signature): the objects before the damage, where
  // and why reading stopped, exit 1.
  std::string badSignature = backup;
  badSignature[kJobObjectSize + 3] = 'X';
  const DumpResult damaged = dump(badSignature);
  EXPECT_EQ(std::make_tuple(damaged.status, damaged.json["complete"], damaged.json["objects"].size(),
                            damaged.json["objects"][0]["offset"], damaged.json["damage"]["offset"],
                            damaged.json["damage"]["field"]),
            std::make_tuple(1, nlohmann::json(false), size_t{1}, nlohmann::json(0), nlohmann::json(kJobObjectSize),
                            nlohmann::json("signature")));

  // A rewrite that cannot open its temporary file keeps the previous file.
  std::filesystem::create_directory(temporary);
  const size_t logStart = readLog().size();
  ASSERT_EQ(client().callMain<uint16_t>("JobServDeleteQueue", queue, uint16_t{0}), 0);
  ASSERT_EQ(std::get<2>(deleteJobs({first})), 0);
  ASSERT_TRUE(waitForLog("[JS_PersistObjects]: Unable to open jqlegacy backup file", kBackupStepTimeout, logStart));
  EXPECT_TRUE(jobsIn(backupObjects()).contains(first)) << "the previous file stays while the rewrite fails";
  std::filesystem::remove(temporary);
  EXPECT_TRUE(waitForBackup([&](const std::vector<layout::StoredObject>& objects) {
    return keysOf(jobsIn(objects)) == std::vector<std::string>{second} && queuesIn(objects).empty();
  }));
  ASSERT_EQ(std::get<2>(deleteJobs({second})), 0);
  EXPECT_TRUE(waitForBackup([](const std::vector<layout::StoredObject>& objects) { return objects.empty(); }));
  EXPECT_TRUE(std::filesystem::exists(root() / layout::kBackupFile)) << "an empty store writes an empty file";
}

using BackupThread = PersistenceTest;

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
  installPostRestoreTool("touch " + started.string() + "\nwhile [ ! -e " + release.string() +
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
  std::ofstream(release).put('\n');

  ASSERT_TRUE(waitUntilBackupMatchesBus());
  const auto jobs = jobsOnBus();
  EXPECT_EQ(keysOf(jobs), std::vector<std::string>{running}) << "every deleted job is gone";
  EXPECT_EQ(jobs.at(running).percentComplete, 10);
}

}  // namespace
}  // namespace velmer::e2e
