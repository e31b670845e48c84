#include "persistence/auto_delete.hpp"

#include <algorithm>
#include <cinttypes>
#include <vector>

#include "persistence/backup_thread.hpp"
#include "bus/bus.hpp"
#include "clock.hpp"
#include "jobs/job_registry.hpp"
#include "jobcache.h"
#include "persistence/key_value_store.hpp"
#include "service/service_main.hpp"
#include "trace.h"

namespace velmer {

bool isJobAutoDeleteCapacityReached() {
  constexpr const char* kTag = "isJobAutoDeleteCapacityReached";
  try {
    trace_printf(4, 8, "[%s]: Entry ", kTag);
    trace_printf(4, 8, "[%s]: Entry ", kTag);
    uint16_t numJobs = mainObject().numJobsInStore();
    uint16_t capacity = mainObject().autoDeleteCapacity();
    if (numJobs < capacity) {
      trace_printf(4, 8, "[%s]: Auto delete capacity not reached. numJobsInStore = %u < autoDeleteCapacity = %u\n",
                   kTag, numJobs, capacity);
      return false;
    }
    trace_printf(4, 8, "[%s]: Auto delete capacity reached. numJobsInStore = %u > autoDeleteCapacity = %u\n", kTag,
                 numJobs, capacity);
    return true;
  } catch (const std::exception&) {
    trace_printf(4, 8, "[%s]: EXCEPTION  in job service not ready \n", kTag);
    return false;
  }
}

void initiateAutoDeletePolicy() {
  constexpr const char* kTag = "initiateAutoDeletePolicy";
  try {
    trace_printf(4, 8, "[%s]: Entry trigger write to buffer\n", kTag);
    if (jsWriteToBuffer("AutoDeletePolicy", AutoDelete))
      trace_printf(4, 8, "[%s]: Auto delete policy initiated successfully\n", kTag);
    else
      trace_printf(4, 8, "[%s]: Auto delete policy initiation failed\n", kTag);
    trace_printf(4, 8, "[%s]: Exit ", kTag);
  } catch (const std::exception&) {
    trace_printf(4, 8, "[%s]: EXCEPTION  in job service not ready \n", kTag);
  }
}

uint32_t isBackupSpaceAvailable() {
  constexpr const char* kTag = "isBackupSpaceAvailable";
  try {
    trace_printf(4, 8, "[%s]: Entry ", kTag);
    trace_printf(4, 8, "[%s]: Entry ", kTag);
    uint16_t numJobs = mainObject().numJobsInStore();
    if (numJobs > kBackupJobCapacity) {
      trace_printf(4, 8, "[%s]: backup capacity reached. numJobsInStore = %u\n", kTag, numJobs);
      return 37;
    }
    trace_printf(4, 8, "[%s]: backup capacity not reached. numJobsInStore = %u\n", kTag, numJobs);
    return 0;
  } catch (const std::exception&) {
    trace_printf(4, 8, "[%s]: EXCEPTION  in job service not ready \n", kTag);
    return 37;
  }
}

bool JSIsAutoDeletionEnabled(uint8_t operation, const JobInfoRecord& job, uint32_t timeout) {
  constexpr const char* kTag = "JSIsAutoDeletionEnabled";
  trace_printf(4, 8, "[%s]: Entering JSIsAutoDeletionEnabled\n", kTag);
  switch (operation) {
    case AutoDelete: {
      if (job.jobState != 4) return false;
      const auto now = static_cast<uint32_t>(currentTimeSeconds());
      trace_printf(4, 8,
                   "[%s]: ___ IsJobReadyForDeletion: JobID=[%s] ::curTime = %u compTime = %" PRId64 ", timeout = %u\n",
                   kTag, job.jsJobID.c_str(), now, job.completionTime, timeout);
      if (static_cast<int64_t>(now) - job.completionTime < static_cast<int64_t>(timeout)) return false;
      trace_printf(4, 8, "[%s]: ___ IsJobReadyForDeletion: JobID=[%s] ::timeout expired\n", kTag,
                   job.jsJobID.c_str());
      return true;
    }
    case ClearAll:
      if ((job.flags & kJobFlagDeleted) == 0) return false;
      trace_printf(4, 8, "[%s]: ___ IsJobReadyForDeletion: JobID=[%s] :: deleteflag is set\n", kTag,
                   job.jsJobID.c_str());
      return true;
    default:
      trace_printf(4, 8, "[%s]: ___ IsJobReadyForDeletion: invalid command\n", kTag);
      return false;
  }
}

void JSProcessDeletionCommands(uint8_t operation) {
  constexpr const char* kTag = "JSProcessDeletionCommands";
  trace_printf(4, 8, "[%s]: Entering JSProcessDeletionCommands\n", kTag);
  uint32_t timeout = 0;
  if (operation == AutoDelete) {
    timeout = mainObject().autoDeleteTimeout();
    trace_printf(4, 8, "[%s]: timeout: %u", "JSGetAutoDeletionTimeout", timeout);
    trace_printf(4, 8, "[%s]: timeout: %u", kTag, timeout);
  }
  // Every registered job is looked at, whatever the main object's client-writable job
  // list says.
  const std::vector<std::string> jobIDs = registeredJobIDs();
  if (jobIDs.empty()) {
    trace_printf(4, 8, "[%s]: Failed to fetch Job IDs\n", kTag);
  } else {
    for (const auto& id : jobIDs) {
      JobInfoRecord job;
      if (fetchJobInfoProperties(id, job) != 0) {
        trace_printf(4, 8, "[%s]: Failed to fetch properties of Job ID: %s, not exists\n", kTag, id.c_str());
        continue;
      }
      trace_printf(4, 8, "[%s]: Job ID to be deleted: %s\n", kTag, job.jsJobID.c_str());
      if (!JSIsAutoDeletionEnabled(operation, job, timeout)) continue;
      trace_printf(4, 8, "[%s]: Job ID to be deleted: %s\n", kTag, job.jsJobID.c_str());
      if (remove_job_from_cache(id.c_str()) == 0)
        trace_printf(4, 8, "[%s]: JS_InvokeDeleteJob: cache update delete job happened\n", kTag);
      CleanupDBusObject(id);
    }
  }
  trace_printf(4, 8, "[%s]: Exiting JSProcessDeletionCommands\n", kTag);
}

namespace {

// What an object ID names: a job or queue registered under it, else one whose ID the
// main object lists. Never decided by the ID's text: a job of type 0 has a "QID_" ID.
enum class ObjectKind { None, Job, Queue };

ObjectKind classifyObjectID(const std::string& objectID) {
  {
    auto& registry = JobRegistry::instance();
    std::lock_guard lock(registry.mutex);
    if (registry.jobs.contains(objectID)) return ObjectKind::Job;
    if (registry.queues.contains(objectID)) return ObjectKind::Queue;
  }
  // An entry of a list without its object (left by a failed restore) still goes.
  auto listed = [&](std::vector<std::string> MainRecord::*list) {
    return mainObject().visit([&](const MainRecord& main) { return std::ranges::count(main.*list, objectID) != 0; });
  };
  if (listed(&MainRecord::jobInfoObjList)) return ObjectKind::Job;
  if (listed(&MainRecord::jobQueueObjList)) return ObjectKind::Queue;
  return ObjectKind::None;
}

constexpr const char* kCleanupTag = "CleanupDBusObject";

// `list` without the entries equal to `id`, each comparison logged.
std::vector<std::string> withoutEntry(std::vector<std::string> list, const std::string& id) {
  std::erase_if(list, [&](const std::string& entry) {
    trace_printf(4, 8, "[%s]: str = %s, job = %s", "operator()", entry.c_str(), id.c_str());
    return entry == id;
  });
  return list;
}

// The bus part of a job's removal: the object leaves the bus, the main object's list
// and counts follow. Holds the bus lock throughout, the registry mutex while erasing.
void withdrawJob(const std::string& id) {
  bus::Access busAccess;
  takeJobserviceinfo(id).reset();  // leaves the bus (InterfacesRemoved)
  trace_printf(4, 8, "[%s]: job delete successfully with jobID: %s", kCleanupTag, id.c_str());
  trace_printf(4, 8, "[%s]: Remove the job from main service job list & update count", kCleanupTag);
  Jobservicemain& main = mainObject();
  main.jobInfoObjList(withoutEntry(main.jobInfoObjList(), id));
  uint16_t jobCount = main.jobInfoObjCount();
  trace_printf(4, 8, "[%s]: jobCount = %d", kCleanupTag, jobCount);
  if (jobCount != 0) main.jobInfoObjCount(static_cast<uint16_t>(jobCount - 1));
  trace_printf(4, 8, "[%s]:  UpdateJobCount\n", "UpdateJobCount");
  // Guarded against 0 like the other counts: a job restored without being counted
  // must not wrap the store count round to 65535.
  uint16_t numJobs = main.numJobsInStore();
  if (numJobs != 0) main.numJobsInStore(static_cast<uint16_t>(numJobs - 1));
  trace_printf(4, 8, "[%s]: job count: updated %d", "UpdateJobCount", main.numJobsInStore());
}

void removeJob(const std::string& id) {
  trace_printf(4, 8, "[%s]: Request received to remove Job Info\n", kCleanupTag);
  withdrawJob(id);
  markBackupStale();  // one rewrite after the batch stands for all its removals
  uint32_t rc = 0;
  {
    bus::Access busAccess;  // blobKeyValue is a bus property
    rc = jsRemoveJobFromBlobKeyValue(id);
  }
  if (rc == 0)
    trace_printf(4, 8, "[%s]: Job ID %s removed successfully\n", kCleanupTag, id.c_str());
  else
    trace_printf(2, 8, "[%s]: Failed to remove Job ID %s\n", kCleanupTag, id.c_str());
}

// Returns whether the queue count was lowered (and so the backup files need rewriting).
bool withdrawQueue(const std::string& id) {
  bus::Access busAccess;
  // A queue may be deleted twice before this thread gets to it (its client's request
  // and the check of its last job): only the first removal lowers the count.
  if (takeJobserviceschdinfo(id) == nullptr) {
    trace_printf(4, 8, "[%s]: queue %s is already gone", kCleanupTag, id.c_str());
    return false;
  }
  // The object has left the bus (InterfacesRemoved) with the pointer taken above.
  trace_printf(4, 8, "[%s]: queue delete successfully with queueID: %s", kCleanupTag, id.c_str());
  trace_printf(4, 8, "[%s]: Remove the queue from main service queue list & update count", kCleanupTag);
  Jobservicemain& main = mainObject();
  main.jobQueueObjList(withoutEntry(main.jobQueueObjList(), id), false);
  uint16_t queueCount = main.jobQueueObjCount();
  trace_printf(4, 8, "[%s]: queueCount = %d", kCleanupTag, queueCount);
  if (queueCount == 0) return false;
  main.jobQueueObjCount(static_cast<uint16_t>(queueCount - 1));
  return true;
}

void removeQueue(const std::string& id) {
  trace_printf(4, 8, "[%s]: Request received to remove Queue Info object \n", kCleanupTag);
  if (withdrawQueue(id)) markBackupStale();
}

}  // namespace

void CleanupDBusObject(const std::string& objectID) {
  try {
    trace_printf(4, 8, "[%s]: Entering CleanupDBusObject\n", kCleanupTag);
    switch (classifyObjectID(objectID)) {
      case ObjectKind::Job:
        removeJob(objectID);
        break;
      case ObjectKind::Queue:
        removeQueue(objectID);
        break;
      case ObjectKind::None:
        break;
    }
    trace_printf(4, 8, "[%s]: Exiting CleanupDBusObject\n", kCleanupTag);
  } catch (const std::exception& e) {
    trace_printf(4, 8, "[%s]: An error occured during cleanup: %s\n", kCleanupTag, e.what());
  }
}

}  // namespace velmer
