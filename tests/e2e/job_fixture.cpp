#include "job_fixture.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
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
nlohmann::json jsonOf(const sdbus::Variant& value) {
  const std::string type = value.peekValueType();
  if (type == "y") return value.get<uint8_t>();
  if (type == "q") return value.get<uint16_t>();
  if (type == "u") return value.get<uint32_t>();
  if (type == "x") return value.get<int64_t>();
  if (type == "as") return value.get<std::vector<std::string>>();
  return value.get<std::string>();
}
}  // namespace

::testing::AssertionResult hasFields(const PropertyMap& properties, const nlohmann::json& expected) {
  nlohmann::json actual = nlohmann::json::object();
  for (const auto& [name, value] : expected.items())
    actual[name] = properties.contains(name) ? jsonOf(properties.at(name)) : nlohmann::json();
  if (actual == expected) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "holds    " << actual.dump() << "\nexpected " << expected.dump();
}

std::string jobPath(const std::string& jobID) { return kJobPathPrefix + jobID; }
std::string scheduleTimeOf(std::time_t when) { return localTimeText(when, "%Y%m%d%H%M%S"); }
std::string displayTimeOf(std::time_t when) { return localTimeText(when, "%Y-%m-%d %H:%M:%S"); }

size_t occurrences(const std::string& log, const std::string& text) {
  size_t count = 0;
  for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + text.size())) ++count;
  return count;
}

void JobTest::TearDown() {
  peers_.reset();
  DaemonTest::TearDown();
}

FakePeers& JobTest::peers() {
  if (!peers_) peers_ = std::make_unique<FakePeers>();
  return *peers_;
}

Reply JobTest::create(const std::string& name, uint16_t type, const std::string& method) {
  return client().callMain<uint16_t, std::string, uint16_t>(method, name, type);
}

std::string JobTest::createJob(const std::string& name, uint16_t type) {
  auto [status, jobID, code] = create(name, type);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(code, 0) << "creating " << name << " of type " << type;
  return jobID;
}

uint16_t JobTest::update(const std::string& jobID, uint16_t state, uint16_t percent, const std::string& status,
                         const std::string& message, const std::string& messageID, const std::string& messageArgs) {
  return client().callMain<uint16_t>("JobServUpdateJobInfo", jobID, state, percent, status, message, messageID,
                                     messageArgs);
}

Reply JobTest::schedule(const IdList& jobs, uint16_t numJobs, const std::string& start, const std::string& until) {
  return client().callMain<uint16_t, std::string, uint16_t>("JobServSchedule", jobs, numJobs, start, until);
}

Reply JobTest::schedule(const IdList& jobs, const std::string& start, const std::string& until) {
  return schedule(jobs, static_cast<uint16_t>(jobs.size()), start, until);
}

std::string JobTest::scheduleNow(const IdList& jobs) {
  auto [status, queueID, code] = schedule(jobs);
  EXPECT_EQ(status + code, 0) << status << " " << code;
  return queueID;
}

Reply JobTest::deleteJobs(const IdList& jobs, uint16_t numJobs, uint16_t deleteMode) {
  return client().callMain<uint16_t, std::string, uint16_t>("JobServDelete", jobs, numJobs, deleteMode);
}

PropertyMap JobTest::job(const std::string& jobID) { return client().getAllProperties(jobPath(jobID), kJobInterface); }

PropertyMap JobTest::queue(const std::string& queuePath) {
  return client().getAllProperties(queuePath, kQueueInterface);
}

bool JobTest::onBus(const std::string& path) { return client().managedObjects().contains(sdbus::ObjectPath(path)); }

bool JobTest::waitForRemoval(const std::string& path) {
  return waitUntil([&] { return !onBus(path); }, kRemovalTimeout);
}

bool JobTest::waitUntilGone(const IdList& jobs) {
  return std::all_of(jobs.begin(), jobs.end(), [&](const std::string& id) { return waitForRemoval(jobPath(id)); });
}

bool JobTest::waitForStartupSequence() {
  // Under the sanitizers the two-second pause and the restore take a while longer.
  return waitForLog("[backupThread]: ___ Post restoration all job info", 20s);
}

uint16_t JobTest::setJob(const std::string& jobID, const PropertyMap& values) {
  return client().call<uint16_t>(jobPath(jobID), kJobInterface, "setAllProperties", values);
}

uint16_t JobTest::setMain(const PropertyMap& values) { return client().callMain<uint16_t>("setAllProperties", values); }

void JobTest::writeAttributes(const nlohmann::json& attributes) {
  const std::filesystem::path file = root() / "etc/velmer/attributes.json";
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file) << attributes.dump();
}

std::vector<nlohmann::json> JobTest::records(const std::string& file) const {
  // The complete lines only: the daemon may be appending one right now.
  const std::string text = readFile(root() / "var/log/velmer" / file);
  std::vector<nlohmann::json> lines;
  std::istringstream stream(text.substr(0, text.rfind('\n') + 1));
  for (std::string line; std::getline(stream, line);)
    if (!line.empty()) lines.push_back(nlohmann::json::parse(line));
  return lines;
}

std::vector<nlohmann::json> JobTest::events(const std::string& messageId) const {
  std::vector<nlohmann::json> result;
  for (auto& event : records("events.jsonl"))
    if (messageId.empty() || event["messageId"] == messageId) result.push_back(std::move(event));
  return result;
}

}  // namespace velmer::e2e
