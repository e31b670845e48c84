// The backup command buffer and the backup thread.
//
// D-Bus handlers only post a command (an object ID and an operation); the backup thread
// carries the commands out in posting order: it is the only thread that writes, moves or
// deletes backup files and the only one that removes job and queue objects. Before it
// serves the buffer it restores the job store and hands the restored queues back to the
// queue-execution process.
//
// After each batch the flash writer (flash_writer.hpp) brings the files on flash up to
// date with the store as it is at that moment, so one write stands for every change of
// the batch. A command that finds an equal one waiting merges with it, so the buffer
// holds at most one entry per object plus three and nothing is dropped. The post-restore
// tools run on a thread of their own, so that the buffer is served while they run.
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

// What merging allows: one Delete per job and per queue (the counts are 16-bit) and one
// of each store-wide command. Never reached by the daemon's own posts; a flood of
// deletions of IDs that name nothing stops here ("Buffer is full", level 1).
inline constexpr size_t kBackupBufferCapacity = 2 * 65535 + 3;

// Creates and destroys the command buffer (start-up, shutdown).
void JSAllocateContextMemory();
void JSDeallocateContextMemory();

// Appends a command, or merges it with an equal one already waiting (a Create, ClearAll
// or AutoDelete with any waiting command of the same operation, a Delete with a waiting
// Delete of the same ID): true when queued or merged, false when the buffer is full (the
// command is dropped) or not allocated.
bool jsWriteToBuffer(const std::string& objectid, uint8_t operation);

// Moves every queued command out, oldest first. The caller holds the buffer's mutex.
std::vector<JSBackupCommand> readFromBuffer();

// Carries out one batch of commands in order: removals at once; the files on flash
// follow after the batch (see markBackupStale).
void backupJCObjects(const std::vector<JSBackupCommand>& commands);

// The store changed: the backup thread brings the files on flash up to date after its
// current batch.
void markBackupStale();

// Whether the start-up restore is over, so that creations no longer wait for it.
bool storeRestored();

// Starts the backup thread once; stopThread lets it carry out the commands still
// queued and the writes they need, then ends and joins it. A thread that never started
// (or a store that was never restored) leaves the files on flash untouched.
void startThread();
void stopThread();

// Prepares the backup directories and starts the backup thread: 0, or the failure code.
int JSStartBackupThread();

// Re-sends every queue to the queue-execution process (backup thread, after restore).
void JSScheduleQueues();

}  // namespace velmer
