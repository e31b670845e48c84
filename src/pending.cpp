// Operations whose subsystem is not built yet. Each keeps its final name and signature
// so that callers are wired already; it logs that it has nothing to do, and a D-Bus
// handler answers the failure form of its result. Each moves to its own source when
// its subsystem lands.
#include <stdexcept>

#include "auto_delete.hpp"
#include "background_cleanup.hpp"
#include "config_cleanup.hpp"
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

uint16_t JS_CleanupPersistentData(const JobInfoRecord&) {
  nothingToDoYet("JS_CleanupPersistentData");
  return 0;
}
bool jobNameMatchesFqdd(const std::string&, const std::string&) { return false; }
void JS_CleanupInBackground(std::vector<std::string>, uint16_t) { nothingToDoYet("JS_CleanupInBackground"); }
void waitForBackgroundCleanups() {}

uint16_t jobServCleanupPersistentData(const std::string&, const std::string&, uint32_t, const std::string&, uint32_t) {
  return notAvailable<uint16_t>("jobServCleanupPersistentData");
}

}  // namespace velmer
