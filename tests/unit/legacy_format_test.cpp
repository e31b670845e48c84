// The legacy records built by hand from their byte tables, independently of the daemon's
// helpers: what the writer lays out, what the reader takes back, and the damage it refuses.
#include "persistence/legacy_format.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <tuple>
#include <vector>

#include "temp_root.hpp"

namespace velmer {
namespace {

constexpr const char* kTag = "JS_RestoreObjectFromJqlegacyFile";

// The prologue of every legacy record: size, object ID 0, type, 2, 8, 0, 1, ID offset.
ByteTable prologue(size_t size, uint16_t type, uint32_t idOffset) {
  ByteTable r(size);
  r.num(0, size, 4).num(8, type, 2).num(10, 2, 1).num(11, 8, 1).num(16, 1, 4).num(20, idOffset, 4);
  return r;
}

std::string headerText(uint32_t payloadSize, const char* signature = "JOBCTR") {
  ByteTable h(12);
  h.text(0, signature).num(8, payloadSize, 4);
  return std::string(h.b.begin(), h.b.end());
}

// A record behind its header, as it stands in a legacy file.
std::string framed(const std::vector<uint8_t>& record) {
  return headerText(static_cast<uint32_t>(record.size())) + std::string(record.begin(), record.end());
}

// A job whose jobName, messageArgs and queueID are empty: 144 fixed bytes, then message,
// jobStatus and messageID (163 bytes, text offsets 0, 144, 0, 0, 148, 156).
const JobInfoRecord kJob = {.startTime = -2, .untilTime = 4294967295, .runningTimeoutSeconds = 21600, .jobName = "",
                            .message = "New", .messageArgs = "", .queueID = "", .jobStatus = "Running",
                            .messageID = "JCP027", .jsJobID = "JID_176494500012", .flags = 0x11, .jobType = 20,
                            .jobState = 3, .percentComplete = 40, .latestUpdateTime = 1764945100,
                            .creationTime = 1764944000, .jobStateForInterface = 6,
                            .actualRunningStartTime = 1764945050, .actualRunningStopTime = 1764945099};

std::vector<uint8_t> jobBytes() {
  ByteTable r = prologue(163, 0x0A03, 76);
  r.num(24, static_cast<uint64_t>(-2), 8).num(32, 4294967295, 8).num(48, 21600, 4);
  r.num(56, 144, 4).num(68, 148, 4).num(72, 156, 4).text(76, "JID_176494500012");
  r.num(96, 0x11, 1).num(97, 20, 1).num(98, 3, 1).num(99, 40, 1);
  r.num(100, 1764945100, 8).num(108, 1764944000, 8).num(116, 128, 4).num(120, 3, 1).num(121, 6, 1);
  r.num(128, 1764945050, 8).num(136, 1764945099, 8);
  r.text(144, "New").text(148, "Running").text(156, "JCP027");
  return r.b;
}

JobQueueRecord queueOf(std::vector<std::string> entries) {
  const auto count = static_cast<uint32_t>(entries.size());
  return {.jsQueueID = "QID_176494500011", .startTime = 1764950000, .untilTime = 4294967295, .flags = 7,
          .trackedJobCount = count, .jsJobsList = {}, .queueState = 1, .reservedAllign = {}, .itemCount = count,
          .jobQueueItem = std::move(entries)};
}

ByteTable queueBytes(size_t size, uint32_t entryCount) {
  ByteTable r = prologue(size, 0x0A04, 44);
  r.num(24, 1764950000, 8).num(32, 4294967295, 8).num(40, 7, 4).text(44, "QID_176494500011");
  r.num(64, entryCount, 4).num(68, 1, 1).num(72, entryCount, 4);
  return r;
}

ReadStop stop;

LegacyObject readOne(const std::string& bytes) {
  std::istringstream stream(bytes);
  LegacyObject result;
  EXPECT_EQ(readLegacyObject(stream, result, stop), LegacyRead::Object);
  return result;
}

// A record behind its header, read and decoded as the upgrade restore does.
template <class Record, class Decode>
Record decoded(const std::vector<uint8_t>& record, Decode decode) {
  LegacyObject object = readOne(framed(record));
  Record result;
  EXPECT_TRUE(decode(object, result, stop));
  return result;
}

// The header in front of each record is pinned by the end-to-end tests, which read the
// daemon's own copy.
TEST(LegacyRecords, JobRecordHasTheFixedPartThenOnlyTheNonEmptyTextsAndReadsBack) {
  EXPECT_EQ(encodeLegacyJob(kJob), jobBytes());
  EXPECT_EQ(decoded<JobInfoRecord>(jobBytes(), decodeLegacyJob), kJob);

  // IDs keep their first eighteen characters, numbers their low byte.
  JobInfoRecord job = kJob;
  job.jsJobID = "JID_1764945000123456789AB";
  job.jobType = 0x1234;
  const std::vector<uint8_t> record = encodeLegacyJob(job);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&record[76]), 20), std::string("JID_17649450001234\0\0", 20));
  EXPECT_EQ(record[97], 0x34);
  EXPECT_EQ(decoded<JobInfoRecord>(record, decodeLegacyJob).jsJobID, "JID_17649450001234");
}

TEST(LegacyRecords, QueueRecordHasOneSlotPerEntryAndReadsBackOnlyTheEntriesInsideIt) {
  EXPECT_EQ(encodeLegacyQueue(queueOf({})), queueBytes(96, 0).b) << "at least one slot";
  ByteTable three = queueBytes(136, 3);
  three.text(76, "JID_176494500012").text(96, "JID_176494500013").text(116, "RID_176494500014");
  const JobQueueRecord queue = queueOf({"JID_176494500012", "JID_176494500013", "RID_176494500014"});
  EXPECT_EQ(encodeLegacyQueue(queue), three.b);
  EXPECT_EQ(decoded<JobQueueRecord>(three.b, decodeLegacyQueue), queue);

  ByteTable overflowing = queueBytes(116, 5);  // 5 entries counted, room for 2
  overflowing.text(76, "JID_1").text(96, "JID_2");
  const JobQueueRecord read = decoded<JobQueueRecord>(overflowing.b, decodeLegacyQueue);
  EXPECT_EQ(std::make_tuple(read.jobQueueItem, read.itemCount),
            std::make_tuple(std::vector<std::string>{"JID_1", "JID_2"}, 2u));
}

TEST(LegacyReader, DamagedObjectsAreRefusedWithTheirReason) {
  std::vector<uint8_t> mismatch = jobBytes();
  mismatch[0] = 170;  // record size 170 under a header of 163
  const std::pair<std::string, std::string> cases[] = {
      {framed(jobBytes()).substr(0, 5), "L2/M8 [%]: File header read failed, bytes=5"},
      {headerText(163, "JOBCTX") + std::string(163, '\0'),
       "L2/M8 [%]: Signature mismatch, possible corrupt jqlegacy file"},
      {headerText(8) + std::string(8, '\0'), "L4/M8 [%]: Payload too small: 8"},
      {headerText(0xFFFFFFFF) + std::string(200, 'x'), "L2/M8 [%]: Payload too large: 4294967295"},
      {framed(jobBytes()).substr(0, 12 + 100), "L4/M8 [%]: Object read failed, expected 163 got 100"},
      {headerText(163) + std::string(mismatch.begin(), mismatch.end()),
       "L4/M8 [%]: Object size mismatch: header=163 obj=170"},
      {framed(prologue(100, 0x0A03, 76).b), "L4/M8 [%]: Blob too small for job object"},
      {framed(prologue(80, 0x0A04, 44).b), "L4/M8 [%]: Blob too small for queue object"},
      {framed(prologue(96, 0x0A05, 44).b), "L2/M8 [%]: Unknown jqlegacy object type: 0xa05, skipping"},
  };
  for (auto [bytes, line] : cases) {
    line.replace(line.find('%'), 1, kTag);
    std::istringstream stream(bytes);
    LegacyRestoreCounts counts;
    RestoredStore restored;
    LegacyRead result = LegacyRead::Object;
    const std::string trace = traceOf([&] { result = JS_RestoreObjectFromJqlegacyFile(stream, counts, restored); });
    EXPECT_EQ(result, LegacyRead::Damaged) << line;
    EXPECT_NE(trace.find(" " + line + "\n"), std::string::npos) << trace;
    EXPECT_EQ(counts.jobsRestored + counts.jobsSkipped + counts.queuesRestored + counts.queuesSkipped, 0);
  }
  std::istringstream empty("");
  LegacyRestoreCounts counts;
  RestoredStore restored;
  EXPECT_EQ(JS_RestoreObjectFromJqlegacyFile(empty, counts, restored), LegacyRead::End);
}

}  // namespace
}  // namespace velmer
