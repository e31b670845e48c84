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

TEST(BackupRecords, QueueRecordStoresItemsInSlotsAndCapsDamagedCounts) {
  JobQueueRecord queue = {.jsQueueID = "QID_176494500011", .startTime = 0, .untilTime = 4294967295, .flags = 7,
                          .trackedJobCount = 2, .jsJobsList = {"not stored"}, .queueState = 1, .reservedAllign = {},
                          .itemCount = 3, .jobQueueItem = {"JID_1", "JID_2", "RID_3"}};
  std::vector<uint8_t> record(kQueueRecordSize, 0xEE);
  convertToJobQueueInfoControlObjFile(queue, record.data());

  ByteTable expected(kQueueRecordSize);
  expected.text(0, "QID_176494500011").num(264, 4294967295, 8).num(272, 7, 4).num(276, 2, 4).num(65820, 1, 1);
  expected.num(66084, 3, 4).num(66088, 3, 4);
  for (size_t i = 0; i < 3; ++i) expected.text(66092 + 256 * i, queue.jobQueueItem[i]);
  EXPECT_EQ(record, expected.b);

  JobQueueRecord read;
  convertToJobQueueInfoControlObj(record.data(), read);
  queue.jsJobsList.clear();
  EXPECT_EQ(read, queue);

  expected.num(66088, 100000, 4);  // a damaged slot count: the entries end at the first empty slot
  convertToJobQueueInfoControlObj(expected.b.data(), read);
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
