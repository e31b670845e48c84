#include "restore.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <exception>
#include <string>

#include "paths.hpp"
#include "trace.h"

namespace velmer {

namespace {

// Creates the backup directory without its parents, mode exactly 0770 whatever the
// umask: 0, or -1 when it cannot be created.
int createBackupDirectory(const char* tag) {
  const std::string backupDir = paths::resolve(paths::kBackupDir);
  struct stat info {};
  if (::stat(backupDir.c_str(), &info) == 0) return 0;
  if (::mkdir(backupDir.c_str(), 0770) != 0 && errno != EEXIST) {
    trace_printf(4, 8, "[%s]: ___ StartRestore: Backup directory cannot be created. [%s], errno = %d\n", tag,
                 backupDir.c_str(), errno);
    return -1;
  }
  ::chmod(backupDir.c_str(), 0770);
  trace_printf(4, 8, "[%s]: ___ StartRestore: Created Backup Directory\n", tag);
  return 0;
}

}  // namespace

int StartJSRestore() {
  constexpr const char* kTag = "StartJSRestore";
  try {
    trace_printf(4, 8, "[%s]: Entering StartJSRestore\n", kTag);
    return createBackupDirectory(kTag);
  } catch (const std::exception& e) {
    trace_printf(4, 8, "[%s]: ___ StartRestore: An error occurred during restore: %s\n", kTag, e.what());
    return -1;
  }
}

}  // namespace velmer
