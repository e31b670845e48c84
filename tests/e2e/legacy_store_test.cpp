// The legacy copy of the store: written after changes so that a firmware downgrade finds
// the jobs, and read at start-up so that an upgrade keeps the older firmware's jobs.
// Legacy files are read and built here from the layout's byte tables, never with the
// daemon's own code.
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include "persistence_fixture.hpp"

namespace velmer::e2e {
namespace {

const std::filesystem::path kLegacyFile = "flash/data1/jqlegacy/jobbackup/jobsandqueues.jnqbkp";
constexpr const char* kUpgradeDone = "=== UPGRADE RESTORE COMPLETE ===";

uint64_t number(const std::string& bytes, size_t offset, size_t size) {
  uint64_t value = 0;
  for (size_t i = 0; i < size; ++i) value |= uint64_t{static_cast<uint8_t>(bytes[offset + i])} << (8 * i);
  return value;
}

void putNumber(std::string& bytes, size_t offset, uint64_t value, size_t size) {
  for (size_t i = 0; i < size; ++i) bytes[offset + i] = static_cast<char>(value >> (8 * i));
}

std::string textAt(const std::string& bytes, size_t offset) {
  return bytes.substr(offset, bytes.find('\0', offset) - offset);
}

// A legacy file as a list of texts: "job ID name" (the name from the first entry of the
// text-offset table) and "queue ID entry...", up to the first byte that is no object.
std::vector<std::string> readLegacyStore(const std::string& bytes, bool* whole = nullptr) {
  std::vector<std::string> objects;
  size_t at = 0;
  while (at + 12 <= bytes.size() && bytes.compare(at, 6, "JOBCTR") == 0) {
    const size_t size = number(bytes, at + 8, 4);
    const std::string record = bytes.substr(at + 12, size);
    if (record.size() != size || number(record, 0, 4) != size) break;
    if (number(record, 8, 2) == 0x0A03) {
      const size_t nameOffset = number(record, 52, 4);
      objects.push_back("job " + textAt(record, 76) + " " + (nameOffset == 0 ? "" : textAt(record, nameOffset)));
    } else if (number(record, 8, 2) == 0x0A04) {
      objects.push_back("queue " + textAt(record, 44));
      for (size_t i = 0; i < number(record, 72, 4); ++i) objects.back() += " " + textAt(record, 76 + 20 * i);
    }
    at += 12 + size;
  }
  if (whole != nullptr) *whole = at == bytes.size();
  return objects;
}

std::string legacyHeader(size_t payloadSize) {
  std::string header("JOBCTR\0\0\0\0\0\0", 12);
  putNumber(header, 8, payloadSize, 4);
  return header;
}

// A job record of a finished job: 144 fixed bytes, then jobName, message, jobStatus and
// messageID with their NULs (messageArgs and queueID empty).
std::string legacyJob(const std::string& id, const std::string& name, const std::string& status) {
  const std::vector<std::pair<size_t, std::string>> texts = {
      {52, name}, {56, "The job completed successfully."}, {68, status}, {72, "RED001"}};
  std::string record(144, '\0');
  for (const auto& [tableEntry, text] : texts) {
    putNumber(record, tableEntry, record.size(), 4);
    record += text + '\0';
  }
  putNumber(record, 0, record.size(), 4);
  putNumber(record, 8, 0x0A03, 2);
  putNumber(record, 20, 76, 4);
  putNumber(record, 40, 1764949999, 8);  // completionTime
  record.replace(76, id.size(), id);
  putNumber(record, 97, 20, 1);   // jobType
  putNumber(record, 98, 4, 1);    // jobState: completed
  putNumber(record, 99, 100, 1);  // percentComplete
  putNumber(record, 100, 1764949999, 8);
  putNumber(record, 121, 7, 1);  // jobStateForInterface
  putNumber(record, 136, 1764949998, 8);
  return legacyHeader(record.size()) + record;
}

std::string legacyQueue(const std::string& id, const std::vector<std::string>& entries) {
  std::string record(76 + 20 * std::max<size_t>(entries.size(), 1), '\0');
  putNumber(record, 0, record.size(), 4);
  putNumber(record, 8, 0x0A04, 2);
  putNumber(record, 20, 44, 4);
  putNumber(record, 32, 4294967295, 8);
  record.replace(44, id.size(), id);
  putNumber(record, 72, entries.size(), 4);
  for (size_t i = 0; i < entries.size(); ++i) record.replace(76 + 20 * i, entries[i].size(), entries[i]);
  return legacyHeader(record.size()) + record;
}

class LegacyStoreTest : public PersistenceTest {
 protected:
  void writeLegacyFile(const std::string& bytes) const {
    std::filesystem::create_directories((root() / kLegacyFile).parent_path());
    std::ofstream(root() / kLegacyFile, std::ios::binary) << bytes;
  }
  std::vector<std::string> legacyObjects(bool* whole = nullptr) const {
    return readLegacyStore(readFile(root() / kLegacyFile), whole);
  }
  std::vector<std::string> listedJobs() { return client().mainProperty<std::vector<std::string>>("jobInfoObjList"); }
};

TEST_F(LegacyStoreTest, DowngradeCopyHoldsEveryJobAndQueueAfterAChange) {
  const std::string first = createJob("BIOS configuration", 2), second = createJob("RAID configuration", 3);
  auto [status, queueID, code] =
      client().callMain<uint16_t, std::string, uint16_t>("JobServSchedule", std::vector<std::string>{first, second},
                                                         uint16_t{2}, std::string("TIME_NOW"), std::string("TIME_NA"));
  ASSERT_EQ(status, 0) << code;
  const std::vector<std::string> expected = {"job " + first + " BIOS configuration",
                                             "job " + second + " RAID configuration",
                                             "queue " + queueID + " " + first + " " + second};
  bool whole = false;
  ASSERT_TRUE(waitUntil([&] { return legacyObjects(&whole) == expected && whole; }, kBackupStepTimeout))
      << ::testing::PrintToString(legacyObjects());

  struct stat info {};
  ASSERT_EQ(::stat((root() / kLegacyFile).parent_path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0770u);
  // A rewrite may still be under way; once it is done no temporary file is left.
  const auto temporary = root() / (kLegacyFile.string() + ".tmp");
  EXPECT_TRUE(waitUntil([&] { return !std::filesystem::exists(temporary); }, kBackupStepTimeout));
}

// New objects of an older firmware's file are added up to the first damaged one; jobs the
// store holds already are kept, except a controller update, which takes the copy's outcome.
TEST_F(LegacyStoreTest, UpgradeAddsWhatIsNewBeforeTheDamageAndCompletesTheControllerUpdate) {
  const std::string update = createJob("Firmware Update: Kelvo", 20), raid = createJob("RAID configuration", 2);
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
  PropertyMap restored = job(newJob);
  EXPECT_EQ(restored.at("jobName").get<std::string>(), "Storage reset");
  EXPECT_EQ(restored.at("jobStatus").get<std::string>(), "Failed");
  EXPECT_EQ(client()
                .getProperty(kRestoredQueuePathPrefix + newQueue, kQueueInterface, "jobQueueItem")
                .get<std::vector<std::string>>(),
            std::vector<std::string>{newJob});

  PropertyMap completed = job(update);
  EXPECT_EQ(completed.at("jobState").get<uint32_t>(), 4u);
  EXPECT_EQ(completed.at("percentComplete").get<uint16_t>(), 100);
  EXPECT_EQ(completed.at("jobStatus").get<std::string>(), "Completed");
  EXPECT_EQ(completed.at("messageID").get<std::string>(), "RED001");
  EXPECT_EQ(completed.at("completionTime").get<int64_t>(), 1764949999);
  EXPECT_EQ(completed.at("actualRunningStopTime").get<int64_t>(), 1764949998);
  EXPECT_NE(jobValue<std::string>(raid, "jobStatus"), "Completed");
  EXPECT_TRUE(waitForBackup([&](const std::vector<layout::StoredObject>& objects) {
    auto stored = jobsIn(objects);
    return stored.contains(update) && stored.at(update).jobStatus == "Completed" &&
           stored.at(update).percentComplete == 100;
  })) << "the forced completion reaches the backup file";
}

// The main file is rewritten before the legacy copy: a crash between the two leaves a
// deleted job in the copy. The copy is still the one the daemon wrote last, so the job
// does not come back; a copy an older firmware wrote is read (the test above).
TEST_F(LegacyStoreTest, ADeletedJobDoesNotComeBackFromTheDaemonsOwnCopyAfterACrashBetweenTheRewrites) {
  const std::string kept = createJob("BIOS configuration", 2), deleted = createJob("RAID configuration", 3);
  ASSERT_TRUE(waitUntil([&] { return legacyObjects().size() == 2; }, kBackupStepTimeout));
  ASSERT_EQ(stopDaemon(), 0);
  // The main file as the deletion's rewrite left it.
  layout::Bytes rewritten;
  for (const auto& object : backupObjects())
    if (layout::decodeJob(object.record).jsJobID != deleted)
      rewritten = layout::concat({rewritten, object.header, object.record});
  layout::writeBytes(layout::backupFile(root()), rewritten);

  startAndAwaitRestore();
  EXPECT_EQ(listedJobs(), std::vector<std::string>{kept});
}

// Tests that lay out the legacy copy before the daemon first starts.
class LegacyCopyAtAnEarlyStop : public LegacyStoreTest {
 protected:
  std::optional<DaemonOptions> initialDaemon() const override { return std::nullopt; }
};

// A stop within the start-up wait, or without a backup thread (the backup directory
// cannot be made), never replaces the legacy copy with a store that was never restored.
TEST_F(LegacyCopyAtAnEarlyStop, KeepsEveryJobAndQueueItHeld) {
  const std::string copy = legacyJob("JID_100000000011", "Storage reset", "Completed") +
                           legacyJob("JID_100000000012", "BIOS configuration", "Completed") +
                           legacyJob("JID_100000000013", "RAID configuration", "Failed") +
                           legacyQueue("QID_100000000014", {"JID_100000000011"});
  writeLegacyFile(copy);
  for (bool backupThread : {false, true}) {
    SCOPED_TRACE(backupThread ? "stop within the start-up wait" : "no backup thread");
    startDaemon(backupThread ? DaemonOptions{} : DaemonOptions{{"--bare"}, 5, "NOT_READY"});
    ASSERT_EQ(stopDaemon(), 0);
    EXPECT_EQ(readFile(root() / kLegacyFile), copy);
  }
}

// Also laid out before the first start: a legacy file larger than the store.
using LegacyUpgradeFromDamagedFile = LegacyCopyAtAnEarlyStop;

// A file with more than the store can hold publishes up to the store's limits, so that
// creation is still possible afterwards; a stray temporary copy is removed unread.
TEST_F(LegacyUpgradeFromDamagedFile, RestoreStopsAtTheStoreLimitsAndRemovesStrayTemporaryCopies) {
  std::string file;
  for (int i = 0; i < 257; ++i) file += legacyJob("JID_" + std::to_string(100000000000 + i), "Old", "Completed");
  for (int i = 0; i < 257; ++i)
    file += legacyQueue("QID_" + std::to_string(100000000000 + i), {"JID_" + std::to_string(100000000000 + i)});
  writeLegacyFile(file);
  const auto stray = root() / (kLegacyFile.string() + ".tmp");
  std::ofstream(stray, std::ios::binary) << legacyJob("JID_200000000000", "Unfinished", "Completed");
  startDaemon();
  ASSERT_TRUE(waitForLog(kUpgradeDone, kBackupStepTimeout)) << readLog();
  EXPECT_EQ(client().mainProperty<uint16_t>("jobInfoObjCount"), 256);
  EXPECT_EQ(client().mainProperty<uint16_t>("jobQueueObjCount"), 256);
  EXPECT_FALSE(std::filesystem::exists(stray));
}

}  // namespace
}  // namespace velmer::e2e
