// The job record of the backup file is checked byte for byte by the end-to-end tests
// (tests/e2e/backup_layout.*); here the queue record, whose slots and damaged counts a
// client cannot produce, the names given to files of older layouts, and a dropped write.
#include "persistence/backup_file.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <tuple>
#include <vector>

#include "persistence/atomic_file.hpp"
#include "temp_root.hpp"

namespace velmer {
namespace {

void putNumber(std::vector<uint8_t>& bytes, size_t offset, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}
void putText(std::vector<uint8_t>& bytes, size_t offset, const std::string& text) {
  std::memcpy(&bytes[offset], text.data(), text.size());
}

TEST(BackupRecords, QueueRecordStoresItemsInSlotsAndCapsDamagedCounts) {
  JobQueueRecord queue = {.jsQueueID = "QID_176494500011", .startTime = 0, .untilTime = 4294967295, .flags = 7,
                          .trackedJobCount = 2, .jsJobsList = {"not stored"}, .queueState = 1, .reservedAllign = {},
                          .itemCount = 3, .jobQueueItem = {"JID_1", "JID_2", "RID_3"}};
  std::vector<uint8_t> record(kQueueRecordSize, 0xEE);
  convertToJobQueueInfoControlObjFile(queue, record.data());

  std::vector<uint8_t> expected(kQueueRecordSize, 0);
  putText(expected, 0, "QID_176494500011");
  putNumber(expected, 264, 4294967295, 8);
  putNumber(expected, 272, 7, 4);
  putNumber(expected, 276, 2, 4);
  expected[65820] = 1;
  putNumber(expected, 66084, 3, 4);
  putNumber(expected, 66088, 3, 4);
  for (size_t i = 0; i < 3; ++i) putText(expected, 66092 + 256 * i, queue.jobQueueItem[i]);
  EXPECT_EQ(record, expected);

  JobQueueRecord read;
  convertToJobQueueInfoControlObj(record.data(), read);
  queue.jsJobsList.clear();
  EXPECT_EQ(read, queue);

  putNumber(record, 66088, 100000, 4);  // a damaged slot count: the entries end at the first empty slot
  convertToJobQueueInfoControlObj(record.data(), read);
  EXPECT_EQ(std::make_tuple(read.jobQueueItem.size(), read.itemCount), std::make_tuple(size_t{3}, 3u));
}

TEST(BackupFiles, NewNamesKeepTheStoreFileAndRenumberOldObjectFiles) {
  EXPECT_EQ(getNewFileName("jobsandqueues.jnqbkp", 1), "jobsandqueues.jnqbkp");
  const std::string job = getNewFileName("old.jbkp", 1);
  ASSERT_EQ(job.size(), 12u + 2 + 5);
  EXPECT_TRUE(job.ends_with("-1.jbkp"));
  EXPECT_EQ(job.substr(0, 12).find_first_not_of("0123456789"), std::string::npos);
  EXPECT_TRUE(getNewFileName("old.qbkp", -3).ends_with("--3.qbkp"));
  EXPECT_EQ(getNewFileName("jobsandqueues.jnqbkp.tmp", 1), "");
  EXPECT_EQ(getNewFileName("notes.txt", 1), "");
}

// A write dropped without commit, as when a pass fails, leaves the old file and no
// temporary one.
TEST(AtomicFileWrite, ReplacesWholeOrLeavesTheOldFile) {
  TempRoot root;
  const std::string path = (root.dir() / "store").string();
  for (const auto& [content, commit] : {std::pair{"old", true}, {"new content", false}}) {
    AtomicFile file(path);
    ASSERT_TRUE(file.open());
    ASSERT_TRUE(file.write(content, std::strlen(content)));
    if (commit) {
      ASSERT_TRUE(file.commit());
    }
  }
  EXPECT_EQ(readText(path), "old");
  EXPECT_FALSE(std::filesystem::exists(AtomicFile::temporaryPath(path)));
}

}  // namespace
}  // namespace velmer
