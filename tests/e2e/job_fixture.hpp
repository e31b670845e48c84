// The end-to-end fixture for tests of jobs and queues: creating, reporting on, scheduling
// and reading jobs as a controller service would, the controller's configuration
// attributes, the files the platform stand-ins write, and fake peer services on demand.
//
//   class JobUpdate : public velmer::e2e::JobTest {};
//   TEST_F(JobUpdate, ...) {
//     std::string id = createJob("Firmware Update: BIOS");
//     ASSERT_EQ(update(id, 3, 10), 0);
//     EXPECT_EQ(jobValue<uint32_t>(id, "jobState"), 3u);
//     EXPECT_EQ(events("JCP028").size(), 1u);
//   }
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "daemon_fixture.hpp"
#include "fake_peers.hpp"

namespace velmer::e2e {

inline constexpr int64_t kNoEnd = 4294967295;  // "TIME_NA" as seconds
// Times whose seconds outgrow 32 bits: 2040-01-01 05:00:00 and 2099-12-31 23:59:59 UTC.
inline constexpr int64_t kIn2040 = 2209006800, kIn2099 = 4102444799;
inline constexpr uint16_t kSame = 255;         // a report's state or percentage that changes nothing
// The backup thread removes objects; under the sanitizers it takes its time.
inline constexpr auto kRemovalTimeout = 10s;

// (velmerResponseStatus, velmerResponseData, velmerResponseErrCode) of create, schedule
// and delete: for a creation the job ID is the data.
using Reply = std::tuple<uint16_t, std::string, uint16_t>;
using IdList = std::vector<std::string>;

std::string jobPath(const std::string& jobID);
// The schedule string YYYYMMDDhhmmss of `when` in local time, and its display form in
// job messages, YYYY-MM-DD hh:mm:ss.
std::string scheduleTimeOf(std::time_t when);
std::string displayTimeOf(std::time_t when);
// How often `text` occurs in `log`.
size_t occurrences(const std::string& log, const std::string& text);

// Whether `properties` hold every value that `expected` names (numbers, texts, lists of
// texts); the failure shows both.
::testing::AssertionResult hasFields(const PropertyMap& properties, const nlohmann::json& expected);

class JobTest : public DaemonTest {
 protected:
  void TearDown() override;
  // Fake peers, created on first use and stopped before the bus is.
  FakePeers& peers();

  // Calls one of the four create methods ("JobServCreate" unless named).
  Reply create(const std::string& name, uint16_t type, const std::string& method = "JobServCreate");
  // A job that must be created: its ID (the test fails otherwise).
  std::string createJob(const std::string& name, uint16_t type = 1);
  // JobServUpdateJobInfo; kSame and empty strings leave a field as it is.
  uint16_t update(const std::string& jobID, uint16_t state, uint16_t percent, const std::string& status = "",
                  const std::string& message = "", const std::string& messageID = "",
                  const std::string& messageArgs = "");
  Reply schedule(const IdList& jobs, uint16_t numJobs, const std::string& start, const std::string& until);
  Reply schedule(const IdList& jobs, const std::string& start = "TIME_NOW", const std::string& until = "TIME_NA");
  // A schedule of `jobs` from now on, without end, that must be accepted (the test fails
  // otherwise; the hand-over may still fail): its queue ID.
  std::string scheduleNow(const IdList& jobs);
  Reply deleteJobs(const IdList& jobs, uint16_t numJobs, uint16_t deleteMode = 0);
  Reply deleteJobs(const IdList& jobs) { return deleteJobs(jobs, static_cast<uint16_t>(jobs.size())); }

  PropertyMap job(const std::string& jobID);
  template <class T>
  T jobValue(const std::string& jobID, const std::string& name) {
    return client().getProperty(jobPath(jobID), kJobInterface, name).get<T>();
  }
  PropertyMap queue(const std::string& queuePath);
  bool onBus(const std::string& path);
  // Waits until the object at `path`, or every one of the jobs, has left the bus.
  bool waitForRemoval(const std::string& path);
  bool waitUntilGone(const IdList& jobs);
  // The backup thread serves its commands, and re-sends every queue, once its start-up
  // sequence is over; a test that counts either waits for that first.
  bool waitForStartupSequence();

  // setAllProperties of a job object and of the main object (the tests run as root).
  uint16_t setJob(const std::string& jobID, const PropertyMap& values);
  uint16_t setMain(const PropertyMap& values);
  // Replaces ROOT/etc/velmer/attributes.json, which the daemon reads at every use.
  void writeAttributes(const nlohmann::json& attributes);

  // The complete JSON lines a platform stand-in wrote to ROOT/var/log/velmer/`file`.
  std::vector<nlohmann::json> records(const std::string& file) const;
  // The event-log entries so far, oldest first; only those of `messageId` when given.
  // Each is {"time", "messageId", "codes", "args", "text"}.
  std::vector<nlohmann::json> events(const std::string& messageId = "") const;

  // Time in seconds by the daemon's clock.
  static int64_t now() { return std::time(nullptr); }

 private:
  std::unique_ptr<FakePeers> peers_;
};

}  // namespace velmer::e2e
