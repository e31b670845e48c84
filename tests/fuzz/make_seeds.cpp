// Writes the seed corpora of the fuzz targets with the daemon's own writers, so that every
// seed is a file (or the start of one) as the daemon lays it out:
//   fuzz_make_seeds DIRECTORY   (scripts/fuzz.sh seeds writes tests/fuzz/corpus/)
// A queue object of the backup file is 128 KB: its seed keeps the header and the start of
// the record only. The journal's seeds hold whole entries, a torn one among them.
#include <array>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <tuple>
#include <vector>

#include "persistence/backup_file.hpp"
#include "persistence/journal.hpp"
#include "persistence/key_value_store.hpp"
#include "persistence/legacy_format.hpp"
#include "trace.h"

namespace {

using Bytes = std::vector<uint8_t>;

velmer::JobInfoRecord exampleJob(const std::string& id, uint32_t state) {
  const bool done = state == 4;
  return {.startTime = 0, .untilTime = 4294967295, .jobName = "Firmware Update: Kelvo",
          .message = "The job completed successfully.", .messageArgs = "a,b", .queueID = "QID_176494500011",
          .jobStatus = done ? "Completed" : "Running", .messageID = "RED001", .jsJobID = id, .flags = 1,
          .jobType = 20, .jobState = state, .percentComplete = static_cast<uint16_t>(done ? 100 : 40),
          .latestUpdateTime = 1764945100, .creationTime = 1764945000, .jobStateForInterface = 7};
}

velmer::JobQueueRecord exampleQueue() {
  return {.jsQueueID = "QID_176494500011", .untilTime = 4294967295, .trackedJobCount = 2, .jsJobsList = {},
          .queueState = 1, .reservedAllign = {},
          .itemCount = 2, .jobQueueItem = {"JID_176494500001", "JID_176494500002"}};
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

template <size_t N>
Bytes bytesOf(const std::array<uint8_t, N>& array) {
  return Bytes(array.begin(), array.end());
}

// A backup object: its header and the first `recordBytes` bytes of its record.
template <class Record>
Bytes backupObject(uint32_t type, uint32_t size, void (*encode)(const Record&, uint8_t*), const Record& record,
                   size_t recordBytes) {
  Bytes encoded(size);
  encode(record, encoded.data());
  encoded.resize(recordBytes);
  return concat({bytesOf(velmer::encodeObjectHeader(type, size)), encoded});
}

Bytes legacyObject(const Bytes& record) {
  return concat({bytesOf(velmer::encodeLegacyHeader(static_cast<uint32_t>(record.size()))), record});
}

void write(const std::filesystem::path& path, const std::string& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}
void write(const std::filesystem::path& path, const Bytes& bytes) { write(path, std::string(bytes.begin(), bytes.end())); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: " << argv[0] << " DIRECTORY\n";
    return 2;
  }
  trace_set_threshold(0);
  const std::filesystem::path dir = argv[1];
  using velmer::kJobRecordSize, velmer::kQueueRecordSize;
  const auto job = [](const char* id, uint32_t state) {
    return backupObject(velmer::kJobObject, kJobRecordSize, velmer::convertToJobServInfoObjFile, exampleJob(id, state),
                        kJobRecordSize);
  };
  const Bytes job1 = job("JID_176494500001", 4), job2 = job("JID_176494500002", 3);
  const Bytes task = concat({bytesOf(velmer::encodeObjectHeader(velmer::kTaskObject, 8)), Bytes(8, 0x5A)});
  const Bytes queueStart = backupObject(velmer::kQueueObject, kQueueRecordSize,
                                        velmer::convertToJobQueueInfoControlObjFile, exampleQueue(), 2048);
  const Bytes legacyJob1 = legacyObject(velmer::encodeLegacyJob(exampleJob("JID_176494500001", 4)));
  const Bytes legacyJob2 = legacyObject(velmer::encodeLegacyJob(exampleJob("JID_176494500002", 3)));

  // Every seed of a reader is velmer-dump's too.
  const std::tuple<std::string, std::string, Bytes> seeds[] = {
      {"backup", "one-job", job1}, {"backup", "two-jobs-and-a-task", concat({job1, task, job2})},
      {"backup", "job-and-queue-start", concat({job1, queueStart})}, {"legacy", "job", legacyJob1},
      {"legacy", "jobs-and-queue",
       concat({legacyJob1, legacyJob2, legacyObject(velmer::encodeLegacyQueue(exampleQueue()))})}};
  for (const auto& [format, name, bytes] : seeds) {
    write(dir / (format + "_file") / name, bytes);
    write(dir / "velmer_dump" / (format + "-" + name), bytes);
  }
  Bytes journal;
  for (const auto& entry :
       {velmer::encodeJournalEntry(1, velmer::JournalOp::PutJob, "JID_176494500001",
                                   velmer::packJob(exampleJob("JID_176494500001", 3))),
        velmer::encodeJournalEntry(2, velmer::JournalOp::PutQueue, "QID_176494500011", velmer::packQueue(exampleQueue())),
        velmer::encodeJournalEntry(3, velmer::JournalOp::RemoveJob, "JID_176494500001")})
    journal = concat({journal, entry});
  write(dir / "journal_file" / "set-set-remove", journal);
  write(dir / "journal_file" / "torn", Bytes(journal.begin(), journal.end() - 7));
  velmer::bus::BlobKeyValue store = {{"JID_176494500001", {{"updater", {{"stage", "2"}, {"phase", "copy"}}}}},
                                     {"JID_176494500002", {{"installer", {{"k", "v \u00e9"}}}}}};
  write(dir / "key_value_json" / "store", velmer::serializeBlobKeyValue(store, 172800));
  write(dir / "key_value_json" / "empty-store", velmer::serializeBlobKeyValue({}, 600));
  const char* times[] = {"TIME_NOW|TIME_NA", "20250101000000|20250102000000", "Next Reboot|TIME_NA",
                         "TIME_NA|20991231235959", "20250230120000|TIME_NA"};
  for (size_t i = 0; i < std::size(times); ++i) write(dir / "schedule_time" / ("time-" + std::to_string(i)), times[i]);
  return 0;
}
