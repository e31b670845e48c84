// Job creation: the checks that decide whether a job may be created, its ID, its
// initial properties, and everything a new job is registered with.
#pragma once

#include <sdbus-c++/Types.h>

#include <cstdint>
#include <map>
#include <string>

#include "bus/handler_frame.hpp"
#include "bus/method_handlers.hpp"

namespace velmer {

// Bit of the event flags that suppresses the "job created" event.
inline constexpr uint32_t kSuppressCreatedEvent = 2048;

// One creation on its way: the method's tag, its reply, and the creation's arguments.
struct CreationRequest {
  const char* tag;
  TripleReply result;
  std::string jobName;
  uint32_t jobType = 0;
  uint32_t eventFlags = 0;
  uint32_t systemErase = 0;
  bool throughCreateJobObject = false;  // logs createJobObject's closing line
};

// The creation paths. Each ends by replying through the request, at once or, when the
// store is full, after up to four checks one second apart made on another thread with
// the bus lock held (the handler returns meanwhile, so the bus keeps being served); the
// room found, the pre-requisites are checked again before the job is made.
void createJobObject(CreationRequest request);
void createJobObjectInternal(CreationRequest request);

// Answers every creation still waiting for room with the store-full refusal. Called at
// shutdown without the bus lock, before the connection closes.
void finishWaitingCreations();

// 0 when a job may be created, else the refusal code (40 lockdown, 4 empty name,
// 38 system erase running, 62 controller firmware update active, 37 check failed).
uint16_t CheckJobPreRequisites(const std::string& jobName, uint32_t jobType, uint32_t systemErase);

// 0 when the controller's lockdown mode is on, 1 otherwise (also when unreadable).
int JSCheckLockdownMode();

// 38 when a system-erase job is scheduled or running, else 0.
uint16_t CheckSysEraseJob();

// The start-up restore is over: creations that arrived during it go on (backup thread).
void resumeCreationsAfterRestore();

// A new unique ID with the prefix of `jobType` ("QID_" for 0, "RID_" for reboot jobs,
// "JID_" otherwise) and twelve digits, or "" when none was found in five attempts.
std::string getUniqueJobID(uint32_t jobType);

// The initial properties of a new job.
void jsInitJobInfo(std::map<std::string, sdbus::Variant>& properties, const std::string& jobID,
                   const std::string& jobName, uint32_t jobType);

// Reboot job types: "RID_" IDs, status "Pending Reboot", the reboot-pending event.
bool isRebootJobType(uint32_t jobType);

}  // namespace velmer
