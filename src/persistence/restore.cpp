#include "persistence/restore.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <systemd/sd-bus.h>

#include "persistence/atomic_file.hpp"
#include "persistence/backup_file.hpp"
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

// A new or moved directory is on flash only once its parent is synced: without it a
// power cut takes the backup directory, and every backup file synced in it, away.
void syncCreationOrMove(const char* tag, const std::string& directory) {
  if (!syncParentDirectory(directory))
    trace_printf(1, 8, "[%s]: cannot sync the directory holding [%s], errno = %d\n", tag, directory.c_str(), errno);
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
  syncCreationOrMove(tag, backupDir);
  trace_printf(4, 8, "[%s]: ___ StartRestore: Created Backup Directory\n", tag);
  return 0;
}

// A start-up cut short between moving the backup directory away and rewriting the
// backup file (the 2-second wait, or the restore itself) leaves the only copy of the
// store in the restore directory. Its files go back into the backup directory, so that
// this start restores them instead of deleting them with the restore directory.
void recoverInterruptedRestore(const char* tag) {
  if (!isRealDirectory(restoreDirectory()) || entryExists(backupFilePath()) || !entryExists(restoreFilePath())) return;
  trace_printf(2, 8, "[%s]: ___ StartRestore: the last start-up ended before its restore, recovering its files\n",
               tag);
  if (createBackupDirectory(tag) != 0) return;
  moveFilesToBackup();
  syncCreationOrMove(tag, backupFilePath());
}

// The previous run's backup directory becomes the restore directory.
void moveBackupToRestore(const char* tag) {
  const std::string backupDir = backupDirectory();
  const std::string restoreDir = restoreDirectory();
  if (entryExists(restoreDir)) {
    recoverInterruptedRestore(tag);
    trace_printf(4, 8, "[%s]: ___ StartRestore: Deleting Restore Directory\n", tag);
    // Whatever else stands there (a file, a link, even to a directory) goes as itself:
    // a link is never followed into what it points at.
    if (isRealDirectory(restoreDir))
      deleteDirectory(restoreDir);
    else
      ::unlink(restoreDir.c_str());
  }
  if (!entryExists(backupDir)) {
    trace_printf(4, 8, "[%s]: ___ StartRestore: No Data present in Backup Directory \n", tag);
    return;
  }
  if (::rename(backupDir.c_str(), restoreDir.c_str()) == 0) {
    syncCreationOrMove(tag, restoreDir);
    trace_printf(4, 8, "[%s]: ___ StartRestore: Moved Data from Backup Directory to Restore Directory\n", tag);
    removeStrayTemporaryFiles(restoreDir);  // a write cut short by a crash is never restored
    return;
  }
  // The backup directory stays where it is: the next start tries again, and this run
  // restores nothing from it (no restore file), so nothing overwrites it at start-up.
  trace_printf(1, 8, "[%s]: ___ StartRestore: Restore directory cannot be created, backup kept, [%s], errno = %d\n",
               tag, restoreDir.c_str(), errno);
}

// Objects of this start that the bus refused (restore runs once, on the backup thread).
int failedPublications = 0;

Publication countedPublication(Publication result) {
  if (result == Publication::Failed) ++failedPublications;
  return result;
}

int restoreJobsAndQueues() {
  constexpr const char* kTag = "JSRestoreJCObjects";
  trace_printf(4, 8, "[%s]:Entering JSRestoreJCObjects", kTag);
  std::ifstream stream(restoreFilePath(), std::ios::binary);
  if (!stream.is_open()) {
    trace_printf(4, 8, "[%s]:___ JSRestoreJCObjects: No objects to restore", kTag);
    return 0;
  }
  failedPublications = 0;
  int rc = JS_RestoreFromFile(stream);
  stream.close();
  if (failedPublications != 0) {
    // The store on the bus is not the store on flash: writing it would lose what the
    // bus refused. The restore file goes back to the backup directory for the next start.
    trace_printf(1, 8, "[%s]: %d restored objects could not be published, the backup file is kept\n", kTag,
                 failedPublications);
    return -1;
  }
  JS_PersistObjects();
  return rc;
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
// like any other damage. A store holds at most maxJobsInStore jobs, and as many queues
// (a queue has at least one job, a job belongs to one queue at most): objects beyond
// that are left out too, so that a damaged or foreign file never fills the store.
template <class Map>
bool isPublishable(const char* tag, const char* prefix, const std::string& id, const Map& registered) {
  if (sd_bus_object_path_is_valid((prefix + id).c_str()) <= 0) {
    trace_printf(2, 8, "[%s]: ID [%s] names no object path, left out\n", tag, id.c_str());
    return false;
  }
  const size_t limit = mainObject().maxJobsInStore();
  std::lock_guard lock(JobRegistry::instance().mutex);
  if (registered.contains(id)) {
    trace_printf(2, 8, "[%s]: ID [%s] is restored already, left out\n", tag, id.c_str());
    return false;
  }
  if (registered.size() >= limit) {
    trace_printf(2, 8, "[%s]: the store holds %zu already, its limit: %s left out\n", tag, limit, id.c_str());
    return false;
  }
  return true;
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
    return createBackupDirectory(kTag);
  } catch (const std::exception& e) {
    trace_printf(4, 8, "[%s]: ___ StartRestore: An error occurred during restore: %s\n", kTag, e.what());
    return -1;
  }
}

int JSRestore() {
  constexpr const char* kTag = "JSRestore";
  try {
    trace_printf(4, 8, "[%s]: Entering RestoreJSObjects\n", kTag);
    int rc = restoreJobsAndQueues();
    if (rc != 0) {
      trace_printf(4, 8, "[%s]: ___ RestoreJSObjects: Restore Job objects failed\n", kTag);
      moveFilesToBackup();
      syncCreationOrMove(kTag, backupFilePath());
    } else {
      trace_printf(4, 8, "[%s]: ___ RestoreJSObjects: Restore Job objects complete\n", kTag);
    }
    deleteDirectory(restoreDirectory());
    return rc;
  } catch (const std::exception& e) {
    trace_printf(4, 8, "[%s]: An error occured during restore: %s\n", kTag, e.what());
    return -1;
  }
}

int JS_RestoreFromFile(std::istream& stream) {
  constexpr const char* kTag = "JS_RestoreFromFile";
  try {
    trace_printf(4, 8, "[%s]: ___ JS_RestoreFromFile Enter", kTag);
    while (stream.peek() != std::char_traits<char>::eof()) {
      if (JS_RestoreObjectFromFile(stream) != 0) break;
    }
    if (!stream.good() && !stream.eof()) stream.clear();
    trace_printf(4, 8, "[%s]: ___ JQLEGACY_RestoreObjectFromFile: No Data present \n", kTag);
    trace_printf(4, 8, "[%s]: ___ JS_RestoreFromFile: No Data present \n", kTag);
    return 0;
  } catch (const std::exception& e) {
    trace_printf(4, 8, "[%s]: ___ JS_RestoreFromFile: An error occurred during restore: %s\n", kTag, e.what());
    return -1;
  }
}

int JS_RestoreObjectFromFile(std::istream& stream) {
  constexpr const char* kTag = "JS_RestoreObjectFromFile";
  try {
    trace_printf(4, 8, "[%s]: ___ JS_RestoreObjectFromFile Enter", kTag);
    BackupObject object;
    ReadStop stop;
    const ObjectRead read = readBackupObject(stream, object, stop);
    if (read == ObjectRead::End) {
      trace_printf(4, 8, "[%s]: End of file reached\n", kTag);
      return 0;
    }
    if (stop.field != "header") logBackupHeader(kTag, object.header);
    if (read == ObjectRead::Damaged) return logBackupStop(kTag, object, stop);
    if (const auto* job = std::get_if<JobInfoRecord>(&object.record))
      createJobObjectInDBus(*job);
    else if (const auto* queue = std::get_if<JobQueueRecord>(&object.record))
      createQueueObjectInDBus(*queue);
    else
      trace_printf(4, 8, "[%s]: Entering createTaskObjectInDBus\n", kTag);
    return 0;
  } catch (const std::exception& e) {
    trace_printf(4, 8, "[%s]: Unexpected exception: %s\n", kTag, e.what());
    return -1;
  }
}

Publication createJobObjectInDBus(const JobInfoRecord& stored) {
  constexpr const char* kTag = "createJobObjectInDBus";
  const JobInfoRecord job = withValidTexts(stored);
  bus::Access busAccess;
  try {
    trace_printf(4, 8, "[%s]: Entering createJobObjectInDBus\n", kTag);
    trace_printf(4, 8, "[%s]: Creating Job Object for jobID: %s\n", kTag, job.jsJobID.c_str());
    if (!isPublishable(kTag, kJobObjectPathPrefix, job.jsJobID, JobRegistry::instance().jobs))
      return Publication::LeftOut;
    auto object = createJob<Jobservicejobinfo>("Jobservicejobinfo", kJobObjectPathPrefix, job.jsJobID);
    object->setAllProperties(jsInitJobInfoRestore(job));
    trace_printf(4, 8, "[%s]: successfully created & initialized job object", kTag);
    object->announce();
    addJobserviceinfo(job.jsJobID, std::move(object));
    appendToJobList(job.jsJobID, kTag, false);
    Jobservicemain& main = mainObject();
    main.numJobsInStore(static_cast<uint16_t>(main.numJobsInStore() + 1), false);
    return Publication::Published;
  } catch (const std::exception& e) {
    trace_printf(1, 8, "[%s]: ___ createJobObjectInDBus: Exception occurred: %s\n", kTag, e.what());
    return countedPublication(Publication::Failed);
  }
}

Publication createQueueObjectInDBus(const JobQueueRecord& stored) {
  constexpr const char* kTag = "createQueueObjectInDBus";
  const JobQueueRecord queue = withValidTexts(stored);
  bus::Access busAccess;
  try {
    trace_printf(4, 8, "[%s]: Entering createQueueObjectInDBus\n", kTag);
    trace_printf(4, 8, "[%s]: Creating Queue Object for queueID: %s\n", kTag, queue.jsQueueID.c_str());
    if (!isPublishable(kTag, kRestoredQueueObjectPathPrefix, queue.jsQueueID, JobRegistry::instance().queues))
      return Publication::LeftOut;
    auto object = createJob<Jobservicescheduleinfo>("Jobservicescheduleinfo", kRestoredQueueObjectPathPrefix,
                                                    queue.jsQueueID, Jobservicescheduleinfo::Announce::Later);
    object->setAllProperties(jsInitQueueInfoRestore(queue));
    trace_printf(4, 8, "[%s]: successfully created & initialized queue object", kTag);
    object->announce();
    addJobserviceschdinfo(queue.jsQueueID, std::move(object));
    appendToQueueList(queue.jsQueueID, kTag, false);
    return Publication::Published;
  } catch (const std::exception& e) {
    trace_printf(1, 8, "[%s]: ___ createQueueObjectInDBus: Exception occurred: %s\n", kTag, e.what());
    return countedPublication(Publication::Failed);
  }
}

void JSPostRestore() {
  constexpr const char* kTag = "JSPostRestore";
  trace_printf(4, 8, "Entering JSPostRestore");
  std::vector<std::string> jobIDs;
  if (fetchJobInfoObjects(jobIDs) != 0) {
    trace_printf(4, 8, "[%s]: PostRestore: No Info Objects -> Exit", kTag);
    return;
  }
  const std::string tool = paths::resolve(paths::kPostRestoreTool);
  for (const auto& id : jobIDs) {
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
