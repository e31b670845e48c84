// What the persistence tests share: a stand-in for the queue-execution process's
// message queue, and a fixture that creates jobs and queues over the bus, reads the
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
#include "daemon_fixture.hpp"

namespace velmer::e2e {

inline constexpr const char* kJobInterface = "com.zorvex.kelvo.jobservice.jobservicejobinfo";
inline constexpr const char* kQueueInterface = "com.zorvex.kelvo.jobservice.jobservicescheduleinfo";
inline constexpr const char* kJobPathPrefix = "/xyz/openbmc_project/jobservice/jobservicejobinfo/";
inline constexpr const char* kRestoredQueuePathPrefix = "/xyz/openbmc_project/jobservice/jobservicescheduleinfo/";
inline constexpr const char* kRestoreDone = "[backupThread]: ___ Post restoration all job info";
inline constexpr int64_t kTimeNotGiven = 4294967295;  // "TIME_NA"
// How long the backup thread may take for one step (a rewrite, the start-up restore) on
// a loaded machine under a sanitizer; a step that never ends still fails the test.
inline constexpr std::chrono::seconds kBackupStepTimeout{60};

// The System V message queue that the queue-execution process would own, keyed by
// ROOT/run/jqlegacy/js.ipc. It is created exclusively, so it is never another test's,
// and removed again at the end.
class SchedulerChannel {
 public:
  struct Message {
    int64_t type, startTime, untilTime;
    std::string queueID;
  };

  explicit SchedulerChannel(const std::filesystem::path& root);
  ~SchedulerChannel();
  SchedulerChannel(const SchedulerChannel&) = delete;
  SchedulerChannel& operator=(const SchedulerChannel&) = delete;

  // Every message waiting, oldest first.
  std::vector<Message> receiveAll();

 private:
  int id_ = -1;
};

class PersistenceTest : public DaemonTest {
 protected:
  // JobServCreate; throws unless the reply is success. Returns the job ID.
  std::string createJob(const std::string& name, uint16_t type = 3);
  // JobServSchedule of `jobs` from now on, without end; returns the queue ID.
  std::string scheduleNow(const std::vector<std::string>& jobs);
  // JobServUpdateJobInfo that changes only the percentage: a cheap way to have the
  // backup file rewritten.
  void touchJob(const std::string& jobID, uint16_t percent);
  void setJobProperties(const std::string& jobID, const PropertyMap& properties);

  std::map<std::string, JobInfoRecord> jobsOnBus();
  // Queues by ID; `paths` receives each queue's object path when given.
  std::map<std::string, JobQueueRecord> queuesOnBus(std::map<std::string, std::string>* paths = nullptr);

  std::vector<layout::StoredObject> backupObjects() const;
  static std::map<std::string, JobInfoRecord> jobsIn(const std::vector<layout::StoredObject>& objects);
  static std::map<std::string, JobQueueRecord> queuesIn(const std::vector<layout::StoredObject>& objects);
  std::map<std::string, JobInfoRecord> jobsInBackup() const { return jobsIn(backupObjects()); }
  // Waits until `done` holds for the backup file's objects.
  bool waitForBackup(const std::function<bool(const std::vector<layout::StoredObject>&)>& done,
                     std::chrono::milliseconds timeout = kBackupStepTimeout);
  // Waits until the backup file holds exactly the jobs and queues on the bus.
  bool waitUntilBackupMatchesBus(std::chrono::milliseconds timeout = kBackupStepTimeout);

  // Starts the daemon and waits until the backup thread's start-up sequence is over.
  void startAndAwaitRestore();
  // Stops the daemon with `signalNumber` (SIGKILL: no shutdown at all), then the same.
  void restartAndAwaitRestore(int signalNumber = SIGTERM);

  // Replaces the post-restore tool with a script that appends one line per call,
  // "[argv0][argv1]... JID=<JID>"; postRestoreCalls() returns the lines so far.
  void recordPostRestoreCalls();
  std::vector<std::string> postRestoreCalls() const;
};

// Lines of `text` that contain `needle`.
std::vector<std::string> linesContaining(const std::string& text, const std::string& needle);

}  // namespace velmer::e2e
