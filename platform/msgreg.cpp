#include "msgreg.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "paths.hpp"

namespace {

enum Status : int {
  kOk = 0,
  kInvalidArgument = 1,
  kUnknownLanguage = 2,
  kUnknownMessage = 3,
  kRegistryUnreadable = 4,
  kInternalError = 5,
};

constexpr std::string_view kLanguage = "en";

struct Message {
  std::string_view id;
  std::string_view text;
};

// The messages the job manager writes or stores on its jobs. "%N" is the N-th argument.
constexpr Message kBuiltInMessages[] = {
    {"JCP000", "The job has been created."},
    {"JCP003", "The job could not be completed because of an internal error."},
    {"JCP008", "Job completed with errors."},
    {"JCP024", "The job is using a resource that is locked and cannot be released now."},
    {"JCP027", "The job %1 has been created."},
    {"JCP028", "Job status updated"},
    {"JCP036", "The job %1 has been deleted."},
    {"JCP037", "The job %1 has completed successfully."},
    {"JCP042", "Job failure reported: %1"},
    {"JCP045", "All jobs have been deleted."},
    {"JCP046", "All jobs have been deleted, including jobs that were scheduled or running."},
    {"JCP048", "No job can be created while a controller firmware update is in progress."},
    {"JCP049", "The Job is scheduled to run between %1 and %2"},
    {"JCP050", "The reboot job is scheduled to run on %1"},
    {"JCP051", "The job is scheduled to run after  %1"},
    {"MUT0007", "The job has reached a final status: %1"},
    {"PR21", "The operation did not complete successfully."},
    {"RED029", "A reboot is pending."},
    {"RMX038", "The job could not be completed."},
};

int builtInTemplate(std::string_view messageId, std::string& pattern) {
  for (const Message& message : kBuiltInMessages) {
    if (message.id == messageId) {
      pattern = message.text;
      return kOk;
    }
  }
  return kUnknownMessage;
}

int registryFileTemplate(const std::filesystem::path& file, std::string_view messageId, std::string& pattern) {
  std::ifstream in(file);
  if (!in.is_open()) return kRegistryUnreadable;
  const nlohmann::json registry = nlohmann::json::parse(in, nullptr, false);
  // A broken file still replaces the table: nothing is found rather than texts the
  // system did not mean to ship.
  if (!registry.is_object()) return kRegistryUnreadable;
  const auto entry = registry.find(messageId);
  if (entry == registry.end() || !entry->is_string()) return kUnknownMessage;
  pattern = entry->get<std::string>();
  return kOk;
}

// The template of `messageId` from the registry file when there is one (read at every
// call, so a replaced file takes effect at once), otherwise from the built-in table.
int findTemplate(std::string_view messageId, std::string& pattern) {
  const std::filesystem::path file = velmer::paths::resolve(velmer::paths::kMessageRegistryFile);
  std::error_code error;
  if (std::filesystem::exists(file, error)) return registryFileTemplate(file, messageId, pattern);
  return builtInTemplate(messageId, pattern);
}

// The strings of a message-arguments buffer (evtwrap.h). The registry is handed the
// buffer without its length, so the count byte and the terminators are all that bound it.
std::vector<std::string_view> argumentsOf(const char* buffer) {
  std::vector<std::string_view> args;
  if (buffer == nullptr) return args;
  const int count = static_cast<unsigned char>(buffer[0]);
  const char* next = buffer + 1;
  for (int i = 0; i < count; ++i) {
    args.emplace_back(next);
    next += args.back().size() + 1;
  }
  return args;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Replaces each "%N" by the N-th argument; an argument that was not given leaves nothing.
std::string substitute(std::string_view pattern, const std::vector<std::string_view>& args) {
  constexpr size_t kBeyondAnyArgument = std::numeric_limits<int>::max();
  std::string text;
  for (size_t i = 0; i < pattern.size(); ++i) {
    const bool placeholder = pattern[i] == '%' && i + 1 < pattern.size() && isDigit(pattern[i + 1]);
    if (!placeholder) {
      text += pattern[i];
      continue;
    }
    size_t number = 0;
    while (i + 1 < pattern.size() && isDigit(pattern[i + 1])) {
      number = std::min(number * 10 + static_cast<size_t>(pattern[++i] - '0'), kBeyondAnyArgument);
    }
    if (number >= 1 && number <= args.size()) text += args[number - 1];
  }
  return text;
}

int formatMessage(const char* messageId, const char* language, const char* args, std::string& text) {
  if (messageId == nullptr || language == nullptr) return kInvalidArgument;
  if (language != kLanguage) return kUnknownLanguage;
  try {
    std::string pattern;
    const int status = findTemplate(messageId, pattern);
    if (status != kOk) return status;
    text = substitute(pattern, argumentsOf(args));
    return kOk;
  } catch (...) {
    return kInternalError;
  }
}

// Copies as much of `text` as fits, NUL-terminated, without splitting a UTF-8 character.
void copyCutToFit(const std::string& text, char* out, size_t capacity) {
  size_t size = std::min(text.size(), capacity - 1);
  while (size > 0 && size < text.size() && (static_cast<unsigned char>(text[size]) & 0xC0) == 0x80) --size;
  std::memcpy(out, text.data(), size);
  out[size] = '\0';
}

}  // namespace

extern "C" int MsgRegGetContentByMsgID(const char* messageId, const char* language, const char* args,
                                       void* content) {
  if (content == nullptr) return kInvalidArgument;
  std::string text;
  const int status = formatMessage(messageId, language, args, text);
  if (status != kOk) return status;
  copyCutToFit(text, static_cast<char*>(content) + MSGREG_CONTENT_TEXT_OFFSET,
               MSGREG_CONTENT_SIZE - MSGREG_CONTENT_TEXT_OFFSET);
  return kOk;
}

extern "C" int MsgRegGetMessageByMsgID(const char* messageId, const char* language, const char* args, char* text,
                                       size_t capacity) {
  if (text == nullptr || capacity == 0) return kInvalidArgument;
  std::string formatted;
  const int status = formatMessage(messageId, language, args, formatted);
  if (status != kOk) return status;
  copyCutToFit(formatted, text, capacity);
  return kOk;
}
