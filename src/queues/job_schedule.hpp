// Scheduling: a job queue made from jobs created earlier, bound to them, mirrored into
// the job cache and handed to the queue-execution process.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <sdbus-c++/Types.h>

#include "bus/handler_frame.hpp"

namespace velmer {

inline constexpr uint16_t kMaxJobsPerQueue = 128;

// Creates the queue object, binds the first `numJobs` jobs of `jobList` to it and hands
// it over. The triple is (status, queue ID or "", error code); see JobServSchedule.
ResponseTriple createQueueObject(const std::vector<std::string>& jobList, uint16_t numJobs,
                                 const std::string& startTime, const std::string& untilTime);

// Checks the job list and fills the new queue's properties: 0, or 35 (a controller
// firmware download is pending), 1 (bad list), 11 (duplicate), 3 or 42 (a job not new).
uint16_t jsInitQueueInfo(std::map<std::string, sdbus::Variant>& properties, const std::vector<std::string>& jobList,
                         uint16_t numJobs, int64_t startTime, int64_t untilTime, int64_t now,
                         const std::string& queueID);

// Unbinds one job from its queue (flags bit 0, queue ID and times cleared, each change
// signalled), so that it can be scheduled again. False when the job has no object.
bool unbindJobFromQueue(const std::string& jobID);

// Unbinds the first `numJobs` jobs from their queue: the result of the last job, 0 or 1.
uint16_t RollbackScheduledJobs(const std::vector<std::string>& jobList, uint16_t numJobs);

// 37 when a controller firmware download job is due (or the jobs cannot be read), else 0.
uint16_t CheckDownloadingJobs(int64_t now, bool checkReboot, bool checkDownload);

}  // namespace velmer
