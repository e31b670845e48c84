// Writes the seed corpora of the fuzz targets with the daemon's own writers, so that every
// seed is a file (or the start of one) as the daemon lays it out:
//   fuzz_make_seeds DIRECTORY   (scripts/fuzz.sh seeds writes tests/fuzz/corpus/)
// A queue object of the backup file is 128 KB: its seed keeps the header and the start of
// the record only.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "persistence/backup_file.hpp"
#include "persistence/key_value_store.hpp"
#include "persistence/legacy_format.hpp"
#include "trace.h"

namespace {

using Bytes = std::vector<uint8_t>;

velmer::JobInfoRecord exampleJob(const std::string& id, uint32_t state) {
  velmer::JobInfoRecord job;
  job.jsJobID = id;
  job.jobName = "Firmware Update: Kelvo";
  job.message = "The job completed successfully.";
  job.messageID = "RED001";
  job.messageArgs = "a,b";
  job.jobStatus = state == 4 ? "Completed" : "Running";
  job.queueID = "QID_176494500011";
  job.jobType = 20;
  job.jobState = state;
  job.percentComplete = state == 4 ? 100 : 40;
  job.startTime = 0;
  job.untilTime = 4294967295;
  job.creationTime = 1764945000;
  job.latestUpdateTime = 1764945100;
  job.jobStateForInterface = 7;
  job.flags = 1;
  return job;
}

velmer::JobQueueRecord exampleQueue() {
  velmer::JobQueueRecord queue;
  queue.jsQueueID = "QID_176494500011";
  queue.untilTime = 4294967295;
  queue.queueState = 1;
  queue.trackedJobCount = 2;
  queue.jobQueueItem = {"JID_176494500001", "JID_176494500002"};
  queue.itemCount = 2;
  return queue;
}

void append(Bytes& out, const uint8_t* data, size_t size) { out.insert(out.end(), data, data + size); }

Bytes backupJob(const velmer::JobInfoRecord& job) {
  Bytes out;
  const auto header = velmer::encodeObjectHeader(velmer::kJobObject, velmer::kJobRecordSize);
  append(out, header.data(), header.size());
  std::vector<uint8_t> record(velmer::kJobRecordSize);
  velmer::convertToJobServInfoObjFile(job, record.data());
  append(out, record.data(), record.size());
  return out;
}

Bytes backupQueueStart(size_t recordBytes) {
  Bytes out;
  const auto header = velmer::encodeObjectHeader(velmer::kQueueObject, velmer::kQueueRecordSize);
  append(out, header.data(), header.size());
  std::vector<uint8_t> record(velmer::kQueueRecordSize);
  velmer::convertToJobQueueInfoControlObjFile(exampleQueue(), record.data());
  append(out, record.data(), recordBytes);
  return out;
}

Bytes legacyObject(const std::vector<uint8_t>& record) {
  Bytes out;
  const auto header = velmer::encodeLegacyHeader(static_cast<uint32_t>(record.size()));
  append(out, header.data(), header.size());
  append(out, record.data(), record.size());
  return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

void write(const std::filesystem::path& path, const Bytes& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: " << argv[0] << " DIRECTORY\n";
    return 2;
  }
  trace_set_threshold(0);
  const std::filesystem::path dir = argv[1];
  const Bytes job1 = backupJob(exampleJob("JID_176494500001", 4));
  const Bytes job2 = backupJob(exampleJob("JID_176494500002", 3));
  const auto taskHeader = velmer::encodeObjectHeader(velmer::kTaskObject, 8);
  const Bytes task = concat({Bytes(taskHeader.begin(), taskHeader.end()), Bytes(8, 0x5A)});
  const Bytes legacyJob1 = legacyObject(velmer::encodeLegacyJob(exampleJob("JID_176494500001", 4)));
  const Bytes legacyJob2 = legacyObject(velmer::encodeLegacyJob(exampleJob("JID_176494500002", 3)));
  const Bytes legacyQueue = legacyObject(velmer::encodeLegacyQueue(exampleQueue()));

  const std::vector<std::pair<std::string, Bytes>> backup = {
      {"one-job", job1},
      {"two-jobs-and-a-task", concat({job1, task, job2})},
      {"job-and-queue-start", concat({job1, backupQueueStart(2048)})},
  };
  const std::vector<std::pair<std::string, Bytes>> legacy = {
      {"job", legacyJob1},
      {"jobs-and-queue", concat({legacyJob1, legacyJob2, legacyQueue})},
  };
  for (const auto& [name, bytes] : backup) {
    write(dir / "backup_file" / name, bytes);
    write(dir / "velmer_dump" / ("backup-" + name), bytes);
  }
  for (const auto& [name, bytes] : legacy) {
    write(dir / "legacy_file" / name, bytes);
    write(dir / "velmer_dump" / ("legacy-" + name), bytes);
  }
  velmer::bus::BlobKeyValue store = {{"JID_176494500001", {{"updater", {{"stage", "2"}, {"phase", "copy"}}}}},
                                     {"JID_176494500002", {{"installer", {{"k", "v \u00e9"}}}}}};
  write(dir / "key_value_json" / "store", text(velmer::serializeBlobKeyValue(store, 172800)));
  write(dir / "key_value_json" / "empty-store", text(velmer::serializeBlobKeyValue({}, 600)));
  const char* times[] = {"TIME_NOW|TIME_NA", "20250101000000|20250102000000", "Next Reboot|TIME_NA",
                         "TIME_NA|20991231235959", "20250230120000|TIME_NA"};
  int i = 0;
  for (const char* time : times) write(dir / "schedule_time" / ("time-" + std::to_string(i++)), text(time));
  return 0;
}
