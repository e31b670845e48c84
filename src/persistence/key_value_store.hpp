// The per-job key-value store: the main object's blobKeyValue property (job ID ->
// caller -> key -> value), persisted as JSON together with the automatic-deletion
// time-out under the reserved member "__serviceConfig__".
//
// Every operation copies the property, changes the copy and stores it back. All callers
// hold the bus lock (blobKeyValue is a bus property whose change is signalled), so the
// D-Bus thread's and the backup thread's sequences never overlap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "bus/bus.hpp"

namespace velmer {

inline constexpr const char* kServiceConfigMember = "__serviceConfig__";

// What a client may store. Every byte stored goes out in each change signal of
// blobKeyValue and into the file, so the whole store stays far below a bus message's
// limit; job IDs are 16 characters, so 32 bytes leave room for any ID scheme.
inline constexpr size_t kMaxKeyValueJobIDBytes = 32;
inline constexpr size_t kMaxKeyValueCallerBytes = 255;
inline constexpr size_t kMaxKeyValueKeyBytes = 255;
inline constexpr size_t kMaxKeyValueValueBytes = 4096;
inline constexpr size_t kMaxKeyValueEntriesPerJob = 64;  // keys of all callers together
inline constexpr size_t kMaxKeyValueJobs = 512;          // twice the store's job limit
inline constexpr size_t kMaxKeyValueStoreBytes = 1024 * 1024;  // texts of the whole store

// Why writing `value` under job, caller and key would break a limit above, or null
// when it may be written.
const char* keyValueWriteRefusal(const bus::BlobKeyValue& store, const std::string& jobID, const std::string& key,
                                 const std::string& callerName, const std::string& value);
// The key-value file's bounds on reading: a larger file, or members nested deeper than
// job ID -> caller -> key, is damage, refused before it costs memory.
inline constexpr size_t kMaxKeyValueFileSize = 4 * 1024 * 1024;
inline constexpr int kKeyValueFileDepth = 3;

// The store that a key-value file's text holds (its service settings included); throws
// on damage, as the start-up restore does.
bus::BlobKeyValue keyValueStoreFromText(std::string_view text);

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
