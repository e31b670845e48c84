// The process-wide registry of job and queue objects, and the ways every subsystem
// finds and reads them.
//
// Lock order: the bus lock, then the registry's recursive mutex (a registry operation
// may call another while holding it), then leaf locks. Destroying an object removes it
// from the bus, so whoever erases from the maps must hold the bus lock too.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "jobs/job_object.hpp"
#include "queues/queue_object.hpp"
#include "queues/queue_record.hpp"
#include "service/service_status.hpp"

namespace velmer {

class JobRegistry {
 public:
  static JobRegistry& instance();  // built on first use

  std::recursive_mutex mutex;
  std::map<std::string, std::unique_ptr<Jobservicejobinfo>> jobs;
  std::map<std::string, std::unique_ptr<Jobservicescheduleinfo>> queues;
  std::map<std::string, std::unique_ptr<Serviceinfo>> statusObjects;  // no job or queue operation uses it

  // What creation asks of every job, kept in step with each registered job's jsJobID,
  // jobType and jobState (whoever changes them: a handler, restore, or a client through
  // Properties.Set or setAllProperties), so that its checks read no job record.
  struct IndexedJob {
    std::string jsJobID;
    bool runningSystemErase = false;
  };
  std::unordered_map<const Jobservicejobinfo*, IndexedJob> indexedJobs;
  std::unordered_map<std::string, size_t> jobIDsInUse;  // jsJobID -> jobs carrying it
  size_t runningSystemErases = 0;

 private:
  JobRegistry() = default;
};

// Stores `job` under `jobID`, taking ownership; an object stored under that ID before
// is destroyed (and so leaves the bus).
void addJobserviceinfo(const std::string& jobID, std::unique_ptr<Jobservicejobinfo> job);
void addJobserviceschdinfo(const std::string& queueID, std::unique_ptr<Jobservicescheduleinfo> queue);

// Brings the registry's index up to date with `job`'s jsJobID, jobType and jobState;
// nothing for a job that is not registered. Called after every change of those.
void reindexJob(const Jobservicejobinfo& job);

// Whether a registered job carries `jobID` as its jsJobID.
bool jsJobIDInUse(const std::string& jobID);

// Whether a registered system-erase job (type 200) is scheduling or running (state 1 or 3).
bool systemEraseJobRunning();

// Take an object out of the registry. The caller destroys it after the registry mutex
// is released: a destructor enters the binding library's own lock, which request
// dispatch holds while it takes the registry mutex.
std::unique_ptr<Jobservicejobinfo> takeJobserviceinfo(const std::string& jobID);
std::unique_ptr<Jobservicescheduleinfo> takeJobserviceschdinfo(const std::string& queueID);

// The object registered under the ID, or null (logged at level 1). Callers that read
// the object without the bus lock hold the registry mutex while they do. Callers that
// change it hold the bus lock, which keeps it alive (objects are destroyed only under the
// bus lock), and not the registry mutex: a change signals, and the bus library's lock
// comes before the registry mutex (the loop holds it while it dispatches). Throws
// std::runtime_error when the lookup itself fails.
Jobservicejobinfo* getJobserviceinfoObject(const std::string& jobID);
Jobservicescheduleinfo* getJobserviceschdinfosObject(const std::string& queueID);

// The keys of every registered job, in key order: what the store holds, whatever the
// main object's client-writable lists say.
std::vector<std::string> registeredJobIDs();

// The job IDs of the main object's job list: 0, or 37 when the list or its count is empty.
uint16_t fetchJobInfoObjects(std::vector<std::string>& jobIDs);

// Calls `visitor(jobID, job)` for each job of the main object's job list, in list order,
// without copying records; `job` is null for an ID that has no object. The visitor runs
// under the registry mutex and the job's values lock: it only reads. Stops when the
// visitor returns false. Returns false when the job list could not be read.
bool forEachJob(const std::function<bool(const std::string& jobID, const JobInfoRecord* job)>& visitor);

// A consistent copy of one job's properties: 0, 1 when no such job, 37 on a failure.
uint16_t fetchJobInfoProperties(const std::string& jobID, JobInfoRecord& record);

// Logs a job's ID, name and type, one line each, under `tag` (the scans over all jobs do).
void logJobIdentity(const char* tag, const JobInfoRecord& job);

// Hands the job's current properties to the shared job cache; `tag` names the caller
// in the log. Nothing happens for a job that does not exist.
void addJobToCache(const char* tag, const std::string& jobID);

// The queue IDs of the main object's queue list, with their count: 0, or 37 when empty.
uint16_t fetchQueueInfoObjects(std::vector<std::string>& queueIDs, uint16_t& count);

// A consistent copy of one queue's properties: 0, or 37 when missing or on a failure.
uint16_t fetchQueueInfoProperties(const std::string& queueID, JobQueueRecord& record);

}  // namespace velmer
