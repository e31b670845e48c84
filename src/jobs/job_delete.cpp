#include "jobs/job_delete.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <string_view>

#include "bus/bus.hpp"
#include "cleanup/background_cleanup.hpp"
#include "persistence/backup_thread.hpp"
#include "clock.hpp"
#include "cleanup/config_cleanup.hpp"
#include "events/events.hpp"
#include "hm.h"
#include "jobs/job_create.hpp"
#include "jobs/job_registry.hpp"
#include "jobs/job_state.hpp"
#include "jobcache.h"
#include "bus/method_handlers.hpp"
#include "paths.hpp"
#include "cleanup/peer_call.hpp"
#include "queues/queue_management.hpp"
#include "trace.h"
#include "utl.h"

namespace velmer {

namespace {

constexpr const char* kTag = "deleteJobObject";

// Job types whose tool-side work is cancelled before a named job is deleted.
constexpr std::array<uint32_t, 11> kCancelToolJobTypes = {20, 21, 60, 61, 62, 63, 64, 72, 75, 200, 212};

bool isRunning(uint32_t state) { return state == 1 || state == 3; }

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

// How one run of the job-cancel tool ended.
struct CancelToolRun {
  uint16_t result;  // the 16-bit wait status; 0 only when the tool exited with 0

  bool failed() const { return result != 0; }
  // A tool that died of a signal failed with exit code 0: only the result tells.
  int exitCode() const { return result >> 8; }
};

CancelToolRun runJobCancelTool(const std::string& argument) {
  const std::string tool = paths::resolve(paths::kJobCancelTool);
  bus::WaitWithoutBusLock waiting;
  return {static_cast<uint16_t>(utl_va_run(tool.c_str(), argument.c_str(), nullptr))};
}

// Sets the delete mark (flags bit 1) on the job object: false when it has none.
bool setDeleteMark(const std::string& jobID) {
  Jobservicejobinfo* job = getJobserviceinfoObject(jobID);
  if (job == nullptr) return false;
  job->flags(static_cast<uint8_t>(job->flags() | kJobFlagDeleted));
  return true;
}

// Asks the update scheduler, and unless it took the job, the firmware-update service,
// to drop a scheduled job.
void cancelScheduledJob(const std::string& jobID) {
  char input[33] = {};
  std::memcpy(input, jobID.data(), std::min(jobID.size(), sizeof input - 1));
  int32_t output = 0;
  uint16_t status = JOBCACHE_UpdateServiceDDFSCall("updsched_delete_job", input, sizeof input, &output, sizeof output);
  if (status == 0) trace_printf(4, 8, "[%s]: Job %s deleted successfully, retCode %d", kTag, jobID.c_str(), status);
  int32_t retCode = status;
  if (!(status == 0 && output == 1)) {
    retCode = FwupdcoreDeleteJob(jobID.c_str());
    trace_printf(4, 8, "Fwupdcore - Delete func return value : %d\n", retCode);
  }
  trace_printf(4, 8, "[%s]: Job %s updsched/fwupdcore returned, retCode %d", kTag, jobID.c_str(), retCode);
}

// A clear-all, forced or not.
class ClearAllDeletion {
 public:
  explicit ClearAllDeletion(bool force) : force_(force) {}

  ResponseTriple run(uint16_t deleteMode) {
    HM_Result hm = HM_CancelJob();
    trace_printf(4, 8, "[%s]: HM_CancelJob status: %d", kTag, hm.status);
    const char* toolArgument = force_ ? kClearAllForce : kClearAll;
    trace_printf(4, 8, "[%s]: calling \"%s\"\n", kTag, (std::string(paths::kJobCancelTool) + " " + toolArgument).c_str());
    const CancelToolRun run = runJobCancelTool(toolArgument);
    if (run.failed()) {
      trace_printf(4, 8, "[%s]: jobcancelctl JID_CLEARALL failed: %d", kTag, run.exitCode());
      if (run.exitCode() != 25) return {0, "", 24};
    }
    toolExit_ = run.exitCode();
    std::vector<std::string> jobIDs;
    if (fetchJobInfoObjects(jobIDs) != 0) {
      trace_printf(4, 8, "[%s]: Error fetching job info objects", kTag);
      return {0, "", static_cast<uint16_t>(toolExit_)};
    }
    for (const auto& id : jobIDs) {
      if (!considerJob(id)) return {0, "", 12};
    }
    recheckSelected();
    if (!anyRefused_) AddEventsToQVL(force_ ? "JCP046" : "JCP045");
    ResponseTriple reply{0, "", static_cast<uint16_t>(refusedStatus_ != 0 ? refusedStatus_ : toolExit_)};
    if (selected_.size() > 1) {
      ResponseTriple marked = deleteObjects(selected_, static_cast<uint16_t>(selected_.size()), deleteMode);
      trace_printf(4, 8, "[%s]: Job %s deleted successfully", kTag, std::get<1>(marked).c_str());
      reply = {std::get<0>(marked), "", std::get<2>(marked)};
    }
    JS_CleanupInBackground(selected_, force_ ? 1 : 0);
    return reply;
  }

 private:
  // Checks one job; false when the clean-up ran out of memory and the whole call ends.
  bool considerJob(const std::string& id) {
    JobInfoRecord job;
    if (fetchJobInfoProperties(id, job) != 0) {
      trace_printf(4, 8, "[%s]: Error fetching job info properties for job ID: %s", kTag, id.c_str());
      return true;
    }
    logJobIdentity(kTag, job);
    trace_printf(4, 8, "[%s]: flags: %d", kTag, job.flags);
    if (job.flags & kJobFlagDeleted) {
      trace_printf(4, 8, "[%s]: Job is in pending delete state", kTag);
      return true;
    }
    if (!force_ && isRunning(job.jobState)) {
      trace_printf(4, 8, "[%s]: Job is running , cannot delete the job\n", kTag);
      refuse(18);
      return true;
    }
    if (!force_ && job.jobState == 2) cancelScheduledJob(job.jsJobID);
    if (force_ && isRunning(job.jobState)) markFailed(job);
    return cleanUp(job);
  }

  // The clean-ups were waited for without the bus lock: a selected job may have started
  // running meanwhile. It is treated as if it had been running when first looked at: kept
  // (refused with 18), or failed when forced. From here to the marks nothing gives the
  // bus lock up.
  void recheckSelected() {
    const auto jobs = selected_.begin() + 1;  // after the leading clear-all entry
    selected_.erase(std::remove_if(jobs, selected_.end(), [this](const std::string& id) {
      JobInfoRecord job;
      if (fetchJobInfoProperties(id, job) != 0 || !isRunning(job.jobState)) return false;
      if (force_) {
        markFailed(job);
        return false;
      }
      trace_printf(4, 8, "[%s]: Job is running , cannot delete the job\n", kTag);
      refuse(18);
      return true;
    }), selected_.end());
  }

  void markFailed(const JobInfoRecord& job) {
    trace_printf(4, 8, "[%s]: Job is scheduling or running for clearall force case.\n", kTag);
    const std::string copy = job.jsJobID;
    trace_printf(4, 8, "[%s]: jobIDCopy = %s\n", kTag, copy.c_str());
    if (uint16_t rc = JS_MarkJobFailedMsgMsgID(copy.c_str(), "Job completed with errors.", "JCP008"); rc != 0)
      trace_printf(4, 8, "[%s]: Job %s cleanup status %d", kTag, copy.c_str(), rc);
    // The queue-execution process must not start a job that is gone: withdraw its
    // queue once. A withdrawn queue runs nothing any more, so it leaves the store too,
    // and those of its new jobs that this clear-all does not delete are free again.
    if ((job.flags & kJobFlagQueued) && !job.queueID.empty() && killedQueues_.insert(job.queueID).second)
      withdrawQueue(kTag, job.queueID);
  }

  bool cleanUp(const JobInfoRecord& job) {
    uint16_t rc = JS_CleanupPersistentData(job);
    if (force_)
      trace_printf(4, 8, "[%s]: job %s cleanup status %d\n", kTag, job.jsJobID.c_str(), rc);
    else
      trace_printf(4, 8, "[%s]: Job %s cleanup persistent data status %d", kTag, job.jsJobID.c_str(), rc);
    if (job.jobState == 4) {
      trace_printf(4, 8, "[%s]: Marking completed jobs deleted success", kTag);
    } else if (rc == 12) {
      trace_printf(4, 8, "[%s]: memory full, resource NA\n", kTag);
      return false;
    } else if (rc != 0) {
      refuse(rc);
      return true;
    }
    selected_.push_back(job.jsJobID);
    trace_printf(4, 8, "[%s]: job count incremented, This job=%s needs to be deleted\n", kTag, job.jsJobID.c_str());
    return true;
  }

  void refuse(uint16_t status) {
    trace_printf(4, 8, "[%s]: saving status %d\n", kTag, status);
    anyRefused_ = true;
    refusedStatus_ = status;
  }

  bool force_;
  int toolExit_ = 0;
  bool anyRefused_ = false;
  uint16_t refusedStatus_ = 0;
  std::vector<std::string> selected_{kClearAll};
  std::set<std::string> killedQueues_;
};

// The code that refuses deleting a named job as it stands (gone, marked or running),
// or 0.
uint16_t refusalByState(const std::string& id, JobInfoRecord& job) {
  if (fetchJobInfoProperties(id, job) != 0) {
    trace_printf(4, 8, "[%s]: Error: jobID not found: %s", kTag, id.c_str());
    return 1;
  }
  if (job.flags & kJobFlagDeleted) {
    trace_printf(4, 8, "[%s]: Job is in pending delete state", kTag);
    return 1;
  }
  if (isRunning(job.jobState)) {
    trace_printf(4, 8, "[%s]: Job %s is running, cannot delete,jobType %d", kTag, id.c_str(),
                 static_cast<int>(job.jobType));
    trace_printf(4, 8, "[%s]: messageID is %s", kTag, job.messageID.c_str());
    trace_printf(4, 8, "[%s]: message is %s", kTag, job.message.c_str());
    bool inUse = equalsIgnoringCase(job.messageID, "JCP024") || equalsIgnoringCase(job.message, "Tamber in use");
    return inUse ? 39 : 18;
  }
  return 0;
}

// The code that refuses deleting a named job, or 0 when it may be marked.
uint16_t refusalForNamedJob(const std::string& id, JobInfoRecord& job) {
  if (uint16_t code = refusalByState(id, job); code != 0) return code;
  const bool cancelType = std::find(kCancelToolJobTypes.begin(), kCancelToolJobTypes.end(), job.jobType) !=
                          kCancelToolJobTypes.end();
  if (job.jobState != 4 && cancelType) {
    trace_printf(4, 8, "[%s]: Invoking jobcancelctl for jobtype %d", kTag, static_cast<int>(job.jobType));
    const CancelToolRun run = runJobCancelTool(id);
    trace_printf(4, 8, "[%s]: jobcancelctl for jobtype %d returned %d", kTag, static_cast<int>(job.jobType),
                 run.result);
    if (run.failed()) {
      const int exitCode = run.exitCode();
      trace_printf(4, 8, "[%s]: jobcancelctl JID_CLEARALL failed: %d", kTag, exitCode);
      uint16_t code = (exitCode == 25 || exitCode == 31 || exitCode == 43) ? static_cast<uint16_t>(exitCode) : 24;
      trace_printf(4, 8, "[%s]: Cleanup job %s failed: status %d", kTag, id.c_str(), code);
      return code;
    }
  }
  uint16_t rc = JS_CleanupPersistentData(job);
  if (rc != 0 && job.jobState != 4) {
    trace_printf(4, 8, "[%s]: Cleanup job %s failed: status %d", kTag, id.c_str(), rc);
    return rc;
  }
  trace_printf(4, 8, "[%s]: Cleanup job %s successful, marked for deletion", kTag, id.c_str());
  return 0;
}

// The reply refusing the first job that `refusal` refuses (its position, its ID, the code),
// or nothing when it refuses none.
std::optional<ResponseTriple> firstRefusal(const std::vector<std::string>& jobs,
                                           uint16_t (*refusal)(const std::string&, JobInfoRecord&)) {
  for (size_t i = 0; i < jobs.size(); ++i) {
    JobInfoRecord job;
    if (uint16_t code = refusal(jobs[i], job); code != 0)
      return ResponseTriple{static_cast<uint16_t>(i), jobs[i], code};
  }
  return std::nullopt;
}

ResponseTriple deleteNamedJobs(const std::vector<std::string>& jobList, uint16_t numJobs, uint16_t deleteMode) {
  std::set<std::string> seen;
  for (uint16_t i = 0; i < numJobs; ++i) {
    if (i >= jobList.size()) {
      trace_printf(4, 8, "[%s] Error: job index out of bounds: %d\n", kTag, i);
      return {0, "", 1};
    }
    if (!seen.insert(jobList[i]).second) {
      trace_printf(1, 8, "[%s] Duplicate job detected:\n", kTag);
      return {0, jobList[i], 11};
    }
    trace_printf(4, 8, "[%s] Job Inserted Successfully\n", kTag);
  }
  const std::vector<std::string> selected(jobList.begin(), jobList.begin() + numJobs);
  if (auto refused = firstRefusal(selected, refusalForNamedJob)) return *refused;
  // The tools and peers above were waited for without the bus lock: a job may have
  // started running, or gone, meanwhile. From here to the marks nothing gives it up.
  if (auto refused = firstRefusal(selected, refusalByState)) return *refused;
  ResponseTriple marked = deleteObjects(selected, numJobs, deleteMode);
  trace_printf(4, 8, "[%s]: Job %s deleted successfully", kTag, std::get<1>(marked).c_str());
  JS_CleanupInBackground(selected, 0);
  return {std::get<0>(marked), "", std::get<2>(marked)};
}

// The clear-all branch of deleteObjects: every job after the leading "JID_CLEARALL" is
// marked, and one ClearAll command has the backup thread delete them all.
ResponseTriple markAllForDeletion(const std::vector<std::string>& selected) {
  constexpr const char* kObjectsTag = "deleteObjects";
  trace_printf(4, 8, "[%s]: getting list of all jobs", kObjectsTag);
  JobInfoRecord last;
  for (size_t i = 1; i < selected.size(); ++i) {
    JobInfoRecord job;
    if (fetchJobInfoProperties(selected[i], job) != 0) continue;
    last = job;
    trace_printf(4, 8, "[%s]: Marking %s for deletion", kObjectsTag, job.jsJobID.c_str());
    if (!setDeleteMark(job.jsJobID)) {
      trace_printf(4, 8, "[%s]: serviceInfo is null for jobID %s, skipping flag set", kObjectsTag, job.jsJobID.c_str());
      continue;
    }
    trace_printf(4, 8, "[%s]: Job %s marked for deletion, flag set", kObjectsTag, job.jsJobID.c_str());
    manageJobQueue(job.queueID, kCheckEmptyQueue);
    // Marked jobs leave the shared cache now, not only when the backup thread gets to them.
    if (remove_job_from_cache(job.jsJobID.c_str()) == 0)
      trace_printf(4, 8, "[%s]: JS_InvokeDeleteJob: cache update delete job happened\n", kObjectsTag);
    trace_printf(4, 8, "[%s]: Remove the job from main service job list & update count", kObjectsTag);
    trace_printf(4, 8, "[%s]: job delete successfully with jobID: %s", kObjectsTag, job.jsJobID.c_str());
  }
  jsWriteToBuffer(last.jsJobID, ClearAll);
  return {0, kClearAll, 0};
}

}  // namespace

ResponseTriple jobServDelete(const std::vector<std::string>& jobList, uint16_t numJobs, uint16_t deleteMode) {
  constexpr const char* kMethodTag = "jobServDelete";
  return methodFrame(kMethodTag, "[%s]: EXCEPTION  in job delete \n", [&]() -> ResponseTriple {
    trace_printf(4, 8, "[%s]: Entering delete job service\n", kMethodTag);
    trace_printf(4, 8, "[%s]: Trying job delete\n", kMethodTag);
    ResponseTriple reply = deleteJobObject(std::vector<std::string>(jobList), numJobs, deleteMode);
    trace_printf(4, 8, "[%s]: job delete successfully with jobID: %s", kMethodTag, std::get<1>(reply).c_str());
    return reply;
  });
}

ResponseTriple deleteJobObject(const std::vector<std::string>& jobList, uint16_t numJobs, uint16_t deleteMode) {
  try {
    trace_printf(4, 8, "[%s]: Entering deleteJobObject", kTag);
    if (JSCheckLockdownMode() == 0) {
      trace_printf(4, 8, "[%s]: LOCKDOWN MODE Enabled. Deletion of jobs not allowed\n", kTag);
      return {40, "", 40};
    }
    if (jobList.empty()) {
      trace_printf(4, 8, "[%s]: Job list is empty", kTag);
      return {0, "", 1};
    }
    if (numJobs == 0) {
      trace_printf(4, 8, "[%s]: numJobs is 0", kTag);
      return {0, "", 5};
    }
    const bool force = jobList[0] == kClearAllForce;
    if (!force && jobList[0] != kClearAll) return deleteNamedJobs(jobList, numJobs, deleteMode);
    if (force) trace_printf(4, 8, "[%s]: JID_CLEARALL_FORCE", kTag);
    trace_printf(4, 8, "[%s]: JID_CLEARALL", kTag);
    if (numJobs != 1) {
      trace_printf(4, 8, "[%s]: Other JobID present", kTag);
      return {0, "", 1};
    }
    trace_printf(4, 8, "[%s]: No other JobID present", kTag);
    if (deleteMode == 1) {
      // A clear-all cannot be a single forced deletion; refuse it before anything is
      // cancelled instead of failing after every job's clean-up.
      trace_printf(4, 8, "[%s]: cannot force delete JID_CLEARALL %s", kTag, jobList[0].c_str());
      return {0, "", 1};
    }
    return ClearAllDeletion(force).run(deleteMode);
  } catch (const std::exception&) {
    trace_printf(4, 8, "[%s]: jobinfo object deletion failed", kTag);
    return {1, "", 37};
  }
}

ResponseTriple deleteObjects(const std::vector<std::string>& selected, uint16_t count, uint16_t deleteMode) {
  constexpr const char* kObjectsTag = "deleteObjects";
  trace_printf(4, 8, "[%s]: Entering deleteObjects", kObjectsTag);
  if (deleteMode == 1) {
    if (count > 1) {
      trace_printf(4, 8, "[%s]: Invalid job count %d", kObjectsTag, count);
      return {0, "", 14};
    }
    if (selected.empty() || selected[0] == kClearAll) {
      trace_printf(4, 8, "[%s]: cannot force delete JID_CLEARALL %s", kObjectsTag, kClearAll);
      return {0, "", 1};
    }
    JobInfoRecord job;
    if (fetchJobInfoProperties(selected[0], job) != 0) job.jsJobID = selected[0];
    JS_InvokeDeleteJob(job);
    trace_printf(4, 8, "[%s]: Job %s deleted successfully", kObjectsTag, selected[0].c_str());
    return {0, selected[0], 0};
  }
  if (!selected.empty() && selected[0] == kClearAll) return markAllForDeletion(selected);

  uint16_t status = 0, lastResult = 0;
  for (size_t i = 0; i < selected.size(); ++i) {
    const std::string& id = selected[i];
    trace_printf(4, 8, "[%s]: job delete successfully with jobID: %s", kObjectsTag, id.c_str());
    trace_printf(4, 8, "[%s]: Marking %s for deletion", kObjectsTag, id.c_str());
    JobInfoRecord job;
    if (fetchJobInfoProperties(id, job) != 0 || !setDeleteMark(id)) {
      trace_printf(4, 8, "[%s]: serviceInfo is null for jobID %s, skipping flag set", kObjectsTag, id.c_str());
      continue;
    }
    trace_printf(4, 8, "[%s]: Marked %s for deletion, flag set", kObjectsTag, id.c_str());
    lastResult = JS_InvokeDeleteJob(job);
    if (lastResult != 0) {
      trace_printf(4, 8, "[%s]: Failed to delete %s", kObjectsTag, id.c_str());
      status = static_cast<uint16_t>(i);
    }
  }
  trace_printf(4, 8, "[%s]: Exiting deleteObject", kObjectsTag);
  return {status, selected.empty() ? "" : selected[0], lastResult};
}

uint16_t JS_InvokeDeleteJob(const JobInfoRecord& job) {
  constexpr const char* kInvokeTag = "JS_InvokeDeleteJob";
  if (job.flags & kJobFlagQueued) {
    trace_printf(4, 8, "[%s]: Job %s is scheduled, need to manage job queue\n", kInvokeTag, job.jsJobID.c_str());
    if (manageJobQueue(job.queueID, kCheckEmptyQueue) != 0)
      trace_printf(4, 8, "[%s]: Failed to delete job queue %s\n", kInvokeTag, job.queueID.c_str());
  }
  if (remove_job_from_cache(job.jsJobID.c_str()) == 0)
    trace_printf(4, 8, "[%s]: JS_InvokeDeleteJob: cache update delete job happened\n", kInvokeTag);
  jsWriteToBuffer(job.jsJobID, Delete);
  if ((job.flags & kJobFlagNoEvents) == 0 || job.jobType == 180 || job.jobType == 182) {
    uint16_t status = JC_submitQVEvents_withArgs(66, 3, 2, "JCP036", 1, job.jsJobID.c_str());
    trace_printf(4, 8, "[%s]: JC_submitQVEvents_withArgs return status=%d", kInvokeTag, status);
    if (status == 0)
      trace_printf(4, 8, "[%s]: Logged QVL event successfully", kInvokeTag);
    else
      trace_printf(4, 8, "[%s]: QVL suppressed or error in logging, not logging event status=%d", kInvokeTag, status);
  }
  return 0;
}

namespace {

uint16_t failedJobPercentage(const char* tag, uint16_t current) {
  if (current == 254) {
    trace_printf(4, 8, "[%s]: percentComplete is not applicable, new state\n", tag);
    return 254;
  }
  if (current > 100) trace_printf(4, 8, "[%s]: invalid percentComplete=%d\n", tag, current);
  trace_printf(4, 8, "[%s]: new percentComplete=%d\n", tag, 100);
  return 100;
}

// The registry's text for `messageID` without arguments, else `fallback`.
std::string registryTextOr(const std::string& messageID, const char* fallback) {
  char* text = nullptr;
  uint16_t status = JCGetMessageFromMsgIDAlloc(messageID.c_str(), &text, nullptr);
  std::unique_ptr<char, decltype(&std::free)> owned(text, &std::free);
  if (status == 0 && text != nullptr) return text;
  return fallback != nullptr ? fallback : "";
}

}  // namespace

uint16_t JS_MarkJobFailedMsgMsgID(const char* jobID, const char* message, const char* messageID) {
  constexpr const char* kMarkTag = "JS_MarkJobFailedMsgMsgID";
  try {
    trace_printf(4, 8, "[%s]:Entered JS_MarkJobFailedMsgMsgID sJobID=%s\n", kMarkTag, jobID != nullptr ? jobID : "");
    if (jobID == nullptr) return 1;
    trace_printf(4, 8, "[%s]: trying to mark job [%s] failed\n", kMarkTag, jobID);
    JobInfoRecord job;
    if (fetchJobInfoProperties(jobID, job) != 0) {
      trace_printf(4, 8, "[%s]: job [%s] not found\n", kMarkTag, jobID);
      return 1;
    }
    trace_printf(4, 8, "[%s]: job [%s]  found\n", kMarkTag, jobID);
    trace_printf(4, 8, "[%s]: current percentComplete=%d\n", kMarkTag, job.percentComplete);
    const std::string id = messageID != nullptr && *messageID != '\0' ? messageID : "RMX038";
    std::map<std::string, sdbus::Variant> failure = {
        {"jobStatus", sdbus::Variant(std::string("Failed"))},
        {"percentComplete", sdbus::Variant(failedJobPercentage(kMarkTag, job.percentComplete))},
        {"message", sdbus::Variant(registryTextOr(id, message))},
        {"messageID", sdbus::Variant(id)},
    };
    // A job marked failed is also finished: state 4 with its completion time, and the
    // client-facing state that goes with them.
    uint8_t interfaceState = job.jobStateForInterface;
    getState4Interface(job.jobStateForInterface, 4, "Failed", interfaceState);
    failure["jobState"] = sdbus::Variant(uint32_t{4});
    failure["completionTime"] = sdbus::Variant(currentTimeSeconds());
    failure["jobStateForInterface"] = sdbus::Variant(interfaceState);
    Jobservicejobinfo* object = getJobserviceinfoObject(jobID);
    if (object == nullptr) return 1;
    object->setAllProperties(failure);
    return 0;
  } catch (const std::exception&) {
    trace_printf(4, 8, "[%s]: EXCEPTION in JS_MarkJobFailedMsgMsgID \n", kMarkTag);
    return 37;
  }
}

int32_t FwupdcoreDeleteJob(const char* jobID) {
  constexpr const char* kFwTag = "FwupdcoreDeleteJob";
  static const peer::Method kDeleteJob = {"com.zorvex.kelvo.fwupdcore", "/com/zorvex/kelvo/fwupdcore",
                                          "com.zorvex.kelvo.fwupdcore.fw_management", "fwupdcore_delete_job"};
  int32_t result = -1;
  peer::Step reached = peer::Step::Connect;
  try {
    std::tie(result) = peer::call<int32_t>(kDeleteJob, reached, std::string(jobID != nullptr ? jobID : ""));
    trace_printf(4, 8, "[%s]: Component Job delete function call successful \n", kFwTag);
  } catch (const sdbus::Error& e) {
    switch (reached) {
      case peer::Step::Connect:
        trace_printf(4, 8, "[%s]: sd bus open failed\n", kFwTag);
        return 1;
      case peer::Step::ReadReply:
        trace_printf(4, 8, "[%s]: Component Job delete function call successful \n", kFwTag);
        trace_printf(4, 8, "%s: Failed to parse response message: %s\n", kFwTag, e.getMessage().c_str());
        break;
      default:
        trace_printf(4, 8, "[%s]: Component Job delete call failed - %s\n", kFwTag, e.getMessage().c_str());
        break;
    }
    result = -1;
  }
  trace_printf(4, 8, "[%s]: Component Job delete return value = %d \n", kFwTag, result);
  return result;
}

}  // namespace velmer
