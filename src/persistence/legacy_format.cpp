#include "persistence/legacy_format.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <type_traits>
#include <variant>

#include "persistence/atomic_file.hpp"
#include "persistence/backup_thread.hpp"
#include "bus/bus.hpp"
#include "jobs/job_registry.hpp"
#include "jqlegacy.h"
#include "paths.hpp"
#include "persistence/record_bytes.hpp"
#include "persistence/restore.hpp"
#include "trace.h"

namespace velmer {

namespace {

constexpr const char* kSignature = "JOBCTR";
constexpr size_t kSignatureSize = 6;
constexpr size_t kIdWidth = 20;

// The prologue that job and queue records share.
enum PrologueOffset : size_t {
  kRecordSize = 0, kObjectID = 4, kObjectType = 8, kConstByte10 = 10, kConstByte11 = 11, kConstZero12 = 12,
  kConstOne16 = 16, kIdFieldOffset = 20,
};

enum LegacyJobOffset : size_t { kJobTextOffsets = 52, kJobID = 76, kJobConst128 = 116, kJobConst3 = 120 };

enum LegacyQueueOffset : size_t { kQueueID = 44, kQueueEntryCount = 72, kQueueEntries = 76 };

// One table per layout serves both the writer and the reader.
constexpr bytes::NumberField<JobInfoRecord> kJobNumbers[] = {
    {&JobInfoRecord::startTime, 24, 8},
    {&JobInfoRecord::untilTime, 32, 8},
    {&JobInfoRecord::completionTime, 40, 8},
    {&JobInfoRecord::runningTimeoutSeconds, 48, 4},
    {&JobInfoRecord::flags, 96, 1},
    {&JobInfoRecord::jobType, 97, 1},
    {&JobInfoRecord::jobState, 98, 1},
    {&JobInfoRecord::percentComplete, 99, 1},
    {&JobInfoRecord::latestUpdateTime, 100, 8},
    {&JobInfoRecord::creationTime, 108, 8},
    {&JobInfoRecord::jobStateForInterface, 121, 1},
    {&JobInfoRecord::actualRunningStartTime, 128, 8},
    {&JobInfoRecord::actualRunningStopTime, 136, 8},
};

constexpr bytes::NumberField<JobQueueRecord> kQueueNumbers[] = {
    {&JobQueueRecord::startTime, 24, 8},      {&JobQueueRecord::untilTime, 32, 8},
    {&JobQueueRecord::flags, 40, 4},          {&JobQueueRecord::trackedJobCount, 64, 4},
    {&JobQueueRecord::queueState, 68, 1},
};

// The texts of a job record, in the order of its offset table and of its text area.
constexpr std::string JobInfoRecord::* kJobTexts[] = {
    &JobInfoRecord::jobName,  &JobInfoRecord::message,   &JobInfoRecord::messageArgs,
    &JobInfoRecord::queueID,  &JobInfoRecord::jobStatus, &JobInfoRecord::messageID,
};

constexpr const char* kPersistTag = "JS_PersistToJqlegacyFormat";
constexpr const char* kObjectTag = "JS_RestoreObjectFromJqlegacyFile";
constexpr const char* kRestoreTag = "JS_RestoreFromJqlegacyBackup";

// ---------------------------------------------------------------------------------------
// Encoding

// The constant fields belong to the legacy library; they are written as it expects and
// never checked on reading.
void putPrologue(uint8_t* r, size_t size, uint16_t type, uint32_t idFieldOffset) {
  bytes::put<uint32_t>(r, kRecordSize, static_cast<uint32_t>(size));
  bytes::put<uint32_t>(r, kObjectID, 0);
  bytes::put<uint16_t>(r, kObjectType, type);
  bytes::put<uint8_t>(r, kConstByte10, 2);
  bytes::put<uint8_t>(r, kConstByte11, 8);
  bytes::put<uint32_t>(r, kConstZero12, 0);
  bytes::put<uint32_t>(r, kConstOne16, 1);
  bytes::put<uint32_t>(r, kIdFieldOffset, idFieldOffset);
}

// An ID in its 20-byte field: at most 18 characters, the rest zero.
void putID(uint8_t* r, size_t offset, const std::string& id) {
  bytes::putText(r, offset, kIdWidth, std::string_view(id).substr(0, kLegacyIdMaxLength));
}

// ---------------------------------------------------------------------------------------
// Reading

// Reads a payload of `size` bytes (at most kLegacyMaxPayload) and its zero spare bytes
// in one allocation.
size_t readPayload(std::istream& stream, uint32_t size, std::vector<uint8_t>& buffer) {
  buffer.assign(size + kLegacySpareBytes, 0);
  return readUpTo(stream, buffer.data(), size);
}

// The text at `offset` up to its NUL, or "" when the offset is 0 or outside the buffer.
std::string textAt(const std::vector<uint8_t>& buffer, uint32_t offset) {
  if (offset == 0 || offset >= buffer.size()) return "";
  const auto* start = reinterpret_cast<const char*>(buffer.data() + offset);
  return std::string(start, strnlen(start, buffer.size() - offset));
}

// ---------------------------------------------------------------------------------------
// Writing

std::string legacyFilePath() {
  return paths::resolve(paths::kLegacyBackupDir) + "/" + std::string(paths::kBackupFileName);
}

std::string legacyRestoreFilePath() {
  return paths::resolve(paths::kLegacyRestoreDir) + "/" + std::string(paths::kBackupFileName);
}

bool exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

// Both directories with every missing parent; the two themselves get exactly 0770
// whatever the umask. A directory that exists already is left as it is.
void createLegacyDirectories() {
  for (std::string_view directory : {paths::kLegacyDir, paths::kLegacyBackupDir}) {
    const std::string path = paths::resolve(directory);
    if (!exists(path) && createDirectoriesDurably(path)) ::chmod(path.c_str(), 0770);
  }
}

// The lines one kind of object logs while it is written.
struct PersistLines {
  const char* tag;
  const char* persisting;
  const char* persistFailed;
};

constexpr PersistLines kJobLines = {
    "JS_PersistJobToJqlegacyFile",
    "[%s]: Persisting job %s to jqlegacy format",
    "[%s]: Failed to persist job %s to jqlegacy format",
};

constexpr PersistLines kQueueLines = {
    "JS_PersistQueueToJqlegacyFile",
    "[%s]: Persisting queue %s to jqlegacy format",
    "[%s]: Failed to persist queue %s to jqlegacy format",
};

// Appends one object of the image, encoded in the legacy layout, to `content`.
template <class Record>
void appendObject(std::vector<uint8_t>& content, const PersistLines& lines, const std::string& id,
                  const PackedRecord& packed, bool (*unpack)(const PackedRecord&, Record&),
                  std::vector<uint8_t> (*encode)(const Record&)) {
  Record record;
  if (!unpack(packed, record)) {
    trace_printf(2, 8, lines.persistFailed, kPersistTag, id.c_str());
    return;
  }
  trace_printf(4, 8, lines.persisting, lines.tag, id.c_str());
  const std::vector<uint8_t> encoded = encode(record);
  const auto header = encodeLegacyHeader(static_cast<uint32_t>(encoded.size()));
  content.insert(content.end(), header.begin(), header.end());
  content.insert(content.end(), encoded.begin(), encoded.end());
}

// Size and FNV-1a digest of bytes, as one line of text.
class Digest {
 public:
  void add(const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i) hash_ = (hash_ ^ data[i]) * 0x100000001b3ULL;
    size_ += size;
  }
  std::string line() const {
    char text[48];
    std::snprintf(text, sizeof text, "%llu %016llx", static_cast<unsigned long long>(size_),
                  static_cast<unsigned long long>(hash_));
    return text;
  }

 private:
  uint64_t hash_ = 0xcbf29ce484222325ULL;
  uint64_t size_ = 0;
};

// The digest of a file's bytes; nothing when it cannot be read.
std::optional<std::string> fileDigest(const std::string& path) {
  std::ifstream stream(path, std::ios::binary);
  if (!stream.is_open()) return std::nullopt;
  Digest digest;
  char chunk[4096];
  while (stream.read(chunk, sizeof chunk) || stream.gcount() > 0)
    digest.add(reinterpret_cast<const uint8_t*>(chunk), static_cast<size_t>(stream.gcount()));
  if (stream.bad()) return std::nullopt;
  return digest.line();
}

// Remembers the legacy copy just written. Recorded after the copy is in place: a crash
// in between leaves an older record, and the new copy is then read like a foreign one,
// which adds nothing the store does not have already.
void rememberLegacyCopy(const std::string& digest) {
  const std::string recordPath = paths::resolve(paths::kLegacyCopyDigestFile);
  createDirectoriesDurably(std::filesystem::path(recordPath).parent_path().string());
  AtomicFile record(recordPath);
  const std::string line = digest + "\n";
  if (!record.open() || !record.write(line.data(), line.size()) || !record.commit())
    trace_printf(2, 8, "[%s]: Unable to record the legacy copy in [%s]", kPersistTag, recordPath.c_str());
}

// ---------------------------------------------------------------------------------------
// Upgrade restore

template <class Map>
bool isRegistered(const Map& map, const std::string& id) {
  std::lock_guard lock(JobRegistry::instance().mutex);
  return map.contains(id);
}

bool isKelvoFirmwareJob(const std::string& jobName) {
  return jobName.find("Firmware Update: Kelvo") != std::string::npos ||
         jobName.find("Firmware Rollback: Kelvo") != std::string::npos;
}

// The legacy copy's outcome of a job: what the older firmware recorded when it finished
// the controller update that brought this firmware in.
std::map<std::string, sdbus::Variant> completionProperties(const JobInfoRecord& job) {
  return {
      {"percentComplete", sdbus::Variant(job.percentComplete)},
      {"message", sdbus::Variant(job.message)},
      {"messageID", sdbus::Variant(job.messageID)},
      {"jobState", sdbus::Variant(job.jobState)},
      {"jobStatus", sdbus::Variant(job.jobStatus)},
      {"jobStateForInterface", sdbus::Variant(job.jobStateForInterface)},
      {"completionTime", sdbus::Variant(job.completionTime)},
      {"actualRunningStopTime", sdbus::Variant(job.actualRunningStopTime)},
      {"latestUpdateTime", sdbus::Variant(job.latestUpdateTime)},
      {"messageArgs", sdbus::Variant(job.messageArgs)},
  };
}

void forceFirmwareJobCompletion(const JobInfoRecord& legacy) {
  const char* id = legacy.jsJobID.c_str();
  trace_printf(4, 8, "[%s]: Kelvo FW update/rollback job %s detected - forcing completion state", kObjectTag, id);
  uint16_t rc = 37;
  {
    // Clients never see the job half completed. The bus lock also keeps the object
    // alive (removal takes it); the registry mutex is not held while the setters signal,
    // since request dispatch takes it inside the binding library's lock.
    bus::Access busAccess;
    if (Jobservicejobinfo* job = getJobserviceinfoObject(legacy.jsJobID))
      rc = job->setAllProperties(completionProperties(legacy));
  }
  if (rc != 0) {
    trace_printf(2, 8, "[%s]: Failed to force-complete Kelvo FW update job %s", kObjectTag, id);
    return;
  }
  trace_printf(4, 8, "[%s]: Successfully force-completed Kelvo FW update job %s", kObjectTag, id);
  jsWriteToBuffer(legacy.jsJobID, Create);
}

// An object whose deletion the journal recorded after the backup file was written
// stays deleted, whatever the legacy copy still holds.
bool deletedAfterwards(const RestoredStore& restored, StoredKind kind, const std::string& id) {
  if (!restored.removedByJournal.contains(StoredKey{kind, storedID(id)})) return false;
  trace_printf(4, 8, "[%s]: %s was deleted, skipping jqlegacy restore", kObjectTag, id.c_str());
  return true;
}

// Counts a published object; one that cannot be published now stays on flash.
void countPublication(Publication publication, int& restoredCount, RestoredStore& restored, StoredKind kind,
                      const std::string& id, PackedRecord packed) {
  if (publication == Publication::Published) ++restoredCount;
  if (publication == Publication::Unpublished) restored.unpublished.add(kind, storedID(id), std::move(packed));
}

void restoreJob(const JobInfoRecord& job, LegacyRestoreCounts& counts, RestoredStore& restored) {
  if (deletedAfterwards(restored, StoredKind::Job, job.jsJobID)) return;
  if (!isRegistered(JobRegistry::instance().jobs, job.jsJobID)) {
    trace_printf(4, 8, "[%s]: Restoring jqlegacy job %s (%s)", kObjectTag, job.jsJobID.c_str(), job.jobName.c_str());
    countPublication(createJobObjectInDBus(job), counts.jobsRestored, restored, StoredKind::Job, job.jsJobID,
                     packJob(job));
    return;
  }
  trace_printf(4, 8, "[%s]: Job %s already exists, skipping jqlegacy restore", kObjectTag, job.jsJobID.c_str());
  ++counts.jobsSkipped;
  if (isKelvoFirmwareJob(job.jobName)) forceFirmwareJobCompletion(job);
}

void restoreQueue(const JobQueueRecord& queue, LegacyRestoreCounts& counts, RestoredStore& restored) {
  if (deletedAfterwards(restored, StoredKind::Queue, queue.jsQueueID)) return;
  if (isRegistered(JobRegistry::instance().queues, queue.jsQueueID)) {
    trace_printf(4, 8, "[%s]: Queue %s already exists, skipping jqlegacy restore", kObjectTag,
                 queue.jsQueueID.c_str());
    ++counts.queuesSkipped;
    return;
  }
  trace_printf(4, 8, "[%s]: Restoring jqlegacy queue %s", kObjectTag, queue.jsQueueID.c_str());
  countPublication(createQueueObjectInDBus(queue), counts.queuesRestored, restored, StoredKind::Queue, queue.jsQueueID,
                   packQueue(queue));
}

// Logs why reading stopped, in the upgrade restore's own lines.
void logLegacyStop(const ReadStop& stop) {
  const auto found = static_cast<unsigned>(stop.found);
  const auto expected = static_cast<unsigned>(stop.expected);
  switch (stop.damage) {
    case Damage::ShortHeader:
      return trace_printf(2, 8, "[%s]: File header read failed, bytes=%zu", kObjectTag, static_cast<size_t>(stop.found));
    case Damage::BadSignature:
      return trace_printf(2, 8, "[%s]: Signature mismatch, possible corrupt jqlegacy file", kObjectTag);
    case Damage::PayloadTooSmall:
      return trace_printf(4, 8, "[%s]: Payload too small: %u", kObjectTag, found);
    case Damage::PayloadTooLarge:
      return trace_printf(2, 8, "[%s]: Payload too large: %u", kObjectTag, found);
    case Damage::ShortRecord:
      return trace_printf(4, 8, "[%s]: Object read failed, expected %u got %zu", kObjectTag, expected,
                          static_cast<size_t>(stop.found));
    case Damage::RecordSizeMismatch:
      return trace_printf(4, 8, "[%s]: Object size mismatch: header=%u obj=%u", kObjectTag, expected, found);
    case Damage::RecordTooSmall:
      return trace_printf(4, 8, stop.field == "queue record" ? "[%s]: Blob too small for queue object"
                                                             : "[%s]: Blob too small for job object",
                          kObjectTag);
    case Damage::ConversionFailed:
      return trace_printf(2, 8, "[%s]: Job struct conversion failed", kObjectTag);
    case Damage::UnknownType:
      return trace_printf(2, 8, "[%s]: Unknown jqlegacy object type: 0x%x, skipping", kObjectTag, found);
    default:
      return trace_printf(2, 8, "[%s]: %s", kObjectTag, describe(stop).c_str());
  }
}

// Reads objects until the end or the first damaged one: true when the end was reached.
bool restoreAll(std::istream& stream, LegacyRestoreCounts& counts, RestoredStore& restored) {
  for (;;) {
    switch (JS_RestoreObjectFromJqlegacyFile(stream, counts, restored)) {
      case LegacyRead::Object:
        ++counts.objectsRead;
        break;
      case LegacyRead::End:
        return true;
      case LegacyRead::Damaged:
        trace_printf(2, 8, "[%s]: Error reading object #%d from jqlegacy backup", kRestoreTag, counts.objectsRead);
        return false;
    }
  }
}

void logSummary(const LegacyRestoreCounts& c) {
  trace_printf(4, 8, "[%s]: === UPGRADE RESTORE COMPLETE ===", kRestoreTag);
  trace_printf(4, 8,
               "[%s]: Objects read: %d | Jobs restored: %d, skipped(duplicate): %d | Queues restored: %d, "
               "skipped(duplicate): %d",
               kRestoreTag, c.objectsRead, c.jobsRestored, c.jobsSkipped, c.queuesRestored, c.queuesSkipped);
  if (c.jobsRestored + c.queuesRestored > 0)
    trace_printf(4, 8, "[%s]: *** Upgrade from jqlegacy successful - restored %d jobs and %d queues ***", kRestoreTag,
                 c.jobsRestored, c.queuesRestored);
  else if (c.jobsSkipped + c.queuesSkipped > 0)
    trace_printf(4, 8, "[%s]: All jqlegacy objects already exist in velmerd (loaded from velmerd's own backup)",
                 kRestoreTag);
}

// The file to restore from: the legacy file, else the legacy restore file, else "".
std::string legacySource() {
  const std::string primary = legacyFilePath();
  const std::string secondary = legacyRestoreFilePath();
  trace_printf(4, 8, "[%s]: Checking path 1: [%s]", kRestoreTag, primary.c_str());
  trace_printf(4, 8, "[%s]: Checking path 2: [%s]", kRestoreTag, secondary.c_str());
  if (exists(primary)) return primary;
  if (exists(secondary)) return secondary;
  return "";
}

}  // namespace

// ---------------------------------------------------------------------------------------

std::array<uint8_t, kLegacyHeaderSize> encodeLegacyHeader(uint32_t payloadSize) {
  std::array<uint8_t, kLegacyHeaderSize> header{};
  std::memcpy(header.data(), kSignature, kSignatureSize);
  bytes::put<uint32_t>(header.data(), 8, payloadSize);
  return header;
}

std::vector<uint8_t> encodeLegacyJob(const JobInfoRecord& job) {
  size_t size = kLegacyJobFixedSize;
  for (auto text : kJobTexts)
    if (!(job.*text).empty()) size += (job.*text).size() + 1;
  std::vector<uint8_t> record(size, 0);
  uint8_t* r = record.data();
  putPrologue(r, size, kLegacyJob, kJobID);
  bytes::putNumbers(r, job, kJobNumbers);
  size_t next = kLegacyJobFixedSize;
  for (size_t i = 0; i < std::size(kJobTexts); ++i) {
    const std::string& text = job.*kJobTexts[i];
    if (text.empty()) continue;  // its offset stays 0
    bytes::put<uint32_t>(r, kJobTextOffsets + 4 * i, static_cast<uint32_t>(next));
    std::memcpy(r + next, text.data(), text.size());
    next += text.size() + 1;
  }
  putID(r, kJobID, job.jsJobID);
  bytes::put<uint32_t>(r, kJobConst128, 128);
  bytes::put<uint8_t>(r, kJobConst3, 3);
  return record;
}

std::vector<uint8_t> encodeLegacyQueue(const JobQueueRecord& queue) {
  const size_t entries = queue.jobQueueItem.size();
  const size_t size = kLegacyQueueFixedSize + kLegacyQueueEntrySize * std::max<size_t>(entries, 1);
  std::vector<uint8_t> record(size, 0);
  uint8_t* r = record.data();
  putPrologue(r, size, kLegacyQueue, kQueueID);
  bytes::putNumbers(r, queue, kQueueNumbers);
  putID(r, kQueueID, queue.jsQueueID);
  bytes::put<uint32_t>(r, kQueueEntryCount, static_cast<uint32_t>(entries));
  for (size_t i = 0; i < entries; ++i)
    putID(r, kQueueEntries + kLegacyQueueEntrySize * i, queue.jobQueueItem[i]);
  return record;
}

uint16_t LegacyObject::type() const { return bytes::get<uint16_t>(buffer.data(), kObjectType); }

LegacyRead readLegacyObject(std::istream& stream, LegacyObject& object, ReadStop& stop) {
  object.offset = streamOffset(stream);
  auto damaged = [&](Damage damage, uint64_t at, const char* field, uint64_t found, uint64_t expected) {
    stop = {damage, object.offset + at, field, found, expected, ""};
    return LegacyRead::Damaged;
  };
  uint8_t header[kLegacyHeaderSize];
  const size_t headerBytes = readUpTo(stream, header, sizeof header);
  if (headerBytes == 0) return LegacyRead::End;
  if (headerBytes < sizeof header) return damaged(Damage::ShortHeader, 0, "header", headerBytes, sizeof header);
  if (std::memcmp(header, kSignature, kSignatureSize) != 0) {
    damaged(Damage::BadSignature, 0, "signature", 0, 0);
    stop.text = bytes::getText(header, 0, kSignatureSize);
    return LegacyRead::Damaged;
  }
  const uint32_t payloadSize = bytes::get<uint32_t>(header, 8);
  if (payloadSize < kLegacyMinPayload)
    return damaged(Damage::PayloadTooSmall, 8, "payload size", payloadSize, kLegacyMinPayload);
  if (payloadSize > kLegacyMaxPayload)
    return damaged(Damage::PayloadTooLarge, 8, "payload size", payloadSize, kLegacyMaxPayload);
  const size_t got = readPayload(stream, payloadSize, object.buffer);
  if (got < payloadSize) return damaged(Damage::ShortRecord, kLegacyHeaderSize, "record", got, payloadSize);
  object.payloadSize = payloadSize;
  const uint32_t recordSize = bytes::get<uint32_t>(object.buffer.data(), kRecordSize);
  if (recordSize != payloadSize)
    return damaged(Damage::RecordSizeMismatch, kLegacyHeaderSize + kRecordSize, "record size", recordSize, payloadSize);
  return LegacyRead::Object;
}

bool decodeLegacyJob(LegacyObject& object, JobInfoRecord& job, ReadStop& stop) {
  // The library reads the record from byte 16 on, where its own area begins.
  int32_t lowest = JQLEGACY_GetLowestOffset(object.buffer.data() + kConstOne16);
  trace_printf(4, 8, "[%s]: Job object: lowestOffset=%d, latestStructureSize=%d", kObjectTag, lowest,
               static_cast<int>(kLegacyJobFixedSize));
  if (lowest == 0) lowest = static_cast<int32_t>(std::min<uint32_t>(object.payloadSize, INT32_MAX));
  if (lowest < static_cast<int32_t>(kLegacyJobFixedSize)) {
    trace_printf(4, 8, "[%s]: Converting jqlegacy job struct from previous release (lowestOffset=%d < latestSize=%d)",
                 kObjectTag, lowest, static_cast<int>(kLegacyJobFixedSize));
    if (JQLEGACY_ConvertJobStructFromPreviousRelease(object.buffer.data(), object.payloadSize, lowest) != 0) {
      stop = {Damage::ConversionFailed, object.offset + kLegacyHeaderSize, "job record", static_cast<uint64_t>(lowest),
              0, ""};
      return false;
    }
  }
  const std::vector<uint8_t>& buffer = object.buffer;
  if (buffer.size() < kLegacyJobFixedSize) {
    stop = {Damage::RecordTooSmall, object.offset + kLegacyHeaderSize, "job record", object.payloadSize,
            kLegacyJobFixedSize - kLegacySpareBytes, ""};
    return false;
  }
  const uint8_t* r = buffer.data();
  job = JobInfoRecord{};  // processID and reserved0 are not stored: 0
  bytes::getNumbers(r, job, kJobNumbers);
  for (size_t i = 0; i < std::size(kJobTexts); ++i)
    job.*kJobTexts[i] = textAt(buffer, bytes::get<uint32_t>(r, kJobTextOffsets + 4 * i));
  job.jsJobID = bytes::getText(r, kJobID, kIdWidth);
  return true;
}

bool decodeLegacyQueue(const LegacyObject& object, JobQueueRecord& queue, ReadStop& stop) {
  if (object.payloadSize < kLegacyQueueMinSize) {
    stop = {Damage::RecordTooSmall, object.offset + kLegacyHeaderSize, "queue record", object.payloadSize,
            kLegacyQueueMinSize, ""};
    return false;
  }
  const uint8_t* r = object.buffer.data();
  queue = JobQueueRecord{};
  queue.jsQueueID = bytes::getText(r, kQueueID, kIdWidth);
  bytes::getNumbers(r, queue, kQueueNumbers);
  // Entry 0 is always there (a record with no entries still has its zero slot); a
  // count that claims more entries than the record holds ends at the last whole one.
  const uint32_t entries = bytes::get<uint32_t>(r, kQueueEntryCount);
  queue.jobQueueItem.push_back(bytes::getText(r, kQueueEntries, kIdWidth));
  for (uint32_t i = 1; i < entries; ++i) {
    if (kLegacyQueueMinSize + uint64_t{kLegacyQueueEntrySize} * i > object.payloadSize) {
      trace_printf(2, 8, "[%s]: Queue item %u overflows blob for queue %s", kObjectTag, i, queue.jsQueueID.c_str());
      break;
    }
    queue.jobQueueItem.push_back(bytes::getText(r, kQueueEntries + kLegacyQueueEntrySize * i, kIdWidth));
  }
  queue.itemCount = static_cast<uint32_t>(queue.jobQueueItem.size());
  return true;
}

std::vector<uint8_t> encodeLegacyStore(const StoreImage& image) {
  QueueRecordPass pass;
  std::vector<uint8_t> content;
  for (const std::string& id : image.ids(StoredKind::Job))
    appendObject(content, kJobLines, id, *image.find(StoredKind::Job, id), unpackJob, encodeLegacyJob);
  for (const std::string& id : image.ids(StoredKind::Queue))
    appendObject(content, kQueueLines, id, *image.find(StoredKind::Queue, id), unpackQueue, encodeLegacyQueue);
  return content;
}

std::string legacyDigest(const std::vector<uint8_t>& content) {
  Digest digest;
  digest.add(content.data(), content.size());
  return digest.line();
}

bool JS_PersistToJqlegacyFormat(const std::vector<uint8_t>& content) {
  const std::string path = legacyFilePath();
  try {
    trace_printf(4, 8, "[%s]: Creating jqlegacy-compatible backup for downgrade scenario", kPersistTag);
    createLegacyDirectories();
    // Written beside the real file and renamed over it only when complete: a crash or a
    // failed write leaves the previous copy, never a partial one, and the backup thread
    // tries again.
    AtomicFile file(path);
    if (!file.open()) {
      trace_printf(2, 8, "[%s]: Unable to open jqlegacy backup file [%s]", kPersistTag, path.c_str());
      return false;
    }
    if (file.write(content.data(), content.size()) && file.commit()) {
      trace_printf(4, 8, "[%s]: Successfully created jqlegacy-compatible backup at [%s]", kPersistTag, path.c_str());
      rememberLegacyCopy(legacyDigest(content));
      return true;
    }
    trace_printf(1, 8, "[%s]: Error during jqlegacy persist, the previous copy is kept", kPersistTag);
  } catch (const std::exception& e) {
    trace_printf(2, 8, "[%s]: Exception during jqlegacy persist: %s", kPersistTag, e.what());
  }
  return false;
}

std::optional<std::string> legacyCopyDigest() { return fileDigest(legacyFilePath()); }

bool legacyCopyIsOwn() {
  std::ifstream stream(paths::resolve(paths::kLegacyCopyDigestFile));
  std::string remembered;
  if (!std::getline(stream, remembered)) return false;
  const std::optional<std::string> current = fileDigest(legacyFilePath());
  return current && *current == remembered;
}

LegacyRead readLegacyEntry(std::istream& stream, LegacyEntry& entry, ReadStop& stop) {
  LegacyObject object;
  const LegacyRead read = readLegacyObject(stream, object, stop);
  if (read != LegacyRead::Object) return read;
  entry = {object.offset, object.payloadSize, object.type(), bytes::get<uint32_t>(object.buffer.data(), kObjectID),
           JobInfoRecord{}};
  switch (entry.type) {
    case kLegacyJob:
      return decodeLegacyJob(object, std::get<JobInfoRecord>(entry.record), stop) ? LegacyRead::Object
                                                                                  : LegacyRead::Damaged;
    case kLegacyQueue:
      entry.record = JobQueueRecord{};
      return decodeLegacyQueue(object, std::get<JobQueueRecord>(entry.record), stop) ? LegacyRead::Object
                                                                                     : LegacyRead::Damaged;
    default:
      stop = {Damage::UnknownType, object.offset + kLegacyHeaderSize + kObjectType, "object type", entry.type, 0, ""};
      return LegacyRead::Damaged;
  }
}

LegacyRead JS_RestoreObjectFromJqlegacyFile(std::istream& stream, LegacyRestoreCounts& counts, RestoredStore& restored) {
  LegacyEntry entry;
  ReadStop stop;
  const LegacyRead read = readLegacyEntry(stream, entry, stop);
  if (read == LegacyRead::Damaged) logLegacyStop(stop);
  if (read != LegacyRead::Object) return read;
  trace_printf(4, 8, "[%s]: payloadSize=%u", kObjectTag, entry.payloadSize);
  trace_printf(4, 8, "[%s]: objType=0x%x, objSize=%u, objID=0x%08x", kObjectTag, entry.type, entry.payloadSize,
               entry.objectID);
  if (const auto* job = std::get_if<JobInfoRecord>(&entry.record))
    restoreJob(*job, counts, restored);
  else
    restoreQueue(std::get<JobQueueRecord>(entry.record), counts, restored);
  return LegacyRead::Object;
}

int JS_RestoreFromJqlegacyBackup(RestoredStore& restored) {
  try {
    trace_printf(4, 8, "[%s]: === UPGRADE RESTORE: Checking for jqlegacy backup ===", kRestoreTag);
    const std::string source = legacySource();
    if (source.empty()) {
      trace_printf(4, 8, "[%s]: No jqlegacy backup file found at either path, nothing to restore", kRestoreTag);
      return 0;
    }
    trace_printf(4, 8, "[%s]: Found jqlegacy backup at [%s], restoring...", kRestoreTag, source.c_str());
    errno = 0;
    std::ifstream stream(source, std::ios::binary);
    if (!stream.is_open()) {
      trace_printf(2, 8, "[%s]: Unable to open jqlegacy backup file [%s], errno=%d", kRestoreTag, source.c_str(),
                   errno);
      return 0;
    }
    LegacyRestoreCounts counts;
    const bool complete = restoreAll(stream, counts, restored);
    stream.close();
    // A damaged object ends the reading only: what came before it stays published.
    if (!complete) trace_printf(4, 8, "[%s]: Errors during jqlegacy restore (ignored), rc=%d", kRestoreTag, -1);
    logSummary(counts);
  } catch (const std::exception& e) {
    // Nothing may end the backup thread: the store goes on with what was restored.
    trace_printf(2, 8, "[%s]: Exception during jqlegacy restore: %s", kRestoreTag, e.what());
  }
  return 0;
}

}  // namespace velmer
