// What the scheduling tests share: jobs made and reported on through the main object,
// JobServSchedule, the job and queue objects it touches, local schedule time strings
// and the event log that the stand-in writes.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <ctime>
#include <string>
#include <tuple>
#include <vector>

#include "daemon_fixture.hpp"

namespace velmer::e2e {

inline constexpr int64_t kNoEnd = 4294967295;  // "TIME_NA" as seconds

// (velmerResponseStatus, velmerResponseData, velmerResponseErrCode)
using Reply = std::tuple<uint16_t, std::string, uint16_t>;

// The schedule string YYYYMMDDhhmmss of `when` in local time, as a client writes it.
std::string scheduleTimeOf(std::time_t when);
// Its display form in job messages: YYYY-MM-DD hh:mm:ss.
std::string displayTimeOf(std::time_t when);

class SchedulingTest : public DaemonTest {
 protected:
  // A new job of `type`; fails the test when it cannot be created.
  std::string createJob(const std::string& name, uint16_t type = 1);
  Reply schedule(const std::vector<std::string>& jobs, uint16_t numJobs, const std::string& start,
                 const std::string& until);
  // Every job of the list.
  Reply schedule(const std::vector<std::string>& jobs, const std::string& start, const std::string& until);
  // A consumer's report through JobServUpdateJobInfo.
  uint16_t report(const std::string& jobID, uint16_t state, const std::string& status);

  PropertyMap jobProperties(const std::string& jobID);
  PropertyMap queueProperties(const std::string& queuePath);
  // The paths of every queue object on the bus, new or restored.
  std::vector<std::string> queuePaths();
  // Waits until the object at `path` has been withdrawn (InterfacesRemoved).
  bool waitForRemoval(const std::string& path, std::chrono::milliseconds timeout);

  // The backup thread re-sends every queue once at start-up; a test that counts the
  // messages or the channel's log lines waits for that to be over first.
  bool waitForStartupSequence();

  // The event log's entries with `messageId`, oldest first.
  std::vector<nlohmann::json> eventsWithId(const std::string& messageId) const;
  // The job cache journal's lines, oldest first.
  std::vector<nlohmann::json> jobCacheJournal() const;
};

}  // namespace velmer::e2e
