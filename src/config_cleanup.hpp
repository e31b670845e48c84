// Pending-configuration clean-up: when a configuration job is deleted, the work it
// staged in a peer service (BIOS, network, Fibre Channel, InfiniBand and storage
// attributes, a BIOS time change, a system erase, a backup-and-restore request, the
// controller's own attributes) is cancelled there. The job type selects the peer.
#pragma once

#include <cstdint>
#include <string>

#include "job_record.hpp"

namespace velmer {

// Cancels the job's pending configuration: 0; 12 when an argument could not be
// formatted; or the non-zero status of the BIOS time cancel (65535 when that call failed).
uint16_t JS_CleanupPersistentData(const JobInfoRecord& job);

// Whether `jobName` names the device `fqdd`: the FQDD is found (ignoring case) at a
// place that is not the start of the name, right after a ':', and runs to the end.
bool jobNameMatchesFqdd(const std::string& jobName, const std::string& fqdd);

}  // namespace velmer
