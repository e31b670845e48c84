// The job record of the backup file is checked byte for byte by the end-to-end tests
// (tests/e2e/backup_layout.*); here the queue record, whose slots and damaged counts a
// client cannot produce, the names given to files of older layouts, a dropped write, a
// file with holes, and the journal's torn tails.
#include "persistence/backup_file.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <sstream>
#include <tuple>
#include <vector>

#include "persistence/atomic_file.hpp"
#include "persistence/journal.hpp"
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
// temporary one. A committed file reads back byte for byte, its all-zero blocks left
// holes, a zero tail included.
TEST(AtomicFileWrite, ReplacesWholeOrLeavesTheOldFileAndSkipsZeroBlocks) {
  TempRoot root;
  const std::string path = (root.dir() / "store").string();
  std::string sparse(5 * AtomicFile::kBlockSize + 100, '\0');
  sparse[10] = 'a';
  sparse[3 * AtomicFile::kBlockSize + 7] = 'b';
  for (const auto& [content, commit] : {std::pair{sparse, true}, {std::string("new content"), false}}) {
    AtomicFile file(path);
    ASSERT_TRUE(file.open());
    ASSERT_TRUE(file.write(content.data(), content.size()));
    if (commit) {
      ASSERT_TRUE(file.commit());
      EXPECT_EQ(file.bytesWritten(), 2 * AtomicFile::kBlockSize);
    }
  }
  EXPECT_TRUE(readText(path) == sparse);
  EXPECT_FALSE(std::filesystem::exists(AtomicFile::temporaryPath(path)));
}

// Packing is exact; a journal's entries apply in order up to the first one that is cut
// short, damaged or out of sequence, and everything before it is kept.
TEST(Journal, EntriesApplyUpToATornOrDamagedTail) {
  JobQueueRecord queue;
  queue.jsQueueID = "QID_1";
  queue.itemCount = 1;
  queue.jobQueueItem = {"JID_1"};
  JobQueueRecord unpacked;
  const PackedRecord packedQueue = packQueue(queue);
  ASSERT_TRUE(unpackQueue(packedQueue, unpacked));
  EXPECT_EQ(unpacked, queue);
  EXPECT_LT(packedQueue.size(), 100u);
  JobInfoRecord job;
  job.jobName = "a job";
  job.jsJobID = "JID_1";
  job.jobState = 3;
  std::string journal;
  for (const auto& entry : {encodeJournalEntry(7, JournalOp::PutJob, "JID_1", packJob(job)),
                            encodeJournalEntry(8, JournalOp::PutQueue, "QID_1", packedQueue),
                            encodeJournalEntry(9, JournalOp::RemoveJob, "JID_1")})
    journal.append(entry.begin(), entry.end());
  const size_t lastEntry = journal.size() - kJournalHeaderSize - 5;

  const auto apply = [](const std::string& bytes) {
    std::istringstream stream(bytes);
    StoreImage image;
    const JournalRead read = applyJournal(stream, image);
    return std::make_tuple(read.entries, read.stop.damage, image.size(StoredKind::Job), image.size(StoredKind::Queue));
  };
  EXPECT_EQ(apply(journal), std::make_tuple(size_t{3}, Damage::None, size_t{0}, size_t{1}));
  for (size_t cut = lastEntry + 1; cut < journal.size(); ++cut)
    EXPECT_EQ(std::get<0>(apply(journal.substr(0, cut))), 2u) << cut;
  std::string flipped = journal;
  flipped[lastEntry + kJournalHeaderSize] ^= 1;
  EXPECT_EQ(apply(flipped), std::make_tuple(size_t{2}, Damage::BadChecksum, size_t{1}, size_t{1}));
  const auto stale = encodeJournalEntry(3, JournalOp::RemoveQueue, "QID_1");
  EXPECT_EQ(apply(journal.substr(0, lastEntry) + std::string(stale.begin(), stale.end())),
            std::make_tuple(size_t{2}, Damage::BadSequence, size_t{1}, size_t{1}));
}

}  // namespace
}  // namespace velmer
