// The job store as it stands on flash: every job and queue record by ID, packed.
//
// The backup file holds each record at its full width (a queue record is 131,632 bytes,
// almost all zeros). In memory, and in the journal that follows the backup file, a
// record is packed: runs of zero bytes squeezed out, so that a queue takes a few hundred
// bytes. Packing is exact: a record unpacks to the very bytes the backup file holds.
//
// An image keys its objects by the ID their record reads back with (what restore
// publishes them under), one namespace for jobs and one for queues; the first object of
// an ID wins, as at restore.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <istream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "jobs/job_record.hpp"
#include "persistence/read_stop.hpp"
#include "queues/queue_record.hpp"

namespace velmer {

enum class StoredKind : uint8_t { Job = 1, Queue = 2 };

using PackedRecord = std::vector<uint8_t>;

// A record's bytes with zero runs squeezed out: pairs of (literal length, literal bytes,
// zero-run length), lengths as LEB128 varints, until the record's size is reached.
PackedRecord packRecord(const uint8_t* record, size_t size);
// Unpacks into `record` of exactly `size` bytes: false when the packed bytes do not make
// exactly that many (damage), with `record` then unspecified.
bool unpackRecord(const uint8_t* packed, size_t packedSize, uint8_t* record, size_t size);
// Whether `packed` unpacks to a whole record of `kind`; if so, `use` (when given) reads it.
bool unpacksWhole(StoredKind kind, const PackedRecord& packed, const std::function<void(const uint8_t*)>& use = {});

// Packing a plain record, and the way back (false for packed bytes that are damaged).
PackedRecord packJob(const JobInfoRecord& job);
PackedRecord packQueue(const JobQueueRecord& queue);
bool unpackJob(const PackedRecord& packed, JobInfoRecord& job);
bool unpackQueue(const PackedRecord& packed, JobQueueRecord& queue);

size_t recordSize(StoredKind kind);

// A buffer for one record of `kind`, all zeros: a job's (1880 bytes) is kept per thread; a
// queue's (128 KB) is the one a QueueRecordPass on this thread keeps, or else mapped for as
// long as it is used and then returned to the system, so that no thread holds one between
// uses.
class RecordBuffer {
 public:
  explicit RecordBuffer(StoredKind kind);
  ~RecordBuffer();
  RecordBuffer(const RecordBuffer&) = delete;
  RecordBuffer& operator=(const RecordBuffer&) = delete;
  uint8_t* data() { return data_; }

 private:
  std::vector<uint8_t> own_;
  uint8_t* data_ = nullptr;
  bool borrowed_ = false;
};

// While it lives, the queue records this thread handles share one buffer: a pass over the
// whole store (a restore, a checkpoint) would otherwise map, fault in and unmap 128 KB
// for every queue, which took most of a restore's time.
class QueueRecordPass {
 public:
  QueueRecordPass();
  ~QueueRecordPass();
  QueueRecordPass(const QueueRecordPass&) = delete;
  QueueRecordPass& operator=(const QueueRecordPass&) = delete;

 private:
  std::vector<uint8_t> buffer_;
};

// The ID a record stored with `id` reads back with: up to a NUL, at most 255 bytes (the
// record's ID field is 256 bytes with its NUL).
std::string storedID(const std::string& id);

struct StoredKey {
  StoredKind kind = StoredKind::Job;
  std::string id;
  auto operator<=>(const StoredKey&) const = default;
};

class StoreImage {
 public:
  // Adds or replaces an object; a new one goes last of its kind.
  void put(StoredKind kind, const std::string& id, PackedRecord packed);
  // Adds an object unless its ID is taken: false (nothing changed) when taken.
  bool add(StoredKind kind, const std::string& id, PackedRecord packed);
  void remove(StoredKind kind, const std::string& id);
  const PackedRecord* find(StoredKind kind, const std::string& id) const;
  bool contains(StoredKind kind, const std::string& id) const { return find(kind, id) != nullptr; }

  // The IDs of one kind, in order (the order a backup file written from the image has).
  const std::vector<std::string>& ids(StoredKind kind) const;
  size_t size(StoredKind kind) const { return ids(kind).size(); }
  bool empty() const { return jobOrder_.empty() && queueOrder_.empty(); }
  bool operator==(const StoreImage& other) const { return records_ == other.records_; }

  void clear();

 private:
  std::vector<std::string>& order(StoredKind kind) { return kind == StoredKind::Job ? jobOrder_ : queueOrder_; }

  std::map<StoredKey, PackedRecord> records_;
  std::vector<std::string> jobOrder_;
  std::vector<std::string> queueOrder_;
};

// How reading a backup file into an image went.
struct BackupFileRead {
  bool found = false;   // the file could be opened
  bool whole = false;   // read to its clean end, no damage
  size_t objects = 0;   // job and queue records taken (tasks and repeated IDs are not)
  ReadStop stop;        // where and why reading stopped, when it was not whole
};

struct BackupObject;

// Reads the next backup-file object (readBackupObject) and adds a job or queue to
// `image`; a repeated ID keeps the first record, a task record is skipped.
ObjectRead readBackupObjectInto(std::istream& stream, StoreImage& image, BackupObject& object, ReadStop& stop);

// Reads every object up to the end or the first damage.
BackupFileRead readBackupFileInto(std::istream& stream, StoreImage& image);

}  // namespace velmer
