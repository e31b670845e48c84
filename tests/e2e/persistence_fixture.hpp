// What the persistence tests share: a job fixture that also schedules, reads the
// backup file, and restarts the daemon up to the end of its start-up restore.
#pragma once

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "backup_layout.hpp"
#include "job_fixture.hpp"

namespace velmer::e2e {

inline constexpr const char* kRestoreDone = "[backupThread]: ___ Post restoration all job info";
// How long the backup thread may take for one step (a rewrite, the start-up restore) on
// a loaded machine under a sanitizer; a step that never ends still fails the test.
inline constexpr std::chrono::seconds kBackupStepTimeout{60};

// The IDs of a map of jobs or queues, in order.
template <class Map>
std::vector<std::string> keysOf(const Map& map) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : map) keys.push_back(key);
  return keys;
}

class PersistenceTest : public JobTest {
 protected:
  std::map<std::string, JobInfoRecord> jobsOnBus();
  // Queues by ID; `paths` receives each queue's object path when given.
  std::map<std::string, JobQueueRecord> queuesOnBus(std::map<std::string, std::string>* paths = nullptr);

  std::vector<layout::StoredObject> backupObjects() const;
  static std::map<std::string, JobInfoRecord> jobsIn(const std::vector<layout::StoredObject>& objects);
  static std::map<std::string, JobQueueRecord> queuesIn(const std::vector<layout::StoredObject>& objects);
  // Waits until `done` holds for the backup file's objects.
  bool waitForBackup(const std::function<bool(const std::vector<layout::StoredObject>&)>& done,
                     std::chrono::milliseconds timeout = kBackupStepTimeout);
  // Waits until the backup file holds exactly the jobs and queues on the bus.
  bool waitUntilBackupMatchesBus(std::chrono::milliseconds timeout = kBackupStepTimeout);

  // Removes the legacy copy, which the start-up would otherwise add jobs from.
  void removeLegacyCopy();
  // Starts the daemon and waits until the backup thread's start-up sequence is over.
  void startAndAwaitRestore();
  // Stops the daemon with `signalNumber` (SIGKILL: no shutdown at all), then the same.
  void restartAndAwaitRestore(int signalNumber = SIGTERM);

  // Replaces the post-restore tool with a shell script.
  void installPostRestoreTool(const std::string& script);
  // Replaces the post-restore tool with a script that appends one line per call,
  // "[argv0][argv1]... JID=<JID>"; postRestoreCalls() returns the lines so far.
  void recordPostRestoreCalls();
  std::vector<std::string> postRestoreCalls() const;
};

}  // namespace velmer::e2e
