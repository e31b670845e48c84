// The job store in the layout of the older job-store library, so that a firmware
// downgrade finds the current jobs (the legacy copy, rewritten after every change and at
// shutdown) and a firmware upgrade keeps the older firmware's jobs (the upgrade restore,
// once per start-up after the daemon's own restore).
//
// Layout: objects back to back, jobs first, then queues, no file header; integers
// little-endian. Each object is a 12-byte header ("JOBCTR", two reserved zero bytes,
// the payload size) followed by a record of that size:
//   job   144 fixed bytes, then each non-empty text with its NUL (offset 0 when empty);
//   queue 76 fixed bytes, then 20 bytes per entry, at least one slot (96 bytes).
// IDs sit in 20-byte fields and keep at most 18 characters.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "jobs/job_record.hpp"
#include "queues/queue_record.hpp"
#include "persistence/read_stop.hpp"
#include "persistence/restore.hpp"
#include "persistence/store_image.hpp"

namespace velmer {

inline constexpr size_t kLegacyHeaderSize = 12;
inline constexpr size_t kLegacyJobFixedSize = 144;
inline constexpr size_t kLegacyQueueFixedSize = 76;
inline constexpr size_t kLegacyQueueEntrySize = 20;
inline constexpr size_t kLegacyQueueMinSize = kLegacyQueueFixedSize + kLegacyQueueEntrySize;
inline constexpr size_t kLegacyIdMaxLength = 18;
// The smallest payload the reader accepts, and the zero bytes it keeps after every
// payload (the converter of older job layouts may grow a record into them).
inline constexpr uint32_t kLegacyMinPayload = 16;
inline constexpr size_t kLegacySpareBytes = 36;
// The largest payload the reader accepts: far above any record the store can hold (a
// job's texts are bounded, a queue has at most 256 entries), so a larger size is damage.
inline constexpr uint32_t kLegacyMaxPayload = 64 * 1024;

enum LegacyObjectType : uint16_t { kLegacyJob = 0x0A03, kLegacyQueue = 0x0A04 };

// Encoding: the header for a payload, and the records exactly as the library lays them out.
std::array<uint8_t, kLegacyHeaderSize> encodeLegacyHeader(uint32_t payloadSize);
std::vector<uint8_t> encodeLegacyJob(const JobInfoRecord& job);
std::vector<uint8_t> encodeLegacyQueue(const JobQueueRecord& queue);

// One object as read from a legacy file: the payload followed by kLegacySpareBytes zeros.
struct LegacyObject {
  uint64_t offset = 0;  // of its header in the file
  uint32_t payloadSize = 0;
  std::vector<uint8_t> buffer;

  uint16_t type() const;
};

using LegacyRead = ObjectRead;

// Reads one object: End at a clean end of the stream, Damaged for a partial header, a
// wrong signature, a payload below 16 bytes or above kLegacyMaxPayload, a short payload
// or a record size that differs from the header's. `stop` says where and why.
LegacyRead readLegacyObject(std::istream& stream, LegacyObject& object, ReadStop& stop);

// Decoding; false (with `stop`) when the record is refused. A job record of an older
// layout is converted in place first; texts are taken only from offsets inside the
// buffer; a queue keeps entry 0 and every further entry that lies inside the payload.
bool decodeLegacyJob(LegacyObject& object, JobInfoRecord& job, ReadStop& stop);
bool decodeLegacyQueue(const LegacyObject& object, JobQueueRecord& queue, ReadStop& stop);

// A job or queue of a legacy file, read and decoded: what the upgrade restore and
// velmer-dump both read with. The damage is reported, not logged.
struct LegacyEntry {
  uint64_t offset = 0;  // of its header in the file
  uint32_t payloadSize = 0;
  uint16_t type = 0;
  uint32_t objectID = 0;
  std::variant<JobInfoRecord, JobQueueRecord> record;
};
LegacyRead readLegacyEntry(std::istream& stream, LegacyEntry& entry, ReadStop& stop);

// What one upgrade restore did, for its summary.
struct LegacyRestoreCounts {
  int objectsRead = 0;
  int jobsRestored = 0;
  int jobsSkipped = 0;
  int queuesRestored = 0;
  int queuesSkipped = 0;
};

// The legacy copy's bytes for a store image, and their size and digest as one line.
std::vector<uint8_t> encodeLegacyStore(const StoreImage& image);
std::string legacyDigest(const std::vector<uint8_t>& content);

// Writes the legacy file, atomically, and remembers what it wrote: true when the new
// copy replaced the old one; on false the previous copy is left as it was. Backup thread
// only.
bool JS_PersistToJqlegacyFormat(const std::vector<uint8_t>& content);

// The digest of the legacy file as it is now; nothing when it cannot be read.
std::optional<std::string> legacyCopyDigest();

// Whether the legacy file is the copy this daemon wrote last (so that it holds nothing
// an older firmware wrote, and a job it holds that the store lacks was deleted).
bool legacyCopyIsOwn();

// Reads one object and publishes it unless the store has it already or the journal
// recorded its deletion (backup thread); one that cannot be published now goes to
// `restored.unpublished`.
LegacyRead JS_RestoreObjectFromJqlegacyFile(std::istream& stream, LegacyRestoreCounts& counts, RestoredStore& restored);

// The upgrade restore: publishes the jobs and queues of the legacy file (or the legacy
// restore file) that the store does not have yet, and brings controller firmware
// update jobs present in both to the legacy copy's completion state. Always 0.
int JS_RestoreFromJqlegacyBackup(RestoredStore& restored);

}  // namespace velmer
