#include "jobs/job_registry.hpp"

#include <cinttypes>
#include <stdexcept>

#include "jobcache.h"
#include "service/service_main.hpp"
#include "trace.h"

namespace velmer {

JobRegistry& JobRegistry::instance() {
  static JobRegistry registry;
  return registry;
}

namespace {

constexpr uint32_t kSystemEraseJobType = 200;

// Index maintenance; the caller holds the registry mutex.
void unindex(const Jobservicejobinfo* job) {
  auto& registry = JobRegistry::instance();
  auto entry = registry.indexedJobs.find(job);
  if (entry == registry.indexedJobs.end()) return;
  auto id = registry.jobIDsInUse.find(entry->second.jsJobID);
  if (id != registry.jobIDsInUse.end() && --id->second == 0) registry.jobIDsInUse.erase(id);
  if (entry->second.runningSystemErase) --registry.runningSystemErases;
  registry.indexedJobs.erase(entry);
}

void index(const Jobservicejobinfo* job) {
  auto& registry = JobRegistry::instance();
  JobRegistry::IndexedJob entry = job->visit([](const JobInfoRecord& record) {
    return JobRegistry::IndexedJob{record.jsJobID, record.jobType == kSystemEraseJobType &&
                                                       (record.jobState == 1 || record.jobState == 3)};
  });
  ++registry.jobIDsInUse[entry.jsJobID];
  if (entry.runningSystemErase) ++registry.runningSystemErases;
  registry.indexedJobs.emplace(job, std::move(entry));
}

void indexObject(const Jobservicejobinfo* job) { index(job); }
void indexObject(const Jobservicescheduleinfo*) {}
void unindexObject(const Jobservicejobinfo* job) { unindex(job); }
void unindexObject(const Jobservicescheduleinfo*) {}

// Stores `object` under `id`; the object it replaces is handed back to be destroyed
// outside the registry mutex.
template <class Map>
typename Map::mapped_type storeObject(Map& map, const std::string& id, typename Map::mapped_type object,
                                      const char* tag) {
  std::lock_guard lock(JobRegistry::instance().mutex);
  trace_printf(4, 8, "[%s : %d]: uniqueJobID  = %s  \n", tag, 535, id.c_str());
  if (object) indexObject(object.get());
  std::swap(map[id], object);
  if (object) unindexObject(object.get());
  return object;
}

template <class Map>
typename Map::mapped_type takeObject(Map& map, const std::string& id) {
  std::lock_guard lock(JobRegistry::instance().mutex);
  auto node = map.extract(id);
  if (node.empty()) return nullptr;
  if (node.mapped()) unindexObject(node.mapped().get());
  return std::move(node.mapped());
}

}  // namespace

void reindexJob(const Jobservicejobinfo& job) {
  auto& registry = JobRegistry::instance();
  std::lock_guard lock(registry.mutex);
  if (!registry.indexedJobs.contains(&job)) return;
  unindex(&job);
  index(&job);
}

bool jsJobIDInUse(const std::string& jobID) {
  auto& registry = JobRegistry::instance();
  std::lock_guard lock(registry.mutex);
  return registry.jobIDsInUse.contains(jobID);
}

bool systemEraseJobRunning() {
  auto& registry = JobRegistry::instance();
  std::lock_guard lock(registry.mutex);
  return registry.runningSystemErases != 0;
}

void addJobserviceinfo(const std::string& jobID, std::unique_ptr<Jobservicejobinfo> job) {
  storeObject(JobRegistry::instance().jobs, jobID, std::move(job), "addJobserviceinfo");
}

void addJobserviceschdinfo(const std::string& queueID, std::unique_ptr<Jobservicescheduleinfo> queue) {
  storeObject(JobRegistry::instance().queues, queueID, std::move(queue), "addJobserviceschdinfo");
}

std::unique_ptr<Jobservicejobinfo> takeJobserviceinfo(const std::string& jobID) {
  return takeObject(JobRegistry::instance().jobs, jobID);
}

std::unique_ptr<Jobservicescheduleinfo> takeJobserviceschdinfo(const std::string& queueID) {
  return takeObject(JobRegistry::instance().queues, queueID);
}

namespace {

// Registry lookup shared by jobs and queues; `foundFormat` and `missingFormat` are the
// lines each kind logs.
template <class Map>
typename Map::mapped_type::pointer findObject(Map& map, const std::string& id, const char* tag,
                                              const char* foundFormat, const char* missingFormat) {
  try {
    std::lock_guard lock(JobRegistry::instance().mutex);
    auto it = map.find(id);
    if (it == map.end() || !it->second) {
      trace_printf(1, 8, missingFormat, tag);
      return nullptr;
    }
    trace_printf(4, 8, foundFormat, tag, id.c_str());
    return it->second.get();
  } catch (const std::exception& e) {
    trace_printf(1, 8, "[%s]: Exception: [%s]\n", tag, e.what());
    throw std::runtime_error(std::string(tag) + " failed");
  }
}

}  // namespace

Jobservicejobinfo* getJobserviceinfoObject(const std::string& jobID) {
  return findObject(JobRegistry::instance().jobs, jobID, "getJobserviceinfoObject",
                    "[%s]: uniqueJobID = %s found in the map\n", "[%s]: No info found for uniqueJobID\n");
}

Jobservicescheduleinfo* getJobserviceschdinfosObject(const std::string& queueID) {
  return findObject(JobRegistry::instance().queues, queueID, "getJobserviceschdinfosObject",
                    "[%s]: uniqueQueueID  = %s found \n", "[%s]: No info found for uniqueQueueID\n");
}

std::vector<std::string> registeredJobIDs() {
  auto& registry = JobRegistry::instance();
  std::lock_guard lock(registry.mutex);
  std::vector<std::string> ids;
  ids.reserve(registry.jobs.size());
  for (const auto& [id, job] : registry.jobs) ids.push_back(id);
  return ids;
}

uint16_t fetchJobInfoObjects(std::vector<std::string>& jobIDs) {
  constexpr const char* kTag = "fetchJobInfoObjects";
  uint16_t count = mainObject().get(&MainRecord::jobInfoObjCount);
  std::vector<std::string> list = mainObject().get(&MainRecord::jobInfoObjList);
  if (count == 0) {
    trace_printf(1, 8, "[%s]: number of Jobs count in jobInfoObjList is 0", kTag);
    return 37;
  }
  if (list.empty()) {
    trace_printf(1, 8, "[%s]: number of getJobInfoObjList count is empty", kTag);
    return 37;
  }
  jobIDs = std::move(list);
  trace_printf(4, 8, "[%s]: number of Jobs in jobInfoObjList: %d", kTag, static_cast<int>(count));
  return 0;
}

bool forEachJob(const std::function<bool(const std::string& jobID, const JobInfoRecord* job)>& visitor) {
  std::vector<std::string> jobIDs;
  if (fetchJobInfoObjects(jobIDs) != 0) return false;
  auto& registry = JobRegistry::instance();
  std::lock_guard lock(registry.mutex);
  for (const auto& id : jobIDs) {
    auto it = registry.jobs.find(id);
    bool goOn = it == registry.jobs.end() || !it->second
                    ? visitor(id, nullptr)
                    : it->second->visit([&](const JobInfoRecord& job) { return visitor(id, &job); });
    if (!goOn) break;
  }
  return true;
}

namespace {
void logJobRecord(const char* tag, const JobInfoRecord& r) {
  // One line per field, on every read of a job: detail (level 5), not the normal trace.
  if (trace_get_threshold() < 5) return;
  trace_printf(5, 8, "[%s]: Start time: %" PRId64 "", tag, r.startTime);
  trace_printf(5, 8, "[%s]: Until time: %" PRId64 "", tag, r.untilTime);
  trace_printf(5, 8, "[%s]: Completion time: %" PRId64 "", tag, r.completionTime);
  trace_printf(5, 8, "[%s]: Process ID: %u", tag, r.processID);
  trace_printf(5, 8, "[%s]: Running timeout seconds: %u", tag, r.runningTimeoutSeconds);
  trace_printf(5, 8, "[%s]: Job name: %s", tag, r.jobName.c_str());
  trace_printf(5, 8, "[%s]: Message: %s", tag, r.message.c_str());
  trace_printf(5, 8, "[%s]: Message args: %s", tag, r.messageArgs.c_str());
  trace_printf(5, 8, "[%s]: Queue ID: %s", tag, r.queueID.c_str());
  trace_printf(5, 8, "[%s]: Job status: %s", tag, r.jobStatus.c_str());
  trace_printf(5, 8, "[%s]: Message ID: %s", tag, r.messageID.c_str());
  trace_printf(5, 8, "[%s]: Job ID: %s", tag, r.jsJobID.c_str());
  trace_printf(5, 8, "[%s]: Flags: %u", tag, r.flags);
  trace_printf(5, 8, "[%s]: Job type: %u", tag, r.jobType);
  trace_printf(5, 8, "[%s]: Job state: %u", tag, r.jobState);
  trace_printf(5, 8, "[%s]: Percent complete: %u", tag, r.percentComplete);
  trace_printf(5, 8, "[%s]: Latest update time: %" PRId64 "", tag, r.latestUpdateTime);
  trace_printf(5, 8, "[%s]: Creation time: %" PRId64 "", tag, r.creationTime);
  trace_printf(5, 8, "[%s]: Job state for interface: %u", tag, r.jobStateForInterface);
  trace_printf(5, 8, "[%s]: Reserved0: %u", tag, r.reserved0);
  trace_printf(5, 8, "[%s]: Actual running start time: %" PRId64 "", tag, r.actualRunningStartTime);
  trace_printf(5, 8, "[%s]: Actual running stop time: %" PRId64 "", tag, r.actualRunningStopTime);
}
}  // namespace

uint16_t fetchJobInfoProperties(const std::string& jobID, JobInfoRecord& record) {
  constexpr const char* kTag = "fetchJobInfoProperties";
  try {
    std::lock_guard lock(JobRegistry::instance().mutex);
    Jobservicejobinfo* job = getJobserviceinfoObject(jobID);
    if (job == nullptr) {
      trace_printf(2, 8, "[%s]: Failed to get service info object for job ID: %s", kTag, jobID.c_str());
      return 1;
    }
    record = job->snapshot();
    logJobRecord(kTag, record);
    return 0;
  } catch (const std::runtime_error& e) {
    trace_printf(2, 8, "[%s]: Error fetching job info properties: Runtime error %s", kTag, e.what());
    return 37;
  } catch (const std::exception& e) {
    trace_printf(4, 8, "[%s]: Exception: [%s]\n", kTag, e.what());
    return 37;
  }
}

void logJobIdentity(const char* tag, const JobInfoRecord& job) {
  trace_printf(4, 8, "[%s]: Job ID: %s", tag, job.jsJobID.c_str());
  trace_printf(4, 8, "[%s]: Job Name: %s", tag, job.jobName.c_str());
  trace_printf(4, 8, "[%s]: Job Type: %d", tag, static_cast<int>(job.jobType));
}

void addJobToCache(const char* tag, const std::string& jobID) {
  JobInfoRecord job;
  if (fetchJobInfoProperties(jobID, job) != 0) return;
  trace_printf(4, 8, "[%s]: Job name: %s Exists\n", tag, job.jobName.c_str());
  JobInfoObj cacheRecord{};
  convertToJobInfoObject(job, cacheRecord);
  if (add_job_to_cache_new(&cacheRecord) == 0)
    trace_printf(4, 8, "[%s]: Job name: %s added to cache\n", tag, job.jobName.c_str());
}

uint16_t fetchQueueInfoObjects(std::vector<std::string>& queueIDs, uint16_t& count) {
  constexpr const char* kTag = "fetchQueueInfoObjects";
  uint16_t queueCount = mainObject().get(&MainRecord::jobQueueObjCount);
  std::vector<std::string> list = mainObject().get(&MainRecord::jobQueueObjList);
  if (queueCount == 0) {
    trace_printf(1, 8, "[%s]: number of Jobs count in jobInfoObjList is 0", kTag);
    return 37;
  }
  if (list.empty()) {
    trace_printf(1, 8, "[%s]: number of getJobInfoObjList count is empty", kTag);
    return 37;
  }
  std::lock_guard lock(JobRegistry::instance().mutex);
  queueIDs = std::move(list);
  count = queueCount;
  trace_printf(4, 8, "[%s]: number of queues in jobInfoObjList: %d", kTag, static_cast<int>(count));
  return 0;
}

uint16_t fetchQueueInfoProperties(const std::string& queueID, JobQueueRecord& record) {
  constexpr const char* kTag = "fetchQueueInfoProperties";
  try {
    std::lock_guard lock(JobRegistry::instance().mutex);
    Jobservicescheduleinfo* queue = getJobserviceschdinfosObject(queueID);
    if (queue == nullptr) {
      trace_printf(2, 8, "[%s]: Failed to get service info object for job ID: %s", kTag, queueID.c_str());
      return 37;
    }
    record = queue->snapshot();
    return 0;
  } catch (const std::runtime_error& e) {
    trace_printf(2, 8, "[%s]: Error fetching job info properties: Runtime error %s", kTag, e.what());
    return 37;
  } catch (const std::exception& e) {
    trace_printf(2, 8, "[%s]: Error fetching job info properties: %s", kTag, e.what());
    return 37;
  }
}

}  // namespace velmer
