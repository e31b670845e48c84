// The per-job key-value store: the main object's blobKeyValue property (job ID ->
// caller -> key -> value), persisted as JSON together with the automatic-deletion
// time-out under the reserved member "__serviceConfig__".
//
// Every operation copies the property, changes the copy and stores it back. All callers
// hold the bus lock (blobKeyValue is a bus property whose change is signalled), so the
// D-Bus thread's and the backup thread's sequences never overlap.
#pragma once

#include <cstdint>
#include <string>

#include "bus.hpp"

namespace velmer {

inline constexpr const char* kServiceConfigMember = "__serviceConfig__";

// Writes the key-value file from the current properties (atomically).
void persistBlobKeyValue();

// Loads the key-value file into the properties (start-up).
void restoreBlobKeyValue();

// Drops the entries of jobs that do not exist (backup thread, after restore).
void checkBLOBStatus();

// Drops one job's entries: 0 when removed and written, 1 when there were none.
uint32_t jsRemoveJobFromBlobKeyValue(const std::string& jobID);

// The file's text for a store and a time-out: indent 4, members in byte order, no
// trailing newline.
std::string serializeBlobKeyValue(const bus::BlobKeyValue& store, uint32_t autoDeleteTimeout);

}  // namespace velmer
