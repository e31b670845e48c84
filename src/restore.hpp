// Restore at start-up: directory preparation on the main thread, then the reading of
// the restore file and the re-creation of the objects on the backup thread.
#pragma once

namespace velmer {

// Prepares the backup and restore directories (main thread, before the backup thread
// exists): 0, or -1 when the backup directory cannot be created.
int StartJSRestore();

// Publishes every job and queue of the restore file (backup thread): 0 or a failure code.
int JSRestore();

// Runs the post-restore tool for every job that was running (backup thread).
void JSPostRestore();

}  // namespace velmer
