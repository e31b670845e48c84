#include "queues/job_schedule.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <memory>

#include "persistence/backup_thread.hpp"
#include "bus/bus.hpp"
#include "clock.hpp"
#include "events/events.hpp"
#include "jobs/job_create.hpp"
#include "jobs/job_registry.hpp"
#include "jobs/job_state.hpp"
#include "jobs/job_update.hpp"
#include "jobcache.h"
#include "bus/method_handlers.hpp"
#include "queues/schedule_time.hpp"
#include "queues/scheduler_channel.hpp"
#include "service/service_main.hpp"
#include "trace.h"
#include "updsched.h"

namespace velmer {

namespace {

constexpr const char* kCreateTag = "createQueueObject";
constexpr uint32_t kDownloadJobType = 20;

// An entry whose first double quote is never closed.
bool hasUnbalancedQuote(const std::string& jobID) {
  size_t open = jobID.find('"');
  return open != std::string::npos && jobID.find('"', open + 1) == std::string::npos;
}

// The refusal code of createQueueObject's window checks, or 0 for an acceptable window.
ResponseTriple checkWindow(int64_t start, int64_t until, int64_t now) {
  if (until == kTimeNotApplicable) {
    trace_printf(5, 8, "[%s]: untilTime is NA\n", kCreateTag);
    return {0, "", 0};
  }
  if (until < now) {
    trace_printf(1, 8, "[%s]:Error: until time (%" PRId64 ") is less than pCurrentTime (%" PRId64 ")\n", kCreateTag,
                 until, now);
    return {37, "", 10};
  }
  if (start == kTimeNow) {
    if (until - now <= 299) {
      trace_printf(1, 8, "[%s] Error: job execution window must be at least 12 minutes (pUntilTime - pCurrentTime)\n",
                   kCreateTag);
      return {37, "", 7};
    }
  } else if (until < start) {
    trace_printf(1, 8, "[%s] startTime > untilTime\n", kCreateTag);
    return {37, "", 7};
  } else if (until - start <= 299) {
    trace_printf(1, 8, "[%s] Error: job execution window must be at least 12 minutes (pUntilTime - startTime)\n",
                 kCreateTag);
    return {37, "", 7};
  }
  return {0, "", 0};
}

void addQueueToCache(const std::string& queueID) {
  JobQueueRecord queue;
  if (fetchQueueInfoProperties(queueID, queue) != 0) return;
  trace_printf(4, 8, "[%s]: Job name: %s Exists\n", kCreateTag, queueID.c_str());
  auto cacheRecord = std::make_unique<JobQueueInfoObj>();  // 16 KB: not on the stack
  convertToJobQueueInfoObj(queue, *cacheRecord);
  if (add_queue_to_cache_new(cacheRecord.get()) == 0)
    trace_printf(4, 8, "[%s]: Job name: %s added to cache\n", kCreateTag, queueID.c_str());
}

// Applies `properties` to the job object `jobID`; false when there is no such object.
bool setJobProperties(const std::string& jobID, const std::map<std::string, sdbus::Variant>& properties) {
  Jobservicejobinfo* job = getJobserviceinfoObject(jobID);
  if (job == nullptr) return false;
  job->setAllProperties(properties);
  return true;
}

// Binds the first `numJobs` jobs to the queue: (0, "", 0), or the refusal triple.
ResponseTriple bindJobs(const std::vector<std::string>& jobList, uint16_t numJobs, const std::string& queueID,
                        int64_t start, int64_t until) {
  for (uint16_t i = 0; i < numJobs; ++i) {
    if (i >= jobList.size()) {
      trace_printf(1, 8, "[%s] Error: job index out of bounds: %d\n", kCreateTag, i);
      return {1, "", 1};
    }
    const std::string& jobID = jobList[i];
    trace_printf(4, 8, "[%s] jobList[%d] = %s\n", kCreateTag, i, jobID.c_str());
    JobInfoRecord job;
    if (fetchJobInfoProperties(jobID, job) != 0) continue;
    trace_printf(4, 8, "[%s :%d ]: Successfully get properties for jobID = %s\n", kCreateTag, __LINE__,
                 jobID.c_str());
    if (job.jobState != 0) {
      trace_printf(1, 8, "[%s]:Cannot add job to queue: invalid jobstate: %d\n", kCreateTag,
                   static_cast<int>(job.jobState));
      uint16_t refusal = job.jobType == kDownloadJobType && job.jobState != 4 ? 42 : 3;
      return {refusal, "", refusal};
    }
    const uint8_t flags = job.flags | kJobFlagQueued;
    trace_printf(4, 8, "[%s :%d ]: uniqueQueueID  = %s\n", kCreateTag, __LINE__, queueID.c_str());
    trace_printf(4, 8, "[%s :%d ]: pStartTime  = %" PRId64 "\n", kCreateTag, __LINE__, start);
    trace_printf(4, 8, "[%s :%d ]: pUntilTime  = %" PRId64 "\n", kCreateTag, __LINE__, until);
    trace_printf(4, 8, "[%s :%d ]: setflag  = %u\n", kCreateTag, __LINE__, flags);
    std::map<std::string, sdbus::Variant> binding = {{"startTime", sdbus::Variant(start)},
                                                     {"untilTime", sdbus::Variant(until)},
                                                     {"flags", sdbus::Variant(flags)},
                                                     {"queueID", sdbus::Variant(queueID)}};
    if (!setJobProperties(jobID, binding))
      trace_printf(4, 8, "[%s :%d ]: Serviceinfo object is null for  jobID = %s\n", kCreateTag, __LINE__,
                   jobID.c_str());
    addJobToCache(kCreateTag, jobID);
    jsWriteToBuffer(jobID, Create);
    trace_printf(4, 8, "[%s :%d ]: before addJobserviceinfo = %s\n", kCreateTag, __LINE__, jobID.c_str());
  }
  return {0, "", 0};
}

// Hands the queue over; a refused queue has its jobs unbound again.
ResponseTriple handOver(const std::vector<std::string>& jobList, uint16_t numJobs, const std::string& queueID,
                        int64_t start, int64_t until) {
  trace_printf(4, 8, "[%s]: Going to schedule the jobQueue for QueueID = %s\n", kCreateTag, queueID.c_str());
  if (scheduleQueue(queueID, start, until) == 0) {
    trace_printf(4, 8, "[%s]:JQLEGACY: ___ CreateJobQueueObj: notifying backup\n", kCreateTag);
    jsWriteToBuffer(queueID, Create);
    return {0, queueID, 0};
  }
  if (uint16_t rc = RollbackScheduledJobs(jobList, numJobs); rc != 0) {
    trace_printf(4, 8, "[%s:%d]: RollbackScheduledJobs failed", kCreateTag, __LINE__);
    return {rc, "", rc};
  }
  // The queue stays registered with its jobs unbound; the caller still gets its ID, as
  // the queue-execution process may pick the queue up when it is re-sent at start-up.
  trace_printf(1, 8, "[%s]: the queue-execution process did not take queue %s; its jobs were rolled back\n",
               kCreateTag, queueID.c_str());
  return {0, queueID, 0};
}

ResponseTriple createQueue(const std::vector<std::string>& jobList, uint16_t numJobs, const std::string& startTime,
                           const std::string& untilTime) {
  const int64_t now = currentTimeSeconds();
  if (numJobs > kMaxJobsPerQueue) {
    trace_printf(1, 8, "[%s]: Job queue is FULL !!", kCreateTag);
    return {37, "", 15};
  }
  int64_t start = 0;
  if (uint16_t rc = ConvertTimeStringToSeconds(startTime, start); rc != 0) {
    trace_printf(1, 8, "[%s]: Job StartTime is invalid !!", kCreateTag);
    return {rc, "", 9};
  }
  if (start != kTimeNow && start < now) {
    trace_printf(1, 8, "[%s]: Error: start time (%" PRId64 ") is less than pCurrentTime (%" PRId64 ")\n", kCreateTag,
                 start, now);
    return {37, "", 9};
  }
  if (startTime == "TIME_NA") {
    trace_printf(1, 8, "[%s]:Error: start time cannot be TIME_NA\n", kCreateTag);
    return {37, "", 9};
  }
  int64_t until = 0;
  if (uint16_t rc = ConvertTimeStringToSeconds(untilTime, until); rc != 0) {
    trace_printf(1, 8, "[%s]: Job StartTime is invalid !!", kCreateTag);
    return {rc, "", 10};
  }
  trace_printf(5, 8, "[%s]: validating scheduling window\n", kCreateTag);
  trace_printf(5, 8, "[%s]: NumberofJobs = %d", kCreateTag, numJobs);
  trace_printf(5, 8, "[%s]: jobList Size = %zu", kCreateTag, jobList.size());
  trace_printf(5, 8, "[%s]: startTime:   %" PRId64 "\n", kCreateTag, start);
  trace_printf(5, 8, "[%s]: pCurrentTime: %" PRId64 "\n", kCreateTag, now);
  if (auto refusal = checkWindow(start, until, now); std::get<0>(refusal) != 0) return refusal;
  trace_printf(5, 8, "[%s]: untilTime:   %" PRId64 "\n", kCreateTag, until);

  const std::string queueID = getUniqueJobID(0);
  trace_printf(4, 8, "[%s]: unique job id: %s", kCreateTag, queueID.c_str());
  const std::string path = kQueueObjectPathPrefix + queueID;
  trace_printf(4, 8, "[%s]: object path: %s", kCreateTag, path.c_str());
  auto queue = std::make_unique<Jobservicescheduleinfo>(bus::connection(), path,
                                                        Jobservicescheduleinfo::Announce::Now);
  trace_printf(4, 8, "[%s]: New Queue object created", kCreateTag);
  trace_printf(4, 8, "[%s]: Calling jsInitQueueInfo", kCreateTag);
  std::map<std::string, sdbus::Variant> properties;
  uint16_t rc = jsInitQueueInfo(properties, jobList, numJobs, start, until, now, queueID);
  trace_printf(4, 8, "[%s]: jsInit = %d", kCreateTag, rc);
  if (rc != 0) {
    trace_printf(1, 8, "[%s]: Failed to initJobQueueInfo", kCreateTag);
    return {rc, "", rc};  // the queue object leaves the bus with `queue`
  }
  queue->setAllProperties(properties);
  addJobserviceschdinfo(queueID, std::move(queue));
  trace_printf(4, 8, "[%s]: successfully added new job object to scheduleinfo map \n", kCreateTag);

  if (auto refusal = bindJobs(jobList, numJobs, queueID, start, until); std::get<0>(refusal) != 0) return refusal;
  addQueueToCache(queueID);
  ResponseTriple result = handOver(jobList, numJobs, queueID, start, until);
  if (std::get<0>(result) != 0) return result;
  trace_printf(4, 8, "[%s]: successfully added new job object to jobinfo map \n", kCreateTag);
  trace_printf(4, 8, "[%s]: persistJobObject success", kCreateTag);
  return result;
}

// What a scheduled job is told: its message, message ID and event arguments.
struct ScheduledNotice {
  std::string message;
  const char* messageID;
  std::vector<std::string> eventArguments;
};

// Scheduling messages are cut to this many bytes.
constexpr size_t kMaxScheduledMessageBytes = 99;

ScheduledNotice scheduledNotice(uint32_t jobType, const std::string& startText, const std::string& untilText,
                                bool hasEnd) {
  auto cut = [](const std::string& text) { return bus::validUtf8Prefix(text, kMaxScheduledMessageBytes); };
  if (isRebootJobType(jobType)) {
    trace_printf(1, 8, "[%s ]Handling the Reboot Job\n", "jobServSchedule");
    return {cut("The reboot job is scheduled to run on " + startText), "JCP050", {startText}};
  }
  if (hasEnd)
    return {cut("The Job is scheduled to run between " + startText + " and " + untilText), "JCP049",
            {startText, untilText}};
  return {cut("The job is scheduled to run after  " + startText), "JCP051", {startText}};
}

// The event's arguments are the display strings, in the order the message names them.
void submitScheduledEvent(const ScheduledNotice& notice) {
  const auto& args = notice.eventArguments;
  if (args.size() == 2)
    submitUpdateEventToQVL(notice.messageID, args[0].c_str(), args[1].c_str(), nullptr);
  else
    submitUpdateEventToQVL(notice.messageID, args[0].c_str(), nullptr);
}

// Marks each job of a queue that starts in the future as scheduled. Returns the reply.
ResponseTriple markJobsScheduled(const std::vector<std::string>& jobList, uint16_t numJobs, int64_t start,
                                 const std::string& queueID, const std::string& startText,
                                 const std::string& untilText, bool hasEnd) {
  constexpr const char* kTag = "jobServSchedule";
  uint16_t status = 0, errorCode = 0;
  for (uint16_t i = 0; i < numJobs; ++i) {
    JobInfoRecord job;
    if (i >= jobList.size() || fetchJobInfoProperties(jobList[i], job) != 0) {
      trace_printf(1, 8, "[%s] Error: job index out of bounds: %d\n", kTag, i);
      return {37, queueID, 1};
    }
    trace_printf(5, 8, "[%s] JobType  =%d\n", kTag, static_cast<int>(job.jobType));
    if (job.jobType == 0) {
      trace_printf(1, 8, "[%s]:Invalid JobType : %d\n", kTag, 0);
      errorCode = 2;
      status = 37;
      continue;
    }
    ScheduledNotice notice = scheduledNotice(job.jobType, startText, untilText, hasEnd);
    trace_printf(5, 8, "[%s] Output stream  = %s\n", kTag, notice.message.c_str());
    status = updateJobInfoInStore(jobList[i], kUnchanged, kUnchanged, "Scheduled", notice.message, notice.messageID,
                                  "", JS_UPD_JOBSTATUS | JS_UPD_MESSAGE | JS_UPD_MESSAGEID);
    if (status != 0) trace_printf(1, 8, "[%s] Error: Failed to Update Job : %s \n", kTag, jobList[i].c_str());
    submitScheduledEvent(notice);
    if (job.jobType == kDownloadJobType) SendScheduleTimeToUPDSCHED(start);
  }
  return {status, queueID, errorCode};
}

}  // namespace

ResponseTriple jobServSchedule(const std::vector<std::string>& jobList, uint16_t numJobs,
                               const std::string& startTime, const std::string& untilTime) {
  constexpr const char* kTag = "jobServSchedule";
  return methodFrame(kTag, "[%s]: EXCEPTION  in job schedule \n", [&]() -> ResponseTriple {
    const int64_t now = currentTimeSeconds();
    trace_printf(4, 8, "[%s]: Entering schedule job service\n", kTag);
    if (jobList.empty()) {
      trace_printf(1, 8, "[%s]: job list is empty or list size is 0 \n", kTag);
      return {0, "", 1};
    }
    if (numJobs == 0) {
      trace_printf(1, 8, "[%s]: numOf job is zero", kTag);
      return {0, "", 5};
    }
    if (startTime.empty()) {
      trace_printf(1, 8, "[%s]: StartTime is emtpy", kTag);
      return {0, "", 8};
    }
    if (untilTime.empty()) {
      trace_printf(1, 8, "[%s]: Untiltime is emtpy", kTag);
      return {0, "", 8};
    }
    trace_printf(4, 8, "[%s]: jobList.size = %zu , numJobs = %d,startTime = %s,untilTime = %s", kTag, jobList.size(),
                 numJobs, startTime.c_str(), untilTime.c_str());
    int64_t start = 0, until = 0;
    uint16_t conversion = ConvertTimeStringToSeconds(startTime, start);
    if (conversion == 0) conversion = ConvertTimeStringToSeconds(untilTime, until);
    if (conversion != 0) {
      trace_printf(1, 8, "[%s]: Job StartTime is invalid !!", kTag);
      return {conversion, "", 9};
    }

    ResponseTriple created = createQueueObject(jobList, numJobs, startTime, untilTime);
    const auto& [createStatus, queueID, createError] = created;
    trace_printf(4, 8,
                 "[%s]: job schedule [velmerResponseStatus = %d,velmerResponseData = %s,velmerResponseErrCode = %d ]",
                 kTag, createStatus, queueID.c_str(), createError);
    if (createStatus != 0) {
      trace_printf(1, 8, "[%s] retCode having non zero value [%d] , calling cleanup \n", kTag, createError);
      return created;
    }
    trace_printf(4, 8, "[%s]: queueCount: %d", kTag, appendToQueueList(queueID, kTag));

    std::string startText, untilText;
    const bool hasEnd = untilTime != "TIME_NA";
    if (!hasEnd) trace_printf(1, 8, "[%s] Error: Until time String is %s\n", kTag, untilTime.c_str());
    if (getTimeFormat(startText, startTime) != 0) {
      trace_printf(1, 8, "[%s] Error: Start time String is %s, returning \n", kTag, startTime.c_str());
      return {9, queueID, 9};
    }
    if (hasEnd && getTimeFormat(untilText, untilTime) != 0) {
      trace_printf(1, 8, "[%s] Error: Until time String is %s, returning \n", kTag, untilTime.c_str());
      return {10, queueID, 10};
    }
    trace_printf(5, 8, "[%s] Error: StartTime =%" PRId64 " and current time = %" PRId64 "\n", kTag, start, now);
    if (start <= now) return {0, queueID, 0};
    return markJobsScheduled(jobList, numJobs, start, queueID, startText, untilText, hasEnd);
  });
}

ResponseTriple createQueueObject(const std::vector<std::string>& jobList, uint16_t numJobs,
                                 const std::string& startTime, const std::string& untilTime) {
  try {
    return createQueue(jobList, numJobs, startTime, untilTime);
  } catch (const std::exception&) {
    trace_printf(4, 8, "[%s]: schedule info object creation failed", kCreateTag);
    return {37, "", 37};
  }
}

uint16_t jsInitQueueInfo(std::map<std::string, sdbus::Variant>& properties, const std::vector<std::string>& jobList,
                         uint16_t numJobs, int64_t startTime, int64_t untilTime, int64_t now,
                         const std::string& queueID) {
  constexpr const char* kTag = "jsInitQueueInfo";
  trace_printf(4, 8, "[%s]: Entering jsInitQueueInfo", kTag);
  if (CheckDownloadingJobs(now, false, true) != 0) {
    trace_printf(1, 8, "[%s]CheckDownloadingJobs() returned non-zero\n", kTag);
    return 35;
  }
  for (size_t i = 0; i < jobList.size(); ++i) {
    if (hasUnbalancedQuote(jobList[i])) {
      trace_printf(1, 8, "[%s] Error: unterminated jobID = %s detected at index %zu:\n", kTag, jobList[i].c_str(), i);
      return 1;
    }
    trace_printf(4, 8, "[%s] jobList[%zu] = %s\n", kTag, i, jobList[i].c_str());
  }
  for (uint16_t i = 0; i < numJobs; ++i) {
    if (i >= jobList.size()) {
      trace_printf(1, 8, "[%s] Error: job index out of bounds: %d\n", kTag, i);
      return 1;
    }
    const auto earlier = jobList.begin() + i;
    if (std::find(jobList.begin(), earlier, jobList[i]) != earlier) {
      trace_printf(1, 8, "[%s] Duplicate job detected:\n", kTag);
      return 11;
    }
    trace_printf(5, 8, "[%s] Job Inserted Successfully\n", kTag);
    if (ValidateJobType(jobList[i]) != 0) {
      trace_printf(1, 8, "[%s] Not able to validate jobTyep\n", kTag);
      return 1;
    }
    if (uint16_t rc = jobIsNewState(jobList[i]); rc != 0) {
      trace_printf(1, 8, "[%s] Not able to validate jobTyep\n", kTag);
      return rc;
    }
  }
  const std::vector<std::string> items(jobList.begin(), jobList.begin() + numJobs);
  properties["startTime"] = sdbus::Variant(startTime);
  properties["untilTime"] = sdbus::Variant(untilTime);
  properties["jsQueueID"] = sdbus::Variant(queueID);
  properties["itemCount"] = sdbus::Variant(uint32_t{numJobs});
  properties["queueState"] = sdbus::Variant(uint8_t{1});
  properties["jobQueueItem"] = sdbus::Variant(items);
  trace_printf(4, 8, "[%s]: Exiting jsInitQueueInfo", kTag);
  return 0;
}

bool unbindJobFromQueue(const std::string& jobID) {
  Jobservicejobinfo* object = getJobserviceinfoObject(jobID);
  if (object == nullptr) return false;
  const auto flags = static_cast<uint8_t>(object->get(&JobInfoRecord::flags) & ~kJobFlagQueued);
  object->setAllProperties({{"startTime", sdbus::Variant(int64_t{0})},
                            {"untilTime", sdbus::Variant(int64_t{0})},
                            {"flags", sdbus::Variant(flags)},
                            {"queueID", sdbus::Variant(std::string())}});
  return true;
}

uint16_t RollbackScheduledJobs(const std::vector<std::string>& jobList, uint16_t numJobs) {
  constexpr const char* kTag = "RollbackScheduledJobs";
  trace_printf(4, 8, "[%s ] Enter\n", kTag);
  uint16_t result = 0;
  for (uint16_t i = 0; i < numJobs; ++i) {
    if (i >= jobList.size()) {
      trace_printf(1, 8, "[%s] Error: job index out of bounds: %d\n", kTag, i);
      return 1;
    }
    const std::string& jobID = jobList[i];
    trace_printf(4, 8, "[%s:%d] jobList[%d] = %s\n", kTag, __LINE__, i, jobID.c_str());
    JobInfoRecord job;
    if (fetchJobInfoProperties(jobID, job) != 0) {
      trace_printf(4, 8, "[%s]: Failed to get properties for job = %s\n", kTag, jobID.c_str());
      result = 1;
      continue;
    }
    if (!unbindJobFromQueue(jobID)) {
      trace_printf(4, 8, "[%s]: Failed to get serviceInfo for job = %s\n", kTag, jobID.c_str());
      result = 1;
      continue;
    }
    trace_printf(4, 8, "[%s]: Successfully get properties for job object\n", kTag);
    trace_printf(4, 8, "[%s]: Job ID: %s", kTag, jobID.c_str());
    result = 0;
  }
  trace_printf(4, 8, "[%s ] Exit\n", kTag);
  return result;
}

uint16_t CheckDownloadingJobs(int64_t now, bool /*checkReboot*/, bool /*checkDownload*/) {
  constexpr const char* kTag = "CheckDownloadingJobs";
  try {
    trace_printf(4, 8, "[%s]: Entry ", kTag);
    uint16_t result = 0;
    bool listed = forEachJob([&](const std::string& id, const JobInfoRecord* job) {
      if (job == nullptr) {
        trace_printf(4, 8, "[%s]: Error fetching job info properties for job ID: %s", kTag, id.c_str());
        result = 37;
        return false;
      }
      logJobIdentity(kTag, *job);
      if (job->jobType != kDownloadJobType) {
        trace_printf(4, 8, "[%s]:Not what we are looking for: jobState=%d, jobType=%d, status=%s\n", kTag,
                     static_cast<int>(job->jobState), static_cast<int>(job->jobType), job->jobStatus.c_str());
        return true;
      }
      bool downloading = (job->jobStatus == "Downloading" || job->jobStatus == "New") && job->jobState != 4;
      if (!downloading) {
        trace_printf(4, 8, "INFO: Not what we are looking for: jobState=%d, jobType=%d, status=%s\n",
                     static_cast<int>(job->jobState), static_cast<int>(job->jobType), job->jobStatus.c_str());
        return true;
      }
      if (job->startTime <= now && jobIsKelvoUpdate(job->jobName)) {
        trace_printf(4, 8,
                     "[%s]:CheckDownloadingJobs: Need to cancel reboot request since there are jobs downloading\n",
                     kTag);
        result = 37;
        return false;
      }
      return true;
    });
    if (!listed) {
      trace_printf(4, 8, "[%s]: Error fetching job info objects", kTag);
      return 37;
    }
    if (result == 0) trace_printf(4, 8, "[%s]: Exit ", kTag);
    return result;
  } catch (const std::exception&) {
    trace_printf(4, 8, "[%s]: EXCEPTION  in job service not ready \n", kTag);
    return 37;
  }
}

}  // namespace velmer
