#include "scheduling_fixture.hpp"

#include <sstream>

namespace velmer::e2e {

namespace {

std::string localTimeText(std::time_t when, const char* format) {
  std::tm parts{};
  localtime_r(&when, &parts);
  char text[32];
  std::strftime(text, sizeof text, format, &parts);
  return text;
}

// The complete lines only: the daemon may be appending one right now.
std::vector<nlohmann::json> jsonLines(const std::string& text) {
  std::vector<nlohmann::json> lines;
  std::istringstream stream(text.substr(0, text.rfind('\n') + 1));
  for (std::string line; std::getline(stream, line);)
    if (!line.empty()) lines.push_back(nlohmann::json::parse(line));
  return lines;
}

}  // namespace

std::string scheduleTimeOf(std::time_t when) { return localTimeText(when, "%Y%m%d%H%M%S"); }
std::string displayTimeOf(std::time_t when) { return localTimeText(when, "%Y-%m-%d %H:%M:%S"); }

std::string SchedulingTest::createJob(const std::string& name, uint16_t type) {
  auto [status, jobID, code] = client().callMain<uint16_t, std::string, uint16_t>("JobServCreate", name, type);
  EXPECT_EQ(status, 0) << name;
  EXPECT_EQ(code, 0) << name;
  EXPECT_FALSE(jobID.empty()) << name;
  return jobID;
}

Reply SchedulingTest::schedule(const std::vector<std::string>& jobs, uint16_t numJobs, const std::string& start,
                               const std::string& until) {
  return client().callMain<uint16_t, std::string, uint16_t>("JobServSchedule", jobs, numJobs, start, until);
}

Reply SchedulingTest::schedule(const std::vector<std::string>& jobs, const std::string& start,
                               const std::string& until) {
  return schedule(jobs, static_cast<uint16_t>(jobs.size()), start, until);
}

uint16_t SchedulingTest::report(const std::string& jobID, uint16_t state, const std::string& status) {
  return client().callMain<uint16_t>("JobServUpdateJobInfo", jobID, state, uint16_t{100}, status, std::string(),
                                     std::string(), std::string());
}

PropertyMap SchedulingTest::jobProperties(const std::string& jobID) {
  return client().getAllProperties(kJobPathPrefix + jobID, kJobInterface);
}

PropertyMap SchedulingTest::queueProperties(const std::string& queuePath) {
  return client().getAllProperties(queuePath, kQueueInterface);
}

std::vector<std::string> SchedulingTest::queuePaths() {
  std::vector<std::string> paths;
  for (const auto& [path, interfaces] : client().managedObjects())
    if (interfaces.contains(kQueueInterface)) paths.push_back(path);
  return paths;
}

bool SchedulingTest::waitForRemoval(const std::string& path, std::chrono::milliseconds timeout) {
  return recorder().waitFor(
      [&](const SignalList& signals) {
        for (const auto& signal : signals)
          if (signal.member == "InterfacesRemoved" && signal.objectPath == path) return true;
        return false;
      },
      timeout);
}

bool SchedulingTest::waitForStartupSequence() {
  // Under the sanitizers the two-second pause and the restore take a while longer.
  return waitForLog("[backupThread]: ___ Post restoration all job info", 20s);
}

std::vector<nlohmann::json> SchedulingTest::eventsWithId(const std::string& messageId) const {
  std::vector<nlohmann::json> matching;
  for (auto& event : jsonLines(readFile(root() / "var/log/velmer/events.jsonl")))
    if (event["messageId"] == messageId) matching.push_back(std::move(event));
  return matching;
}

std::vector<nlohmann::json> SchedulingTest::jobCacheJournal() const {
  return jsonLines(readFile(root() / "var/log/velmer/jobcache.jsonl"));
}

}  // namespace velmer::e2e
