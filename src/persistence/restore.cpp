#include "persistence/restore.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <systemd/sd-bus.h>

#include "persistence/atomic_file.hpp"
#include "persistence/backup_file.hpp"
#include "persistence/journal.hpp"
#include "bus/bus.hpp"
#include "jobs/job_registry.hpp"
#include "jobs/job_state.hpp"
#include "paths.hpp"
#include "service/service_main.hpp"
#include "trace.h"
#include "utl.h"

namespace velmer {

namespace {

bool entryExists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

// A directory itself, not a link to one.
bool isRealDirectory(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Creates the backup directory without its parents, mode exactly 0770 whatever the
// umask: 0, or -1 when it cannot be created.
int createBackupDirectory(const char* tag) {
  const std::string backupDir = backupDirectory();
  if (entryExists(backupDir)) return 0;
  if (::mkdir(backupDir.c_str(), 0770) != 0 && errno != EEXIST) {
    trace_printf(4, 8, "[%s]: ___ StartRestore: Backup directory cannot be created. [%s], errno = %d\n", tag,
                 backupDir.c_str(), errno);
    return -1;
  }
  ::chmod(backupDir.c_str(), 0770);
  trace_printf(4, 8, "[%s]: ___ StartRestore: Created Backup Directory\n", tag);
  return 0;
}

// Where this start restores from: the restore directory, or the backup directory
// itself when it could not be moved. Set on the main thread before the backup thread
// starts, read by the backup thread only.
std::string restoreSource;

std::string journalPathIn(const std::string& directory) {
  return directory + "/" + std::string(paths::kJournalFileName);
}

// A start-up cut short before the store was written anew (its 2-second wait, its
// restore, or the first write after it) leaves the only copy of the store in the
// restore directory, and a backup directory without a backup file.
bool restoreDirectoryHoldsTheStore() {
  return isRealDirectory(restoreDirectory()) && !entryExists(backupFilePath()) &&
         (entryExists(restoreFilePath()) || entryExists(journalPathIn(restoreDirectory())));
}

// Whatever stands at the restore path goes, as itself: a link is never followed into
// what it points at.
void removeRestorePath(const char* tag) {
  const std::string restoreDir = restoreDirectory();
  trace_printf(4, 8, "[%s]: ___ StartRestore: Deleting Restore Directory\n", tag);
  if (isRealDirectory(restoreDir))
    deleteDirectory(restoreDir);
  else
    ::unlink(restoreDir.c_str());
}

// The previous run's backup directory becomes the restore directory, which this start
// restores from.
void moveBackupToRestore(const char* tag) {
  const std::string backupDir = backupDirectory();
  const std::string restoreDir = restoreDirectory();
  restoreSource = restoreDir;
  if (restoreDirectoryHoldsTheStore()) {
    // This start restores from it again; the backup directory holds nothing of the store.
    trace_printf(2, 8, "[%s]: ___ StartRestore: the last start-up ended before the store was written anew, "
                 "restoring from [%s] again\n", tag, restoreDir.c_str());
    removeStrayTemporaryFiles(restoreDir);
    deleteDirectory(backupDir);
    return;
  }
  if (entryExists(restoreDir)) removeRestorePath(tag);
  if (!entryExists(backupDir)) {
    trace_printf(4, 8, "[%s]: ___ StartRestore: No Data present in Backup Directory \n", tag);
    return;
  }
  if (::rename(backupDir.c_str(), restoreDir.c_str()) == 0) {
    trace_printf(4, 8, "[%s]: ___ StartRestore: Moved Data from Backup Directory to Restore Directory\n", tag);
    removeStrayTemporaryFiles(restoreDir);  // a write cut short by a crash is never restored
    return;
  }
  // The store stays where it is and is restored from there; its files are replaced only
  // by a complete new backup file.
  trace_printf(1, 8, "[%s]: ___ StartRestore: Restore directory cannot be created, backup kept, [%s], errno = %d\n",
               tag, restoreDir.c_str(), errno);
  restoreSource = backupDir;
  removeStrayTemporaryFiles(backupDir);
}

// Publishes one object of the restored image; one that cannot be published now is kept
// in `restored.unpublished`.
template <class Record, class Publish>
void publishStored(StoredKind kind, const std::string& id, const PackedRecord& packed, RestoredStore& restored,
                   bool (*unpack)(const PackedRecord&, Record&), const Publish& publish) {
  Record record;
  if (!unpack(packed, record)) return;  // never for an image read with the daemon's readers
  if (publish(record) == Publication::Unpublished) restored.unpublished.add(kind, id, packed);
}

// The whole store is published under one hold of the bus lock, and listed on the main
// object with one change of each list and count: one object at a time would wake the
// loop and resend the growing lists for each.
void publishImage(const StoreImage& image, RestoredStore& restored) {
  bus::Access busAccess;
  RestoredListing listing;
  const auto publishJob = [&](const JobInfoRecord& job) { return publishJobObject(job, listing); };
  const auto publishQueue = [&](const JobQueueRecord& queue) { return publishQueueObject(queue, listing); };
  for (const std::string& id : image.ids(StoredKind::Job))
    publishStored(StoredKind::Job, id, *image.find(StoredKind::Job, id), restored, unpackJob, publishJob);
  for (const std::string& id : image.ids(StoredKind::Queue))
    publishStored(StoredKind::Queue, id, *image.find(StoredKind::Queue, id), restored, unpackQueue, publishQueue);
  listing.list();
  if (!restored.unpublished.empty())
    trace_printf(1, 8, "[%s]: %zu jobs and %zu queues could not be published; they stay on flash\n",
                 "JSRestoreJCObjects", restored.unpublished.size(StoredKind::Job),
                 restored.unpublished.size(StoredKind::Queue));
}

// The journal beside the restore file: the changes made after the file was written.
void applyRestoreJournal(StoreImage& image, RestoredStore& restored) {
  constexpr const char* kTag = "JSRestoreJCObjects";
  std::ifstream stream(journalPathIn(restoreSource), std::ios::binary);
  if (!stream.is_open()) return;
  JournalRead journal = applyJournal(stream, image);
  restored.journalBytes = journal.validBytes;
  restored.journalLastSequence = journal.lastSequence;
  trace_printf(4, 8, "[%s]: %zu journal entries applied\n", kTag, journal.entries);
  if (journal.stop.damage != Damage::None)
    trace_printf(2, 8, "[%s]: the journal ends at byte %llu: %s\n", kTag,
                 static_cast<unsigned long long>(journal.stop.offset), describe(journal.stop).c_str());
  restored.removedByJournal = std::move(journal.removed);
}

int restoreJobsAndQueues(RestoredStore& restored) {
  constexpr const char* kTag = "JSRestoreJCObjects";
  trace_printf(4, 8, "[%s]:Entering JSRestoreJCObjects", kTag);
  QueueRecordPass pass;
  StoreImage image;
  int rc = 0;
  std::ifstream stream(restoreSource + "/" + std::string(paths::kBackupFileName), std::ios::binary);
  if (stream.is_open()) {
    rc = JS_RestoreFromFile(stream, image, restored.backupWhole);
    stream.close();
  } else {
    trace_printf(4, 8, "[%s]:___ JSRestoreJCObjects: No objects to restore", kTag);
  }
  if (rc != 0) return rc;
  applyRestoreJournal(image, restored);
  publishImage(image, restored);
  restored.inBackupDirectory = restoreSource == backupDirectory();
  restored.stored = std::move(image);
  return 0;
}

// Logs why reading stopped, in the restore's own lines: 0 when the file simply ended
// (a header cut short at the end counts as its end), -1 for damage.
int logBackupStop(const char* tag, const BackupObject& object, const ReadStop& stop) {
  switch (stop.damage) {
    case Damage::ShortHeader:
      trace_printf(4, 8, "[%s]: End of file reached\n", tag);
      return 0;
    case Damage::ReadFailed:
      trace_printf(4, 8, stop.field == "header" ? "[%s]: Failed to read header\n" : "[%s]: Failed to read object data\n",
                   tag);
      return -1;
    case Damage::BadSignature:
      trace_printf(4, 8, "[%s]: ___ Signature mismatch, corrupted file\n", tag);
      return -1;
    case Damage::SizeMismatch:
      trace_printf(4, 8, "[%s]: object size %u does not match object type %u\n", tag, object.header.object_size,
                   object.header.object_type);
      return -1;
    case Damage::ShortRecord:
      trace_printf(4, 8, "[%s]: End of file reached while reading object data\n", tag);
      return -1;
    case Damage::UnknownType:
      trace_printf(4, 8, "[%s]: Unknown object type\n", tag);
      return -1;
    default:
      trace_printf(4, 8, "[%s]: %s\n", tag, describe(stop).c_str());
      return -1;
  }
}

// The header lines of an object whose header was read whole.
void logBackupHeader(const char* tag, const JSObjectHeader& header) {
  trace_printf(4, 8, "[%s]: ___ Signature = %s, object_type = %d, object_size = %d\n", tag, header.signature.c_str(),
               static_cast<int>(header.object_type), static_cast<int>(header.object_size));
  if (header.signature == kObjectSignature)
    trace_printf(4, 8, "[%s]: ___ Signature matched, file is valid, header size = %d\n", tag,
                 static_cast<int>(header.object_size));
}

std::map<std::string, sdbus::Variant> jsInitJobInfoRestore(const JobInfoRecord& job) {
  constexpr const char* kTag = "jsInitJobInfoRestore";
  trace_printf(4, 8, "[%s]: Entering jsInitJobInfoRestore\n", kTag);
  uint8_t interfaceState = job.jobStateForInterface;
  if (interfaceState != 0) {
    trace_printf(4, 8, "[%s]: jobStateForInterface is %u\n", kTag, interfaceState);
  } else {
    trace_printf(4, 8, "[%s]: jobStateForInterface is NEW\n", kTag);
    if (getState4Interface(job.jobStateForInterface, job.jobState, job.jobStatus, interfaceState) == 0) {
      trace_printf(4, 8, "[%s]: jobStateForInterface is %u\n", kTag, interfaceState);
    } else {
      trace_printf(1, 8, "[%s]: Error Mapping Value for intfState \n", kTag);
      interfaceState = 0;
    }
  }
  std::map<std::string, sdbus::Variant> properties = {
      {"jsJobID", sdbus::Variant(job.jsJobID)},
      {"jobName", sdbus::Variant(job.jobName)},
      {"message", sdbus::Variant(job.message)},
      {"messageID", sdbus::Variant(job.messageID)},
      {"latestUpdateTime", sdbus::Variant(job.latestUpdateTime)},
      {"creationTime", sdbus::Variant(job.creationTime)},
      {"jobType", sdbus::Variant(job.jobType)},
      {"jobState", sdbus::Variant(job.jobState)},
      {"percentComplete", sdbus::Variant(job.percentComplete)},
      {"runningTimeoutSeconds", sdbus::Variant(job.runningTimeoutSeconds)},
      {"startTime", sdbus::Variant(job.startTime)},
      {"untilTime", sdbus::Variant(job.untilTime)},
      {"completionTime", sdbus::Variant(job.completionTime)},
      {"flags", sdbus::Variant(job.flags)},
      {"queueID", sdbus::Variant(job.queueID)},
      {"actualRunningStartTime", sdbus::Variant(job.actualRunningStartTime)},
      {"actualRunningStopTime", sdbus::Variant(job.actualRunningStopTime)},
      {"messageArgs", sdbus::Variant(job.messageArgs)},
      {"jobStatus", sdbus::Variant(job.jobStatus)},
      {"processID", sdbus::Variant(job.processID)},
      {"jobStateForInterface", sdbus::Variant(interfaceState)},
  };
  trace_printf(4, 8, "[%s]: Exiting jsInitJobInfoRestore\n", kTag);
  return properties;
}

std::map<std::string, sdbus::Variant> jsInitQueueInfoRestore(const JobQueueRecord& queue) {
  trace_printf(4, 8, "[%s]: Entering jsInitQueueInfoRestore\n", "jsInitQueueInfoRestore");
  std::map<std::string, sdbus::Variant> properties = {
      {"queueID", sdbus::Variant(queue.jsQueueID)},
      {"startTime", sdbus::Variant(queue.startTime)},
      {"untilTime", sdbus::Variant(queue.untilTime)},
      {"flags", sdbus::Variant(queue.flags)},
      {"trackedJobCount", sdbus::Variant(queue.trackedJobCount)},
      {"jsJobsListCount", sdbus::Variant(static_cast<uint32_t>(queue.jsJobsList.size()))},
      {"queueState", sdbus::Variant(queue.queueState)},
      {"reservedAllignCount", sdbus::Variant(static_cast<uint32_t>(queue.reservedAllign.size()))},
      {"itemCount", sdbus::Variant(queue.itemCount)},
  };
  for (size_t i = 0; i < queue.jobQueueItem.size(); ++i)
    properties["jobQueueItem[" + std::to_string(i) + "]"] = sdbus::Variant(queue.jobQueueItem[i]);
  return properties;
}

// A new unannounced object of class `Object` at `prefix` + `id`.
template <class Object, class... Extra>
std::unique_ptr<Object> createJob(const char* className, const char* prefix, const std::string& id, Extra... extra) {
  constexpr const char* kTag = "createJob";
  try {
    trace_printf(4, 8, "[%s]: Entering createJob function", kTag);
    trace_printf(4, 8, "[%s]: Job type: %s, Unique ID: %s", kTag, className, id.c_str());
    trace_printf(4, 8, "[%s]: Creating %s object", kTag, className);
    return std::make_unique<Object>(bus::connection(), prefix + id, extra...);
  } catch (const std::exception& e) {
    trace_printf(4, 8, "[%s]: Exception: [%s]\n", kTag, e.what());
    throw std::runtime_error("createJob failed");
  }
}

// Texts read from a file may be damaged; D-Bus only carries valid UTF-8.
JobInfoRecord withValidTexts(JobInfoRecord job) {
  for (std::string* text : {&job.jobName, &job.message, &job.messageArgs, &job.queueID, &job.jobStatus,
                            &job.messageID, &job.jsJobID})
    *text = bus::validUtf8(*text);
  return job;
}

JobQueueRecord withValidTexts(JobQueueRecord queue) {
  queue.jsQueueID = bus::validUtf8(queue.jsQueueID);
  for (auto& item : queue.jobQueueItem) item = bus::validUtf8(item);
  return queue;
}

// A damaged ID that names no object path, or one that a record before it already took,
// can never be published, at this start or any later one: such a record is left out
// like any other damage. Beyond kRestoreObjectLimit jobs, or as many queues (a queue
// has at least one job, a job belongs to one queue at most), an object is not published
// now but kept on flash.
template <class Map>
Publication publicationOf(const char* tag, const char* prefix, const std::string& id, const Map& registered) {
  if (sd_bus_object_path_is_valid((prefix + id).c_str()) <= 0) {
    trace_printf(2, 8, "[%s]: ID [%s] names no object path, left out\n", tag, id.c_str());
    return Publication::LeftOut;
  }
  std::lock_guard lock(JobRegistry::instance().mutex);
  if (registered.contains(id)) {
    trace_printf(2, 8, "[%s]: ID [%s] is restored already, left out\n", tag, id.c_str());
    return Publication::LeftOut;
  }
  if (registered.size() >= kRestoreObjectLimit) {
    trace_printf(2, 8, "[%s]: the store holds %zu already, its limit: %s kept on flash, not published\n", tag,
                 registered.size(), id.c_str());
    return Publication::Unpublished;
  }
  return Publication::Published;
}

}  // namespace

int StartJSRestore() {
  constexpr const char* kTag = "StartJSRestore";
  try {
    trace_printf(4, 8, "[%s]: Entering StartJSRestore\n", kTag);
    moveBackupToRestore(kTag);
    // Writes of the legacy copy that a crash cut short are never read.
    removeStrayTemporaryFiles(paths::resolve(paths::kLegacyBackupDir));
    removeStrayTemporaryFiles(paths::resolve(paths::kLegacyRestoreDir));
    const int rc = createBackupDirectory(kTag);
    // The move and the new directory must last before anything is written into the new
    // directory: without it, a power failure could bring back the old directory and lose
    // every change written into the new one.
    if (rc == 0 && !syncParentDirectory(backupDirectory()))
      trace_printf(1, 8, "[%s]: cannot sync the directory of [%s]: %s\n", kTag, backupDirectory().c_str(),
                   std::strerror(errno));
    return rc;
  } catch (const std::exception& e) {
    trace_printf(4, 8, "[%s]: ___ StartRestore: An error occurred during restore: %s\n", kTag, e.what());
    return -1;
  }
}

int JSRestore(RestoredStore& restored) {
  constexpr const char* kTag = "JSRestore";
  try {
    trace_printf(4, 8, "[%s]: Entering RestoreJSObjects\n", kTag);
    const int rc = restoreJobsAndQueues(restored);
    if (rc != 0) {
      trace_printf(4, 8, "[%s]: ___ RestoreJSObjects: Restore Job objects failed\n", kTag);
      // The store on the bus is not the store on flash: this run writes nothing over it,
      // and the next start reads the files again.
      trace_printf(1, 8, "[%s]: the store could not be restored whole; its files are kept for the next start\n", kTag);
      if (restoreSource == restoreDirectory() && moveFilesToBackup()) deleteDirectory(restoreDirectory());
    } else {
      trace_printf(4, 8, "[%s]: ___ RestoreJSObjects: Restore Job objects complete\n", kTag);
      restored.complete = true;
    }
    return rc;
  } catch (const std::exception& e) {
    trace_printf(4, 8, "[%s]: An error occured during restore: %s\n", kTag, e.what());
    return -1;
  }
}

bool removeRestoreDirectory() { return restoreSource != restoreDirectory() || deleteDirectory(restoreDirectory()); }

int JS_RestoreFromFile(std::istream& stream, StoreImage& image, bool& whole) {
  constexpr const char* kTag = "JS_RestoreFromFile";
  try {
    trace_printf(4, 8, "[%s]: ___ JS_RestoreFromFile Enter", kTag);
    bool end = false;
    while (!end && JS_RestoreObjectFromFile(stream, image, end) == 0) {
    }
    whole = end;
    trace_printf(4, 8, "[%s]: ___ JQLEGACY_RestoreObjectFromFile: No Data present \n", kTag);
    trace_printf(4, 8, "[%s]: ___ JS_RestoreFromFile: No Data present \n", kTag);
    return 0;
  } catch (const std::exception& e) {
    trace_printf(4, 8, "[%s]: ___ JS_RestoreFromFile: An error occurred during restore: %s\n", kTag, e.what());
    return -1;
  }
}

int JS_RestoreObjectFromFile(std::istream& stream, StoreImage& image, bool& end) {
  constexpr const char* kTag = "JS_RestoreObjectFromFile";
  trace_printf(4, 8, "[%s]: ___ JS_RestoreObjectFromFile Enter", kTag);
  BackupObject object;
  ReadStop stop;
  const ObjectRead read = readBackupObjectInto(stream, image, object, stop);
  if (read == ObjectRead::End) {
    trace_printf(4, 8, "[%s]: End of file reached\n", kTag);
    end = true;
    return 0;
  }
  if (stop.field != "header") logBackupHeader(kTag, object.header);
  if (read == ObjectRead::Damaged) {
    // A header cut short at the very end is where a file simply ends.
    end = logBackupStop(kTag, object, stop) == 0;
    return end ? 0 : -1;
  }
  if (std::holds_alternative<std::monostate>(object.record))
    trace_printf(4, 8, "[%s]: Entering createTaskObjectInDBus\n", kTag);
  return 0;
}

void RestoredListing::list() {
  if (!jobs.empty()) {
    appendToJobList(jobs, "createJobObjectInDBus", false);
    Jobservicemain& main = mainObject();
    main.numJobsInStore(static_cast<uint16_t>(main.numJobsInStore() + jobs.size()), false);
  }
  if (!queues.empty()) appendToQueueList(queues, "createQueueObjectInDBus", false);
  jobs.clear();
  queues.clear();
}

Publication publishJobObject(const JobInfoRecord& stored, RestoredListing& listing) {
  constexpr const char* kTag = "createJobObjectInDBus";
  const JobInfoRecord job = withValidTexts(stored);
  try {
    trace_printf(4, 8, "[%s]: Entering createJobObjectInDBus\n", kTag);
    trace_printf(4, 8, "[%s]: Creating Job Object for jobID: %s\n", kTag, job.jsJobID.c_str());
    if (auto publication = publicationOf(kTag, kJobObjectPathPrefix, job.jsJobID, JobRegistry::instance().jobs);
        publication != Publication::Published)
      return publication;
    auto object = createJob<Jobservicejobinfo>("Jobservicejobinfo", kJobObjectPathPrefix, job.jsJobID);
    object->setAllProperties(jsInitJobInfoRestore(job));
    trace_printf(4, 8, "[%s]: successfully created & initialized job object", kTag);
    object->announce();
    addJobserviceinfo(job.jsJobID, std::move(object));
    listing.jobs.push_back(job.jsJobID);
    return Publication::Published;
  } catch (const std::exception& e) {
    trace_printf(1, 8, "[%s]: ___ createJobObjectInDBus: Exception occurred: %s\n", kTag, e.what());
    return Publication::Unpublished;
  }
}

Publication publishQueueObject(const JobQueueRecord& stored, RestoredListing& listing) {
  constexpr const char* kTag = "createQueueObjectInDBus";
  const JobQueueRecord queue = withValidTexts(stored);
  try {
    trace_printf(4, 8, "[%s]: Entering createQueueObjectInDBus\n", kTag);
    trace_printf(4, 8, "[%s]: Creating Queue Object for queueID: %s\n", kTag, queue.jsQueueID.c_str());
    if (auto publication =
            publicationOf(kTag, kRestoredQueueObjectPathPrefix, queue.jsQueueID, JobRegistry::instance().queues);
        publication != Publication::Published)
      return publication;
    auto object = createJob<Jobservicescheduleinfo>("Jobservicescheduleinfo", kRestoredQueueObjectPathPrefix,
                                                    queue.jsQueueID, Jobservicescheduleinfo::Announce::Later);
    object->setAllProperties(jsInitQueueInfoRestore(queue));
    trace_printf(4, 8, "[%s]: successfully created & initialized queue object", kTag);
    object->announce();
    addJobserviceschdinfo(queue.jsQueueID, std::move(object));
    listing.queues.push_back(queue.jsQueueID);
    return Publication::Published;
  } catch (const std::exception& e) {
    trace_printf(1, 8, "[%s]: ___ createQueueObjectInDBus: Exception occurred: %s\n", kTag, e.what());
    return Publication::Unpublished;
  }
}

// One object published on its own: its own bus hold, its list entry appended at once.
template <typename Record>
Publication publishAlone(const Record& record, Publication (*publish)(const Record&, RestoredListing&)) {
  bus::Access busAccess;
  RestoredListing listing;
  const Publication publication = publish(record, listing);
  listing.list();
  return publication;
}

Publication createJobObjectInDBus(const JobInfoRecord& job) { return publishAlone(job, publishJobObject); }

Publication createQueueObjectInDBus(const JobQueueRecord& queue) { return publishAlone(queue, publishQueueObject); }

void JSPostRestore(const std::function<bool()>& stopRequested) {
  constexpr const char* kTag = "JSPostRestore";
  trace_printf(4, 8, "Entering JSPostRestore");
  std::vector<std::string> jobIDs;
  if (fetchJobInfoObjects(jobIDs) != 0) {
    trace_printf(4, 8, "[%s]: PostRestore: No Info Objects -> Exit", kTag);
    return;
  }
  const std::string tool = paths::resolve(paths::kPostRestoreTool);
  for (const auto& id : jobIDs) {
    if (stopRequested()) {
      trace_printf(2, 8, "[%s]: stopping: the remaining post-restore tools are not run", kTag);
      return;
    }
    JobInfoRecord job;
    if (fetchJobInfoProperties(id, job) != 0) {
      trace_printf(4, 8, "[%s]: Error fetching job info properties", kTag);
      continue;
    }
    logJobIdentity(kTag, job);
    if (job.jobState != 3) {
      trace_printf(4, 8, "[%s]: Job State: %d Not running skip", kTag, static_cast<int>(job.jobState));
      continue;
    }
    std::string jobType = std::to_string(job.jobType);
    std::string environment = "JID=" + job.jsJobID.substr(0, 32);
    char* argv[] = {const_cast<char*>(tool.c_str()), jobType.data(), nullptr};
    char* envp[] = {environment.data(), nullptr};
    if (int rc = utl_execve(nullptr, nullptr, nullptr, argv, envp); rc != 0)
      trace_printf(4, 8, "[%s]: postrestorectl execution failed %d", kTag, rc);
  }
}

}  // namespace velmer
