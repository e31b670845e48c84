// Automatic job deletion and the removal of job and queue objects.
//
// Creation asks whether the store has reached its automatic-deletion capacity (then an
// AutoDelete command is posted) and whether the backup has room for another job. The
// backup thread runs the deletion passes and every removal of a job or queue object.
#pragma once

#include <cstdint>
#include <string>

#include "jobs/job_record.hpp"

namespace velmer {

// Jobs beyond this count do not fit the backup, whatever maxJobsInStore says.
inline constexpr uint16_t kBackupJobCapacity = 255;

// True when numJobsInStore has reached autoDeleteCapacity.
bool isJobAutoDeleteCapacityReached();

// Posts the AutoDelete command.
void initiateAutoDeletePolicy();

// 0 when another job fits the backup, 37 when it is full.
uint32_t isBackupSpaceAvailable();

// Runs one deletion pass: ClearAll deletes the jobs marked for deletion, AutoDelete the
// finished jobs whose completion is at least the time-out ago (backup thread).
void JSProcessDeletionCommands(uint8_t operation);

// Whether `job` is deleted by a pass of `operation` with `timeout` seconds.
bool JSIsAutoDeletionEnabled(uint8_t operation, const JobInfoRecord& job, uint32_t timeout);

// Removes one job or queue object and everything that depends on it: the bus object,
// the main object's list and counts, the backup files and the job's key-value entries.
// Backup thread only; takes the bus lock itself.
void CleanupDBusObject(const std::string& objectID);

}  // namespace velmer
