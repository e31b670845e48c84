// The byte layouts of the backup file and of the legacy copy written down a second
// time, from the formats' tables and not from the daemon's code: tests build files with
// them and read the daemon's files back with them. One table per backup record names
// every field with its offset, its width and its bus property, so the same table also
// reads a job off the bus.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "bus_client.hpp"
#include "jobs/job_record.hpp"
#include "queues/queue_record.hpp"

namespace velmer::e2e::layout {

inline constexpr size_t kHeaderSize = 16;
inline constexpr uint32_t kJobType = 1, kQueueType = 2, kTaskType = 3;
inline constexpr uint32_t kJobRecordSize = 1880, kQueueRecordSize = 131632;
inline constexpr size_t kQueueSlotCount = 256;

using Bytes = std::vector<uint8_t>;

// One object of a backup file as it lies on disk.
struct StoredObject {
  Bytes header;  // 16 bytes
  Bytes record;  // object_size bytes
  uint32_t type = 0;
};

// Splits a whole file into its objects; throws std::runtime_error when the bytes end
// inside a header or a record.
std::vector<StoredObject> splitObjects(const std::string& file);

// A 16-byte header with any signature (cut to 6 characters), type and size.
Bytes header(std::string_view signature, uint32_t type, uint32_t size);
// Header and record, as the writer lays them out: texts cut to 255 characters and a
// NUL, every other byte zero. `slotCount` overrides the stored jobQueueItemCount (a
// damaged count); the slots written are still the queue's own items.
Bytes jobObject(const JobInfoRecord& job);
Bytes queueObject(const JobQueueRecord& queue, const uint32_t* slotCount = nullptr);
Bytes jobRecord(const JobInfoRecord& job);

JobInfoRecord decodeJob(const Bytes& record);
// Reads at most 256 slots, whatever the count says.
JobQueueRecord decodeQueue(const Bytes& record);

// A job or queue from its bus properties (every property, reserved0 included).
JobInfoRecord jobFromProperties(const PropertyMap& properties);
JobQueueRecord queueFromProperties(const PropertyMap& properties);
// The job properties that restore sets, as a setAllProperties map (reserved0 is stored
// in the file but not restored).
PropertyMap restoredJobProperties(const JobInfoRecord& job);

// Where the daemon keeps its files, below a sandbox root.
inline const std::filesystem::path kBackupDirectory = "flash/data1/jobservice/jobbackup";
inline const std::filesystem::path kBackupFile = kBackupDirectory / "jobsandqueues.jnqbkp";
inline const std::filesystem::path kRestoreDirectory = "flash/data1/jobservice/jobrestore";
inline const std::filesystem::path kKeyValueFile = "var/lib/jobservice/blobkeyvalue.json";
inline const std::filesystem::path kLegacyFile = "flash/data1/jqlegacy/jobbackup/jobsandqueues.jnqbkp";

// Writes `bytes` to `path`, creating its directories.
void writeBytes(const std::filesystem::path& path, const Bytes& bytes);
Bytes concat(std::initializer_list<Bytes> parts);

// The legacy copy, in the older job-store format: objects behind a 12-byte header,
// records of their own length with texts found through a table of offsets.
std::string legacyHeader(size_t payloadSize);
// A finished job's object with jobName, message, jobStatus and messageID; a queue's.
std::string legacyJob(const std::string& id, const std::string& name, const std::string& status);
std::string legacyQueue(const std::string& id, const std::vector<std::string>& entries);
// A legacy file as texts, "job ID name" and "queue ID entry...", up to the first byte
// that is no object; `whole` tells whether that was the end of the file.
std::vector<std::string> readLegacyStore(const std::string& bytes, bool* whole = nullptr);

}  // namespace velmer::e2e::layout
