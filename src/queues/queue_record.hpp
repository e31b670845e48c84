// A job queue as plain data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "jobcache.h"

namespace velmer {

// One queue's properties. The queue object keeps its values in one of these.
struct JobQueueRecord {
  std::string jsQueueID;
  int64_t startTime = 0;
  int64_t untilTime = 0;
  uint32_t flags = 0;
  uint32_t trackedJobCount = 0;
  std::vector<std::string> jsJobsList;
  uint8_t queueState = 0;
  std::vector<uint8_t> reservedAllign;
  uint32_t itemCount = 0;
  std::vector<std::string> jobQueueItem;

  bool operator==(const JobQueueRecord&) const = default;
};

// Logs a queue's numbers (start, until, flags, tracked count, state, item count), one
// line each, under `tag`.
void logQueueNumbers(const char* tag, const JobQueueRecord& queue);

// Fills the cache copy of a queue from its record: the ID, the times, flags, tracked
// count, state, item count and at most 256 items, texts cut to 31 characters.
void convertToJobQueueInfoObj(const JobQueueRecord& record, JobQueueInfoObj& cacheRecord);

}  // namespace velmer
