#include "persistence/backup_file.hpp"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "clock.hpp"
#include "jobs/job_registry.hpp"
#include "paths.hpp"
#include "persistence/record_bytes.hpp"
#include "trace.h"

namespace velmer {

namespace {

// The job record's fields: offset and width of each.
constexpr bytes::NumberField<JobInfoRecord> kJobNumbers[] = {
    {&JobInfoRecord::startTime, 0, 8},
    {&JobInfoRecord::untilTime, 8, 8},
    {&JobInfoRecord::completionTime, 16, 8},
    {&JobInfoRecord::processID, 24, 4},
    {&JobInfoRecord::runningTimeoutSeconds, 28, 4},
    {&JobInfoRecord::flags, 1824, 1},
    {&JobInfoRecord::jobType, 1828, 4},
    {&JobInfoRecord::jobState, 1832, 4},
    {&JobInfoRecord::percentComplete, 1836, 2},
    {&JobInfoRecord::latestUpdateTime, 1840, 8},
    {&JobInfoRecord::creationTime, 1848, 8},
    {&JobInfoRecord::jobStateForInterface, 1856, 1},
    {&JobInfoRecord::reserved0, 1857, 1},
    {&JobInfoRecord::actualRunningStartTime, 1864, 8},
    {&JobInfoRecord::actualRunningStopTime, 1872, 8},
};

constexpr bytes::TextField<JobInfoRecord> kJobTexts[] = {
    {&JobInfoRecord::jobName, 32, 256},    {&JobInfoRecord::message, 288, 256},
    {&JobInfoRecord::messageArgs, 544, 256}, {&JobInfoRecord::queueID, 800, 256},
    {&JobInfoRecord::jobStatus, 1056, 256},  {&JobInfoRecord::messageID, 1312, 256},
    {&JobInfoRecord::jsJobID, 1568, 256},
};

// The queue record's fields; its items follow in 256 slots of 256 bytes.
constexpr bytes::NumberField<JobQueueRecord> kQueueNumbers[] = {
    {&JobQueueRecord::startTime, 256, 8},       {&JobQueueRecord::untilTime, 264, 8},
    {&JobQueueRecord::flags, 272, 4},           {&JobQueueRecord::trackedJobCount, 276, 4},
    {&JobQueueRecord::queueState, 65820, 1},    {&JobQueueRecord::itemCount, 66084, 4},
};

constexpr bytes::TextField<JobQueueRecord> kQueueTexts[] = {{&JobQueueRecord::jsQueueID, 0, 256}};

enum QueueSlots : size_t { kQueueSlotCount = 66088, kQueueSlots = 66092, kQueueSlotWidth = 256 };

// The text of the current error number, for the write-error lines.
const char* currentError() { return std::strerror(errno); }

// "Fatal" for an I/O error of the device, the plain form for everything else.
bool hardError() { return errno == EIO; }

bool writeHeader(const char* tag, AtomicFile& file, uint32_t type, uint32_t size, bool logUnableLine) {
  auto header = encodeObjectHeader(type, size);
  if (file.write(header.data(), header.size())) return true;
  if (hardError())
    trace_printf(4, 8, "[%s]:Fatal error writing header to file", tag);
  else
    trace_printf(4, 8, "[%s]:Error writing header to file: %s", tag, currentError());
  if (logUnableLine) trace_printf(4, 8, "[%s]:Unable to write header to file\n", tag);
  return false;
}

// Writes one object's header and its record, unpacked, under the lines of `tag`.
void persistRecord(const char* tag, AtomicFile& file, StoredKind kind, const PackedRecord& packed) {
  const uint32_t type = kind == StoredKind::Job ? kJobObject : kQueueObject;
  const size_t size = recordSize(kind);
  trace_printf(4, 8, "___[%s]: %s: signature = %s, object_type = %d, object_size = %d\n", tag, tag, kObjectSignature,
               static_cast<int>(type), static_cast<int>(size));
  if (!writeHeader(tag, file, type, static_cast<uint32_t>(size), kind == StoredKind::Job)) return;
  RecordBuffer buffer(kind);
  uint8_t* record = buffer.data();
  if (!unpackRecord(packed.data(), packed.size(), record, size)) {
    // Never happens for an image the daemon made; a file with a gap is refused at commit.
    trace_printf(1, 8, "[%s]: a packed record does not unpack\n", tag);
    file.fail(EINVAL);
    return;
  }
  if (file.write(record, size)) return;
  if (hardError())
    trace_printf(4, 8, "[%s]:Fatal error writing to file", tag);
  else
    trace_printf(4, 8, "[%s]:Error writing to file: %s", tag, currentError());
}

// The record size that an object type must have; 0 for types without a fixed size.
size_t expectedRecordSize(uint32_t objectType) {
  if (objectType == kJobObject) return kJobRecordSize;
  if (objectType == kQueueObject) return kQueueRecordSize;
  return 0;
}

// The record that follows a valid header, decoded into `object`.
ObjectRead readRecord(std::istream& stream, BackupObject& object, ReadStop& stop) {
  const uint64_t offset = object.offset + kObjectHeaderSize;
  const uint32_t type = object.header.object_type;
  const uint32_t size = object.header.object_size;
  if (type == kTaskObject) {
    // A task record is consumed without being held in memory.
    stream.ignore(size);
    const auto skipped = static_cast<uint64_t>(stream.gcount());
    return skipped == size ? ObjectRead::Object : damagedAt(stop, Damage::ShortRecord, offset, "record", skipped, size);
  }
  // Every byte of the record is read from the file before it is used.
  RecordBuffer buffer(type == kJobObject ? StoredKind::Job : StoredKind::Queue);
  uint8_t* record = buffer.data();
  const size_t got = readUpTo(stream, record, size);
  if (got < size) return damagedAt(stop, stream.bad() ? Damage::ReadFailed : Damage::ShortRecord, offset, "record", got, size);
  object.packed = packRecord(record, size);
  if (type == kJobObject) {
    JobInfoRecord job;
    convertToJobServInfoObj(record, job);
    object.record = std::move(job);
  } else {
    JobQueueRecord queue;
    convertToJobQueueInfoControlObj(record, queue);
    object.record = std::move(queue);
  }
  return ObjectRead::Object;
}

std::string twelveDigitStamp() {
  std::string digits = std::to_string(currentTimeMicroseconds() / 1000);
  while (digits.size() < 12) digits.insert(digits.begin(), '0');
  return digits.substr(0, 12);
}

// The names in a directory, "." and ".." left out: false when it cannot be opened or a
// read fails part way (an error must never pass for the end of the listing).
bool listDirectory(const std::string& path, std::vector<std::string>& names) {
  DIR* directory = ::opendir(path.c_str());
  if (directory == nullptr) return false;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(directory);
    if (entry == nullptr) break;
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  const int readError = errno;
  ::closedir(directory);
  errno = readError;
  return readError == 0;
}

bool deleteTree(const char* tag, const std::string& path) {
  std::vector<std::string> names;
  bool complete = listDirectory(path, names);
  if (!complete) trace_printf(1, 8, "[%s]: cannot list [%s]: %s\n", tag, path.c_str(), currentError());
  for (const std::string& name : names) {
    const std::string child = path + "/" + name;
    struct stat info {};
    if (::lstat(child.c_str(), &info) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      complete = deleteTree(tag, child) && complete;
    } else if (::unlink(child.c_str()) == 0) {
      trace_printf(4, 8, "[%s]: ___ deleteDirectory: deleteDirectory: Deleted file:[%s]\n", tag, child.c_str());
    } else {
      trace_printf(4, 8, "[%s]: ___ deleteDirectory: deleteDirectory: Unable to delete file:[%s]\n", tag,
                   child.c_str());
      complete = false;
    }
  }
  if (::rmdir(path.c_str()) == 0) {
    trace_printf(4, 8, "[%s]: ___ deleteDirectory: deleteDirectory: Deleted directory:[%s]\n", tag, path.c_str());
    return complete;
  }
  trace_printf(4, 8, "[%s]: ___ deleteDirectory: Unable to delete directory: [%s]\n", tag, path.c_str());
  return false;
}

}  // namespace

std::array<uint8_t, kObjectHeaderSize> encodeObjectHeader(uint32_t objectType, uint32_t objectSize) {
  std::array<uint8_t, kObjectHeaderSize> header{};
  bytes::putText(header.data(), 0, 7, kObjectSignature);
  bytes::put<uint32_t>(header.data(), 8, objectType);
  bytes::put<uint32_t>(header.data(), 12, objectSize);
  return header;
}

JSObjectHeader decodeObjectHeader(const uint8_t* header) {
  return {bytes::getText(header, 0, 7), bytes::get<uint32_t>(header, 8), bytes::get<uint32_t>(header, 12)};
}

void encodeJobRecord(const JobInfoRecord& job, uint8_t* r) {
  std::memset(r, 0, kJobRecordSize);
  bytes::putNumbers(r, job, kJobNumbers);
  bytes::putTexts(r, job, kJobTexts);
}

void convertToJobServInfoObjFile(const JobInfoRecord& job, uint8_t* r) {
  constexpr const char* kTag = "convertToJobServInfoObjFile";
  trace_printf(4, 8, "[%s]: Entering convertToJobServInfoObjFile function", kTag);
  encodeJobRecord(job, r);
  trace_printf(4, 8, "[%s]: Exiting convertToJobServInfoObjFile function", kTag);
}

void convertToJobServInfoObj(const uint8_t* r, JobInfoRecord& job) {
  bytes::getNumbers(r, job, kJobNumbers);
  bytes::getTexts(r, job, kJobTexts);
}

void convertToJobQueueInfoControlObjFile(const JobQueueRecord& queue, uint8_t* r) {
  constexpr const char* kTag = "convertToJobQueueInfoControlObjFile";
  trace_printf(4, 8, "[%s]: Entering convertToJobQueueInfoControlObjFile function", kTag);
  std::memset(r, 0, kQueueRecordSize);
  bytes::putTexts(r, queue, kQueueTexts);
  trace_printf(4, 8, "[%s]: Queue ID: %s", kTag, queue.jsQueueID.c_str());
  bytes::putNumbers(r, queue, kQueueNumbers);
  logQueueNumbers(kTag, queue);
  const size_t slots = std::min(queue.jobQueueItem.size(), kQueueRecordSlots);
  bytes::put<uint32_t>(r, kQueueSlotCount, static_cast<uint32_t>(slots));
  for (size_t i = 0; i < slots; ++i) {
    bytes::putText(r, kQueueSlots + i * kQueueSlotWidth, kQueueSlotWidth, queue.jobQueueItem[i]);
    trace_printf(4, 8, "[%s]: JbQueueItem: %s at index i = %d", kTag, queue.jobQueueItem[i].c_str(),
                 static_cast<int>(i));
  }
  trace_printf(4, 8, "[%s]: Exiting convertToJobQueueInfoControlObjFile function", kTag);
}


void convertToJobQueueInfoControlObj(const uint8_t* r, JobQueueRecord& queue) {
  constexpr const char* kTag = "convertToJobQueueInfoControlObj";
  bytes::getTexts(r, queue, kQueueTexts);
  bytes::getNumbers(r, queue, kQueueNumbers);
  logQueueNumbers(kTag, queue);
  // A damaged count never reads past the 256 slots the record has, nor past the first
  // empty slot (the writer fills the slots from the first on); itemCount is then the
  // number of entries taken, so that the queue's count and its list always agree.
  const size_t slots = std::min<size_t>(bytes::get<uint32_t>(r, kQueueSlotCount), kQueueRecordSlots);
  queue.jobQueueItem.clear();
  for (size_t i = 0; i < slots; ++i) {
    std::string item = bytes::getText(r, kQueueSlots + i * kQueueSlotWidth, kQueueSlotWidth);
    if (item.empty()) break;
    trace_printf(4, 8, "[%s]: JbQueueItem: %s at index i = %d", kTag, item.c_str(), static_cast<int>(i));
    queue.jobQueueItem.push_back(std::move(item));
  }
  if (queue.itemCount != queue.jobQueueItem.size())
    trace_printf(2, 8, "[%s]: queue %s: stored item count %u, %zu entries taken\n", kTag, queue.jsQueueID.c_str(),
                 queue.itemCount, queue.jobQueueItem.size());
  queue.itemCount = static_cast<uint32_t>(queue.jobQueueItem.size());
}

ObjectRead readBackupObject(std::istream& stream, BackupObject& object, ReadStop& stop) {
  object = BackupObject{};
  object.offset = streamOffset(stream);
  uint8_t headerBytes[kObjectHeaderSize];
  if (const ObjectRead read = readHeader(stream, headerBytes, sizeof headerBytes, object.offset, stop);
      read != ObjectRead::Object)
    return read;
  object.header = decodeObjectHeader(headerBytes);
  const JSObjectHeader& header = object.header;
  if (header.signature != kObjectSignature) {
    damagedAt(stop, Damage::BadSignature, object.offset, "signature", 0);
    stop.text = header.signature;
    return ObjectRead::Damaged;
  }
  const size_t expected = expectedRecordSize(header.object_type);
  if (expected == 0 && header.object_type != kTaskObject)
    return damagedAt(stop, Damage::UnknownType, object.offset + 8, "object_type", header.object_type);
  // A size that does not match the type is damage: never trust it to read the record.
  if (expected != 0 && header.object_size != expected)
    return damagedAt(stop, Damage::SizeMismatch, object.offset + 12, "object_size", header.object_size, expected);
  return readRecord(stream, object, stop);
}

std::string backupDirectory() { return paths::resolve(paths::kBackupDir); }
std::string restoreDirectory() { return paths::resolve(paths::kRestoreDir); }
std::string backupFilePath() { return backupDirectory() + "/" + std::string(paths::kBackupFileName); }
std::string restoreFilePath() { return restoreDirectory() + "/" + std::string(paths::kBackupFileName); }

bool JS_PersistObjects(const StoreImage& image) {
  constexpr const char* kTag = "JS_PersistObjects";
  const std::string path = backupFilePath();
  // The new content goes to a temporary file that replaces the old one only once it is
  // complete, so a crash or a failed write never leaves a partial or missing backup file:
  // the previous complete file stays until a later pass succeeds.
  AtomicFile file(path);
  if (!file.open()) {
    trace_printf(1, 8, "[%s]: Unable to open jqlegacy backup file [%s]: %s", kTag, path.c_str(), currentError());
    return false;
  }
  trace_printf(4, 8, "[%s]: Entering JS_PersistToFile\n", "JS_PersistToFile");
  QueueRecordPass pass;
  JS_PersistObjectTypeToFile(file, image, kJobObject);
  JS_PersistObjectTypeToFile(file, image, kQueueObject);
  if (file.commit()) {
    trace_printf(4, 8, "[%s]: %zu jobs and %zu queues written, %llu bytes of it not zero\n", kTag,
                 image.size(StoredKind::Job), image.size(StoredKind::Queue),
                 static_cast<unsigned long long>(file.bytesWritten()));
    return true;
  }
  trace_printf(1, 8, "[%s]: Unable to replace backup file [%s]: %s", kTag, path.c_str(), currentError());
  return false;
}

void JS_PersistObjectTypeToFile(AtomicFile& file, const StoreImage& image, uint32_t objectType) {
  trace_printf(4, 8, "Entering JS_PersistObjectTypeToFile");
  const StoredKind kind = objectType == kJobObject ? StoredKind::Job : StoredKind::Queue;
  const char* tag = kind == StoredKind::Job ? "JS_PersistJobObjectToFile" : "JS_PersistQueueObjectToFile";
  for (const std::string& id : image.ids(kind)) {
    trace_printf(4, 8, "[%s]: %s: %s", "JS_PersistObjectTypeToFile", kind == StoredKind::Job ? "Job ID" : "Queue ID",
                 id.c_str());
    persistRecord(tag, file, kind, *image.find(kind, id));
  }
  trace_printf(4, 8, "Exit JS_PersistObjectTypeToFile");
}

bool moveFilesToBackup() {
  constexpr const char* kTag = "moveFilesToBackup";
  std::vector<std::string> names;
  if (!listDirectory(restoreDirectory(), names)) {
    trace_printf(1, 8, "[%s]: ___ moveFilesToBackup: Unable to read restore directory: %s\n", kTag, currentError());
    return false;
  }
  bool moved = true;
  for (const std::string& name : names) {
    const std::string source = restoreDirectory() + "/" + name;
    const std::string newName = getNewFileName(name, 1);
    const std::string target = backupDirectory() + "/" + newName;
    if (!newName.empty() && ::rename(source.c_str(), target.c_str()) == 0) {
      trace_printf(4, 8, "[%s]: ___ moveFilesToBackup: File [%s] renamed to [%s]\n", kTag, source.c_str(),
                   target.c_str());
      continue;
    }
    trace_printf(4, 8, "[%s]: ___ moveFilesToBackup: Unable to rename file [%s] to [%s]\n", kTag, source.c_str(),
                 target.c_str());
    moved = moved && newName.empty();  // a file of no known name is not the store's
  }
  // The names must be in the backup directory for good before anything removes the
  // restore directory.
  return syncDirectory(backupDirectory()) && syncDirectory(restoreDirectory()) && moved;
}

std::string getNewFileName(const std::string& name, int index) {
  constexpr const char* kTag = "getNewFileName";
  std::string result;
  if (name == paths::kBackupFileName || name == paths::kJournalFileName) {
    result = name;
  } else if (name.ends_with(".jbkp") || name.ends_with(".qbkp")) {
    result = twelveDigitStamp() + "-" + std::to_string(index) + name.substr(name.size() - 5);
  } else {
    trace_printf(4, 8, "[%s]: ___ getNewFileName: Invalid file name : %s \n", kTag, name.c_str());
    return "";
  }
  trace_printf(4, 8, "[%s]: ___ getNewFileName: New filename : %s \n", kTag, result.c_str());
  return result;
}

bool deleteDirectory(const std::string& path) {
  constexpr const char* kTag = "deleteDirectory";
  struct stat info {};  // a link is not followed: only a directory itself is deleted
  if (::lstat(path.c_str(), &info) != 0) {
    trace_printf(4, 8, "[%s]: ___ deleteDirectory: Directory does not exist: [%s]\n", kTag, path.c_str());
    return true;
  }
  if (!S_ISDIR(info.st_mode)) {
    trace_printf(4, 8, "[%s]: ___ deleteDirectory: Path is not a directory:[%s]\n", kTag, path.c_str());
    return false;
  }
  return deleteTree(kTag, path) && syncParentDirectory(path);
}

}  // namespace velmer
