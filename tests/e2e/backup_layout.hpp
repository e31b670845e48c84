// The backup file's byte layout written down a second time, from the format's tables
// and not from the daemon's code: tests build files with it and read the daemon's
// files back with it. One table per record names every field with its offset, its
// width and its bus property, so the same table also reads a job off the bus.
#pragma once

#include <cstdint>
#include <filesystem>
#include <ostream>
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
  Bytes header;                   // 16 bytes
  Bytes record;                   // object_size bytes
  std::string signature() const;  // up to the NUL within the 7 signature bytes
  uint32_t type() const;
  uint32_t size() const;
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
Bytes queueRecord(const JobQueueRecord& queue);

JobInfoRecord decodeJob(const Bytes& record);
// Reads at most 256 slots, whatever the count says.
JobQueueRecord decodeQueue(const Bytes& record);

// A job or queue from its bus properties (every property, reserved0 included).
JobInfoRecord jobFromProperties(const PropertyMap& properties);
JobQueueRecord queueFromProperties(const PropertyMap& properties);
// The job properties that restore sets, as a setAllProperties map (reserved0 is stored
// in the file but not restored).
PropertyMap restoredJobProperties(const JobInfoRecord& job);

// Where the daemon keeps its files under a sandbox root.
std::filesystem::path backupDirectory(const std::filesystem::path& root);
std::filesystem::path backupFile(const std::filesystem::path& root);
std::filesystem::path restoreDirectory(const std::filesystem::path& root);
std::filesystem::path keyValueFile(const std::filesystem::path& root);

// Writes `bytes` to `path`, creating its directories.
void writeBytes(const std::filesystem::path& path, const Bytes& bytes);
Bytes concat(std::initializer_list<Bytes> parts);

}  // namespace velmer::e2e::layout

// Readable failure messages: every field by name.
namespace velmer {
void PrintTo(const JobInfoRecord& job, std::ostream* out);
void PrintTo(const JobQueueRecord& queue, std::ostream* out);
}  // namespace velmer
