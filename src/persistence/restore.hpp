// Restore at start-up: the directory preparation on the main thread, then the reading
// of the restore file and the re-creation of every job and queue on the backup thread.
#pragma once

#include <cstddef>
#include <functional>
#include <istream>
#include <set>
#include <string>
#include <vector>

#include "jobs/job_record.hpp"
#include "persistence/store_image.hpp"
#include "queues/queue_record.hpp"

namespace velmer {

// Moves the previous run's backup directory to the restore directory and creates a new
// backup directory (main thread, before the backup thread exists): 0, or -1 when the
// backup directory cannot be created.
int StartJSRestore();

// The most jobs, and queues, that restore publishes: the store's limit. It is a constant,
// not the client-writable maxJobsInStore, so that no client write can make a restore
// leave stored objects out.
inline constexpr size_t kRestoreObjectLimit = 256;

// What the start-up restore found, for the steps after it (backup thread).
struct RestoredStore {
  bool complete = false;                 // every stored object was read: the store may be written
  bool backupWhole = false;              // the backup file was there and read to its end
  std::set<StoredKey> removedByJournal;  // deleted after the backup file was written
  // Stored objects this start could not publish (the bus refused them, or the store was
  // at its limit): they stay in every file written until a later start publishes them.
  StoreImage unpublished;
  // Restored from the backup directory itself (it could not be moved): its journal, valid
  // up to journalBytes, goes on, and `stored` is what its files hold.
  bool inBackupDirectory = false;
  StoreImage stored;
  uint64_t journalBytes = 0;
  uint64_t journalLastSequence = 0;
};

// Publishes every job and queue of the restore directory: the backup file, then the
// journal (backup thread). The restore directory stays until the store has been
// written anew (removeRestoreDirectory): 0, or -1 after an exception, when the restore
// directory's files went back to the backup directory for the next start.
int JSRestore(RestoredStore& restored);

// Deletes the restore directory once the backup directory holds the whole store.
bool removeRestoreDirectory();

// Reads objects into `image` until the end of the stream or the first damaged object:
// 0, or -1 on an exception. `whole` says whether the end was reached.
int JS_RestoreFromFile(std::istream& stream, StoreImage& image, bool& whole);

// Reads one object into `image`: 0 for an object or a clean end (`end` set), -1 for damage.
int JS_RestoreObjectFromFile(std::istream& stream, StoreImage& image, bool& end);

// What became of one restored object: published; left out because its record can never
// be published (an ID that names no object path, or one published already); or not
// published at this start (the bus refused it, or the store is at its limit).
enum class Publication { Published, LeftOut, Unpublished };

// Publish one restored object, registered like a new one. Take the bus lock themselves.
Publication createJobObjectInDBus(const JobInfoRecord& job);
Publication createQueueObjectInDBus(const JobQueueRecord& queue);

// Restored objects waiting to be listed on the main object; list() appends them all to
// its lists and counts at once. The caller holds the bus lock.
struct RestoredListing {
  std::vector<std::string> jobs, queues;
  void list();
};

// As above, for a caller that holds the bus lock and lists many objects at once.
Publication publishJobObject(const JobInfoRecord& job, RestoredListing& listing);
Publication publishQueueObject(const JobQueueRecord& queue, RestoredListing& listing);

// Runs the post-restore tool for every job that was running; once `stopRequested`
// answers true, no further tool is started.
void JSPostRestore(const std::function<bool()>& stopRequested);

}  // namespace velmer
