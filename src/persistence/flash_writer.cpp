#include "persistence/flash_writer.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "bus/bus.hpp"
#include "jobs/job_registry.hpp"
#include "paths.hpp"
#include "persistence/atomic_file.hpp"
#include "persistence/backup_file.hpp"
#include "persistence/legacy_format.hpp"
#include "service/service_main.hpp"
#include "trace.h"

namespace velmer {

namespace {

constexpr const char* kTag = "FlashWriter";

std::string journalPath() { return backupDirectory() + "/" + std::string(paths::kJournalFileName); }

JournalOp putOp(StoredKind kind) { return kind == StoredKind::Job ? JournalOp::PutJob : JournalOp::PutQueue; }
JournalOp removeOp(StoredKind kind) { return kind == StoredKind::Job ? JournalOp::RemoveJob : JournalOp::RemoveQueue; }

uint64_t fnv1a(const uint8_t* data, size_t size, uint64_t hash = 0xcbf29ce484222325ULL) {
  for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 0x100000001b3ULL;
  return hash;
}

// The queue a job is bound to (its queue ID and the bound flag): a job bound to another
// queue, or bound or freed, was scheduled, and the legacy copy, which a downgrade reads,
// follows that at once.
uint64_t bindingOf(const PackedRecord& packed) {
  JobInfoRecord job;
  if (!unpackJob(packed, job)) return 0;
  const uint8_t queued = job.flags & kJobFlagQueued;
  return fnv1a(reinterpret_cast<const uint8_t*>(job.queueID.data()), job.queueID.size(), fnv1a(&queued, 1));
}

StoredDigest digestOf(StoredKind kind, const PackedRecord& packed) {
  return {fnv1a(packed.data(), packed.size()), kind == StoredKind::Job ? bindingOf(packed) : 0};
}

void appendChangesOfKind(StoredKind kind, const StoreDigest& from, const StoreImage& to,
                         std::vector<StoreChange>& changes) {
  for (const std::string& id : to.ids(kind)) {
    const PackedRecord& packed = *to.find(kind, id);
    const auto before = from.find(StoredKey{kind, id});
    const StoredDigest now = digestOf(kind, packed);
    if (before != from.end() && before->second == now) continue;
    const bool structural = before == from.end() || before->second.binding != now.binding;
    changes.push_back({putOp(kind), id, packed, structural});
  }
  for (const auto& [key, digest] : from)
    if (key.kind == kind && !to.contains(kind, key.id)) changes.push_back({removeOp(kind), key.id, {}, true});
}

bool writeAll(int fd, const std::vector<uint8_t>& bytes, uint64_t offset) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<size_t>(written);
  }
  return true;
}

}  // namespace

StoreDigest digestOf(const StoreImage& image) {
  StoreDigest digest;
  for (StoredKind kind : {StoredKind::Job, StoredKind::Queue})
    for (const std::string& id : image.ids(kind)) digest.emplace(StoredKey{kind, id}, digestOf(kind, *image.find(kind, id)));
  return digest;
}

std::vector<StoreChange> changesBetween(const StoreDigest& from, const StoreImage& to) {
  std::vector<StoreChange> changes;
  appendChangesOfKind(StoredKind::Job, from, to, changes);
  appendChangesOfKind(StoredKind::Queue, from, to, changes);
  return changes;
}

void WritePacing::succeeded(FlashClock::time_point started, std::chrono::milliseconds interval) {
  retryDelay_.succeeded();
  nextStart_ = started + interval;
}

std::chrono::milliseconds WritePacing::failed() {
  const auto delay = retryDelay_.failed();
  nextStart_ = FlashClock::now() + delay;
  return delay;
}

void FlashWriter::start(const RestoredStore& restored) {
  writable_ = restored.complete;
  if (!writable_) {
    trace_printf(1, 8, "[%s]: the store was not restored whole: nothing is written to flash in this run\n", kTag);
    return;
  }
  unpublished_ = restored.unpublished;
  legacyOnFlash_ = legacyCopyDigest().value_or("");
  legacyStructuralDue_ = true;  // the copy follows what this start restored and imported
  if (restored.inBackupDirectory) {
    // The store was restored where it lies: its journal goes on from its last whole entry.
    onFlash_ = digestOf(restored.stored);
    journalBytes_ = restored.journalBytes;
    nextSequence_ = restored.journalLastSequence + 1;
    checkpointWritten_ = openJournal() && ::ftruncate(journalFd_, static_cast<off_t>(journalBytes_)) == 0 &&
                         ::fsync(journalFd_) == 0;
  } else {
    restoreDirectoryPending_ = true;
  }
  serve(true);  // the first checkpoint, before anything else is written
}

// Sorts registry entries into the order of the main object's list (the order clients
// see, which restore brings back), objects it does not list last: the list decides the
// order only, never what is stored.
template <class Record>
void sortByList(std::vector<std::pair<std::string, Record>>& entries, const std::vector<std::string>& list) {
  std::unordered_map<std::string, size_t> rank;
  for (size_t i = 0; i < list.size(); ++i) rank.try_emplace(list[i], i);
  auto rankOf = [&](const std::string& key) {
    auto found = rank.find(key);
    return found == rank.end() ? list.size() : found->second;
  };
  std::stable_sort(entries.begin(), entries.end(),
                   [&](const auto& a, const auto& b) { return rankOf(a.first) < rankOf(b.first); });
}

StoreImage FlashWriter::snapshot() {
  std::vector<std::pair<std::string, JobInfoRecord>> jobs;
  std::vector<std::pair<std::string, JobQueueRecord>> queues;
  std::vector<std::string> jobList, queueList;
  {
    // Under the bus lock no handler is half way through a report: every record is taken
    // between two changes, never in the middle of one.
    bus::Access busAccess;
    auto& registry = JobRegistry::instance();
    std::lock_guard lock(registry.mutex);
    jobs.reserve(registry.jobs.size());
    for (const auto& [key, job] : registry.jobs)
      if (job) jobs.emplace_back(key, job->snapshot());
    queues.reserve(registry.queues.size());
    for (const auto& [key, queue] : registry.queues)
      if (queue) queues.emplace_back(key, queue->snapshot());
    jobList = mainObject().get(&MainRecord::jobInfoObjList);
    queueList = mainObject().get(&MainRecord::jobQueueObjList);
  }
  sortByList(jobs, jobList);
  sortByList(queues, queueList);
  StoreImage image;
  // A job is packed anew each time (a few microseconds); a queue record is 128 KB, so an
  // unchanged queue keeps the bytes packed last.
  for (const auto& [key, record] : jobs) image.add(StoredKind::Job, storedID(record.jsJobID), packJob(record));
  std::unordered_map<std::string, CachedQueue> queueCache;
  for (auto& [key, record] : queues) {
    auto cached = queueCache_.find(key);
    CachedQueue entry = cached != queueCache_.end() && cached->second.record == record
                            ? std::move(cached->second)
                            : CachedQueue{record, packQueue(record)};
    image.add(StoredKind::Queue, storedID(record.jsQueueID), entry.packed);
    queueCache.emplace(key, std::move(entry));
  }
  queueCache_ = std::move(queueCache);
  for (StoredKind kind : {StoredKind::Job, StoredKind::Queue})
    for (const std::string& id : unpublished_.ids(kind)) image.add(kind, id, *unpublished_.find(kind, id));
  return image;
}

bool FlashWriter::checkpointWanted(bool stopping, const StoreImage& store) const {
  if (!checkpointWritten_ || journalBytes_ > kJournalCheckpointBytes) return true;
  return stopping && (journalBytes_ > 0 || !changesBetween(onFlash_, store).empty());
}

bool FlashWriter::legacyWanted(FlashClock::time_point now, bool stopping) const {
  if (legacyStructuralDue_) return true;
  return legacyProgressDue_ && (stopping || now >= lastLegacyWrite_ + kLegacyProgressInterval);
}

void FlashWriter::noteChanges(const std::vector<StoreChange>& changes) {
  for (const StoreChange& change : changes) {
    if (change.structural) legacyStructuralDue_ = true;
    legacyProgressDue_ = true;
  }
}

bool FlashWriter::openJournal() {
  if (journalFd_ >= 0) return true;
  journalFd_ = ::open(journalPath().c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0660);
  return journalFd_ >= 0;
}

// Appends what changed since the last append, as one write, and syncs it. A failed
// append is cut off again, so that the next one follows the last whole entry.
bool FlashWriter::appendChanges(const StoreImage& store) {
  const std::vector<StoreChange> changes = changesBetween(onFlash_, store);
  if (changes.empty()) return true;
  std::vector<uint8_t> bytes;
  uint64_t sequence = nextSequence_;
  for (const StoreChange& change : changes) {
    const std::vector<uint8_t> entry = encodeJournalEntry(sequence++, change.op, change.id, change.packed);
    bytes.insert(bytes.end(), entry.begin(), entry.end());
  }
  if (!openJournal() || !writeAll(journalFd_, bytes, journalBytes_) || ::fdatasync(journalFd_) != 0) {
    trace_printf(1, 8, "[%s]: Unable to append to the journal [%s]: %s\n", kTag, journalPath().c_str(),
                 std::strerror(errno));
    if (journalFd_ >= 0 && ::ftruncate(journalFd_, static_cast<off_t>(journalBytes_)) != 0) {
      // An entry cut short would hide every later one: only a checkpoint clears it.
      checkpointWritten_ = false;
    }
    return false;
  }
  trace_printf(4, 8, "[%s]: %zu changes appended to the journal, %zu bytes\n", kTag, changes.size(), bytes.size());
  journalBytes_ += bytes.size();
  nextSequence_ = sequence;
  noteChanges(changes);
  onFlash_ = digestOf(store);
  return true;
}

// Writes the backup file whole. Every change it holds beyond the journal is appended to
// the journal first: should the journal not be emptied after it (a crash), applying it
// again to the new file changes nothing.
bool FlashWriter::checkpoint(const StoreImage& store) {
  if (checkpointWritten_ && !appendChanges(store)) return false;
  if (!openJournal()) {
    trace_printf(1, 8, "[%s]: Unable to create the journal [%s]: %s\n", kTag, journalPath().c_str(),
                 std::strerror(errno));
    return false;
  }
  if (!JS_PersistObjects(store)) return false;
  noteChanges(changesBetween(onFlash_, store));
  // The legacy copy follows a checkpoint, which rewrites the whole store anyway.
  if (legacyProgressDue_) legacyStructuralDue_ = true;
  onFlash_ = digestOf(store);
  checkpointWritten_ = true;
  emptyJournal();
  if (restoreDirectoryPending_ && removeRestoreDirectory()) restoreDirectoryPending_ = false;
  return true;
}

void FlashWriter::emptyJournal() {
  if (journalBytes_ == 0) return;
  if (::ftruncate(journalFd_, 0) != 0 || ::fsync(journalFd_) != 0) {
    // The entries stay: the backup file holds them already, and applying them changes
    // nothing. The next append follows them.
    trace_printf(2, 8, "[%s]: Unable to empty the journal [%s]: %s\n", kTag, journalPath().c_str(),
                 std::strerror(errno));
    return;
  }
  journalBytes_ = 0;
}

bool FlashWriter::writeLegacyCopy(const StoreImage& store, FlashClock::time_point now) {
  const std::vector<uint8_t> content = encodeLegacyStore(store);
  const std::string digest = legacyDigest(content);
  if (digest != legacyOnFlash_) {
    if (!JS_PersistToJqlegacyFormat(content)) return false;
    legacyOnFlash_ = digest;
    lastLegacyWrite_ = now;
  }
  legacyStructuralDue_ = legacyProgressDue_ = false;
  return true;
}

bool FlashWriter::checkpointOverdue() const { return !checkpointWritten_ || journalBytes_ > kJournalCheckpointBytes; }

FlashClock::time_point FlashWriter::nextWake() const {
  FlashClock::time_point wake = FlashClock::time_point::max();
  if (!writable_) return wake;
  if (checkpointOverdue()) wake = std::min(wake, checkpointPacing_.nextStart());
  if (stale_ && checkpointWritten_) wake = std::min(wake, journalPacing_.nextStart());
  if (legacyStructuralDue_) wake = std::min(wake, legacyPacing_.nextStart());
  if (legacyProgressDue_)
    wake = std::min(wake, std::max(legacyPacing_.nextStart(), lastLegacyWrite_ + kLegacyProgressInterval));
  return wake;
}

// The backup file when a checkpoint is due, else the journal. Each keeps its own pace
// and its own retries: a backup file that cannot be written holds up no append.
void FlashWriter::writeStore(const StoreImage& store, FlashClock::time_point now, bool stopping) {
  if (checkpointWanted(stopping, store) && (stopping || checkpointPacing_.due(now))) {
    if (checkpoint(store)) {
      checkpointPacing_.succeeded(now, std::chrono::milliseconds::zero());
      journalPacing_.succeeded(now, kMinRewriteInterval);
    } else {
      trace_printf(1, 8, "[%s]: Unable to write the backup file, next attempt in %lld ms\n", kTag,
                   static_cast<long long>(checkpointPacing_.failed().count()));
    }
    return;
  }
  if (!checkpointWritten_ || !(stopping || journalPacing_.due(now))) return;
  if (appendChanges(store))
    journalPacing_.succeeded(now, kMinRewriteInterval);
  else
    trace_printf(1, 8, "[%s]: next journal append in %lld ms\n", kTag,
                 static_cast<long long>(journalPacing_.failed().count()));
}

FlashClock::time_point FlashWriter::serve(bool stopping) {
  if (!writable_) return FlashClock::time_point::max();
  const auto now = FlashClock::now();
  const bool storeDue = (stale_ && checkpointWritten_ && journalPacing_.due(now)) ||
                        (checkpointOverdue() && checkpointPacing_.due(now));
  const bool legacyDue = legacyWanted(now, stopping) && legacyPacing_.due(now);
  if (!stopping && !storeDue && !legacyDue) return nextWake();
  stale_ = false;  // a change made after the snapshot marks the store again
  const StoreImage store = snapshot();
  writeStore(store, now, stopping);
  if (!changesBetween(onFlash_, store).empty()) stale_ = true;
  if (legacyWanted(now, stopping) && (stopping || legacyPacing_.due(now))) {
    if (writeLegacyCopy(store, now))
      legacyPacing_.succeeded(now, std::chrono::milliseconds::zero());
    else
      trace_printf(1, 8, "[%s]: Unable to write the legacy copy, next attempt in %lld ms\n", kTag,
                   static_cast<long long>(legacyPacing_.failed().count()));
  }
  return nextWake();
}

FlashWriter::~FlashWriter() {
  if (journalFd_ >= 0) ::close(journalFd_);
}

}  // namespace velmer
