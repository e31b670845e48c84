// Pending-configuration clean-up: when a configuration job is deleted, the work it
// staged in a peer service (BIOS, network, Fibre Channel, InfiniBand and storage
// attributes, a BIOS time change, a system erase, a backup-and-restore request, the
// controller's own attributes) is cancelled there. The job type selects the peer.
//
// Everything here runs on the D-Bus thread and blocks it for each peer call (see
// peer_call.hpp) and for the system-erase tool. No exception leaves these functions.
#pragma once

#include <cstdint>
#include <string>

#include "jobs/job_record.hpp"

namespace velmer {

// The log tag of every step of the clean-up.
inline constexpr const char* kCleanupOperation = "JS_CleanupPersistentData";

// Cancels the job's pending configuration: 0; 12 when an argument could not be
// formatted; or the non-zero status of the BIOS time cancel (65535 when that call failed).
uint16_t JS_CleanupPersistentData(const JobInfoRecord& job);

// Whether `jobName` names the device `fqdd`: the FQDD is found (ignoring case) at a
// place that is not the start of the name, right after a ':', and runs to the end.
bool jobNameMatchesFqdd(const std::string& jobName, const std::string& fqdd);

// The FQDD, read from the "Key" (network, Fibre Channel, InfiniBand) or "Fqdd" (storage)
// property, of the first device under `interfaceName` that `jobName` names; "" when none.
std::string JS_getFQDDFromDBUS(const std::string& jobName, const std::string& interfaceName);
std::string JS_getRAIDFQDDFromDBUS(const std::string& jobName, const std::string& interfaceName);

// The BIOS FQDD from the BIOS inventory object; "" when it cannot be read.
std::string JS_getBIOSFQDDFromDBUS();

// Asks a configuration manager to drop what it holds for (FQDD, job ID): the peer's
// status; 1 for an empty job ID; 37 when the call failed.
int16_t InvokeDeletePendingConfigurationDBUS(const std::string& fqdd, const std::string& jobID,
                                             const std::string& busName, const std::string& objectPath,
                                             const std::string& interfaceName, const std::string& methodName);

// Asks the provisioning service to drop a staged BIOS time change: its status; -1 when
// the call failed.
int32_t JS_CancelSetBIOSTimeJob();

}  // namespace velmer
