#include "jobs/job_record.hpp"

#include <cstring>
#include <exception>

#include "trace.h"

namespace velmer {

void copyTextField(char* field, size_t width, const std::string& text) {
  std::memset(field, 0, width);
  if (width == 0) return;
  std::memcpy(field, text.data(), std::min(text.size(), width - 1));
}

void convertToJobInfoObject(const JobInfoRecord& record, JobInfoObj& cacheRecord) {
  constexpr const char* kTag = "convertToJobInfoObject";
  trace_printf(4, 8, "[%s]: Entering convertToJobServInfoObjFile function", kTag);
  cacheRecord.startTime = record.startTime;
  cacheRecord.untilTime = record.untilTime;
  cacheRecord.completionTime = record.completionTime;
  cacheRecord.processID = record.processID;
  cacheRecord.runningTimeoutSeconds = record.runningTimeoutSeconds;
  try {
    copyTextField(cacheRecord.jobName, sizeof cacheRecord.jobName, record.jobName);
    copyTextField(cacheRecord.message, sizeof cacheRecord.message, record.message);
    copyTextField(cacheRecord.messageArgs, sizeof cacheRecord.messageArgs, record.messageArgs);
    copyTextField(cacheRecord.queueID, sizeof cacheRecord.queueID, record.queueID);
    copyTextField(cacheRecord.jobStatus, sizeof cacheRecord.jobStatus, record.jobStatus);
    copyTextField(cacheRecord.messageID, sizeof cacheRecord.messageID, record.messageID);
    copyTextField(cacheRecord.jsJobID, sizeof cacheRecord.jsJobID, record.jsJobID);
  } catch (const std::exception& e) {
    trace_printf(2, 8, "[%s]: Exception: %s", kTag, e.what());
    return;
  }
  cacheRecord.flags = record.flags;
  std::memset(cacheRecord.reservedA, 0, sizeof cacheRecord.reservedA);
  cacheRecord.jobType = record.jobType;
  cacheRecord.jobState = record.jobState;
  cacheRecord.percentComplete = record.percentComplete;
  std::memset(cacheRecord.reservedB, 0, sizeof cacheRecord.reservedB);
  cacheRecord.latestUpdateTime = record.latestUpdateTime;
  cacheRecord.creationTime = record.creationTime;
  cacheRecord.jobStateForInterface = record.jobStateForInterface;
  cacheRecord.reserved0 = record.reserved0;
  std::memset(cacheRecord.reservedC, 0, sizeof cacheRecord.reservedC);
  cacheRecord.actualRunningStartTime = record.actualRunningStartTime;
  cacheRecord.actualRunningStopTime = record.actualRunningStopTime;
  trace_printf(4, 8, "[%s]: Exiting convertToJobServInfoObjFile function", kTag);
}

}  // namespace velmer
