// Background clean-up after a deletion: the deleted job IDs are withdrawn from the host
// firmware's configuration staging (DCS protocol), and a forced clear-all restarts the
// data manager. Slow, so each deletion hands its list to a detached worker.
//
// Workers share nothing with the daemon but the logging facility and take none of its
// locks; the UEFI-access and function-broker libraries accept calls from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "uefi.h"

namespace velmer {

// Starts a detached worker for the deletion's list ("JID_CLEARALL" first for a
// clear-all); `force` is non-zero for "JID_CLEARALL_FORCE".
void JS_CleanupInBackground(std::vector<std::string> jobIDs, uint16_t force);

// Waits (bounded) for running workers to finish; called at shutdown so no worker
// outlives the process's data.
void waitForBackgroundCleanups();

// The worker's body: sync, cancel every listed job, sync again, and for a forced
// clear-all restart the data manager.
void JS_CleanupInBackgroundWork(const std::vector<std::string>& jobIDs, uint16_t force);

// The DCS protocol instance, or null when the library has none. The library is
// initialised again on every call.
EFI_DCS_PROTOCOL* JC_GetDCSProto();

// Makes the host firmware's staging reread the job store.
void JC_CallDCSSynchFromDB();

// Withdraws one job's staged configuration. A null or empty ID does nothing.
void JC_CallDCSCancel(const char* jobID);

// JC_CallDCSCancel for every entry that is not a clear-all placeholder.
void JC_CallDCSCancelForList(const std::vector<std::string>& jobIDs);

// Asks the privileged service, through the function broker, to restart the data
// manager: 0; 12 when there is no broker client; 19 when the restart call failed.
uint16_t JC_restart_DM_nonroot();

// Whether the list entry stands for a clear-all rather than a job: it equals
// "JID_CLEARALL" or "JID_CLEARALL_FORCE" over its own length, so any leading part of
// those words (the empty string too) is skipped as well.
bool dcsCancelSkips(std::string_view jobID);

// The job ID as the DCS protocol takes it: one unit per byte, at most the first
// kDcsJobIdUnits - 1 characters, then a 0 unit. `wide` holds kDcsJobIdUnits units.
inline constexpr size_t kDcsJobIdUnits = 21;
void fillDcsJobId(EFI_DCS_CHAR* wide, const char* jobID);

// The request records of the two commands.
EFI_DCS_REQUEST makeDcsSyncRequest();
EFI_DCS_REQUEST makeDcsCancelRequest(const EFI_DCS_CHAR* wideJobID);

}  // namespace velmer
