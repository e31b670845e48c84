// The per-job key-value store (the main object's blobKeyValue property), persisted as
// JSON together with the automatic-deletion time-out.
#pragma once

#include <cstdint>
#include <string>

namespace velmer {

// Writes the key-value file from the current properties.
void persistBlobKeyValue();

// Loads the key-value file into the properties (start-up).
void restoreBlobKeyValue();

// Drops the entries of jobs that do not exist (backup thread, after restore).
void checkBLOBStatus();

// Drops one job's entries: 0 when removed and written, 1 when there were none.
uint32_t jsRemoveJobFromBlobKeyValue(const std::string& jobID);

}  // namespace velmer
