#include "jobs/job_state.hpp"

#include <cstdio>
#include <vector>

#include "jobs/job_registry.hpp"
#include "service/service_main.hpp"
#include "trace.h"

namespace velmer {

namespace {

// One row of the client-facing state table; a null status matches any text.
struct InterfaceStateRow {
  uint32_t jobState;
  const char* jobStatus;
  uint8_t result;
};

// First matching row wins.
constexpr InterfaceStateRow kInterfaceStates[] = {
    {4, "Failed", 10},
    {4, "Completed with Errors", 11},
    {4, "Reboot Failed", 13},
    {4, "Reboot Completed", 14},
    {4, "GracefulShutdown Failed", 10},
    {4, nullptr, 9},
    {2, nullptr, 4},
    {3, "Pending", 4},
    {3, "Paused, Waiting for Reboot", 8},
    {3, "Downloading", 1},
    {3, "Pending Reboot", 12},
    {3, "Completed, server reboot pending", 16},
    {3, "Completed, virtual AC pending", 17},
    {3, nullptr, 6},
    {1, "Running", 6},
    {1, "Downloading", 1},
    {1, "Pending Reboot", 12},
    {1, nullptr, 3},
    {0, "Ready For Execution", 5},
    {0, "Completed with Errors", 5},
    {0, "Ready For Restore", 5},
    {0, "Scheduled", 4},
    {0, "Pending Reboot", 12},
    {0, "Running", 6},
    {0, "Downloaded", 2},
    {0, "Downloading", 1},
    {0, "Completed, server reboot pending", 16},
    {0, "Completed, virtual AC pending", 17},
    {0, nullptr, 0},
    {5, nullptr, 15},
    {6, "Failed", 10},
    {6, "Completed with Errors", 11},
    {6, nullptr, 16},
    {7, "Failed", 10},
    {7, "Completed with Errors", 11},
    {7, nullptr, 17},
};

const InterfaceStateRow* findInterfaceState(uint32_t jobState, const std::string& jobStatus) {
  for (const auto& row : kInterfaceStates)
    if (row.jobState == jobState && (row.jobStatus == nullptr || jobStatus == row.jobStatus)) return &row;
  return nullptr;
}

// kelvofwJobState values that mean no controller firmware update is running.
bool firmwareUpdateIdle(uint16_t state) { return state == 0 || state == 30; }

}  // namespace

uint16_t getState4Interface(uint8_t currentInterfaceState, uint32_t jobState, const std::string& jobStatus,
                            uint8_t& result) {
  constexpr const char* kTag = "getState4Interface";
  trace_printf(4, 8, "[%s]:Enter \n", kTag);
  trace_printf(4, 8, "[%s] pIntfState  = %u, re_jobState = %u , jc_JobStatus= %s \n", kTag,
               currentInterfaceState, jobState, jobStatus.c_str());
  const InterfaceStateRow* row = findInterfaceState(jobState, jobStatus);
  result = row != nullptr ? row->result : currentInterfaceState;
  if (row != nullptr && row->jobState == 6 && row->jobStatus == nullptr)
    trace_printf(5, 8, "[%s]: SUCCESS result state4Intf = %u  \n", kTag, result);
  trace_printf(5, 8, "[%s]:SUCCESS result state4Intf = %u  \n", kTag, result);
  return 0;
}

void notifyJobStateChange(const std::string& jobID, uint8_t oldState, uint8_t newState) {
  constexpr const char* kTag = "notifyJobStateChange";
  trace_printf(4, 8, "[%s]:job state change [%s] from %d to %d\n", kTag, jobID.c_str(), oldState, newState);
  char oldText[8];
  char newText[8];
  std::snprintf(oldText, sizeof oldText, "%d", oldState);
  std::snprintf(newText, sizeof newText, "%d", newState);
  trace_printf(4, 8, "[%s]:job state change [%s] from [%s] to [%s]\n", kTag, jobID.c_str(), oldText, newText);
}

int jobIsKelvoUpdate(const std::string& jobName) {
  constexpr const char* kTag = "jobIsKelvoUpdate";
  trace_printf(4, 8, "[%s]: Entry ", kTag);
  if (jobName == "Firmware Update: Kelvo" || jobName == "Firmware Rollback: Kelvo") return 1;
  if (jobName.size() >= 8 && jobName.starts_with("update:")) {
    trace_printf(4, 8, "[%s]: Exit ", kTag);
    return 1;
  }
  return 0;
}

uint16_t JS_IsKelvoFWUpdateActive(uint8_t& active) {
  constexpr const char* kTag = "JS_IsKelvoFWUpdateActive";
  try {
    trace_printf(4, 8, "[%s]: Entry ", kTag);
    uint16_t state = mainObject().kelvofwJobState();
    if (!firmwareUpdateIdle(state)) {
      active = 1;
      trace_printf(4, 8, "[%s]: kelvofwJobState: %d", kTag, state);
    }
    return 0;
  } catch (const std::exception&) {
    trace_printf(4, 8, "[%s]: EXCEPTION  in job service not ready \n", kTag);
    return 37;
  }
}

uint16_t JS_IsKelvoFWUpdateActiveNotSCP(uint8_t& active) {
  constexpr const char* kTag = "JS_IsKelvoFWUpdateActiveNotSCP";
  try {
    trace_printf(4, 8, "[%s]: Entry ", kTag);
    uint16_t state = mainObject().kelvofwJobState();
    if (firmwareUpdateIdle(state)) return 0;
    active = 1;
    trace_printf(4, 8, "[%s]: kelvofwJobState: %d", kTag, state);
    // Only state 33 counts here; every other active state is reported and withdrawn.
    if (state != 33) {
      trace_printf(4, 8, "[%s]: kelvofwJobState: %d, ", kTag, state);
      active = 0;
    }
    return 0;
  } catch (const std::exception&) {
    trace_printf(4, 8, "[%s]: EXCEPTION  in job service not ready \n", kTag);
    return 37;
  }
}

uint16_t JS_SetkelvofwJobState(uint16_t state) {
  constexpr const char* kTag = "JS_SetkelvofwJobState";
  try {
    mainObject().kelvofwJobState(state);
    trace_printf(4, 8, "[%s]: Successfully set kelvofwJobState: %d", kTag, mainObject().kelvofwJobState());
    return 0;
  } catch (const std::exception&) {
    trace_printf(4, 8, "[%s]: EXCEPTION  in job service not ready \n", kTag);
    return 37;
  }
}

uint16_t ValidateJobType(const std::string& jobID) {
  constexpr const char* kTag = "ValidateJobType";
  if (jobID.empty()) {
    trace_printf(1, 8, "[%s] JobID is null\n", kTag);
    return 1;
  }
  bool listed = forEachJob([&](const std::string&, const JobInfoRecord* job) {
    if (job != nullptr) logJobIdentity(kTag, *job);
    return true;
  });
  if (!listed) {
    trace_printf(4, 8, "[%s]: Error fetching job info objects", kTag);
    return 37;
  }
  return 0;
}

uint16_t jobIsNewState(const std::string& jobID) {
  constexpr const char* kTag = "jobIsNewState";
  trace_printf(4, 8, "[%s]: Entry ", kTag);
  if (jobID.empty()) {
    trace_printf(1, 8, "[%s] JobID is null\n", kTag);
    return 1;
  }
  uint16_t result = 0;
  bool listed = forEachJob([&](const std::string& id, const JobInfoRecord* job) {
    if (job == nullptr) {
      trace_printf(4, 8, "[%s]: Error fetching job info properties for job ID: %s", kTag, id.c_str());
      return true;
    }
    logJobIdentity(kTag, *job);
    // A job bound to a queue keeps state 0 (a future start only changes its status), yet
    // it is no longer new: it must not be put into a second queue.
    if (job->jsJobID == jobID && (job->jobState != 0 || (job->flags & kJobFlagQueued))) {
      trace_printf(4, 8, "[%s]: Cannot add job to queue: invalid jobstate: %s", kTag, jobID.c_str());
      result = job->jobType == 20 && job->jobState != 4 ? 42 : 3;
      return false;
    }
    return true;
  });
  if (!listed) {
    trace_printf(4, 8, "[%s]: Error fetching job info objects", kTag);
    return 1;
  }
  if (result == 0) trace_printf(4, 8, "[%s]: Exit ", kTag);
  return result;
}

}  // namespace velmer
