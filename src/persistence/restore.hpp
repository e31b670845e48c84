// Restore at start-up: the directory preparation on the main thread, then the reading
// of the restore file and the re-creation of every job and queue on the backup thread.
#pragma once

#include <istream>

#include "jobs/job_record.hpp"
#include "queues/queue_record.hpp"

namespace velmer {

// Moves the previous run's backup directory to the restore directory and creates a new
// backup directory (main thread, before the backup thread exists): 0, or -1 when the
// backup directory cannot be created.
int StartJSRestore();

// Publishes every job and queue of the restore file, rewrites the backup file and
// deletes the restore directory (backup thread): 0, or -1 after an exception.
int JSRestore();

// Restores objects until the end of the stream or the first damaged object: 0, or -1.
int JS_RestoreFromFile(std::istream& stream);

// Restores one object: 0 for a restored object or a clean end, -1 for any failure.
int JS_RestoreObjectFromFile(std::istream& stream);

// What became of one restored object: published; left out because its record can never
// be published (an ID that names no object path); or refused by the bus.
enum class Publication { Published, LeftOut, Failed };

// Publish one restored object, registered like a new one. Take the bus lock themselves.
Publication createJobObjectInDBus(const JobInfoRecord& job);
Publication createQueueObjectInDBus(const JobQueueRecord& queue);

// Runs the post-restore tool for every job that was running (backup thread).
void JSPostRestore();

}  // namespace velmer
