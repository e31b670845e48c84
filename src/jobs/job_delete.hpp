// Job deletion: a named list of jobs, all jobs ("JID_CLEARALL") or all jobs forcibly
// ("JID_CLEARALL_FORCE"). On the D-Bus thread every job is checked, the work peers may
// still do for it is cancelled and its pending configuration cleaned up; the selected
// jobs are then marked for deletion and the backup thread removes them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bus/handler_frame.hpp"
#include "jobs/job_record.hpp"

namespace velmer {

inline constexpr const char* kClearAll = "JID_CLEARALL";
inline constexpr const char* kClearAllForce = "JID_CLEARALL_FORCE";

ResponseTriple deleteJobObject(const std::vector<std::string>& jobList, uint16_t numJobs, uint16_t deleteMode);

// Marks the selected jobs and posts the backup commands.
ResponseTriple deleteObjects(const std::vector<std::string>& selected, uint16_t count, uint16_t deleteMode);

// Withdraws one job: its queue check, the cache, the Delete command, the deletion event.
uint16_t JS_InvokeDeleteJob(const JobInfoRecord& job);

// Marks a job failed with `message` and `messageID` ("RMX038" when null or empty): 0,
// 1 when there is no such job, 37 after an exception.
uint16_t JS_MarkJobFailedMsgMsgID(const char* jobID, const char* message, const char* messageID);

// Asks the common firmware-update service to delete the job: its result, -1 when none
// was read, 1 when the bus could not be opened.
int32_t FwupdcoreDeleteJob(const char* jobID);

}  // namespace velmer
