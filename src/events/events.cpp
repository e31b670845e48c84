#include "events/events.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "evtwrap.h"
#include "msgreg.h"
#include "trace.h"

namespace {

constexpr unsigned kMask = 8;
constexpr int kError = 1;
constexpr int kWarning = 2;
constexpr int kTrace = 4;

constexpr uint16_t kOk = 0;
constexpr uint16_t kOutOfMemory = 12;
constexpr uint16_t kInternalFailure = 37;
constexpr uint16_t kNullText = 63;
constexpr uint16_t kNullMessageId = 64;

constexpr int kMaxEventArgs = 50;
constexpr uint32_t kEventArgsBufferSize = 1024;
constexpr size_t kMessageTextSize = 1024;
constexpr const char* kLanguage = "en";
constexpr const char* kNoText = "N/A";
constexpr const char* kFallbackMessageIds[] = {"JCP003", "PR21", "RMX038"};
constexpr const char* kGenericFailureText = "Generic job failed.";

const char* printable(const char* text) { return text != nullptr ? text : "(null)"; }

void releaseList(EVTWRAPTLVList* list) {
  if (list != nullptr) EVTWRAPFreeTLVList(list);
}

// Events without codes of their own: (4, 0, 0) and the text "N/A".
uint16_t submitPlainEvent(const char* messageId, const EVTWRAPTLVList* list) {
  return EVTWRAPSubmitEvent(4, 0, 0, messageId, nullptr, kNoText, list);
}

// ---- Null-terminated variadic string lists -------------------------------------------
// The helpers walk copies of the caller's list, so it can be walked again.

struct ArgListSize {
  int count = 0;
  size_t bytes = 0;  // each string with its terminator
};

template <typename OnArg>
ArgListSize measureArgList(va_list args, OnArg onArg) {
  va_list walk;
  va_copy(walk, args);
  ArgListSize size;
  for (const char* arg = va_arg(walk, const char*); arg != nullptr; arg = va_arg(walk, const char*)) {
    onArg(arg);
    ++size.count;
    size.bytes += std::strlen(arg) + 1;
  }
  va_end(walk);
  return size;
}

// Fills `table` (count + 1 entries) with the list's strings and a closing null pointer.
template <typename OnArg>
void fillArgTable(va_list args, const char** table, int count, OnArg onArg) {
  va_list walk;
  va_copy(walk, args);
  for (int index = 0; index < count; ++index) {
    table[index] = va_arg(walk, const char*);
    onArg(table[index], index);
  }
  table[count] = nullptr;
  va_end(walk);
}

const char** allocArgTable(int count) {
  return static_cast<const char**>(std::malloc((static_cast<size_t>(count) + 1) * sizeof(const char*)));
}

// Twice the strings' bytes leaves room for the buffer's count byte and then some.
uint32_t packedArgsCapacity(ArgListSize size) {
  return static_cast<uint32_t>(std::min<size_t>(2 * size.bytes, UINT32_MAX));
}

// ---- JC_submitQVEvents_withArgs --------------------------------------------------------

// Takes up to `argCount` strings into `table`; a null one, or the end of the table, stops
// the list early. Returns how many were taken.
int collectCountedArgs(const char* tag, va_list args, int argCount, const char** table) {
  int index = 0;
  for (; index < argCount; ++index) {
    trace_printf(kTrace, kMask, "[%s]:arg index = %d", tag, index);
    const char* arg = index < kMaxEventArgs ? va_arg(args, const char*) : nullptr;
    if (arg == nullptr) {
      trace_printf(kError, kMask, "[%s]:Breaking for arg index = %d", tag, index);
      break;
    }
    trace_printf(kTrace, kMask, "[%s]:arg value = %s", tag, arg);
    table[index] = arg;
  }
  return index;
}

// Builds the arguments buffer and the TLV list carrying it. 0 with *list set, or 37.
uint16_t buildCountedArgsList(const char* tag, const char* const* table, int count, EVTWRAPTLVList** list) {
  char buffer[kEventArgsBufferSize] = {};
  uint32_t length = kEventArgsBufferSize;
  int status = EVTWRAPBuildMsgArgsBuffer(table, count, buffer, &length);
  trace_printf(kTrace, kMask, "[%s]:EVTWRAPBuildMsgArgsBuffer return status = %d", tag, status);
  if (status != 0) {
    trace_printf(kError, kMask, "[%s]:EVTWRAPBuildMsgArgsBuffer Failure", tag);
    return kInternalFailure;
  }
  status = EVTWRAPCreateTLVList(list);
  trace_printf(kTrace, kMask, "[%s]:EVTWRAPCreateTLVList return status = %d", tag, status);
  if (status != 0) {
    releaseList(*list);
    *list = nullptr;
    trace_printf(kError, kMask, "[%s]:EVTWRAPCreateTLVList Failure", tag);
    return kInternalFailure;
  }
  status = EVTWRAPAddTLVToList(EVTWRAP_TLV_MSG_ARGS, static_cast<uint16_t>(length), buffer, *list);
  trace_printf(kTrace, kMask, "[%s]:EVTWRAPAddTLVToList return status = %d", tag, status);
  if (status != 0) {
    releaseList(*list);
    *list = nullptr;
    trace_printf(kError, kMask, "[%s]:EVTWRAPAddTLVToList Failure", tag);
    return kInternalFailure;
  }
  return kOk;
}

// ---- submitUpdateEventToQVL ------------------------------------------------------------

// Packs the list's strings into a malloc'd message-arguments buffer. False on failure
// (logged); nothing is left allocated then.
bool packUpdateArgs(const char* tag, va_list args, ArgListSize size, char** buffer, uint32_t* length) {
  const char** table = allocArgTable(size.count);
  if (table == nullptr) {
    trace_printf(kWarning, kMask, "__%s: Error : malloc failed for pArgs  \n", tag);
    return false;
  }
  fillArgTable(args, table, size.count, [tag](const char* arg, int itr) {
    trace_printf(kTrace, kMask, "__%s: sArg =[%s] itr=[%d] \n", tag, arg, itr);
  });
  trace_printf(kTrace, kMask, "__%s: itr = %d \n", tag, size.count);
  *length = packedArgsCapacity(size);
  *buffer = static_cast<char*>(std::malloc(*length));
  if (*buffer == nullptr) {
    trace_printf(kWarning, kMask, "__%s: Error :malloc failed for msgArgBuff  \n", tag);
    std::free(table);
    return false;
  }
  const int status = EVTWRAPBuildMsgArgsBuffer(table, size.count, *buffer, length);
  std::free(table);
  if (status != 0) {
    trace_printf(kWarning, kMask, "__%s: Error EVTWRAPBuildMsgArgsBuffer returned %d\n", tag, status);
    std::free(*buffer);
    *buffer = nullptr;
    return false;
  }
  return true;
}

// Puts the packed arguments into a new TLV list. False on failure (logged).
bool listOfPackedArgs(const char* tag, const char* buffer, uint32_t length, EVTWRAPTLVList** list) {
  int status = EVTWRAPCreateTLVList(list);
  if (status != 0) {
    releaseList(*list);
    *list = nullptr;
    trace_printf(kWarning, kMask, "__%s: Error EVTWRAPCreateTLVList returned %d\n", tag, status);
    return false;
  }
  status = EVTWRAPAddTLVToList(EVTWRAP_TLV_MSG_ARGS, static_cast<uint16_t>(length), buffer, *list);
  if (status != 0) {
    trace_printf(kWarning, kMask, "__%s: ERROR EVTWRAPAddTLVToList returned  %d\n", tag, status);
    releaseList(*list);
    *list = nullptr;
    return false;
  }
  return true;
}

// The update event's arguments as a TLV list in *list, which stays null when there are
// none. False when a step failed; the event is then not written.
bool buildUpdateArgsList(const char* tag, va_list args, EVTWRAPTLVList** list) {
  const ArgListSize size =
      measureArgList(args, [tag](const char* arg) { trace_printf(kTrace, kMask, "__%s: sArg = %s \n", tag, arg); });
  trace_printf(kTrace, kMask, "__%s: argCount = %d \n", tag, size.count);
  if (size.count == 0) return true;

  trace_printf(kTrace, kMask, "__%s: Inside argCount > 0  \n", tag);
  char* buffer = nullptr;
  uint32_t length = 0;
  if (!packUpdateArgs(tag, args, size, &buffer, &length)) return false;
  const bool listed = listOfPackedArgs(tag, buffer, length, list);
  std::free(buffer);
  return listed;
}

// ---- Message lookup --------------------------------------------------------------------

// The checks both allocating lookups start with: 0 to go on, otherwise their status.
uint16_t checkLookupArguments(const char* tag, const char* messageId, char** text) {
  trace_printf(kTrace, kMask, "Entering %s\n", tag);
  if (messageId == nullptr) {
    trace_printf(kTrace, kMask, "Error: sMsgID is NULL\n");
    return kNullMessageId;
  }
  return text == nullptr ? kNullText : kOk;
}

// Looks the text of `messageId` up into `text` (kMessageTextSize bytes) with the list's
// strings as its arguments. Nothing when the arguments could not be packed (logged);
// otherwise the registry's status.
std::optional<int> lookUpWithArgList(const char* messageId, va_list args, char* text) {
  const ArgListSize size = measureArgList(args, [](const char* arg) { trace_printf(kTrace, kMask, "sArg=[%s]\n", arg); });
  if (size.count == 0) return MsgRegGetMessageByMsgID(messageId, kLanguage, nullptr, text, kMessageTextSize);

  const char** table = allocArgTable(size.count);
  uint32_t length = packedArgsCapacity(size);
  char* buffer = static_cast<char*>(std::malloc(length));
  if (table == nullptr || buffer == nullptr) {
    trace_printf(kTrace, kMask, "malloc() returned NULL\n");
    std::free(table);
    std::free(buffer);
    return std::nullopt;
  }
  fillArgTable(args, table, size.count, [](const char*, int) {});
  const int built = EVTWRAPBuildMsgArgsBuffer(table, size.count, buffer, &length);
  std::free(table);
  if (built != 0) {
    trace_printf(kTrace, kMask, "EVTWRAPBuildMsgArgsBuffer returned %d\n", built);
    std::free(buffer);
    return std::nullopt;
  }
  const int status = MsgRegGetMessageByMsgID(messageId, kLanguage, buffer, text, kMessageTextSize);
  std::free(buffer);
  return status;
}

}  // namespace

uint16_t JC_submitQVEvents_withArgs(uint16_t code1, uint16_t code2, uint16_t code3, const char* messageId,
                                    int argCount, ...) {
  const char* argTable[kMaxEventArgs] = {};
  trace_printf(kTrace, kMask, "[%s]:va_start arguments count::%d", __func__, argCount);
  va_list args;
  va_start(args, argCount);
  trace_printf(kTrace, kMask, "[%s]:va_start exits", __func__);
  const int taken = collectCountedArgs(__func__, args, argCount, argTable);
  trace_printf(kTrace, kMask, "[%s]:va_end starts", __func__);
  va_end(args);
  trace_printf(kTrace, kMask, "[%s]:va_end exits", __func__);

  EVTWRAPTLVList* list = nullptr;
  const uint16_t built = buildCountedArgsList(__func__, argTable, taken, &list);
  if (built != kOk) return built;
  if (list == nullptr) return kOk;
  const uint16_t status = EVTWRAPSubmitEvent(code1, code2, code3, messageId, nullptr, nullptr, list);
  trace_printf(kError, kMask, "[%s]:EVTWRAPSubmitEvent return stattus = %d", __func__, status);
  EVTWRAPFreeTLVList(list);
  return status;
}

void submitUpdateEventToQVL(const char* messageId, ...) {
  if (messageId == nullptr) {
    trace_printf(kWarning, kMask, "msgID is NULL");
    return;
  }
  trace_printf(kTrace, kMask, "__%s: Start of Function \n", __func__);
  trace_printf(kTrace, kMask, "__%s: sMSGID = %s \n", __func__, messageId);
  va_list args;
  va_start(args, messageId);
  EVTWRAPTLVList* list = nullptr;
  const bool ready = buildUpdateArgsList(__func__, args, &list);
  va_end(args);
  if (!ready) return;

  const uint16_t status = submitPlainEvent(messageId, list);
  if (status != 0) trace_printf(kWarning, kMask, "__%s: ERROR EVTWRAPSubmitEvent returned  %d\n", __func__, status);
  releaseList(list);
  trace_printf(kTrace, kMask, "__%s: Exit \n", __func__);
}

void AddEventsToQVL(const char* messageId) {
  trace_printf(kTrace, kMask, "[%s]: Entering function with msgID = %s", __func__, printable(messageId));
  if (messageId == nullptr) return;
  if (submitPlainEvent(messageId, nullptr) != 0) trace_printf(kTrace, kMask, "[%s]: Failed to Update QVL", __func__);
}

uint16_t JCGetMessageFromMsgIDAlloc(const char* messageId, char** text, const char* args) {
  const uint16_t checked = checkLookupArguments(__func__, messageId, text);
  if (checked != kOk) return checked;
  *text = nullptr;

  char* content = static_cast<char*>(std::calloc(1, MSGREG_CONTENT_SIZE));
  if (content == nullptr) return kOutOfMemory;
  uint16_t result = kOutOfMemory;
  const int status = MsgRegGetContentByMsgID(messageId, kLanguage, args, content);
  if (status != 0) {
    trace_printf(kTrace, kMask, "MsgRegGetContentByMsgID returned error %d\n", status);
  } else {
    // Bounded by the record, whatever the library left in it.
    *text = strndup(content + MSGREG_CONTENT_TEXT_OFFSET, MSGREG_CONTENT_SIZE - MSGREG_CONTENT_TEXT_OFFSET - 1);
    if (*text != nullptr) {
      trace_printf(kTrace, kMask, "MsgID=[%s]\n", messageId);
      trace_printf(kTrace, kMask, "Msg=[%s]\n", *text);
      result = kOk;
    }
  }
  std::free(content);
  return result;
}

uint16_t JCGetMessageFromMsgIDFallbackAlloc(const char* messageId, char** text, const char* args) {
  const uint16_t checked = checkLookupArguments(__func__, messageId, text);
  if (checked != kOk) return checked;

  if (JCGetMessageFromMsgIDAlloc(messageId, text, args) == kOk) return kOk;
  for (const char* fallback : kFallbackMessageIds) {
    if (JCGetMessageFromMsgIDAlloc(fallback, text, nullptr) == kOk) return kOk;
  }
  *text = strdup(kGenericFailureText);
  return *text != nullptr ? kOk : kOutOfMemory;
}

char* JCGetMessageTextWithArgs(const char* messageId, ...) {
  char text[kMessageTextSize] = {};
  trace_printf(kTrace, kMask, "sMsgID=[%s]\n", printable(messageId));
  va_list args;
  va_start(args, messageId);
  const std::optional<int> status = lookUpWithArgList(messageId, args, text);
  va_end(args);
  if (!status) return nullptr;

  text[kMessageTextSize - 1] = '\0';
  trace_printf(kTrace, kMask, "sLocalMessage=[%s]\n", text);
  if (*status != 0) {
    trace_printf(kWarning, kMask, "MsgRegGetMessageByMsgID returned %d\n", *status);
    return nullptr;
  }
  return strdup(text);
}
