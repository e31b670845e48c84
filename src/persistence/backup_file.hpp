// The backup file: every job and queue of the store in one binary file in the backup
// directory, rewritten whole (and atomically) after every change.
//
// Layout: objects back to back, jobs first, then queues; each a 16-byte header
// ("JOBCTR" and its NUL, a reserved byte, the type and the record size, little-endian)
// followed by the record: 1880 bytes for a job, 131632 for a queue.
#pragma once

#include <array>
#include <cstdint>
#include <istream>
#include <string>
#include <variant>

#include "persistence/atomic_file.hpp"
#include "jobs/job_record.hpp"
#include "queues/queue_record.hpp"
#include "persistence/read_stop.hpp"
#include "persistence/store_image.hpp"

namespace velmer {

inline constexpr size_t kObjectHeaderSize = 16;
inline constexpr size_t kJobRecordSize = 1880;
inline constexpr size_t kQueueRecordSize = 131632;
inline constexpr size_t kQueueRecordSlots = 256;
inline constexpr const char* kObjectSignature = "JOBCTR";

enum BackupObjectType : uint32_t { kJobObject = 1, kQueueObject = 2, kTaskObject = 3 };

struct JSObjectHeader {
  std::string signature;  // up to its NUL within the 7 signature bytes
  uint32_t object_type = 0;
  uint32_t object_size = 0;
};

std::array<uint8_t, kObjectHeaderSize> encodeObjectHeader(uint32_t objectType, uint32_t objectSize);
JSObjectHeader decodeObjectHeader(const uint8_t* header);

// Record <-> plain data. The record buffers are kJobRecordSize and kQueueRecordSize bytes.
void convertToJobServInfoObjFile(const JobInfoRecord& job, uint8_t* record);
void encodeJobRecord(const JobInfoRecord& job, uint8_t* record);  // the same, without its log lines
void convertToJobServInfoObj(const uint8_t* record, JobInfoRecord& job);
void convertToJobQueueInfoControlObjFile(const JobQueueRecord& queue, uint8_t* record);
void convertToJobQueueInfoControlObj(const uint8_t* record, JobQueueRecord& queue);

// One object of the backup file as read: a job, a queue, or a task record (monostate:
// its layout is not the daemon's, only its size is known, and it is skipped).
struct BackupObject {
  uint64_t offset = 0;  // of its header in the file
  JSObjectHeader header;
  std::variant<std::monostate, JobInfoRecord, JobQueueRecord> record;
  PackedRecord packed;  // the record's bytes as they lie in the file, packed (jobs and queues)
};

// Reads and decodes the next object: End at a clean end of the stream, Damaged with
// `stop` saying where and why (`object.header` is filled once it was read whole). The
// restore and velmer-dump both read with it; the damage is reported, not logged. Memory
// stays within one record of the format whatever sizes the file claims.
ObjectRead readBackupObject(std::istream& stream, BackupObject& object, ReadStop& stop);

std::string backupDirectory();
std::string restoreDirectory();
std::string backupFilePath();
std::string restoreFilePath();

// Rewrites the backup file whole from `image` (a checkpoint): true when the new file
// replaced the old one; on false the previous file is left as it was. Backup thread only.
bool JS_PersistObjects(const StoreImage& image);

// Writes every object of one type of the image (1 jobs, anything else queues).
void JS_PersistObjectTypeToFile(AtomicFile& file, const StoreImage& image, uint32_t objectType);

// Moves the restore directory's files back into the backup directory, and syncs both:
// false when a file could not be moved or a directory not be read or synced.
bool moveFilesToBackup();

// The name a restore-directory file gets in the backup directory ("" when invalid).
std::string getNewFileName(const std::string& name, int index);

// Deletes a directory tree (regular files and directories) and syncs the directory that
// held it: false when anything of it is left.
bool deleteDirectory(const std::string& path);

}  // namespace velmer
