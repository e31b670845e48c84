// The recurring-task methods of the main interface. The daemon keeps no recurring-task
// state: each method forwards its argument to the recurring-task scheduling engine and
// turns the engine's answer into 0 or 1 (the engine's own status goes to the log only).
// What the engine hands back is released on every path, exceptions included.
#include <cstdlib>
#include <functional>
#include <memory>

#include "bus/method_handlers.hpp"
#include "rtse.h"
#include "trace.h"

namespace velmer {

namespace {

// The log lines of one method; `failure` is logged at level 1 with the status only.
struct Lines {
  const char* tag;
  const char* entry;
  const char* failure;
  const char* success;
  const char* exception;
};

struct FreeText {
  void operator()(char* text) const { std::free(text); }
};
struct FreeArray {
  void operator()(char** array) const { RTSE_FreeStringArray(array); }
};
using EngineText = std::unique_ptr<char, FreeText>;
using EngineArray = std::unique_ptr<char*, FreeArray>;

// A method whose engine call answers one text.
StatusText forwardText(const Lines& lines, const std::function<int(char**)>& engineCall) {
  return methodFrame(lines.tag, lines.exception, [&]() -> StatusText {
    trace_printf(4, 8, lines.entry, lines.tag);
    char* raw = nullptr;
    const int status = engineCall(&raw);
    EngineText text(raw);
    if (status != 0 || !text) {
      trace_printf(1, 8, lines.failure, status);
      return {1, ""};
    }
    trace_printf(4, 8, lines.success, lines.tag);
    return {0, text.get()};
  });
}

// A method whose engine call answers a status only.
uint16_t forwardStatus(const Lines& lines, const std::function<int()>& engineCall) {
  return methodFrame(lines.tag, lines.exception, [&]() -> uint16_t {
    trace_printf(4, 8, lines.entry, lines.tag);
    const int status = engineCall();
    if (status != 0) {
      trace_printf(1, 8, lines.failure, status);
      return 1;
    }
    trace_printf(4, 8, lines.success, lines.tag);
    return 0;
  });
}

// A method whose engine call answers a NULL-terminated array. The reply carries every
// entry of it: a client that lists tasks or jobs wants all of them, not the first.
// `logEmpty` writes the method's line for an array without entries.
StatusList forwardList(const Lines& lines, void (*logEmpty)(), const std::function<int(char***)>& engineCall) {
  return methodFrame(lines.tag, lines.exception, [&]() -> StatusList {
    trace_printf(4, 8, lines.entry, lines.tag);
    char** raw = nullptr;
    const int status = engineCall(&raw);
    EngineArray array(raw);
    if (status != 0 || !array) {
      trace_printf(1, 8, lines.failure, status);
      return {1, {}};
    }
    if (array.get()[0] == nullptr) {
      logEmpty();
      return {1, {}};
    }
    std::vector<std::string> entries;
    for (char** entry = array.get(); *entry != nullptr; ++entry) entries.emplace_back(*entry);
    trace_printf(4, 8, lines.success, lines.tag);
    return {0, std::move(entries)};
  });
}

constexpr Lines kCreateTaskID = {
    "jsrtseCreateTaskID", "[%s]: Entering RTSE_CreateTask service\n", "RTSE_CreateTaskID failed, status=%d\n",
    "[%s]: RTSE_CreateTask success\n", "[%s]: EXCEPTION  in RTSE_CreateTask \n"};

constexpr Lines kStartScheduling = {
    "jsrtseStartSchedulingRecurringTask", "[%s]: Entering jsrtseStartSchedulingRecurringTask service\n",
    "RTSE_StartSchedulingRecurringTask failed, status=%d\n", "[%s]: RTSE_StartSchedulingRecurringTask success\n",
    "[%s]: EXCEPTION  in jsrtseStartSchedulingRecurringTask \n"};

constexpr Lines kTaskFromJobID = {
    "jsrtseGetTaskFromJobID", "[%s]: Entering jsrtseGetTaskFromJobID service\n",
    "RTSE_GetTaskFromJobID failed, status=%d\n", "[%s]: RTSE_GetTaskFromJobID success\n",
    "[%s]: EXCEPTION  in jsrtseGetTaskFromJobID \n"};

constexpr Lines kTaskFromGroupName = {
    "jsrtseGetTaskFromGroupName", "[%s]: Entering jsrtseGetTaskFromGroupName service\n",
    "RTSE_GetTaskFromGroupName failed, status=%d\n", "[%s]: RTSE_GetTaskFromGroupName success\n",
    "[%s]: EXCEPTION  in jsrtseGetTaskFromGroupName \n"};

constexpr Lines kGroupNameFromTask = {
    "jsrtseGetGroupNameFromTask", "[%s]: Entering jsrtseGetGroupNameFromTask service\n",
    "RTSE_GetGroupNameFromTask failed, status=%d\n", "[%s]: RTSE_GetGroupNameFromTask success\n",
    "[%s]: EXCEPTION  in jsrtseGetGroupNameFromTask \n"};

constexpr Lines kListTasks = {
    "jsrtseListTasks", "[%s]: Entering RTSE_CreateTask service\n", "RTSE_ListTasks returned status=%d\n",
    "[%s]: RTSE_CreateTask success\n", "[%s]: EXCEPTION  in RTSE_CreateTask \n"};

constexpr Lines kListJobs = {
    "jsrtseListJobs", "[%s]: Entering jsrtseListJobs service\n", "jsrtseListJobs returned status=%d\n",
    "[%s]: RTSE_ListJobs success\n", "[%s]: EXCEPTION  in RTSE_ListJobs \n"};

constexpr Lines kRemoveTask = {
    "jsrtseRemoveTask", "[%s]: Entering rtseRemoveTask service\n", "RTSE_RemoveTask failed, status=%d\n",
    "[%s]: RTSE_RemoveTask success\n", "[%s]: EXCEPTION  in rtseRemoveTask \n"};

constexpr Lines kRemoveTaskByGroupName = {
    "jsrtseRemoveTaskByGroupName", "[%s]: Entering jsrtseRemoveTaskByGroupName service\n",
    "RTSE_RemoveTaskByGroupName failed, status=%d\n", "[%s]: RTSE_RemoveTaskByGroupName success\n",
    "[%s]: EXCEPTION  in jsrtseRemoveTaskByGroupName \n"};

constexpr Lines kValidateNonBlocking = {
    "jsrtseValidateNonBlocking", "[%s]: Entering jsrtseValidateNonBlocking service\n",
    "RTSE_ValidateNonBlocking failed, status=%d\n", "[%s]: RTSE_ValidateNonBlocking success\n",
    "[%s]: EXCEPTION  in jsrtseValidateNonBlocking \n"};

}  // namespace

StatusText jsrtseCreateTaskID() { return forwardText(kCreateTaskID, RTSE_CreateTaskID); }

StatusText jsrtseStartSchedulingRecurringTask(const std::string& taskDescription) {
  return forwardText(kStartScheduling,
                     [&](char** out) { return RTSE_StartSchedulingRecurringTask(taskDescription.c_str(), out); });
}

StatusText jsrtseGetTaskFromJobID(const std::string& jobID) {
  return forwardText(kTaskFromJobID, [&](char** out) { return RTSE_GetTaskFromJobID(jobID.c_str(), out); });
}

StatusText jsrtseGetTaskFromGroupName(const std::string& groupName) {
  return forwardText(kTaskFromGroupName,
                     [&](char** out) { return RTSE_GetTaskFromGroupName(groupName.c_str(), out); });
}

StatusText jsrtseGetGroupNameFromTask(const std::string& taskID) {
  return forwardText(kGroupNameFromTask, [&](char** out) { return RTSE_GetGroupNameFromTask(taskID.c_str(), out); });
}

StatusList jsrtseListTasks() {
  return forwardList(
      kListTasks, [] { trace_printf(1, 8, "0 task ids.. no recurring jobs present\n"); }, RTSE_ListTasks);
}

StatusList jsrtseListJobs(const std::string& taskID) {
  return forwardList(
      kListJobs, [] { trace_printf(1, 8, "0 job ids\n"); },
      [&](char*** out) { return RTSE_ListJobs(taskID.c_str(), out); });
}

uint16_t jsrtseRemoveTask(const std::string& taskID) {
  return forwardStatus(kRemoveTask, [&] { return RTSE_RemoveTask(taskID.c_str()); });
}

uint16_t jsrtseRemoveTaskByGroupName(const std::string& groupName) {
  return forwardStatus(kRemoveTaskByGroupName, [&] { return RTSE_RemoveTaskByGroupName(groupName.c_str()); });
}

uint16_t jsrtseValidateNonBlocking(const std::string& taskID) {
  return forwardStatus(kValidateNonBlocking, [&] { return RTSE_ValidateNonBlocking(taskID.c_str()); });
}

// Exists for clients only: the argument is ignored and no engine function is called.
uint16_t jsrtseFreeStringArray(const std::string&) {
  constexpr const char* kTag = "jsrtseFreeStringArray";
  return methodFrame(kTag, "[%s]: EXCEPTION  in RTSE_CreateTask \n", [&]() -> uint16_t {
    trace_printf(4, 8, "[%s]: Entering RTSE_CreateTask service\n", kTag);
    trace_printf(4, 8, "[%s]: RTSE_CreateTask success\n", kTag);
    return 0;
  });
}

}  // namespace velmer
