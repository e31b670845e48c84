// The per-job key-value store: the main object's blobKeyValue property (job ID ->
// caller -> key -> value), kept on flash in the key-value file (key_value_file.hpp) by its
// writer (key_value_writer.hpp), together with the automatic-deletion time-out.
//
// Every change is made in place with the bus lock held (blobKeyValue is a bus property
// whose change is signalled). The lock also guards the store's running size, so that a
// write is weighed against the limits without walking the whole store, and so the D-Bus
// thread's and the backup thread's changes never overlap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "bus/bus.hpp"
#include "persistence/key_value_file.hpp"

namespace velmer {

// What a client may store. Every byte stored goes out in each change signal of
// blobKeyValue and into the file, so the whole store stays far below a bus message's
// limit, and its file within what the reader takes (kMaxKeyValueFileSize: JSON writes a
// control character as six bytes); job IDs are 16 characters, so 32 bytes leave room for
// any ID scheme.
inline constexpr size_t kMaxKeyValueJobIDBytes = 32;
inline constexpr size_t kMaxKeyValueCallerBytes = 255;
inline constexpr size_t kMaxKeyValueKeyBytes = 255;
inline constexpr size_t kMaxKeyValueValueBytes = 4096;
inline constexpr size_t kMaxKeyValueEntriesPerJob = 64;  // keys of all callers together
inline constexpr size_t kMaxKeyValueJobs = 512;          // twice the store's job limit
inline constexpr size_t kMaxKeyValueStoreBytes = 1024 * 1024;  // texts of the whole store

// Why writing `value` under job, caller and key would break a limit above or make the
// file larger than kMaxKeyValueFileSize, or null when it may be written. `storeBytes` is
// what `store` takes (keyValueStoreBytes); only the job written to is walked.
const char* keyValueWriteRefusal(const bus::BlobKeyValue& store, const KeyValueBytes& storeBytes,
                                 const std::string& jobID, const std::string& key, const std::string& callerName,
                                 const std::string& value);

// Whether the file of `store` stays within what the reader takes.
bool keyValueStoreFitsFile(const bus::BlobKeyValue& store);

// Loads the key-value file into the properties (start-up, with the bus lock held). What
// cannot be kept of a damaged file is left out and the file set aside, never written over.
void restoreBlobKeyValue();

// Drops the entries of jobs that do not exist (backup thread, after restore), but for
// the jobs `keptOnFlash` names: stored jobs this start could not publish keep theirs.
void checkBLOBStatus(const std::function<bool(const std::string&)>& keptOnFlash = {});

// Drops one job's entries (bus lock held): 0 when removed, 1 when there were none. The
// file follows with the next batch.
uint32_t jsRemoveJobFromBlobKeyValue(const std::string& jobID);

// The store or the time-out was set whole, by a client's Properties.Set or by
// setAllProperties (bus lock held): the running size follows, and so does the file.
void keyValueStoreReplaced();

}  // namespace velmer
