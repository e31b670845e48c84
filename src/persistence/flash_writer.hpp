// What reaches flash, and when. The backup thread hands every change of the store to
// the flash writer, which keeps three files in step with it:
//
// - the journal: after each batch of changes (at most once per kMinRewriteInterval), the
//   jobs and queues that changed since the last append, each as one entry, appended and
//   synced. A report costs one entry of a few hundred bytes.
// - the backup file, rewritten whole only as a checkpoint: after restore, when the journal
//   passes kJournalCheckpointBytes, and at a clean stop; then the journal is emptied.
// - the legacy copy, for a firmware downgrade: rewritten when a job or queue is created,
//   deleted or scheduled, and at a clean stop; changes that only report progress reach it
//   at most once per kLegacyProgressInterval, or with a checkpoint. A copy whose bytes
//   would not change is not written.
//
// Each file is retried on its own after a failure, with a growing delay, and a failed
// write never replaces what is on flash. What a write stores is taken from the job and
// queue objects themselves (never from the main object's client-writable lists), plus
// the stored objects this start could not publish.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "persistence/journal.hpp"
#include "persistence/restore.hpp"
#include "persistence/retry_delay.hpp"
#include "persistence/store_image.hpp"

namespace velmer {

using FlashClock = std::chrono::steady_clock;

// The shortest time from the start of one journal append to the start of the next:
// changes arriving meanwhile go out together, at most about three times a second, and a
// change is on flash within about this interval after its reply.
inline constexpr std::chrono::milliseconds kMinRewriteInterval{300};
// A journal longer than this is folded into a checkpoint. Restore applies at most this
// much; a steady 10 reports a second take about four minutes to fill it.
inline constexpr uint64_t kJournalCheckpointBytes = 1 << 20;
inline constexpr std::chrono::seconds kLegacyProgressInterval{60};

// One change of the store, as the journal records it.
struct StoreChange {
  JournalOp op = JournalOp::PutJob;
  std::string id;
  PackedRecord packed;
  bool structural = false;  // created, deleted or (re)scheduled: the legacy copy follows at once
};

// What the writer remembers of a stored object: digests of its bytes and, for a job, of
// the queue it is bound to, a few bytes where the record is hundreds.
struct StoredDigest {
  uint64_t content = 0;
  uint64_t binding = 0;
  bool operator==(const StoredDigest&) const = default;
};
using StoreDigest = std::map<StoredKey, StoredDigest>;

StoreDigest digestOf(const StoreImage& image);

// The changes that turn the store `from` describes into `to`, in a fixed order: jobs,
// then queues, each set or removed.
std::vector<StoreChange> changesBetween(const StoreDigest& from, const StoreImage& to);

// When a write may start next: at once, or after a delay that grows with every failure.
class WritePacing {
 public:
  FlashClock::time_point nextStart() const { return nextStart_; }
  bool due(FlashClock::time_point now) const { return now >= nextStart_; }
  void succeeded(FlashClock::time_point started, std::chrono::milliseconds interval);
  // Returns the delay until the next attempt.
  std::chrono::milliseconds failed();

 private:
  FlashClock::time_point nextStart_{};
  RetryDelay retryDelay_;
};

class FlashWriter {
 public:
  FlashWriter() = default;
  ~FlashWriter();
  FlashWriter(const FlashWriter&) = delete;
  FlashWriter& operator=(const FlashWriter&) = delete;

  // After the start-up restore: the first checkpoint is written at once. Until start(),
  // and for good when the restore was not complete, nothing is written.
  void start(const RestoredStore& restored);

  // The store changed (any thread).
  void markStale() { stale_ = true; }

  // Writes what is due now: everything at once when `stopping`. Returns when something
  // will be due next (time_point::max() when nothing is waiting).
  FlashClock::time_point serve(bool stopping);

  // When something will be due next (time_point::max() when nothing is waiting).
  FlashClock::time_point nextWake() const;

 private:
  struct CachedQueue {
    JobQueueRecord record;
    PackedRecord packed;
  };

  StoreImage snapshot();
  bool checkpointWanted(bool stopping, const StoreImage& store) const;
  bool legacyWanted(FlashClock::time_point now, bool stopping) const;
  void noteChanges(const std::vector<StoreChange>& changes);
  bool appendChanges(const StoreImage& store);
  bool checkpoint(const StoreImage& store);
  bool openJournal();
  void emptyJournal();
  bool writeLegacyCopy(const StoreImage& store, FlashClock::time_point now);
  bool checkpointOverdue() const;
  void writeStore(const StoreImage& store, FlashClock::time_point now, bool stopping);

  bool writable_ = false;
  std::atomic<bool> stale_{false};
  StoreImage unpublished_;
  StoreDigest onFlash_;  // the backup file with the journal applied
  bool checkpointWritten_ = false;  // the backup directory holds a backup file of ours
  bool restoreDirectoryPending_ = false;
  int journalFd_ = -1;
  uint64_t journalBytes_ = 0;
  uint64_t nextSequence_ = 1;
  WritePacing journalPacing_, checkpointPacing_, legacyPacing_;
  bool legacyStructuralDue_ = false;
  bool legacyProgressDue_ = false;
  FlashClock::time_point lastLegacyWrite_{};
  std::string legacyOnFlash_;  // the digest of the legacy copy on flash
  std::unordered_map<std::string, CachedQueue> queueCache_;  // by registry key
};

}  // namespace velmer
