#include "persistence/backup_file.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "persistence/atomic_file.hpp"

using namespace velmer;

namespace {

// Little-endian writers for hand-built records, independent of the daemon's own.
void le(std::vector<uint8_t>& b, size_t offset, uint64_t value, size_t size) {
  for (size_t i = 0; i < size; ++i) b[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}
void text(std::vector<uint8_t>& b, size_t offset, const std::string& s) { std::memcpy(&b[offset], s.data(), s.size()); }

JobInfoRecord sampleJob() {
  JobInfoRecord job;
  job.startTime = -2;
  job.untilTime = 4294967295;
  job.completionTime = 1764945000;
  job.processID = 4242;
  job.runningTimeoutSeconds = 21600;
  job.jobName = "Firmware Update: Kelvo";
  job.message = std::string(300, 'm');
  job.messageArgs = "arg";
  job.queueID = "QID_176494500011";
  job.jobStatus = "Running";
  job.messageID = "JCP000";
  job.jsJobID = "JID_176494500012";
  job.flags = 0x11;
  job.jobType = 20;
  job.jobState = 3;
  job.percentComplete = 40;
  job.latestUpdateTime = 1764945100;
  job.creationTime = 1764944000;
  job.jobStateForInterface = 6;
  job.reserved0 = 0;
  job.actualRunningStartTime = 1764945050;
  job.actualRunningStopTime = 0;
  return job;
}

std::vector<uint8_t> handBuiltJob() {
  std::vector<uint8_t> b(1880, 0);
  le(b, 0, static_cast<uint64_t>(-2), 8);
  le(b, 8, 4294967295, 8);
  le(b, 16, 1764945000, 8);
  le(b, 24, 4242, 4);
  le(b, 28, 21600, 4);
  text(b, 32, "Firmware Update: Kelvo");
  text(b, 288, std::string(255, 'm'));  // 300 characters are stored as 255 and a NUL
  text(b, 544, "arg");
  text(b, 800, "QID_176494500011");
  text(b, 1056, "Running");
  text(b, 1312, "JCP000");
  text(b, 1568, "JID_176494500012");
  b[1824] = 0x11;
  le(b, 1828, 20, 4);
  le(b, 1832, 3, 4);
  le(b, 1836, 40, 2);
  le(b, 1840, 1764945100, 8);
  le(b, 1848, 1764944000, 8);
  b[1856] = 6;
  le(b, 1864, 1764945050, 8);
  return b;
}

}  // namespace

TEST(BackupRecords, HeaderCarriesSignatureTypeAndSize) {
  auto header = encodeObjectHeader(kQueueObject, 131632);
  std::vector<uint8_t> expected = {'J', 'O', 'B', 'C', 'T', 'R', 0, 0, 2, 0, 0, 0, 0x30, 0x02, 0x02, 0x00};
  EXPECT_EQ(std::vector<uint8_t>(header.begin(), header.end()), expected);
  JSObjectHeader decoded = decodeObjectHeader(header.data());
  EXPECT_EQ(decoded.signature, "JOBCTR");
  EXPECT_EQ(decoded.object_type, 2u);
  EXPECT_EQ(decoded.object_size, 131632u);
}

TEST(BackupRecords, JobRecordMatchesHandBuiltBytesAndReadsBack) {
  std::vector<uint8_t> record(kJobRecordSize, 0xEE);
  convertToJobServInfoObjFile(sampleJob(), record.data());
  EXPECT_EQ(record, handBuiltJob());

  JobInfoRecord read;
  convertToJobServInfoObj(handBuiltJob().data(), read);
  JobInfoRecord expected = sampleJob();
  expected.message = std::string(255, 'm');
  EXPECT_EQ(read, expected);
}

TEST(BackupRecords, TextWithoutNulIsReadToItsWidth) {
  std::vector<uint8_t> record = handBuiltJob();
  std::memset(&record[32], 'x', 256);  // jobName fills its field, no NUL
  JobInfoRecord read;
  convertToJobServInfoObj(record.data(), read);
  EXPECT_EQ(read.jobName, std::string(256, 'x'));
  EXPECT_EQ(read.message, std::string(255, 'm')) << "the next field is not swallowed";
}

TEST(BackupRecords, QueueRecordStoresItemsInSlotsAndCapsDamagedCounts) {
  JobQueueRecord queue;
  queue.jsQueueID = "QID_176494500011";
  queue.startTime = 0;
  queue.untilTime = 4294967295;
  queue.flags = 7;
  queue.trackedJobCount = 2;
  queue.queueState = 1;
  queue.itemCount = 3;
  queue.jobQueueItem = {"JID_1", "JID_2", "RID_3"};
  queue.jsJobsList = {"not stored"};
  std::vector<uint8_t> record(kQueueRecordSize, 0xEE);
  convertToJobQueueInfoControlObjFile(queue, record.data());

  std::vector<uint8_t> expected(kQueueRecordSize, 0);
  text(expected, 0, "QID_176494500011");
  le(expected, 264, 4294967295, 8);
  le(expected, 272, 7, 4);
  le(expected, 276, 2, 4);
  expected[65820] = 1;
  le(expected, 66084, 3, 4);
  le(expected, 66088, 3, 4);
  text(expected, 66092, "JID_1");
  text(expected, 66092 + 256, "JID_2");
  text(expected, 66092 + 512, "RID_3");
  EXPECT_EQ(record, expected);

  JobQueueRecord read;
  convertToJobQueueInfoControlObj(record.data(), read);
  queue.jsJobsList.clear();
  EXPECT_EQ(read, queue);

  le(record, 66088, 100000, 4);  // a damaged slot count: the entries end at the first empty slot
  convertToJobQueueInfoControlObj(record.data(), read);
  EXPECT_EQ(read.jobQueueItem.size(), 3u);
  EXPECT_EQ(read.itemCount, 3u);
}

TEST(BackupFiles, NewNamesKeepTheStoreFileAndRenumberOldObjectFiles) {
  EXPECT_EQ(getNewFileName("jobsandqueues.jnqbkp", 1), "jobsandqueues.jnqbkp");
  std::string job = getNewFileName("old.jbkp", 1);
  ASSERT_EQ(job.size(), 12u + 2 + 5);
  EXPECT_TRUE(job.ends_with("-1.jbkp"));
  EXPECT_EQ(job.substr(0, 12).find_first_not_of("0123456789"), std::string::npos);
  EXPECT_TRUE(getNewFileName("old.qbkp", -3).ends_with("--3.qbkp"));
  EXPECT_EQ(getNewFileName("jobsandqueues.jnqbkp.tmp", 1), "");
  EXPECT_EQ(getNewFileName("notes.txt", 1), "");
}

TEST(AtomicFileWrite, ReplacesWholeOrLeavesTheOldFile) {
  auto dir = std::filesystem::temp_directory_path() / ("velmer-atomic-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "store").string();
  {
    AtomicFile file(path);
    ASSERT_TRUE(file.open());
    ASSERT_TRUE(file.write("old", 3));
    ASSERT_TRUE(file.commit());
  }
  {
    AtomicFile file(path);
    ASSERT_TRUE(file.open());
    ASSERT_TRUE(file.write("new content", 11));
    EXPECT_TRUE(std::filesystem::exists(AtomicFile::temporaryPath(path)));
    // Dropped without commit, as when a pass fails: the old content stays.
  }
  std::ifstream in(path);
  std::string content((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(content, "old");
  EXPECT_FALSE(std::filesystem::exists(AtomicFile::temporaryPath(path)));

  std::ofstream(AtomicFile::temporaryPath(path)) << "left by a crash";
  removeStrayTemporaryFiles(dir.string());
  EXPECT_FALSE(std::filesystem::exists(AtomicFile::temporaryPath(path)));
  EXPECT_TRUE(std::filesystem::exists(path));
  std::filesystem::remove_all(dir);
}
