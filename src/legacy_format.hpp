// The job store in the legacy layout, for firmware downgrades and upgrades.
#pragma once

namespace velmer {

// Writes every job and queue to the legacy file. Backup thread and shutdown.
void JS_PersistToJqlegacyFormat();

// Publishes the jobs and queues of the legacy file that the store does not have yet
// (backup thread, after JSRestore): 0 or a failure code.
int JS_RestoreFromJqlegacyBackup();

}  // namespace velmer
