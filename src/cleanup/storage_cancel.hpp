// Storage (RAID) configuration clean-up: the storage service holds staged controller and
// drive configuration per job; deleting a storage job cancels it there.
#pragma once

#include <cstdint>
#include <string>

#include "jobs/job_record.hpp"

namespace velmer {

// Cancels the storage configuration of the device the job's name names (the drive when
// both a controller and a drive match). Failures are logged; the clean-up goes on.
void cleanUpStorageJob(const JobInfoRecord& job);

// Asks the storage service to cancel what it holds for (job ID, FQDD): the status of
// storageCancelStatus; 1 for an empty job ID; 37 when the call failed.
uint16_t InvokeDeletePendingConfiguration_RAID(const std::string& jobID, const std::string& fqdd,
                                               const std::string& busName, const std::string& objectPath,
                                               const std::string& interfaceName, const std::string& methodName);

// The storage service's answer (P, S) as a status: 0 when P is 0 (cancelled); otherwise
// 25 when P is 0x8000000000000007, else 12 when S is not 0xFFFFFFFF, else 0.
uint16_t storageCancelStatus(uint64_t p, uint64_t s);

}  // namespace velmer
