#include "jobs/job_update.hpp"

#include <cinttypes>
#include <cstdlib>
#include <map>
#include <memory>
#include <string_view>

#include <sdbus-c++/Types.h>

#include "persistence/backup_thread.hpp"
#include "bus/bus.hpp"
#include "clock.hpp"
#include "events/events.hpp"
#include "evtwrap.h"
#include "jobs/job_registry.hpp"
#include "jobs/job_state.hpp"
#include "jobcache.h"
#include "bus/method_handlers.hpp"
#include "paths.hpp"
#include "queues/queue_management.hpp"
#include "trace.h"
#include "utl.h"

namespace velmer {

namespace {

constexpr const char* kTag = "updateJobInfoInStore";

constexpr uint32_t kBaseSelectors = JS_UPD_JOBNAME | JS_UPD_JOBSTATE | JS_UPD_PERCENT | JS_UPD_TIMEOUT;

std::string cut(const std::string& text, size_t maxBytes) { return bus::validUtf8Prefix(text, maxBytes); }

bool isFinalState(uint32_t state) { return state == 4 || state == 6 || state == 7; }

bool isFinalStatus(std::string_view status) {
  return status == "Completed" || status == "Completed with Errors" || status == "Failed";
}

bool containsIgnoringCase(std::string_view text, std::string_view word) {
  auto lower = [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); };
  for (size_t start = 0; start + word.size() <= text.size(); ++start) {
    size_t i = 0;
    while (i < word.size() && lower(text[start + i]) == lower(word[i])) ++i;
    if (i == word.size()) return true;
  }
  return false;
}

// One report being applied: the job as fetched, and the property values staged for
// one setAllProperties call.
struct Update {
  std::string jobID;
  JobInfoRecord job;
  int64_t now = 0;
  uint32_t effectiveState = 0;
  bool final = false;
  bool statusFromReport = false;  // the report brought its own status (and its events)
  std::string jobName, messageID, jobStatus, message, messageArgs;
  std::map<std::string, sdbus::Variant> staged;

  template <class T>
  void stage(const char* name, T value) {
    staged[name] = sdbus::Variant(value);
  }
};

void applyState(Update& u, uint16_t incoming) {
  const uint32_t stored = u.job.jobState;
  if (incoming > 7) {
    // An unknown state is not stored; the rest of the report still applies.
    trace_printf(1, 8, " [%s]: invalid jobState=%d\n", kTag, incoming);
    return;
  }
  if (incoming == stored) return;
  if (stored == 4 && (incoming == 2 || incoming == 3)) {
    trace_printf(4, 8,
                 "[%s]: Job State Changed From Failed to Schedule or Running , Hence Not Updating Job State\n", kTag);
  } else {
    trace_printf(4, 8, "[%s]:new job state: %d\n", kTag, incoming);
    u.stage("jobState", uint32_t{incoming});
    u.effectiveState = incoming;
    if (incoming == 3) u.stage("actualRunningStartTime", u.now);
    if (stored == 3) {
      if (u.effectiveState == 2) return;  // back to scheduled: neither stopped nor final
      u.stage("actualRunningStopTime", u.now);
    }
  }
  if (isFinalState(u.effectiveState)) {
    u.stage("completionTime", u.now);
    trace_printf(4, 8, " [ %s ] job completion time: %" PRId64 "\n", kTag, u.now);
    u.final = true;
  }
}

void applyPercent(Update& u, uint16_t incomingState, uint16_t percent, const std::string& statusArgument) {
  trace_printf(4, 8, "[%s] Percentage complete to %u\n", kTag, percent);
  if (isFinalState(incomingState) && isFinalStatus(statusArgument))
    u.stage("percentComplete", uint16_t{100});
  else if (percent != kUnchanged)
    u.stage("percentComplete", percent);
}

void applyTimeout(Update& u) {
  u.stage("runningTimeoutSeconds", u.job.runningTimeoutSeconds);
  trace_printf(4, 8, "[%s] runningTimeoutSeconds to %u\n", kTag, u.job.runningTimeoutSeconds);
  uint8_t flags = u.job.runningTimeoutSeconds != 0 ? (u.job.flags | kJobFlagHasTimeout)
                                                    : (u.job.flags & ~kJobFlagHasTimeout);
  u.stage("flags", flags);
}

// A firmware recovery image: the job-name word that selects it, its folders, the
// name part of the old payload, and its log lines (null where it logs none).
struct RecoveryPayload {
  std::string_view nameWord;
  std::string_view recoveryDir;
  std::string_view payloadDir;
  const char* oldPayloadPattern;
  const char* removingLine;
  const char* removeFailedLine;
  const char* removedLine;
  const char* copyingLine;
  const char* copiedLine;
  const char* copyFailedLine;
};

constexpr RecoveryPayload kRecoveryPayloads[] = {
    {"FPGA", paths::kCpldRecoveryDir, paths::kCpldPayloadDir, "payload",
     "[%s]remove recovery folder for cpld if exists", "[%s]not able to remove the content of cpld recovery folder",
     "[%s]removed the content of cpld recovery folder", "[%s]copying cpld payload", "[%s]Copied cpld payload",
     "[%s]not able to Copy cpld payload"},
    {"BIOS", paths::kBiosRecoveryDir, paths::kBiosPayloadDir, "cap", nullptr,
     "[%s]not able to remove the content of bios recovery folder", "[%s]removed the content of bios recovery folder",
     nullptr, "[%s]Copied bios payload", nullptr},
};

void logIfGiven(const char* line) {
  if (line != nullptr) trace_printf(4, 8, line, kTag);
}

// Lists the recovery folder, removes the old payload from it and copies the new one in.
void stageRecoveryPayload(const RecoveryPayload& image) {
  const std::string recovery = paths::resolve(image.recoveryDir);
  utl_ls_recursive_to_log_with_level(8, 1, recovery.c_str());
  logIfGiven(image.removingLine);
  if (utl_rm_children_force_recursive(recovery.c_str(), 0, image.oldPayloadPattern) != 0) {
    logIfGiven(image.removeFailedLine);
    return;
  }
  logIfGiven(image.removedLine);
  logIfGiven(image.copyingLine);
  const std::string payload = paths::resolve(image.payloadDir);
  if (utl_cp_children_force_recursive(payload.c_str(), recovery.c_str(), 1, nullptr) == 0)
    logIfGiven(image.copiedLine);
  else
    logIfGiven(image.copyFailedLine);
}

// A completed firmware job refreshes the recovery image its name mentions (both when
// it mentions both).
void stageRecoveryPayloads(const std::string& jobName) {
  for (const RecoveryPayload& image : kRecoveryPayloads)
    if (containsIgnoringCase(jobName, image.nameWord)) stageRecoveryPayload(image);
}

void submitCompletedEvent(const Update& u) {
  uint16_t status = JC_submitQVEvents_withArgs(4, 5, 3, "JCP037", 1, u.jobID.c_str());
  if (status == 0)
    trace_printf(4, 8, "[%s] Logged job completion event successfully\n", kTag);
  else
    trace_printf(4, 8, "[%s] JC_submitQVEvents_withArgs returned an error: status is %d, not logging event\n", kTag,
                 status);
}

void submitFailedEvent(const Update& u, const std::string& messageArgument) {
  trace_printf(4, 8, "[%s]job failed with message: %s", kTag, messageArgument.c_str());
  uint16_t status = 0;
  if (messageArgument.empty()) {
    std::string text = cut("Unable to run the job " + u.jobID + " because unknown error occured.", 255);
    status = JC_submitQVEvents_withArgs(4, 5, 3, "JCP042", 2, text.c_str(), u.jobID.c_str());
  } else {
    std::string text = cut("Unable to run the job " + u.jobID + " because " + messageArgument, 255);
    status = JC_submitQVEvents_withArgs(4, 5, 3, "JCP042", 3, text.c_str(), u.jobID.c_str(), u.job.message.c_str());
  }
  if (status == 0)
    trace_printf(4, 8, "[%s]Logged job completion event successfully\n", kTag);
  else
    trace_printf(4, 8, "[%s]AddEventsToQVLVAWithMsgArg returned an error: status is %d, not logging event\n", kTag,
                 status);
}

void applyStatus(Update& u, uint32_t selectors, const std::string& statusArgument) {
  if ((selectors & JS_UPD_JOBSTATUS) == 0 || statusArgument.empty()) {
    u.jobStatus = u.job.jobStatus;
    trace_printf(4, 8, "[%s] statusStr: %s\n", kTag, u.jobStatus.c_str());
    return;
  }
  u.jobStatus = cut(statusArgument, kMaxJobStatusBytes);
  u.statusFromReport = true;
  trace_printf(4, 8, "[%s] new statusStr: %s\n", kTag, u.jobStatus.c_str());
}

// The report's own status brings the completion and failure events.
void submitStatusEvents(const Update& u, const std::string& messageArgument) {
  if (!u.statusFromReport || (u.job.flags & kJobFlagNoEvents)) return;
  if (u.jobStatus == "Completed") {
    submitCompletedEvent(u);
    stageRecoveryPayloads(u.jobName);
  } else if (u.jobStatus == "Failed") {
    submitFailedEvent(u, messageArgument);
  }
}

// The final-status event goes out on every report for a job in a final state.
void submitFinalStatusEvent(const Update& u) {
  if (!isFinalState(u.effectiveState) || !isFinalStatus(u.jobStatus)) return;
  std::string text = cut(u.jobID + "|" + u.job.jobName + "|" + u.jobStatus, 255);
  trace_printf(4, 8, "[%s]Sending MUT0007 event \"%s\" to QV Log", kTag, text.c_str());
  JC_submitQVEvents_withArgs(70, 1, 1, "MUT0007", 1, text.c_str());
}

void stageTexts(Update& u) {
  if (!u.job.queueID.empty()) {
    trace_printf(4, 8, "[%s] QueueID: %s\n", kTag, u.job.queueID.c_str());
    u.stage("queueID", u.job.queueID);
  }
  const std::pair<const char*, const std::string*> texts[] = {{"jobName", &u.jobName},
                                                              {"jobStatus", &u.jobStatus},
                                                              {"message", &u.message},
                                                              {"messageID", &u.messageID},
                                                              {"messageArgs", &u.messageArgs}};
  for (const auto& [name, value] : texts)
    if (!value->empty()) u.stage(name, *value);
  trace_printf(4, 8, "[%s] jobID = %s, jobState = %u jobStatus = %s\n", kTag, u.jobID.c_str(), u.effectiveState,
               u.jobStatus.c_str());
}

void stageInterfaceState(Update& u) {
  uint8_t interfaceState = u.job.jobStateForInterface;
  if (getState4Interface(u.job.jobStateForInterface, u.effectiveState, u.jobStatus, interfaceState) == 0)
    u.stage("jobStateForInterface", interfaceState);
  else
    trace_printf(4, 8, "[%s] Error Mapping Value for intfState \n", kTag);
  trace_printf(4, 8, " %s value of jobStateForInterface =  %u , jobID = %s\n", kTag, interfaceState, u.jobID.c_str());
}

// 0 when the staged values are on the job object, else 37.
uint16_t applyToJobObject(const Update& u) {
  Jobservicejobinfo* object = getJobserviceinfoObject(u.jobID);
  if (object == nullptr) {
    trace_printf(4, 8, "[%s] jobserviceinfoObject is null for jobId = %s, job property will not be set  \n", kTag,
                 u.jobID.c_str());
    return 37;
  }
  if (object->setAllProperties(u.staged) != 0) {
    trace_printf(4, 8, "[%s]: Failed to set properties for job object", kTag);
    return 37;
  }
  trace_printf(4, 8, "[%s]: Successfully set properties for job object", kTag);
  return 0;
}

void submitUpdatedEvent(const Update& u, uint32_t selectors) {
  if ((u.job.flags & kJobFlagNoEvents) || u.job.jobType == 180 || u.job.jobType == 182) return;
  if ((selectors & ~static_cast<uint32_t>(JS_UPD_PERCENT)) == 0) return;
  uint16_t status = JC_submitQVEvents_withArgs(66, 5, 3, "JCP028", 1, "Job status updated");
  if (status == 0)
    trace_printf(4, 8, "[%s]Logged job update event successfully", kTag);
  else
    trace_printf(4, 8, "[%s]QVLOGCMNSubmitEvent returned an error: status is %d, not logging event", kTag, status);
}

// The message text registered for `messageID`, with the report's message arguments as
// its one argument. Empty when nothing was found.
std::string lookUpMessage(const std::string& messageID, const std::string& messageArgs) {
  char argsBuffer[1024];
  uint32_t argsLength = sizeof argsBuffer;
  const char* argument = messageArgs.c_str();
  bool haveArgs = !messageArgs.empty() && EVTWRAPBuildMsgArgsBuffer(&argument, 1, argsBuffer, &argsLength) == 0;
  char* text = nullptr;
  uint16_t status = JCGetMessageFromMsgIDFallbackAlloc(messageID.c_str(), &text, haveArgs ? argsBuffer : nullptr);
  std::unique_ptr<char, decltype(&std::free)> owned(text, &std::free);
  return status == 0 && text != nullptr ? std::string(text) : std::string();
}

}  // namespace

uint16_t jobServUpdateJobInfo(const std::string& jobID, uint16_t jobState, uint16_t percentComplete,
                              const std::string& jobStatus, const std::string& message,
                              const std::string& messageID, const std::string& messageArgs) {
  constexpr const char* kMethodTag = "jobServUpdateJobInfo";
  return methodFrame(kMethodTag, "[%s]: EXCEPTION  in job update \n", [&]() -> uint16_t {
    trace_printf(4, 8, "[%s]: Entering jobServUpdateJobInfo \n", kMethodTag);
    if (jobID.empty()) {
      trace_printf(1, 8, "[%s]: jobID is empty\n", kMethodTag);
      return 1;
    }
    uint32_t selectors = kBaseSelectors;
    if (!message.empty()) selectors |= JS_UPD_MESSAGE;
    if (!messageArgs.empty()) selectors |= JS_UPD_MESSAGEARGS;
    if (!jobStatus.empty()) selectors |= JS_UPD_JOBSTATUS;
    if (!messageID.empty()) selectors |= JS_UPD_MESSAGEID;
    std::string effectiveMessage = message;
    if (!messageID.empty() && message.empty()) {
      effectiveMessage = lookUpMessage(messageID, messageArgs);
      if (!effectiveMessage.empty()) selectors |= JS_UPD_MESSAGE;
    }
    uint16_t status = updateJobInfoInStore(jobID, jobState, percentComplete, jobStatus, effectiveMessage, messageID,
                                           messageArgs, selectors);
    trace_printf(4, 8, "[%s]: job update velmerResponseStatus = %d\n", kMethodTag, status);
    return status;
  });
}

uint16_t updateJobInfoInStore(const std::string& jobID, uint16_t jobState, uint16_t percentComplete,
                              const std::string& jobStatus, const std::string& message, const std::string& messageID,
                              const std::string& messageArgs, uint32_t selectors) {
  try {
    Update u;
    u.jobID = jobID;
    if (fetchJobInfoProperties(jobID, u.job) != 0 || u.job.jsJobID.empty() || u.job.jsJobID != jobID) return 37;
    if (u.job.flags == kJobFlagDeleted) return 1;

    u.now = currentTimeSeconds();
    u.stage("latestUpdateTime", u.now);
    trace_printf(4, 8, "[%s]:Fetched jobState  %d, received from consumer %d\n", kTag,
                 static_cast<int>(u.job.jobState), jobState);
    const uint32_t oldState = u.job.jobState;
    u.effectiveState = oldState;
    if ((selectors & JS_UPD_JOBSTATE) && jobState != kUnchanged) applyState(u, jobState);
    if (selectors & JS_UPD_PERCENT) applyPercent(u, jobState, percentComplete, jobStatus);
    if (selectors & JS_UPD_TIMEOUT) applyTimeout(u);

    u.jobName = u.job.jobName;
    if (selectors & JS_UPD_JOBNAME) {
      u.jobName = cut(u.jobName, kMaxJobNameBytes);
      trace_printf(4, 8, "[%s] new jobName: %s\n", kTag, u.jobName.c_str());
    } else {
      trace_printf(4, 8, "[%s] current jobName: %s\n", kTag, u.jobName.c_str());
    }
    if ((selectors & JS_UPD_MESSAGEID) && !messageID.empty()) {
      u.messageID = cut(messageID, kMaxMessageIDBytes);
      trace_printf(4, 8, "[%s] messageID: %s\n", kTag, u.messageID.c_str());
    } else {
      u.messageID = u.job.messageID;
      trace_printf(4, 8, "[%s]current messageID: %s\n", kTag, u.messageID.c_str());
    }
    applyStatus(u, selectors, jobStatus);
    if ((selectors & JS_UPD_MESSAGE) && !message.empty()) {
      u.message = cut(message, kMaxMessageBytes);
      trace_printf(4, 8, "[%s]current message: %s\n", kTag, u.message.c_str());
    }
    if ((selectors & JS_UPD_MESSAGEARGS) && !messageArgs.empty())
      u.messageArgs = cut(messageArgs, kMaxMessageArgsBytes);
    stageTexts(u);
    stageInterfaceState(u);

    // Events and payload staging only for a report that reached the job: an update
    // that is not applied leaves no trace in the event log.
    if (uint16_t rc = applyToJobObject(u); rc != 0) return rc;
    submitStatusEvents(u, message);
    submitFinalStatusEvent(u);
    submitUpdatedEvent(u, selectors);
    trace_printf(4, 8, "[%s]: notifying backup\n", kTag);
    jsWriteToBuffer(jobID, Create);
    addJobToCache(kTag, u.job.jsJobID);
    if (u.final) {
      if (uint16_t rc = manageJobQueue(u.job.queueID, kCheckCompletedQueue); rc != 0) return rc;
    }
    if (u.effectiveState != oldState) {
      trace_printf(4, 8, "[%s] notify %d %d\n", kTag, static_cast<int>(oldState), static_cast<int>(u.effectiveState));
      notifyJobStateChange(jobID, static_cast<uint8_t>(oldState), static_cast<uint8_t>(u.effectiveState));
    }
    return 0;
  } catch (const std::exception&) {
    trace_printf(4, 8, "[%s]: jobinfo object creation failed", kTag);
    return 37;
  }
}

}  // namespace velmer
