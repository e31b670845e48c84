#include "persistence/key_value_store.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "persistence/atomic_file.hpp"
#include "jobs/job_registry.hpp"
#include "bus/method_handlers.hpp"
#include "paths.hpp"
#include "service/service_main.hpp"
#include "trace.h"

namespace velmer {

namespace {

std::string keyValueFilePath() { return paths::resolve(paths::kKeyValueFile); }

// The three-level map of one top-level member; members that are not objects are left
// out, a value that is not a string is an error (nlohmann::json::type_error).
std::map<std::string, std::map<std::string, std::string>> callersOf(const std::string& jobID,
                                                                    const nlohmann::json& callers) {
  std::map<std::string, std::map<std::string, std::string>> result;
  for (const auto& [caller, keys] : callers.items()) {
    if (!keys.is_object()) {
      trace_printf(2, 8, "[%s]: %s/%s is not an object, left out\n", "restoreBlobKeyValue", jobID.c_str(),
                   caller.c_str());
      continue;
    }
    // A JSON escape can name a character no D-Bus string may hold: made valid here.
    auto& values = result[bus::validUtf8(caller)];
    for (const auto& [key, value] : keys.items())
      values[bus::validUtf8(key)] = bus::validUtf8(value.get_ref<const std::string&>());
  }
  return result;
}

bus::BlobKeyValue storeFromJson(const nlohmann::json& document) {
  bus::BlobKeyValue store;
  for (const auto& [jobID, callers] : document.items()) {
    if (!callers.is_object()) {
      trace_printf(2, 8, "[%s]: %s is not an object, left out\n", "restoreBlobKeyValue", jobID.c_str());
      continue;
    }
    store[bus::validUtf8(jobID)] = callersOf(jobID, callers);
  }
  return store;
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

// The file's text, refused whole when it is larger than the store can ever write.
std::string readBoundedFile(std::ifstream& stream) {
  stream.seekg(0, std::ios::end);
  const auto size = static_cast<size_t>(std::max<std::streamoff>(stream.tellg(), 0));
  if (size > kMaxKeyValueFileSize)
    throw std::length_error("the file has " + std::to_string(size) + " bytes, more than " +
                            std::to_string(kMaxKeyValueFileSize));
  stream.seekg(0, std::ios::beg);
  std::string text(size, '\0');
  stream.read(text.data(), static_cast<std::streamsize>(size));
  text.resize(static_cast<size_t>(stream.gcount()));
  return text;
}

// Parses the file, stopping at the first object or array nested deeper than the store's
// three levels (a deeply nested file would otherwise cost many times its size); the
// file must hold one object.
nlohmann::json parseWithinDepth(std::string_view text) {
  auto withinDepth = [](int depth, nlohmann::json::parse_event_t event, nlohmann::json&) {
    const bool opens = event == nlohmann::json::parse_event_t::object_start ||
                       event == nlohmann::json::parse_event_t::array_start;
    if (opens && depth >= kKeyValueFileDepth) throw std::length_error("members nested deeper than the store");
    return true;
  };
  nlohmann::json document = nlohmann::json::parse(text.begin(), text.end(), withinDepth);
  if (!document.is_object()) throw nlohmann::json::type_error::create(302, "the file holds no JSON object", nullptr);
  return document;
}

// The saved time-out, if the file has one as a non-zero decimal string.
void restoreTimeout(const nlohmann::json& document) {
  constexpr const char* kTag = "restoreBlobKeyValue";
  auto config = document.find(kServiceConfigMember);
  if (config == document.end() || !config->is_object()) return;
  auto daemon = config->find("velmerd");
  if (daemon == config->end() || !daemon->is_object()) return;
  auto timeout = daemon->find("autoDeleteTimeout");
  if (timeout == daemon->end() || !timeout->is_string()) return;
  const std::optional<uint32_t> value = parseSavedTimeout(timeout->get<std::string>());
  if (!value || *value == 0) return;
  mainObject().autoDeleteTimeout(*value);
  trace_printf(4, 8, "[%s]: Restored autoDeleteTimeout=%u\n", kTag, *value);
}

// The bytes the store holds in texts.
size_t storeBytes(const bus::BlobKeyValue& store) {
  size_t bytes = 0;
  for (const auto& [jobID, callers] : store) {
    bytes += jobID.size();
    for (const auto& [caller, keys] : callers) {
      bytes += caller.size();
      for (const auto& [key, value] : keys) bytes += key.size() + value.size();
    }
  }
  return bytes;
}

size_t entriesOf(const std::map<std::string, std::map<std::string, std::string>>& callers) {
  size_t entries = 0;
  for (const auto& [caller, keys] : callers) entries += keys.size();
  return entries;
}

}  // namespace

std::string serializeBlobKeyValue(const bus::BlobKeyValue& store, uint32_t autoDeleteTimeout) {
  nlohmann::json document = nlohmann::json::object();
  for (const auto& [jobID, callers] : store) {
    nlohmann::json& job = document[jobID] = nlohmann::json::object();
    for (const auto& [caller, keys] : callers) {
      nlohmann::json& entry = job[caller] = nlohmann::json::object();
      for (const auto& [key, value] : keys) entry[key] = value;
    }
  }
  document[kServiceConfigMember] = {{"velmerd", {{"autoDeleteTimeout", std::to_string(autoDeleteTimeout)}}}};
  return document.dump(4, ' ', false);
}

const char* keyValueWriteRefusal(const bus::BlobKeyValue& store, const std::string& jobID, const std::string& key,
                                 const std::string& callerName, const std::string& value) {
  if (jobID.size() > kMaxKeyValueJobIDBytes) return "job ID too long";
  if (callerName.size() > kMaxKeyValueCallerBytes) return "caller name too long";
  if (key.size() > kMaxKeyValueKeyBytes) return "key too long";
  if (value.size() > kMaxKeyValueValueBytes) return "value too long";
  const auto job = store.find(jobID);
  if (job == store.end() && store.size() >= kMaxKeyValueJobs) return "too many jobs with entries";
  const std::string* old = nullptr;
  if (job != store.end()) {
    const auto caller = job->second.find(callerName);
    if (caller != job->second.end()) {
      const auto entry = caller->second.find(key);
      if (entry != caller->second.end()) old = &entry->second;
    }
    if (old == nullptr && entriesOf(job->second) >= kMaxKeyValueEntriesPerJob) return "too many entries for the job";
  }
  // An upper bound of the store after the write: the names count even where they exist.
  const size_t after = storeBytes(store) - (old != nullptr ? old->size() : 0) + jobID.size() + callerName.size() +
                       key.size() + value.size();
  if (after > kMaxKeyValueStoreBytes) return "the store would be too large";
  return nullptr;
}

void persistBlobKeyValue() {
  constexpr const char* kTag = "persistBlobKeyValue";
  try {
    trace_printf(4, 8, "[%s]: Persisting blobKeyValue to file\n", kTag);
    const std::string text = serializeBlobKeyValue(mainObject().blobKeyValue(), mainObject().autoDeleteTimeout());
    AtomicFile file(keyValueFilePath());
    if (!file.open()) {
      trace_printf(2, 8, "[%s]: Unable to open file for writing\n", kTag);
      return;
    }
    if (!file.write(text.data(), text.size()) || !file.commit()) {
      trace_printf(2, 8, "[%s]: Exception: %s\n", kTag, std::strerror(errno));
      return;
    }
    trace_printf(4, 8, "[%s]: Successfully persisted blobKeyValue to file\n", kTag);
  } catch (const nlohmann::json::exception& e) {
    trace_printf(2, 8, "[%s]: JSON exception: %s\n", kTag, e.what());
  } catch (const std::exception& e) {
    trace_printf(2, 8, "[%s]: Exception: %s\n", kTag, e.what());
  }
}

void restoreBlobKeyValue() {
  constexpr const char* kTag = "restoreBlobKeyValue";
  try {
    trace_printf(4, 8, "[%s]: Restoring blobKeyValue from file\n", kTag);
    removeStrayTemporaryFiles(std::filesystem::path(keyValueFilePath()).parent_path().string());
    std::ifstream stream(keyValueFilePath());
    if (!stream.is_open()) {
      trace_printf(4, 8, "[%s]: File not found, initializing empty blobKeyValue\n", kTag);
      return;
    }
    nlohmann::json document = parseWithinDepth(readBoundedFile(stream));
    mainObject().blobKeyValue(storeFromJson(document), false);
    trace_printf(4, 8, "[%s]: Successfully restored blobKeyValue from file\n", kTag);
    restoreTimeout(document);
  } catch (const nlohmann::json::exception& e) {
    trace_printf(2, 8, "[%s]: JSON exception: %s\n", kTag, e.what());
  } catch (const std::invalid_argument& e) {
    trace_printf(2, 8, "[%s]: JSON exception: %s\n", kTag, e.what());
  } catch (const std::out_of_range& e) {
    trace_printf(2, 8, "[%s]: JSON exception: %s\n", kTag, e.what());
  } catch (const std::exception& e) {
    trace_printf(2, 8, "[%s]: Exception: %s\n", kTag, e.what());
  } catch (...) {
    trace_printf(2, 8, "[%s]: Unknown exception\n", kTag);
  }
}

bus::BlobKeyValue keyValueStoreFromText(std::string_view text) {
  return storeFromJson(parseWithinDepth(text));
}

uint32_t jsRemoveJobFromBlobKeyValue(const std::string& jobID) {
  constexpr const char* kTag = "jsRemoveJobFromBlobKeyValue";
  try {
    bus::BlobKeyValue store = mainObject().blobKeyValue();
    if (store.erase(jobID) == 0) {
      trace_printf(4, 8, "[%s]: Job ID %s not found in blobKeyValue\n", kTag, jobID.c_str());
      return 1;
    }
    mainObject().blobKeyValue(store, false);
    persistBlobKeyValue();
    trace_printf(4, 8, "[%s]: Job ID %s removed from blobKeyValue\n", kTag, jobID.c_str());
    return 0;
  } catch (const std::exception& e) {
    trace_printf(2, 8, "[%s]: Exception: %s\n", kTag, e.what());
    return 1;
  }
}

void checkBLOBStatus() {
  constexpr const char* kTag = "checkBLOBStatus";
  try {
    trace_printf(4, 8, "[%s]: Entering checkBLOBStatus\n", kTag);
    const bus::BlobKeyValue store = mainObject().blobKeyValue();
    for (const auto& [jobID, callers] : store) {
      trace_printf(4, 8, "[%s]: Key: %s, check if job ID is present\n", kTag, jobID.c_str());
      JobInfoRecord job;
      if (fetchJobInfoProperties(jobID, job) == 0) {
        trace_printf(4, 8, "[%s]: Job ID: %s is available\n", kTag, jobID.c_str());
        continue;
      }
      trace_printf(4, 8, "[%s]: Job ID: %s is not available\n", kTag, jobID.c_str());
      uint32_t rc = 0;
      {
        bus::Access busAccess;
        rc = jsRemoveJobFromBlobKeyValue(jobID);
      }
      if (rc == 0)
        trace_printf(4, 8, "[%s]: Job ID %s removed successfully from blob\n", kTag, jobID.c_str());
      else
        trace_printf(2, 8, "[%s]: Failed to remove Job ID from blob%s\n", kTag, jobID.c_str());
    }
    trace_printf(4, 8, "[%s]: Exiting checkBLOBStatus\n", kTag);
  } catch (const std::exception& e) {
    trace_printf(4, 8, "[%s]: Exception: %s\n", kTag, e.what());
  }
}

uint16_t jsWriteBLOBKeyValue(const std::string& jobID, const std::string& key, const std::string& callerName,
                             const std::string& value) {
  constexpr const char* kTag = "jsWriteBLOBKeyValue";
  try {
    bus::BlobKeyValue store = mainObject().blobKeyValue();
    trace_printf(4, 8, "[%s]: Entering jsWriteBLOBKeyValue service\n", kTag);
    // Every byte stored here is sent in each change signal of blobKeyValue and kept
    // in the file: what a client may store is bounded.
    if (const char* refusal = keyValueWriteRefusal(store, jobID, key, callerName, value)) {
      trace_printf(2, 8, "[%s]: refused (%s): job %zu, caller %zu, key %zu, value %zu bytes\n", kTag, refusal,
                   jobID.size(), callerName.size(), key.size(), value.size());
      return 1;
    }
    trace_printf(4, 8, "[%s]: Setting the key value for caller=%s, job=%s, key=%s, value=%s\n", kTag,
                 callerName.c_str(), jobID.c_str(), key.c_str(), value.c_str());
    if (!store.contains(jobID))
      trace_printf(4, 8, "[%s]: Job ID %s not found in key, create a new entry\n", kTag, jobID.c_str());
    auto& callers = store[jobID];
    if (!callers.contains(callerName))
      trace_printf(4, 8, "[%s]: Caller %s not found in key, create a new entry\n", kTag, callerName.c_str());
    auto& keys = callers[callerName];
    if (keys.contains(key))
      trace_printf(4, 8, "[%s]: Key already exists , Key-Value set successfully \n", kTag);
    else
      trace_printf(4, 8, "[%s]: Key does not exists , Key-Value set successfully \n", kTag);
    keys[key] = value;
    mainObject().blobKeyValue(store, false);
    trace_printf(4, 8, "[%s]: Key-Value set successfully \n", kTag);
    persistBlobKeyValue();
    trace_printf(4, 8, "[%s]: Key-Value persisted successfully \n", kTag);
    return 0;
  } catch (const std::exception& e) {
    trace_printf(2, 8, "[%s]: EXCEPTION in jsWriteBLOBKeyValue: %s\n", kTag, e.what());
    return 1;
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
