#include "queues/queue_record.hpp"

#include <cinttypes>
#include <cstring>

#include "jobs/job_record.hpp"
#include "trace.h"

namespace velmer {

void logQueueNumbers(const char* tag, const JobQueueRecord& queue) {
  trace_printf(4, 8, "[%s]: startTime: %" PRId64, tag, queue.startTime);
  trace_printf(4, 8, "[%s]: untilTime: %" PRId64, tag, queue.untilTime);
  trace_printf(4, 8, "[%s]: flags: %d", tag, static_cast<int>(queue.flags));
  trace_printf(4, 8, "[%s]: trackedJobCount: %d", tag, static_cast<int>(queue.trackedJobCount));
  trace_printf(4, 8, "[%s]: Queuestate: %d", tag, queue.queueState);
  trace_printf(4, 8, "[%s]: itemCount: %d", tag, static_cast<int>(queue.itemCount));
}

void convertToJobQueueInfoObj(const JobQueueRecord& record, JobQueueInfoObj& cacheRecord) {
  constexpr const char* kTag = "convertToJobQueueInfoObj";
  trace_printf(4, 8, "[%s]: Entering convertToJobQueueInfoControlObjFile function", kTag);
  std::memset(&cacheRecord, 0, sizeof cacheRecord);
  copyTextField(cacheRecord.jsQueueID, sizeof cacheRecord.jsQueueID, record.jsQueueID);
  cacheRecord.startTime = record.startTime;
  cacheRecord.untilTime = record.untilTime;
  cacheRecord.flags = record.flags;
  cacheRecord.trackedJobCount = record.trackedJobCount;
  cacheRecord.queueState = record.queueState;
  cacheRecord.itemCount = record.itemCount;
  trace_printf(4, 8, "[%s]: jsQueueID: %s", kTag, cacheRecord.jsQueueID);
  trace_printf(4, 8, "[%s]: startTime: %" PRId64, kTag, record.startTime);
  trace_printf(4, 8, "[%s]: untilTime: %" PRId64, kTag, record.untilTime);
  trace_printf(4, 8, "[%s]: flags: %u", kTag, record.flags);
  trace_printf(4, 8, "[%s]: trackedJobCount: %u", kTag, record.trackedJobCount);
  trace_printf(4, 8, "[%s]: queueState: %u", kTag, record.queueState);
  trace_printf(4, 8, "[%s]: itemCount: %u", kTag, record.itemCount);
  const size_t items = std::min(record.jobQueueItem.size(), std::size(cacheRecord.jobQueueItem));
  for (size_t i = 0; i < items; ++i) {
    copyTextField(cacheRecord.jobQueueItem[i], sizeof cacheRecord.jobQueueItem[i], record.jobQueueItem[i]);
    trace_printf(4, 8, "[%s]: jobQueueItem[%zu]: %s", kTag, i, cacheRecord.jobQueueItem[i]);
  }
  trace_printf(4, 8, "[%s]: Exiting convertToJobQueueInfoControlObjFile function", kTag);
}

}  // namespace velmer
