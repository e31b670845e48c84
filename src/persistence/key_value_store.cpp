#include "persistence/key_value_store.hpp"

#include <functional>

#include <charconv>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "bus/method_handlers.hpp"
#include "jobs/job_registry.hpp"
#include "persistence/atomic_file.hpp"
#include "persistence/key_value_writer.hpp"
#include "service/service_main.hpp"
#include "trace.h"

namespace velmer {

namespace {

// What the property's store takes, kept up to date by every change; guarded by the bus
// lock, as the changes are.
KeyValueBytes storeBytes;

// Edits the store in place, with one change signal unless `edit` returns false (nothing
// changed). The running size follows the jobs `jobIDs`, the only ones `edit` may touch.
template <class Edit>
void editJobs(std::span<const std::string> jobIDs, Edit&& edit) {
  auto bytesOf = [&](const bus::BlobKeyValue& store) {
    KeyValueBytes bytes;
    for (const std::string& id : jobIDs)
      if (const auto job = store.find(id); job != store.end()) bytes += keyValueJobBytes(id, job->second);
    return bytes;
  };
  mainObject().update(&MainRecord::blobKeyValue, "blobKeyValue", [&](bus::BlobKeyValue& store) {
    const KeyValueBytes before = bytesOf(store);
    if (!edit(store)) return false;
    storeBytes -= before;
    storeBytes += bytesOf(store);
    return true;
  });
}

// Removes the jobs' entries: the IDs of those that had any.
std::vector<std::string> removeJobs(std::span<const std::string> jobIDs) {
  std::vector<std::string> removed;
  editJobs(jobIDs, [&](bus::BlobKeyValue& store) {
    for (const std::string& id : jobIDs)
      if (store.erase(id) != 0) removed.push_back(id);
    return !removed.empty();
  });
  if (!removed.empty()) writeKeyValueFileSoon();
  return removed;
}

// One pair written, with what it replaced: enough to take it back.
struct PairWrite {
  std::string jobID, caller, key, value;
  std::optional<std::string> previous;
  bool newJob = false, newCaller = false;
};

PairWrite applyPair(bus::BlobKeyValue& store, const std::string& jobID, const std::string& caller,
                    const std::string& key, const std::string& value) {
  PairWrite write{jobID, caller, key, value, std::nullopt, !store.contains(jobID), false};
  KeyValueCallers& callers = store[jobID];
  write.newCaller = !callers.contains(caller);
  auto& keys = callers[caller];
  if (const auto entry = keys.find(key); entry != keys.end()) write.previous = entry->second;
  keys[key] = value;
  return write;
}

// Takes a write back unless a later change replaced its value; the job and caller
// entries it made go with it when nothing else is left in them.
bool takeBack(bus::BlobKeyValue& store, const PairWrite& write) {
  const auto job = store.find(write.jobID);
  if (job == store.end()) return false;
  const auto caller = job->second.find(write.caller);
  if (caller == job->second.end()) return false;
  auto& keys = caller->second;
  const auto entry = keys.find(write.key);
  if (entry == keys.end() || entry->second != write.value) return false;
  if (write.previous)
    entry->second = *write.previous;
  else
    keys.erase(entry);
  if (write.newCaller && keys.empty()) job->second.erase(caller);
  if (write.newJob && job->second.empty()) store.erase(job);
  return true;
}

void logPairWrite(const char* tag, const PairWrite& write) {
  trace_printf(4, 8, "[%s]: Setting the key value for caller=%s, job=%s, key=%s, value=%s\n", tag,
               write.caller.c_str(), write.jobID.c_str(), write.key.c_str(), write.value.c_str());
  if (write.newJob)
    trace_printf(4, 8, "[%s]: Job ID %s not found in key, create a new entry\n", tag, write.jobID.c_str());
  if (write.newCaller)
    trace_printf(4, 8, "[%s]: Caller %s not found in key, create a new entry\n", tag, write.caller.c_str());
  if (write.previous)
    trace_printf(4, 8, "[%s]: Key already exists , Key-Value set successfully \n", tag);
  else
    trace_printf(4, 8, "[%s]: Key does not exists , Key-Value set successfully \n", tag);
  trace_printf(4, 8, "[%s]: Key-Value set successfully \n", tag);
}

// The saved time-out text as a number: plain decimal digits only (no sign, no blanks,
// nothing after them) within 32 bits; anything else is logged and not taken.
std::optional<uint32_t> parseSavedTimeout(const std::string& text) {
  uint32_t value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (!text.empty() && error == std::errc() && stop == end) return value;
  trace_printf(2, 8, "[%s]: autoDeleteTimeout \"%s\" is not a decimal number of 32 bits, not restored\n",
               "restoreBlobKeyValue", bus::validUtf8Prefix(text, 64).c_str());
  return std::nullopt;
}

// The saved time-out, if the service member holds one that is not zero.
void restoreTimeout(const bus::BlobKeyValue& store) {
  const auto config = store.find(kServiceConfigMember);
  if (config == store.end()) return;
  const auto daemon = config->second.find("velmerd");
  if (daemon == config->second.end()) return;
  const auto timeout = daemon->second.find("autoDeleteTimeout");
  if (timeout == daemon->second.end()) return;
  const std::optional<uint32_t> value = parseSavedTimeout(timeout->second);
  if (!value || *value == 0) return;
  mainObject().autoDeleteTimeout(*value, false);
  trace_printf(4, 8, "[%s]: Restored autoDeleteTimeout=%u\n", "restoreBlobKeyValue", *value);
}

size_t entriesOf(const KeyValueCallers& callers) {
  size_t entries = 0;
  for (const auto& [caller, keys] : callers) entries += keys.size();
  return entries;
}

}  // namespace

const char* keyValueWriteRefusal(const bus::BlobKeyValue& store, const KeyValueBytes& storeBytes,
                                 const std::string& jobID, const std::string& key, const std::string& callerName,
                                 const std::string& value) {
  if (jobID.size() > kMaxKeyValueJobIDBytes) return "job ID too long";
  if (callerName.size() > kMaxKeyValueCallerBytes) return "caller name too long";
  if (key.size() > kMaxKeyValueKeyBytes) return "key too long";
  if (value.size() > kMaxKeyValueValueBytes) return "value too long";
  const auto job = store.find(jobID);
  const bool newJob = job == store.end();
  if (newJob && store.size() >= kMaxKeyValueJobs) return "too many jobs with entries";
  KeyValueCallers after = newJob ? KeyValueCallers{} : job->second;
  auto& keys = after[callerName];
  if (!newJob && !keys.contains(key) && entriesOf(job->second) >= kMaxKeyValueEntriesPerJob)
    return "too many entries for the job";
  keys[key] = value;
  KeyValueBytes total = storeBytes;
  if (!newJob) total -= keyValueJobBytes(jobID, job->second);
  total += keyValueJobBytes(jobID, after);
  if (total.texts > kMaxKeyValueStoreBytes) return "the store would be too large";
  if (keyValueFileBytes(store.size() + (newJob ? 1 : 0), total.file) > kMaxKeyValueFileSize)
    return "the file would be larger than the reader takes";
  return nullptr;
}

bool keyValueStoreFitsFile(const bus::BlobKeyValue& store) {
  return keyValueFileBytes(store.size(), keyValueStoreBytes(store).file) <= kMaxKeyValueFileSize;
}

void restoreBlobKeyValue() {
  constexpr const char* kTag = "restoreBlobKeyValue";
  trace_printf(4, 8, "[%s]: Restoring blobKeyValue from file\n", kTag);
  const std::string path = keyValueFilePath();
  std::optional<KeyValueFileContents> contents;
  try {
    removeStrayTemporaryFiles(std::filesystem::path(path).parent_path().string());
    contents = readKeyValueFile(path);
  } catch (const std::exception& e) {
    contents = KeyValueFileContents{{}, std::string("not read: ") + e.what()};  // so never written over
  }
  if (!contents) {
    trace_printf(4, 8, "[%s]: File not found, initializing empty blobKeyValue\n", kTag);
    keyValueFileRestored("");
    return;
  }
  keyValueFileRestored(contents->damage);
  storeBytes = keyValueStoreBytes(contents->store);
  mainObject().blobKeyValue(contents->store, false);
  trace_printf(4, 8, "[%s]: Successfully restored blobKeyValue from file\n", kTag);
  restoreTimeout(contents->store);
}

uint32_t jsRemoveJobFromBlobKeyValue(const std::string& jobID) {
  constexpr const char* kTag = "jsRemoveJobFromBlobKeyValue";
  try {
    if (removeJobs(std::span(&jobID, 1)).empty()) {
      trace_printf(4, 8, "[%s]: Job ID %s not found in blobKeyValue\n", kTag, jobID.c_str());
      return 1;
    }
    trace_printf(4, 8, "[%s]: Job ID %s removed from blobKeyValue\n", kTag, jobID.c_str());
    return 0;
  } catch (const std::exception& e) {
    trace_printf(2, 8, "[%s]: Exception: %s\n", kTag, e.what());
    return 1;
  }
}

void checkBLOBStatus(const std::function<bool(const std::string&)>& keptOnFlash) {
  constexpr const char* kTag = "checkBLOBStatus";
  try {
    trace_printf(4, 8, "[%s]: Entering checkBLOBStatus\n", kTag);
    const std::vector<std::string> jobIDs = mainObject().visit([](const MainRecord& main) {
      std::vector<std::string> ids;
      for (const auto& [id, callers] : main.blobKeyValue) ids.push_back(id);
      return ids;
    });
    std::vector<std::string> gone;
    for (const std::string& jobID : jobIDs) {
      trace_printf(4, 8, "[%s]: Key: %s, check if job ID is present\n", kTag, jobID.c_str());
      JobInfoRecord job;
      if (fetchJobInfoProperties(jobID, job) == 0 || (keptOnFlash && keptOnFlash(jobID))) {
        trace_printf(4, 8, "[%s]: Job ID: %s is available\n", kTag, jobID.c_str());
        continue;
      }
      trace_printf(4, 8, "[%s]: Job ID: %s is not available\n", kTag, jobID.c_str());
      gone.push_back(jobID);
    }
    std::vector<std::string> removed;
    if (!gone.empty()) {
      bus::Access busAccess;  // one change, one write, for all of them
      removed = removeJobs(gone);
    }
    for (const std::string& jobID : removed)
      trace_printf(4, 8, "[%s]: Job ID %s removed successfully from blob\n", kTag, jobID.c_str());
    trace_printf(4, 8, "[%s]: Exiting checkBLOBStatus\n", kTag);
  } catch (const std::exception& e) {
    trace_printf(4, 8, "[%s]: Exception: %s\n", kTag, e.what());
  }
}

void keyValueStoreReplaced() {
  storeBytes = mainObject().visit([](const MainRecord& main) { return keyValueStoreBytes(main.blobKeyValue); });
  writeKeyValueFileSoon();
}

void jsWriteBLOBKeyValue(const std::string& jobID, const std::string& key, const std::string& callerName,
                         const std::string& value, const StatusReply& reply) {
  constexpr const char* kTag = "jsWriteBLOBKeyValue";
  try {
    trace_printf(4, 8, "[%s]: Entering jsWriteBLOBKeyValue service\n", kTag);
    // Every byte stored here is sent in each change signal of blobKeyValue and kept
    // in the file: what a client may store is bounded.
    std::optional<PairWrite> pair;
    const char* refusal = nullptr;
    editJobs(std::span(&jobID, 1), [&](bus::BlobKeyValue& store) {
      refusal = keyValueWriteRefusal(store, storeBytes, jobID, key, callerName, value);
      if (refusal == nullptr) pair = applyPair(store, jobID, callerName, key, value);
      return refusal == nullptr;
    });
    if (!pair) {
      trace_printf(2, 8, "[%s]: refused (%s): job %zu, caller %zu, key %zu, value %zu bytes\n", kTag, refusal,
                   jobID.size(), callerName.size(), key.size(), value.size());
      reply(1);
      return;
    }
    logPairWrite(kTag, *pair);
    // Answered once the file holds the pair; a pair the file cannot take is taken back.
    writeKeyValueFileFor([write = std::move(*pair), reply](bool written) {
      if (written) {
        trace_printf(4, 8, "[%s]: Key-Value persisted successfully \n", kTag);
      } else {
        editJobs(std::span(&write.jobID, 1), [&](bus::BlobKeyValue& store) { return takeBack(store, write); });
        trace_printf(2, 8, "[%s]: the file was not written: job %s, key %s refused and taken back\n", kTag,
                     write.jobID.c_str(), write.key.c_str());
      }
      reply(written ? 0 : 1);
    });
  } catch (const std::exception& e) {
    trace_printf(2, 8, "[%s]: EXCEPTION in jsWriteBLOBKeyValue: %s\n", kTag, e.what());
    reply(1);
  }
}

StatusText jsReadBLOBKeyValue(const std::string& jobID, const std::string& callerName, const std::string& key) {
  constexpr const char* kTag = "jsReadBLOBKeyValue";
  try {
    trace_printf(4, 8, "[%s]: Entering jsReadBLOBKeyValue service\n", kTag);
    const bus::BlobKeyValue store = mainObject().blobKeyValue();
    auto job = store.find(jobID);
    if (job == store.end()) {
      trace_printf(2, 8, "[%s]: Job ID %s not found\n", kTag, jobID.c_str());
      return {1, ""};
    }
    auto caller = job->second.find(callerName);
    if (caller == job->second.end()) {
      trace_printf(2, 8, "[%s]: Caller Name %s not found for Job ID %s\n", kTag, callerName.c_str(), jobID.c_str());
      return {1, ""};
    }
    auto entry = caller->second.find(key);
    if (entry == caller->second.end()) {
      trace_printf(2, 8, "[%s]: Key %s not found for Caller Name %s and Job ID %s\n", kTag, key.c_str(),
                   callerName.c_str(), jobID.c_str());
      return {50, ""};
    }
    trace_printf(4, 8, "[%s]: Key-Value read successfully \n", kTag);
    return {0, entry->second};
  } catch (const std::exception& e) {
    trace_printf(2, 8, "[%s]: EXCEPTION in jsReadBLOBKeyValue: %s\n", kTag, e.what());
    return {1, ""};
  }
}

}  // namespace velmer
