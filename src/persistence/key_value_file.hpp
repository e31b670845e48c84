// The key-value file's format: its text for a store, the bytes a store takes in it (so a
// write can be weighed without writing the file), and reading a file back, keeping what is
// sound of a damaged one.
//
// A file holds one JSON object, indented by four spaces, members in byte order, no
// trailing newline: job ID -> caller -> key -> value, all strings, and the reserved member
// "__serviceConfig__" -> "velmerd" -> "autoDeleteTimeout" -> the time-out in decimal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "bus/bus.hpp"

namespace velmer {

inline constexpr const char* kServiceConfigMember = "__serviceConfig__";

// Where the file is on this system.
std::string keyValueFilePath();

// The largest file the reader takes (a larger one is damage, refused before it costs
// memory); the store is never let grow past what fits in it.
inline constexpr size_t kMaxKeyValueFileSize = 4 * 1024 * 1024;

// One job's entries: caller -> key -> value.
using KeyValueCallers = std::map<std::string, std::map<std::string, std::string>>;

// What a store, or a part of it, takes: the bytes of its texts (job IDs, caller names,
// keys, values), and the bytes of its job members in the file (JSON escapes, quotes,
// indentation and separators included).
struct KeyValueBytes {
  size_t texts = 0;
  size_t file = 0;

  KeyValueBytes& operator+=(const KeyValueBytes& other) {
    texts += other.texts;
    file += other.file;
    return *this;
  }
  KeyValueBytes& operator-=(const KeyValueBytes& other) {
    texts -= other.texts;
    file -= other.file;
    return *this;
  }
};

KeyValueBytes keyValueJobBytes(const std::string& jobID, const KeyValueCallers& callers);
KeyValueBytes keyValueStoreBytes(const bus::BlobKeyValue& store);

// The size of the file of a store with `jobs` jobs whose members take `jobMemberBytes`,
// with the service member at its largest time-out: exact unless a job is named like the
// service member (which the file's own member replaces).
size_t keyValueFileBytes(size_t jobs, size_t jobMemberBytes);

// The file's text for a store and a time-out.
std::string serializeBlobKeyValue(const bus::BlobKeyValue& store, uint32_t autoDeleteTimeout);

// What the daemon keeps of a file: every value found at the third level as a string
// (the service member among them), up to the first syntax error, in whole jobs as long as
// they fit in kMaxKeyValueFileSize; texts made valid UTF-8. `damage` is empty when that is
// all of the file, else it says the first thing that was not kept.
struct KeyValueFileContents {
  bus::BlobKeyValue store;
  std::string damage;
};
KeyValueFileContents readKeyValueText(std::string_view text);
// The same for the file at `path`, none when it cannot be opened; a file larger than
// kMaxKeyValueFileSize, or one that cannot be read whole, is not parsed.
std::optional<KeyValueFileContents> readKeyValueFile(const std::string& path);

// Renames the file at `path` to the first of "<path>.unreadable", "<path>.unreadable.1",
// ... that does not exist (an earlier one is never replaced): the new name, or "" with
// errno set when it could not be renamed.
std::string setFileAside(const std::string& path);

}  // namespace velmer
