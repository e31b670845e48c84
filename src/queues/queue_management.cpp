#include "queues/queue_management.hpp"

#include "persistence/backup_thread.hpp"
#include "jobs/job_registry.hpp"
#include "queues/job_schedule.hpp"
#include "queues/scheduler_channel.hpp"
#include "jobcache.h"
#include "bus/method_handlers.hpp"
#include "trace.h"

namespace velmer {

namespace {

void removeQueueFromCache(const char* tag, const std::string& queueID) {
  if (remove_queue_from_cache(queueID.c_str()) == 0)
    trace_printf(4, 8, "[%s]: JS_ForceDeleteJob: cache update delete queue happened\n", tag);
}

bool hasNoItems(const JobQueueRecord& queue) { return queue.jobQueueItem.empty() || queue.itemCount == 0; }

// The queue's items as far as itemCount says (never past the list).
size_t itemsToWalk(const JobQueueRecord& queue) {
  return std::min<size_t>(queue.itemCount, queue.jobQueueItem.size());
}

// A job of a queue that goes is freed to be scheduled again while it is new (state 0), the
// only state a schedule takes. A job past it stays bound, keeping its queue ID: scheduling,
// scheduled or running, it was handed out and its consumer still reports on it (putting it
// back to new would invite a second run), and a finished job keeps the ID as a record of
// where it ran. Jobs marked for deletion are leaving anyway.
void releaseNewJobs(const char* tag, const std::string& queueID, const JobQueueRecord& queue) {
  for (const std::string& jobID : queue.jobQueueItem) {
    JobInfoRecord job;
    if (fetchJobInfoProperties(jobID, job) != 0 || job.queueID != queueID) continue;
    if ((job.flags & kJobFlagQueued) == 0 || (job.flags & kJobFlagDeleted) || job.jobState != 0) continue;
    if (!unbindJobFromQueue(jobID)) continue;
    trace_printf(4, 8, "[%s]: job %s released from queue %s\n", tag, jobID.c_str(), queueID.c_str());
    addJobToCache(tag, jobID);
    jsWriteToBuffer(jobID, Create);
  }
}

}  // namespace

uint16_t emptyQueueCheck(const JobQueueRecord& queue) {
  constexpr const char* kTag = "emptyQueueCheck";
  try {
    trace_printf(4, 8, "[%s]: Entry : \n", kTag);
    if (!hasNoItems(queue)) {
      for (size_t i = 0; i < itemsToWalk(queue); ++i) {
        const std::string& jobID = queue.jobQueueItem[i];
        trace_printf(4, 8, "[%s]: QueueItem =%s at index = %zu", kTag, jobID.c_str(), i);
        JobInfoRecord job;
        if (fetchJobInfoProperties(jobID, job) == 0 && (job.flags & kJobFlagDeleted) == 0) {
          trace_printf(4, 8, "[%s]: ___ JC_EmptyQueueCheck: job %s still exists\n", kTag, jobID.c_str());
          return 0;
        }
      }
    }
    trace_printf(4, 8, "[%s]: Exit:  ___ JC_CompletedQueueCheck: queue is empty \n", kTag);
    return 37;
  } catch (const std::exception&) {
    trace_printf(4, 8, "[%s]:Expection occur in JC_EmptyQueueCheck\n ", kTag);
    return 37;
  }
}

uint16_t completedQueueCheck(const JobQueueRecord& queue) {
  constexpr const char* kTag = "completedQueueCheck";
  try {
    trace_printf(4, 8, "[%s]: Entry : \n", kTag);
    if (!hasNoItems(queue)) {
      for (size_t i = 0; i < itemsToWalk(queue); ++i) {
        const std::string& jobID = queue.jobQueueItem[i];
        trace_printf(4, 8, "[%s]: QueueItem =%s at index = %d", kTag, jobID.c_str(), static_cast<int>(i));
        JobInfoRecord job;
        if (fetchJobInfoProperties(jobID, job) != 0) {
          trace_printf(4, 8, "[%s]: job %s not found\n", kTag, jobID.c_str());
          continue;
        }
        if (job.jobState != 4) {
          trace_printf(4, 8, "[%s]: job %s not completed, state = %d\n", kTag, jobID.c_str(),
                       static_cast<int>(job.jobState));
          return 0;
        }
      }
    }
    trace_printf(4, 8, "[%s]: ___ : queue is completed\n", kTag);
    return 37;
  } catch (const std::exception&) {
    trace_printf(4, 8, "[%s]:Expection occur in JC_EmptyQueueCheck\n ", kTag);
    return 37;
  }
}

void printJobQueueInfo(const JobQueueRecord& queue) {
  constexpr const char* kTag = "printJobQueueInfo";
  if (trace_get_threshold() < 4) return;
  trace_printf(4, 8, "[%s]: Entry : \n", kTag);
  trace_printf(4, 8, "[%s]: QueueID ID: %s", kTag, queue.jsQueueID.c_str());
  logQueueNumbers(kTag, queue);
  for (size_t i = 0; i < queue.jobQueueItem.size(); ++i)
    trace_printf(4, 8, "[%s]: QueueItem =%s at index = %zu", kTag, queue.jobQueueItem[i].c_str(), i);
  for (size_t i = 0; i < queue.reservedAllign.size(); ++i)
    trace_printf(4, 8, "[%s]: reservedAllign = %d at index = %zu", kTag, queue.reservedAllign[i], i);
  trace_printf(4, 8, "[%s]: Exit : \n", kTag);
}

uint16_t manageJobQueue(const std::string& queueID, uint16_t manageType) {
  constexpr const char* kTag = "manageJobQueue";
  trace_printf(5, 8, "[%s]: JC_ManageJobQueue: Enter\n", kTag);
  if (queueID.empty()) return 0;  // a job that belongs to no queue
  trace_printf(5, 8, "[%s]: JC_ManageJobQueue: QueueID ID: %s \n", kTag, queueID.c_str());
  JobQueueRecord queue;
  if (uint16_t rc = fetchQueueInfoProperties(queueID, queue); rc != 0) return rc;
  printJobQueueInfo(queue);
  trace_printf(5, 8, "[%s]: queueID matched with the entered queue = %s\n", kTag, queueID.c_str());
  uint16_t deleteIt = 0;
  if (manageType == kCheckEmptyQueue) {
    trace_printf(5, 8, "[%s]:  ___ JC_ManageJobQueue: %s checking for empty queue\n", kTag, queueID.c_str());
    deleteIt = emptyQueueCheck(queue);
  } else if (manageType == kCheckCompletedQueue) {
    trace_printf(5, 8, "[%s]: ___ JC_ManageJobQueue: %s checking for completed queue\n", kTag, queueID.c_str());
    deleteIt = completedQueueCheck(queue);
  } else {
    trace_printf(5, 8, "[%s]:: ___ JC_ManageJobQueue: bad manageType %d\n", kTag, manageType);
    return 0;
  }
  if (deleteIt != 0) {
    trace_printf(5, 8, "[%s]:: ___ JC_ManageJobQueue: %s deleting queue\n", kTag, queueID.c_str());
    deleteQueue(kTag, queueID, queue);
  }
  trace_printf(4, 8, "[%s]: : Exit\n", kTag);
  return 0;
}

uint16_t jobServDeleteQueue(const std::string& queueID, uint16_t /*unused*/) {
  constexpr const char* kTag = "jobServDeleteQueue";
  return methodFrame(kTag, "[%s]: EXCEPTION  in queue delete \n", [&]() -> uint16_t {
    trace_printf(4, 8, "[%s]: Entering delete queue service\n", kTag);
    trace_printf(4, 8, "[%s]: queue delete success\n", kTag);
    JobQueueRecord queue;
    if (fetchQueueInfoProperties(queueID, queue) != 0) {
      trace_printf(4, 8, "[%s]: job queue object does not exist: %s\n", kTag, queueID.c_str());
      return 16;
    }
    withdrawQueue(kTag, queueID, queue);
    trace_printf(4, 8, "[%s]: Triggered queue delete success\n", kTag);
    return 0;
  });
}

void deleteQueue(const char* tag, const std::string& queueID, const JobQueueRecord& queue) {
  releaseNewJobs(tag, queueID, queue);
  removeQueueFromCache(tag, queue.jsQueueID);
  jsWriteToBuffer(queueID, Delete);  // the registry's key: a client may have changed jsQueueID
}

void withdrawQueue(const char* tag, const std::string& queueID, const JobQueueRecord& queue) {
  // First, so that the queue-execution process lets go of the jobs before they are free.
  // A kill that cannot be sent (no such process, or its message queue full) does not keep
  // the queue: a queue no process ever took must remain deletable.
  if (killQueue(queueID) != 0)
    trace_printf(1, 8, "[%s]: queue %s not withdrawn from the queue-execution process\n", tag, queueID.c_str());
  deleteQueue(tag, queueID, queue);
}

uint16_t withdrawQueue(const char* tag, const std::string& queueID) {
  JobQueueRecord queue;
  if (uint16_t rc = fetchQueueInfoProperties(queueID, queue); rc != 0) return rc;
  withdrawQueue(tag, queueID, queue);
  return 0;
}

}  // namespace velmer
