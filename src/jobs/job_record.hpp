// A job as plain data: the record every subsystem reads a job into, and its fixed-size
// copy for the shared job cache.
#pragma once

#include <cstdint>
#include <string>

#include "jobcache.h"

namespace velmer {

// One job's properties, in interface order. The job object keeps its values in one of
// these; readers take a consistent copy with fetchJobInfoProperties.
struct JobInfoRecord {
  int64_t startTime = 0;
  int64_t untilTime = 0;
  int64_t completionTime = 0;
  uint32_t processID = 0;
  uint32_t runningTimeoutSeconds = 0;
  std::string jobName;
  std::string message;
  std::string messageArgs;
  std::string queueID;
  std::string jobStatus;
  std::string messageID;
  std::string jsJobID;
  uint8_t flags = 0;
  uint32_t jobType = 0;
  uint32_t jobState = 0;
  uint16_t percentComplete = 0;
  int64_t latestUpdateTime = 0;
  int64_t creationTime = 0;
  uint8_t jobStateForInterface = 0;
  uint8_t reserved0 = 0;
  int64_t actualRunningStartTime = 0;
  int64_t actualRunningStopTime = 0;

  bool operator==(const JobInfoRecord&) const = default;
};

// Bits of JobInfoRecord::flags.
enum JobFlag : uint8_t {
  kJobFlagQueued = 1,       // bound to a queue
  kJobFlagDeleted = 2,      // marked for deletion
  kJobFlagNoEvents = 8,     // writes no event-log entries
  kJobFlagHasTimeout = 16,  // runningTimeoutSeconds is non-zero
};

// Copies `text` into a fixed field of `width` bytes: at most width - 1 characters and a
// NUL, the rest of the field zero.
void copyTextField(char* field, size_t width, const std::string& text);

// Fills the cache copy of a job from its record, field by field.
void convertToJobInfoObject(const JobInfoRecord& record, JobInfoObj& cacheRecord);

}  // namespace velmer
