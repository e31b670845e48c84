// Background clean-up after a deletion: the deleted job IDs are withdrawn from the host
// firmware's configuration staging (DCS protocol), and a forced clear-all restarts the
// data manager. Slow, so each deletion hands its list to a detached worker.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmer {

// Starts a detached worker for the deletion's list ("JID_CLEARALL" first for a
// clear-all); `force` is non-zero for "JID_CLEARALL_FORCE".
void JS_CleanupInBackground(std::vector<std::string> jobIDs, uint16_t force);

// Waits (bounded) for running workers to finish; called at shutdown so no worker
// outlives the process's data.
void waitForBackgroundCleanups();

}  // namespace velmer
