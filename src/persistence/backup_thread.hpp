// The backup command buffer and the backup thread.
//
// D-Bus handlers only post a command (an object ID and an operation); the backup thread
// carries the commands out in posting order: it is the only thread that writes, moves or
// deletes backup files and the only one that removes job and queue objects. Before it
// serves the buffer it restores the job store and hands the restored queues back to the
// queue-execution process.
//
// Every rewrite stores the whole store as it is at that moment, so one rewrite after the
// last change of a batch (and after its removals) stands for every change of the batch.
// A command that finds an equal one waiting merges with it, so the buffer holds at most
// one entry per object plus three and nothing is dropped. Rewrites start at most once per
// kMinRewriteInterval; a failed one is retried with a growing delay.
#pragma once

#include <chrono>
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

// A safety net only: merging keeps the buffer far below it. Hitting it is logged at
// level 1 ("Buffer is full") and the command is dropped.
inline constexpr size_t kBackupBufferCapacity = 256;

// The shortest time from the start of one rewrite of the backup files to the start of the
// next. Changes arriving meanwhile are carried by that next rewrite: under a steady
// stream of reports the files are rewritten at most 1 s / 300 ms, three times a second,
// and a change reaches flash within this interval plus two rewrites.
inline constexpr std::chrono::milliseconds kMinRewriteInterval{300};

// The delay before the first retry of a failed rewrite, doubled after each further
// failure up to the longest.
inline constexpr std::chrono::milliseconds kFirstRetryDelay{500};
inline constexpr std::chrono::milliseconds kLongestRetryDelay{30000};

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

// Carries out one batch of commands in order: removals at once; the rewrite of the
// backup files that the batch needs follows it (see markBackupStale).
void backupJCObjects(const std::vector<JSBackupCommand>& commands);

// The store changed: the backup thread rewrites the backup files after its current batch,
// once kMinRewriteInterval has passed since the start of the previous rewrite.
void markBackupStale();

// Starts the backup thread once; stopThread lets it carry out the commands still
// queued and the rewrite they need, then ends and joins it. A thread that never started
// (or a store that was never restored) leaves the files on flash untouched.
void startThread();
void stopThread();

// Prepares the backup directories and starts the backup thread: 0, or the failure code.
int JSStartBackupThread();

// Re-sends every queue to the queue-execution process (backup thread, after restore).
void JSScheduleQueues();

}  // namespace velmer
