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

void persistJob(AtomicFile& file, const JobInfoRecord& job) {
  constexpr const char* kTag = "JS_PersistJobObjectToFile";
  trace_printf(4, 8, "___[%s]: JS_PersistJobObjectToFile: signature = %s, object_type = %d, object_size = %d\n", kTag,
               kObjectSignature, kJobObject, static_cast<int>(kJobRecordSize));
  if (!writeHeader(kTag, file, kJobObject, kJobRecordSize, true)) return;
  trace_printf(4, 8, "[%s]:Successfully wrote header to file", kTag);
  std::array<uint8_t, kJobRecordSize> record{};
  convertToJobServInfoObjFile(job, record.data());
  if (file.write(record.data(), record.size())) {
    trace_printf(4, 8, "[%s]:Successfully wrote job info obj to file", kTag);
    trace_printf(4, 8, "Exit JS_PersistJobObjectToFile");
  } else if (hardError()) {
    trace_printf(4, 8, "[%s]:Fatal error writing to file", kTag);
  } else {
    trace_printf(4, 8, "[%s]:Error writing to file: %s", kTag, currentError());
  }
}

// The main object's lists are client-writable: an ID listed there without an object
// (written by a client, or removed meanwhile) is left out, and the rest of the store is
// still written, so that no client can keep the backup file from being rewritten.
void skipListedWithoutObject(const char* tag, const char* fetchErrorLine, const std::string& id) {
  trace_printf(4, 8, fetchErrorLine, tag);
  trace_printf(2, 8, "[%s]: %s is listed but has no object: left out of the backup file", tag, id.c_str());
}

uint32_t persistJobs(const char* tag, AtomicFile& file) {
  std::vector<std::string> jobIDs;
  if (fetchJobInfoObjects(jobIDs) != 0) {
    trace_printf(4, 8, "[%s]: Error fetching job info objects", tag);
    return 0;
  }
  for (const auto& id : jobIDs) {
    JobInfoRecord job;
    if (fetchJobInfoProperties(id, job) != 0) {
      skipListedWithoutObject(tag, "[%s]: Error fetching job info properties", id);
      continue;
    }
    logJobIdentity(tag, job);
    persistJob(file, job);
  }
  return 0;
}

uint32_t persistQueues(const char* tag, AtomicFile& file) {
  std::vector<std::string> queueIDs;
  uint16_t count = 0;
  if (fetchQueueInfoObjects(queueIDs, count) != 0) {
    trace_printf(4, 8, "[%s]: Error fetching queue info objects", tag);
    return 0;
  }
  for (const auto& id : queueIDs) {
    JobQueueRecord queue;
    if (fetchQueueInfoProperties(id, queue) != 0) {
      skipListedWithoutObject(tag, "[%s]: Error fetching queue info properties", id);
      continue;
    }
    trace_printf(4, 8, "[%s]: Queue ID: %s", tag, queue.jsQueueID.c_str());
    trace_printf(4, 8, "[%s]: Queue item count: %d", tag, static_cast<int>(queue.itemCount));
    JS_PersistQueueObjectToFile(file, queue);
  }
  return 0;
}

// Reads up to `size` bytes and answers how many came.
size_t readUpTo(std::istream& stream, void* data, size_t size) {
  stream.read(static_cast<char*>(data), static_cast<std::streamsize>(size));
  return static_cast<size_t>(stream.gcount());
}

// The record size that an object type must have; 0 for types without a fixed size.
size_t expectedRecordSize(uint32_t objectType) {
  if (objectType == kJobObject) return kJobRecordSize;
  if (objectType == kQueueObject) return kQueueRecordSize;
  return 0;
}

ObjectRead damaged(ReadStop& stop, Damage damage, uint64_t offset, const char* field, uint64_t found,
                   uint64_t expected = 0) {
  stop = {damage, offset, field, found, expected, ""};
  return ObjectRead::Damaged;
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
    return skipped == size ? ObjectRead::Object : damaged(stop, Damage::ShortRecord, offset, "record", skipped, size);
  }
  // The buffer is not zeroed first: every byte of it is read from the file.
  auto record = std::make_unique_for_overwrite<uint8_t[]>(size);
  const size_t got = readUpTo(stream, record.get(), size);
  if (got < size) return damaged(stop, stream.bad() ? Damage::ReadFailed : Damage::ShortRecord, offset, "record", got, size);
  if (type == kJobObject) {
    JobInfoRecord job;
    convertToJobServInfoObj(record.get(), job);
    object.record = std::move(job);
  } else {
    JobQueueRecord queue;
    convertToJobQueueInfoControlObj(record.get(), queue);
    object.record = std::move(queue);
  }
  return ObjectRead::Object;
}

std::string twelveDigitStamp() {
  std::string digits = std::to_string(currentTimeMicroseconds() / 1000);
  while (digits.size() < 12) digits.insert(digits.begin(), '0');
  return digits.substr(0, 12);
}

void deleteTree(const char* tag, const std::string& path) {
  DIR* directory = ::opendir(path.c_str());
  if (directory != nullptr) {
    while (dirent* entry = ::readdir(directory)) {
      std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      std::string child = path + "/" + name;
      struct stat info {};
      if (::lstat(child.c_str(), &info) != 0) continue;
      if (S_ISDIR(info.st_mode)) {
        deleteTree(tag, child);
      } else if (S_ISREG(info.st_mode)) {
        if (::unlink(child.c_str()) == 0)
          trace_printf(4, 8, "[%s]: ___ deleteDirectory: deleteDirectory: Deleted file:[%s]\n", tag, child.c_str());
        else
          trace_printf(4, 8, "[%s]: ___ deleteDirectory: deleteDirectory: Unable to delete file:[%s]\n", tag,
                       child.c_str());
      }
    }
    ::closedir(directory);
  }
  if (::rmdir(path.c_str()) == 0)
    trace_printf(4, 8, "[%s]: ___ deleteDirectory: deleteDirectory: Deleted directory:[%s]\n", tag, path.c_str());
  else
    trace_printf(4, 8, "[%s]: ___ deleteDirectory: Unable to delete directory: [%s]\n", tag, path.c_str());
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

void convertToJobServInfoObjFile(const JobInfoRecord& job, uint8_t* r) {
  constexpr const char* kTag = "convertToJobServInfoObjFile";
  trace_printf(4, 8, "[%s]: Entering convertToJobServInfoObjFile function", kTag);
  std::memset(r, 0, kJobRecordSize);
  bytes::putNumbers(r, job, kJobNumbers);
  bytes::putTexts(r, job, kJobTexts);
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
  const size_t got = readUpTo(stream, headerBytes, sizeof headerBytes);
  if (stream.bad()) return damaged(stop, Damage::ReadFailed, object.offset, "header", got);
  if (got == 0) return ObjectRead::End;
  if (got < kObjectHeaderSize) return damaged(stop, Damage::ShortHeader, object.offset, "header", got, kObjectHeaderSize);
  object.header = decodeObjectHeader(headerBytes);
  const JSObjectHeader& header = object.header;
  if (header.signature != kObjectSignature) {
    damaged(stop, Damage::BadSignature, object.offset, "signature", 0);
    stop.text = header.signature;
    return ObjectRead::Damaged;
  }
  const size_t expected = expectedRecordSize(header.object_type);
  if (expected == 0 && header.object_type != kTaskObject)
    return damaged(stop, Damage::UnknownType, object.offset + 8, "object_type", header.object_type);
  // A size that does not match the type is damage: never trust it to read the record.
  if (expected != 0 && header.object_size != expected)
    return damaged(stop, Damage::SizeMismatch, object.offset + 12, "object_size", header.object_size, expected);
  return readRecord(stream, object, stop);
}

std::string backupDirectory() { return paths::resolve(paths::kBackupDir); }
std::string restoreDirectory() { return paths::resolve(paths::kRestoreDir); }
std::string backupFilePath() { return backupDirectory() + "/" + std::string(paths::kBackupFileName); }
std::string restoreFilePath() { return restoreDirectory() + "/" + std::string(paths::kBackupFileName); }

bool JS_PersistObjects() {
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
  JS_PersistObjectTypeToFile(file, kJobObject);
  JS_PersistObjectTypeToFile(file, kQueueObject);
  if (file.commit()) return true;
  trace_printf(1, 8, "[%s]: Unable to replace backup file [%s]: %s", kTag, path.c_str(), currentError());
  return false;
}

uint32_t JS_PersistObjectTypeToFile(AtomicFile& file, uint32_t objectType) {
  constexpr const char* kTag = "JS_PersistObjectTypeToFile";
  trace_printf(4, 8, "Entering JS_PersistObjectTypeToFile");
  uint32_t rc = objectType == kJobObject ? persistJobs(kTag, file) : persistQueues(kTag, file);
  if (rc == 0) trace_printf(4, 8, "Exit JS_PersistObjectTypeToFile");
  return rc;
}

void JS_PersistQueueObjectToFile(AtomicFile& file, const JobQueueRecord& queue) {
  constexpr const char* kTag = "JS_PersistQueueObjectToFile";
  trace_printf(4, 8, "Entering JS_PersistQueueObjectToFile");
  trace_printf(4, 8, "___[%s]: JS_PersistQueueObjectToFile: signature = %s, object_type = %d, object_size = %d\n",
               kTag, kObjectSignature, kQueueObject, static_cast<int>(kQueueRecordSize));
  if (!writeHeader(kTag, file, kQueueObject, kQueueRecordSize, false)) return;
  // One record buffer for every queue of every pass: a fresh 128 KB block per queue
  // would leave the allocator holding freed blocks of that size between passes.
  static thread_local std::vector<uint8_t> record(kQueueRecordSize);  // the conversion zeroes it
  convertToJobQueueInfoControlObjFile(queue, record.data());
  if (file.write(record.data(), kQueueRecordSize)) return;
  if (hardError())
    trace_printf(4, 8, "[%s]:Fatal error writing queue info to file", kTag);
  else
    trace_printf(4, 8, "[%s]:Error writing quque info to file: %s", kTag, currentError());
}

void moveFilesToBackup() {
  constexpr const char* kTag = "moveFilesToBackup";
  try {
    DIR* directory = ::opendir(restoreDirectory().c_str());
    if (directory == nullptr) {
      trace_printf(4, 8, "[%s]: ___ moveFilesToBackup: Unable to open restore directory\n", kTag);
      return;
    }
    while (dirent* entry = ::readdir(directory)) {
      std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      std::string source = restoreDirectory() + "/" + name;
      std::string target = backupDirectory() + "/" + getNewFileName(name, 1);
      if (::rename(source.c_str(), target.c_str()) == 0)
        trace_printf(4, 8, "[%s]: ___ moveFilesToBackup: File [%s] renamed to [%s]\n", kTag, source.c_str(),
                     target.c_str());
      else
        trace_printf(4, 8, "[%s]: ___ moveFilesToBackup: Unable to rename file [%s] to [%s]\n", kTag, source.c_str(),
                     target.c_str());
    }
    ::closedir(directory);
  } catch (const std::exception& e) {
    trace_printf(4, 8, "[%s]: ___ moveFilesToBackup: Exception occurred: %s\n", kTag, e.what());
  }
}

std::string getNewFileName(const std::string& name, int index) {
  constexpr const char* kTag = "getNewFileName";
  std::string result;
  if (name == paths::kBackupFileName) {
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

void deleteDirectory(const std::string& path) {
  constexpr const char* kTag = "deleteDirectory";
  try {
    struct stat info {};  // a link is not followed: only a directory itself is deleted
    if (::lstat(path.c_str(), &info) != 0) {
      trace_printf(4, 8, "[%s]: ___ deleteDirectory: Directory does not exist: [%s]\n", kTag, path.c_str());
      return;
    }
    if (!S_ISDIR(info.st_mode)) {
      trace_printf(4, 8, "[%s]: ___ deleteDirectory: Path is not a directory:[%s]\n", kTag, path.c_str());
      return;
    }
    deleteTree(kTag, path);
  } catch (const std::exception& e) {
    trace_printf(4, 8, "[%s]: ___ deleteDirectory: Exception occured[%s]\n", kTag, e.what());
  }
}

}  // namespace velmer
