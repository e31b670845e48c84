#include "evtwrap.h"

#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "json_lines.hpp"
#include "paths.hpp"

// Each list is used by one caller at a time; the entries are copies, so the caller's
// buffers may be released or reused as soon as an entry has been added.
struct EVTWRAPTLVList {
  struct Entry {
    uint16_t type;
    std::vector<char> value;
  };
  std::vector<Entry> entries;
};

namespace {

enum Status : int {
  kOk = 0,
  kInvalidArgument = 1,
  kNoSpace = 2,
  kMalformedArgs = 3,
  kNoMemory = 4,
  kWriteFailed = 5,
  kInternalError = 6,
};

constexpr int kMaxArgs = 255;               // the count is a single byte
constexpr uint32_t kMaxArgsBuffer = 65535;  // a TLV entry's length is 16 bits

// Events are ordered by the time they were submitted, to the second.
int64_t nowSeconds() { return static_cast<int64_t>(std::time(nullptr)); }

const EVTWRAPTLVList::Entry* findEntry(const EVTWRAPTLVList* list, uint16_t type) {
  if (list == nullptr) return nullptr;
  for (const auto& entry : list->entries) {
    if (entry.type == type) return &entry;
  }
  return nullptr;
}

// The message arguments carried by the list's first type-6 entry. False when that entry
// does not hold a well-formed message-arguments buffer.
bool messageArgsOf(const EVTWRAPTLVList* list, std::vector<std::string>& args) {
  const EVTWRAPTLVList::Entry* entry = findEntry(list, EVTWRAP_TLV_MSG_ARGS);
  if (entry == nullptr) return true;
  const char* parts[kMaxArgs];
  const int count = EVTWRAPParseMsgArgsBuffer(entry->value.data(), static_cast<uint32_t>(entry->value.size()),
                                              parts, kMaxArgs);
  if (count < 0) return false;
  args.assign(parts, parts + count);
  return true;
}

nlohmann::ordered_json eventEntry(const uint16_t (&codes)[3], const char* messageId, const char* text,
                                  const std::vector<std::string>& args) {
  return {
      {"time", nowSeconds()},
      {"messageId", messageId},
      {"codes", codes},
      {"args", args},
      {"text", text != nullptr ? nlohmann::ordered_json(text) : nlohmann::ordered_json(nullptr)},
  };
}

}  // namespace

extern "C" int EVTWRAPBuildMsgArgsBuffer(const char* const* args, int count, char* buffer, uint32_t* length) {
  if (buffer == nullptr || length == nullptr || count < 0 || count > kMaxArgs || (count > 0 && args == nullptr)) {
    return kInvalidArgument;
  }
  size_t needed = 1;
  for (int i = 0; i < count; ++i) {
    if (args[i] == nullptr) return kInvalidArgument;
    needed += std::strlen(args[i]) + 1;
  }
  if (needed > *length || needed > kMaxArgsBuffer) return kNoSpace;

  char* next = buffer;
  *next++ = static_cast<char>(count);
  for (int i = 0; i < count; ++i) {
    const size_t size = std::strlen(args[i]) + 1;
    std::memcpy(next, args[i], size);
    next += size;
  }
  *length = static_cast<uint32_t>(needed);
  return kOk;
}

extern "C" int EVTWRAPParseMsgArgsBuffer(const char* buffer, uint32_t length, const char** out, int maxArgs) {
  if (buffer == nullptr || length == 0 || (maxArgs > 0 && out == nullptr)) return -1;
  const int count = static_cast<unsigned char>(buffer[0]);
  uint32_t offset = 1;
  for (int i = 0; i < count; ++i) {
    const void* terminator = std::memchr(buffer + offset, '\0', length - offset);
    if (terminator == nullptr) return -1;
    if (i < maxArgs) out[i] = buffer + offset;
    offset = static_cast<uint32_t>(static_cast<const char*>(terminator) - buffer) + 1;
  }
  // Bytes after the last argument mean the count and the length disagree.
  return offset == length ? count : -1;
}

extern "C" int EVTWRAPCreateTLVList(EVTWRAPTLVList** list) {
  if (list == nullptr) return kInvalidArgument;
  *list = new (std::nothrow) EVTWRAPTLVList;
  return *list != nullptr ? kOk : kNoMemory;
}

extern "C" int EVTWRAPAddTLVToList(uint16_t type, uint16_t length, const void* value, EVTWRAPTLVList* list) {
  if (list == nullptr || (length > 0 && value == nullptr)) return kInvalidArgument;
  try {
    const char* bytes = static_cast<const char*>(value);
    list->entries.push_back({type, std::vector<char>(bytes, bytes + length)});
    return kOk;
  } catch (const std::bad_alloc&) {
    return kNoMemory;
  }
}

extern "C" void EVTWRAPFreeTLVList(EVTWRAPTLVList* list) { delete list; }

extern "C" uint16_t EVTWRAPSubmitEvent(uint16_t code1, uint16_t code2, uint16_t code3, const char* messageId,
                                       const void* reserved, const char* text, const EVTWRAPTLVList* list) {
  if (messageId == nullptr || reserved != nullptr) return kInvalidArgument;
  try {
    std::vector<std::string> args;
    if (!messageArgsOf(list, args)) return kMalformedArgs;
    const uint16_t codes[3] = {code1, code2, code3};
    // One line per event; texts that are not UTF-8 do not lose it.
    const bool written = velmer::platform::appendJsonLine(velmer::paths::kEventLogFile,
                                                          eventEntry(codes, messageId, text, args), "EVTWRAPSubmitEvent");
    return written ? kOk : kWriteFailed;
  } catch (...) {
    return kInternalError;
  }
}
