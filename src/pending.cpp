// Operations whose subsystem is not built yet. Each keeps its final name and signature
// so that callers are wired already; it logs that it has nothing to do, and a D-Bus
// handler answers the failure form of its result. Each moves to its own source when
// its subsystem lands.
#include <stdexcept>

#include "auto_delete.hpp"
#include "legacy_format.hpp"
#include "method_handlers.hpp"
#include "trace.h"

namespace velmer {

namespace {

void nothingToDoYet(const char* tag) { trace_printf(4, 8, "[%s]: not built yet, nothing to do\n", tag); }

// The handler frame around a body that is not built yet: the client gets the failure
// form of the method's result and a text that says why.
template <class Result>
Result notAvailable(const char* tag) {
  return methodFrame(tag, "[%s]: EXCEPTION  in %s \n", [&]() -> Result {
    throw std::runtime_error(std::string(tag) + " is not available in this build");
  });
}

}  // namespace

void JS_PersistToJqlegacyFormat() { nothingToDoYet("JS_PersistToJqlegacyFormat"); }
int JS_RestoreFromJqlegacyBackup() {
  nothingToDoYet("JS_RestoreFromJqlegacyBackup");
  return 0;
}

StatusText jsrtseCreateTaskID() { return notAvailable<StatusText>("jsrtseCreateTaskID"); }
StatusList jsrtseListTasks() { return notAvailable<StatusList>("jsrtseListTasks"); }
StatusList jsrtseListJobs(const std::string&) { return notAvailable<StatusList>("jsrtseListJobs"); }
StatusText jsrtseGetTaskFromJobID(const std::string&) { return notAvailable<StatusText>("jsrtseGetTaskFromJobID"); }
StatusText jsrtseGetTaskFromGroupName(const std::string&) {
  return notAvailable<StatusText>("jsrtseGetTaskFromGroupName");
}
StatusText jsrtseGetGroupNameFromTask(const std::string&) {
  return notAvailable<StatusText>("jsrtseGetGroupNameFromTask");
}
uint16_t jsrtseRemoveTask(const std::string&) { return notAvailable<uint16_t>("jsrtseRemoveTask"); }
uint16_t jsrtseRemoveTaskByGroupName(const std::string&) {
  return notAvailable<uint16_t>("jsrtseRemoveTaskByGroupName");
}
uint16_t jsrtseValidateNonBlocking(const std::string&) { return notAvailable<uint16_t>("jsrtseValidateNonBlocking"); }
StatusText jsrtseStartSchedulingRecurringTask(const std::string&) {
  return notAvailable<StatusText>("jsrtseStartSchedulingRecurringTask");
}
uint16_t jsrtseFreeStringArray(const std::string&) { return notAvailable<uint16_t>("jsrtseFreeStringArray"); }

}  // namespace velmer
