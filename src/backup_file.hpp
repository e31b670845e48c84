// The backup file: every job and queue of the store in one binary file in the backup
// directory, rewritten whole after every change.
#pragma once

namespace velmer {

// Rewrites the backup file from the job and queue objects. Backup thread only.
void JS_PersistObjects();

}  // namespace velmer
