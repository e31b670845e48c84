// The backup command buffer and the backup thread.
//
// D-Bus handlers only post a command (an object ID and an operation); the backup thread
// carries the commands out in posting order: it is the only thread that writes, moves or
// deletes backup files and the only one that removes job and queue objects. Before it
// serves the buffer it restores the job store and hands the restored queues back to the
// queue-execution process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmer {

enum JSBackupOperation : uint8_t {
  Create = 1,      // rewrite the backup file and the legacy copy
  Delete = 2,      // remove the named job or queue object
  ClearAll = 3,    // delete every job marked for deletion
  AutoDelete = 4,  // delete finished jobs older than the time-out
};

struct JSBackupCommand {
  uint8_t operation = 0;
  std::string objectid;
};

inline constexpr size_t kBackupBufferCapacity = 256;

// Creates and destroys the command buffer (start-up, shutdown).
void JSAllocateContextMemory();
void JSDeallocateContextMemory();

// Appends a command: true when queued, false when the buffer is full (the command is
// dropped) or not allocated.
bool jsWriteToBuffer(const std::string& objectid, uint8_t operation);

// Moves every queued command out, oldest first. The caller holds the buffer's mutex.
std::vector<JSBackupCommand> readFromBuffer();

// Carries out one batch of commands in order.
void backupJCObjects(const std::vector<JSBackupCommand>& commands);

// Starts the backup thread once; stopThread lets it carry out the commands still
// queued, then ends and joins it.
void startThread();
void stopThread();

// Prepares the backup directories and starts the backup thread: 0, or the failure code.
int JSStartBackupThread();

// Re-sends every queue to the queue-execution process (backup thread, after restore).
void JSScheduleQueues();

}  // namespace velmer
