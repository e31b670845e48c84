// Automatic job deletion and the removal of job and queue objects.
#pragma once

#include <cstdint>
#include <string>

namespace velmer {

// Removes one job or queue object and everything that depends on it (backup thread).
void CleanupDBusObject(const std::string& objectID);

// Runs one deletion pass: 3 deletes the jobs marked for deletion, 4 the finished jobs
// older than the automatic-deletion time-out (backup thread).
void JSProcessDeletionCommands(uint8_t operation);

}  // namespace velmer
