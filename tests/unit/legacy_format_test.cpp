#include "persistence/legacy_format.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "event_log_fixture.hpp"
#include "paths.hpp"

using namespace velmer;

namespace {

constexpr const char* kTag = "JS_RestoreObjectFromJqlegacyFile";

// Byte tables written by hand: little-endian numbers and texts at fixed offsets,
// independent of the daemon's own helpers.
struct Bytes {
  std::vector<uint8_t> b;
  explicit Bytes(size_t size) : b(size, 0) {}
  Bytes& num(size_t offset, uint64_t value, size_t size) {
    for (size_t i = 0; i < size; ++i) b[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    return *this;
  }
  Bytes& text(size_t offset, const std::string& s) {
    std::memcpy(&b[offset], s.data(), s.size());
    return *this;
  }
};

// The prologue of every legacy record: size, object ID 0, type, 2, 8, 0, 1, ID offset.
Bytes prologue(size_t size, uint16_t type, uint32_t idOffset) {
  Bytes r(size);
  r.num(0, size, 4).num(8, type, 2).num(10, 2, 1).num(11, 8, 1).num(16, 1, 4).num(20, idOffset, 4);
  return r;
}

std::vector<uint8_t> header(uint32_t payloadSize, const char* signature = "JOBCTR") {
  Bytes h(12);
  h.text(0, signature).num(8, payloadSize, 4);
  return h.b;
}

std::string headerText(uint32_t payloadSize, const char* signature = "JOBCTR") {
  std::vector<uint8_t> h = header(payloadSize, signature);
  return std::string(h.begin(), h.end());
}

// A record behind its header, as it stands in a legacy file.
std::string framed(const std::vector<uint8_t>& record) {
  std::vector<uint8_t> all = header(static_cast<uint32_t>(record.size()));
  all.insert(all.end(), record.begin(), record.end());
  return std::string(all.begin(), all.end());
}

// A job whose jobName, messageArgs and queueID are empty and whose message, jobStatus
// and messageID have 3, 7 and 6 characters.
JobInfoRecord exampleJob() {
  return {.startTime = -2,
          .untilTime = 4294967295,
          .runningTimeoutSeconds = 21600,
          .jobName = "",
          .message = "New",
          .messageArgs = "",
          .queueID = "",
          .jobStatus = "Running",
          .messageID = "JCP027",
          .jsJobID = "JID_176494500012",
          .flags = 0x11,
          .jobType = 20,
          .jobState = 3,
          .percentComplete = 40,
          .latestUpdateTime = 1764945100,
          .creationTime = 1764944000,
          .jobStateForInterface = 6,
          .actualRunningStartTime = 1764945050,
          .actualRunningStopTime = 1764945099};
}

// 144 + 4 + 8 + 7 = 163 bytes, text offsets 0, 144, 0, 0, 148, 156.
std::vector<uint8_t> exampleJobBytes() {
  Bytes r = prologue(163, 0x0A03, 76);
  r.num(24, static_cast<uint64_t>(-2), 8).num(32, 4294967295, 8).num(40, 0, 8).num(48, 21600, 4);
  r.num(52, 0, 4).num(56, 144, 4).num(60, 0, 4).num(64, 0, 4).num(68, 148, 4).num(72, 156, 4);
  r.text(76, "JID_176494500012");
  r.num(96, 0x11, 1).num(97, 20, 1).num(98, 3, 1).num(99, 40, 1);
  r.num(100, 1764945100, 8).num(108, 1764944000, 8).num(116, 128, 4).num(120, 3, 1).num(121, 6, 1);
  r.num(128, 1764945050, 8).num(136, 1764945099, 8);
  r.text(144, "New").text(148, "Running").text(156, "JCP027");
  return r.b;
}

JobQueueRecord exampleQueue(std::vector<std::string> entries) {
  const auto count = static_cast<uint32_t>(entries.size());
  return {.jsQueueID = "QID_176494500011",
          .startTime = 1764950000,
          .untilTime = 4294967295,
          .flags = 7,
          .trackedJobCount = count,
          .jsJobsList = {},
          .queueState = 1,
          .reservedAllign = {},
          .itemCount = count,
          .jobQueueItem = std::move(entries)};
}

Bytes exampleQueueBytes(size_t size, uint32_t entryCount) {
  Bytes r = prologue(size, 0x0A04, 44);
  r.num(24, 1764950000, 8).num(32, 4294967295, 8).num(40, 7, 4).text(44, "QID_176494500011");
  r.num(64, entryCount, 4).num(68, 1, 1).num(72, entryCount, 4);
  return r;
}

// Where the last read or decoding of a test stopped.
ReadStop stop;

LegacyObject readOne(const std::string& bytes) {
  std::istringstream stream(bytes);
  LegacyObject result;
  EXPECT_EQ(readLegacyObject(stream, result, stop), LegacyRead::Object);
  return result;
}

}  // namespace

// Every test gets a sandbox root and can capture the trace lines of a call.
class LegacyRecords : public EventLogFixture {};
class LegacyReader : public EventLogFixture {};
class LegacyUpgradeRestore : public EventLogFixture {
 protected:
  std::string writeFile(const std::string& relative, const std::string& bytes) const {
    const std::filesystem::path path = root_ / relative;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
  }
};

TEST_F(LegacyRecords, JobRecordHasTheFixedPartThenOnlyTheNonEmptyTexts) {
  std::vector<uint8_t> record = encodeLegacyJob(exampleJob());
  EXPECT_EQ(record, exampleJobBytes());
  auto head = encodeLegacyHeader(static_cast<uint32_t>(record.size()));
  EXPECT_EQ(std::vector<uint8_t>(head.begin(), head.end()), header(163));
}

TEST_F(LegacyRecords, QueueRecordHasOneSlotPerEntryAndAtLeastOne) {
  EXPECT_EQ(encodeLegacyQueue(exampleQueue({})), exampleQueueBytes(96, 0).b);

  Bytes three = exampleQueueBytes(136, 3);
  three.text(76, "JID_176494500012").text(96, "JID_176494500013").text(116, "RID_176494500014");
  EXPECT_EQ(encodeLegacyQueue(exampleQueue({"JID_176494500012", "JID_176494500013", "RID_176494500014"})), three.b);
}

TEST_F(LegacyRecords, IdsKeepTheirFirstEighteenCharactersAndNumbersTheirLowByte) {
  JobInfoRecord job = exampleJob();
  job.jsJobID = "JID_1764945000123456789AB";  // 25 characters
  job.jobType = 0x1234;
  std::vector<uint8_t> record = encodeLegacyJob(job);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&record[76]), 20), std::string("JID_17649450001234\0\0", 20));
  EXPECT_EQ(record[97], 0x34);

  std::vector<uint8_t> queue = encodeLegacyQueue(exampleQueue({"QID_1764945000123456789AB"}));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&queue[76]), 20), std::string("QID_17649450001234\0\0", 20));

  JobInfoRecord read;
  LegacyObject object = readOne(framed(record));
  ASSERT_TRUE(decodeLegacyJob(object, read, stop));
  EXPECT_EQ(read.jsJobID, "JID_17649450001234");
}

TEST_F(LegacyReader, HandBuiltJobReadsBackFieldByField) {
  LegacyObject object = readOne(framed(exampleJobBytes()));
  EXPECT_EQ(object.payloadSize, 163u);
  EXPECT_EQ(object.buffer.size(), 163u + kLegacySpareBytes);
  EXPECT_EQ(object.type(), kLegacyJob);
  JobInfoRecord read;
  ASSERT_TRUE(decodeLegacyJob(object, read, stop));
  EXPECT_EQ(read, exampleJob());
}

TEST_F(LegacyReader, TextsComeFromTheirOffsetsAndNeverFromOutsideTheBuffer) {
  // Texts out of table order; jobName runs to the payload's end without a NUL and ends
  // in the spare zeros; messageArgs points past the buffer; queueID into the spare bytes.
  Bytes r = prologue(152, 0x0A03, 76);
  r.num(52, 148, 4).num(56, 144, 4).num(60, 5000, 4).num(64, 152 + 30, 4).text(76, "JID_1");
  r.text(144, "Hi").text(148, "Name");
  JobInfoRecord read;
  LegacyObject object = readOne(framed(r.b));
  ASSERT_TRUE(decodeLegacyJob(object, read, stop));
  EXPECT_EQ(read.jobName, "Name");
  EXPECT_EQ(read.message, "Hi");
  EXPECT_EQ(read.messageArgs, "");
  EXPECT_EQ(read.queueID, "");
  EXPECT_EQ(read.jsJobID, "JID_1");
}

TEST_F(LegacyReader, HandBuiltQueueKeepsOnlyTheEntriesInsideItsRecord) {
  Bytes three = exampleQueueBytes(136, 3);
  three.text(76, "JID_1").text(96, "JID_2").text(116, "RID_3");
  JobQueueRecord read;
  ASSERT_TRUE(decodeLegacyQueue(readOne(framed(three.b)), read, stop));
  EXPECT_EQ(read, exampleQueue({"JID_1", "JID_2", "RID_3"}));

  // The count claims 5 entries; the 116-byte record holds 2.
  Bytes overflowing = exampleQueueBytes(116, 5);
  overflowing.text(76, "JID_1").text(96, "JID_2");
  std::string lines = traceOf([&] { ASSERT_TRUE(decodeLegacyQueue(readOne(framed(overflowing.b)), read, stop)); });
  EXPECT_EQ(read.jobQueueItem, (std::vector<std::string>{"JID_1", "JID_2"}));
  EXPECT_EQ(read.itemCount, 2u);
  EXPECT_TRUE(
      hasTraceLine(lines, std::string("L2/M8 [") + kTag + "]: Queue item 2 overflows blob for queue QID_176494500011"));
}

TEST_F(LegacyReader, DamagedObjectsAreRefusedWithTheirReason) {
  std::vector<uint8_t> mismatch = exampleJobBytes();
  mismatch[0] = 170;  // record size 170 under a header of 163
  Bytes shortJob = prologue(100, 0x0A03, 76);
  Bytes shortQueue = prologue(80, 0x0A04, 44);
  Bytes unknown = prologue(96, 0x0A05, 44);

  struct Case {
    std::string bytes;
    std::string line;
  };
  const std::vector<Case> cases = {
      {framed(exampleJobBytes()).substr(0, 5), "L2/M8 [%]: File header read failed, bytes=5"},
      {headerText(163, "JOBCTX") + std::string(163, '\0'),
       "L2/M8 [%]: Signature mismatch, possible corrupt jqlegacy file"},
      {headerText(8) + std::string(8, '\0'), "L4/M8 [%]: Payload too small: 8"},
      {headerText(0xFFFFFFFF) + std::string(200, 'x'), "L2/M8 [%]: Payload too large: 4294967295"},
      {framed(exampleJobBytes()).substr(0, 12 + 100), "L4/M8 [%]: Object read failed, expected 163 got 100"},
      {headerText(163) + std::string(mismatch.begin(), mismatch.end()),
       "L4/M8 [%]: Object size mismatch: header=163 obj=170"},
      {framed(shortJob.b), "L4/M8 [%]: Blob too small for job object"},
      {framed(shortQueue.b), "L4/M8 [%]: Blob too small for queue object"},
      {framed(unknown.b), "L2/M8 [%]: Unknown jqlegacy object type: 0xa05, skipping"},
  };
  for (const auto& c : cases) {
    std::string expected = c.line;
    expected.replace(expected.find('%'), 1, kTag);
    std::istringstream stream(c.bytes);
    LegacyRestoreCounts counts;
    LegacyRead result = LegacyRead::Object;
    std::string lines = traceOf([&] { result = JS_RestoreObjectFromJqlegacyFile(stream, counts); });
    EXPECT_EQ(result, LegacyRead::Damaged) << expected;
    EXPECT_TRUE(hasTraceLine(lines, expected)) << lines;
    EXPECT_EQ(counts.jobsRestored + counts.jobsSkipped + counts.queuesRestored + counts.queuesSkipped, 0);
  }

  std::istringstream empty("");
  LegacyRestoreCounts counts;
  EXPECT_EQ(JS_RestoreObjectFromJqlegacyFile(empty, counts), LegacyRead::End);
}

TEST_F(LegacyUpgradeRestore, ReadsTheBackupFileFirstAndStopsAtTheFirstDamagedObject) {
  std::string lines = traceOf([] { JS_RestoreFromJqlegacyBackup(); });
  EXPECT_TRUE(hasTraceLine(
      lines, "L4/M8 [JS_RestoreFromJqlegacyBackup]: No jqlegacy backup file found at either path, nothing to restore"));

  const std::string damaged = headerText(8) + std::string(8, '\0');
  const std::string restoreFile = writeFile("flash/data1/jqlegacy/jobrestore/jobsandqueues.jnqbkp", damaged);
  lines = traceOf([] { JS_RestoreFromJqlegacyBackup(); });
  EXPECT_TRUE(hasTraceLine(
      lines, "L4/M8 [JS_RestoreFromJqlegacyBackup]: Found jqlegacy backup at [" + restoreFile + "], restoring..."));
  EXPECT_TRUE(
      hasTraceLine(lines, "L2/M8 [JS_RestoreFromJqlegacyBackup]: Error reading object #0 from jqlegacy backup"));
  EXPECT_TRUE(
      hasTraceLine(lines, "L4/M8 [JS_RestoreFromJqlegacyBackup]: Errors during jqlegacy restore (ignored), rc=-1"));
  EXPECT_TRUE(hasTraceLine(lines,
                           "L4/M8 [JS_RestoreFromJqlegacyBackup]: Objects read: 0 | Jobs restored: 0, "
                           "skipped(duplicate): 0 | Queues restored: 0, skipped(duplicate): 0"));
  EXPECT_TRUE(std::filesystem::exists(restoreFile)) << "the file is left in place";

  const std::string backupFile = writeFile("flash/data1/jqlegacy/jobbackup/jobsandqueues.jnqbkp", damaged);
  lines = traceOf([] { JS_RestoreFromJqlegacyBackup(); });
  EXPECT_TRUE(hasTraceLine(
      lines, "L4/M8 [JS_RestoreFromJqlegacyBackup]: Found jqlegacy backup at [" + backupFile + "], restoring..."));
}
