#include "jobcache.h"

#include "guarded.hpp"
#include "json_lines.hpp"
#include "paths.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <mutex>
#include <string>
#include <unordered_set>

namespace {

using Json = nlohmann::ordered_json;  // keeps "op" first in the journal lines
using velmer::platform::guarded;
using velmer::platform::kTraceMask;

// The controller's cache lives outside this process; the stand-in remembers only which IDs
// it holds (a queue record is 16 KiB: copies of 128 of them were a sixth of the daemon's
// memory with a full store).
struct Cache {
  std::mutex mutex;
  std::unordered_set<std::string> jobs;
  std::unordered_set<std::string> queues;
};

Cache& cache() {
  static Cache instance;
  return instance;
}

// The text of a fixed-width field, which may fill its whole width without a NUL.
template <size_t Width>
std::string fieldText(const char (&field)[Width]) {
  return std::string(field, strnlen(field, Width));
}

// Appends `entry` as one line. Callers hold the cache mutex, so the journal lists the
// changes in the order the cache saw them. The journal only shows what reached the cache:
// failing to write it is logged and does not fail the cache operation.
void journal(const Json& entry) { velmer::platform::appendJsonLine(velmer::paths::kJobCacheJournal, entry, "jobcache"); }

int refuseNull(const char* caller) {
  trace_printf(1, kTraceMask, "[%s]: null argument", caller);
  return 1;
}

// The queue's job IDs; itemCount is checked against the array before it is used.
Json queueItems(const JobQueueInfoObj& queue) {
  constexpr uint32_t capacity = std::extent_v<decltype(JobQueueInfoObj::jobQueueItem)>;
  if (queue.itemCount > capacity) {
    trace_printf(2, kTraceMask, "[add_queue_to_cache_new]: itemCount %u exceeds %u, listing %u",
                 queue.itemCount, capacity, capacity);
  }
  Json items = Json::array();
  for (uint32_t i = 0; i < std::min(queue.itemCount, capacity); ++i) {
    items.push_back(fieldText(queue.jobQueueItem[i]));
  }
  return items;
}

template <typename Entries>
int removeEntry(Entries& entries, const char* id, const char* operation, const char* caller) {
  if (id == nullptr) return refuseNull(caller);
  std::lock_guard lock(cache().mutex);
  if (entries.erase(id) == 0) trace_printf(4, kTraceMask, "[%s]: %s was not cached", caller, id);
  journal({{"op", operation}, {"id", id}});
  return 0;
}

// There is no bus reader here: the refresh is logged and journalled with the role the
// caller set, which the real library reads to decide how it attaches to the cache.
int refresh(const char* operation, const char* caller) {
  const char* role = std::getenv("JOBCACHE_ROLE");
  trace_printf(4, kTraceMask, "[%s]: refresh requested, JOBCACHE_ROLE=%s", caller, role ? role : "(unset)");
  std::lock_guard lock(cache().mutex);
  journal({{"op", operation}, {"role", role ? Json(role) : Json(nullptr)}});
  return 0;
}

}  // namespace

extern "C" int add_job_to_cache_new(const JobInfoObj* job) {
  return guarded(__func__, 1, [&] {
    if (job == nullptr) return refuseNull("add_job_to_cache_new");
    std::string id = fieldText(job->jsJobID);
    std::lock_guard lock(cache().mutex);
    cache().jobs.insert(id);
    journal({{"op", "add_job"},
             {"id", id},
             {"jobState", job->jobState},
             {"jobStatus", fieldText(job->jobStatus)},
             {"jobName", fieldText(job->jobName)}});
    return 0;
  });
}

extern "C" int add_queue_to_cache_new(const JobQueueInfoObj* queue) {
  return guarded(__func__, 1, [&] {
    if (queue == nullptr) return refuseNull("add_queue_to_cache_new");
    std::string id = fieldText(queue->jsQueueID);
    Json items = queueItems(*queue);
    std::lock_guard lock(cache().mutex);
    cache().queues.insert(id);
    journal({{"op", "add_queue"}, {"id", id}, {"itemCount", queue->itemCount}, {"items", std::move(items)}});
    return 0;
  });
}

extern "C" int remove_job_from_cache(const char* jobId) {
  return guarded(__func__, 1, [&] { return removeEntry(cache().jobs, jobId, "remove_job", "remove_job_from_cache"); });
}

extern "C" int remove_queue_from_cache(const char* queueId) {
  return guarded(__func__, 1,
                 [&] { return removeEntry(cache().queues, queueId, "remove_queue", "remove_queue_from_cache"); });
}

extern "C" int JOBCACHE_UpdateJobInfoFromDBus(void) {
  return guarded(__func__, 1, [] { return refresh("refresh_jobs", "JOBCACHE_UpdateJobInfoFromDBus"); });
}

extern "C" int JOBCACHE_UpdateQueueInfoFromDBus(void) {
  return guarded(__func__, 1, [] { return refresh("refresh_queues", "JOBCACHE_UpdateQueueInfoFromDBus"); });
}

extern "C" uint16_t JOBCACHE_UpdateServiceDDFSCall(const char* functionName, const void* /*input*/,
                                                   size_t /*inputLength*/, void* /*output*/,
                                                   size_t /*outputLength*/) {
  return guarded<uint16_t>(__func__, 1, [&] {
    trace_printf(2, kTraceMask, "[JOBCACHE_UpdateServiceDDFSCall]: no update-scheduling service here, %s not called",
                 functionName ? functionName : "(null)");
    return uint16_t{1};
  });
}
