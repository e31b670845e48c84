// The end-to-end fixture for tests of jobs: creating, reporting on and reading jobs as
// a controller service would, writing the controller's configuration attributes, and
// reading what the daemon left in the event log and in its own log.
//
//   class JobUpdate : public velmer::e2e::JobTest {};
//   TEST_F(JobUpdate, ...) {
//     std::string id = createJob("Firmware Update: BIOS");
//     ASSERT_EQ(update(id, 3, 10), 0);
//     EXPECT_EQ(jobValue<uint32_t>(id, "jobState"), 3u);
//     EXPECT_EQ(events("JCP028").size(), 1u);
//   }
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "daemon_fixture.hpp"

namespace velmer::e2e {


// The bus path of the job `jobID`.
std::string jobPath(const std::string& jobID);

// The reply of the create methods.
struct Creation {
  uint16_t status = 0;
  std::string jobID;
  uint16_t code = 0;
};

// One event-log entry: {"time", "messageId", "codes", "args", "text"}.
using Event = nlohmann::json;

// How often `text` occurs in `log`.
size_t occurrences(const std::string& log, const std::string& text);

class JobTest : public DaemonTest {
 protected:
  // Calls one of the four create methods ("JobServCreate" unless named).
  Creation create(const std::string& name, uint16_t type, const std::string& method = "JobServCreate");
  // A job that must be created: its ID (the test fails otherwise).
  std::string createJob(const std::string& name, uint16_t type = 1);

  // JobServUpdateJobInfo; 255 and empty strings leave a field as it is.
  uint16_t update(const std::string& jobID, uint16_t state, uint16_t percent, const std::string& status = "",
                  const std::string& message = "", const std::string& messageID = "",
                  const std::string& messageArgs = "");

  PropertyMap job(const std::string& jobID);
  template <class T>
  T jobValue(const std::string& jobID, const std::string& name) {
    return client().getProperty(jobPath(jobID), kJobInterface, name).get<T>();
  }
  // setAllProperties of a job object and of the main object (the tests run as root).
  uint16_t setJob(const std::string& jobID, const PropertyMap& values);
  uint16_t setMain(const PropertyMap& values);

  // Replaces ROOT/etc/velmer/attributes.json, which the daemon reads at every use.
  void writeAttributes(const nlohmann::json& attributes);

  // The event-log entries written so far, oldest first; only those of `messageId`
  // when one is given.
  std::vector<Event> events(const std::string& messageId = "") const;

  // Time in seconds by the daemon's clock.
  static int64_t now();
};

}  // namespace velmer::e2e
