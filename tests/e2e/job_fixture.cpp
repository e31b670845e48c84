#include "job_fixture.hpp"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <tuple>

namespace velmer::e2e {

std::string jobPath(const std::string& jobID) { return kJobPathPrefix + jobID; }

size_t occurrences(const std::string& log, const std::string& text) {
  size_t count = 0;
  for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + text.size())) ++count;
  return count;
}

Creation JobTest::create(const std::string& name, uint16_t type, const std::string& method) {
  auto [status, jobID, code] = client().callMain<uint16_t, std::string, uint16_t>(method, name, type);
  return {status, jobID, code};
}

std::string JobTest::createJob(const std::string& name, uint16_t type) {
  Creation created = create(name, type);
  EXPECT_EQ(created.status, 0);
  EXPECT_EQ(created.code, 0) << "creating " << name;
  return created.jobID;
}

uint16_t JobTest::update(const std::string& jobID, uint16_t state, uint16_t percent, const std::string& status,
                         const std::string& message, const std::string& messageID, const std::string& messageArgs) {
  return client().callMain<uint16_t>("JobServUpdateJobInfo", jobID, state, percent, status, message, messageID,
                                     messageArgs);
}

PropertyMap JobTest::job(const std::string& jobID) { return client().getAllProperties(jobPath(jobID), kJobInterface); }

uint16_t JobTest::setJob(const std::string& jobID, const PropertyMap& values) {
  return client().call<uint16_t>(jobPath(jobID), kJobInterface, "setAllProperties", values);
}

uint16_t JobTest::setMain(const PropertyMap& values) { return client().callMain<uint16_t>("setAllProperties", values); }

void JobTest::writeAttributes(const nlohmann::json& attributes) {
  const std::filesystem::path file = root() / "etc/velmer/attributes.json";
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file) << attributes.dump();
}

std::vector<Event> JobTest::events(const std::string& messageId) const {
  std::vector<Event> result;
  std::ifstream in(root() / "var/log/velmer/events.jsonl");
  for (std::string line; std::getline(in, line);) {
    Event event = nlohmann::json::parse(line);
    if (messageId.empty() || event["messageId"] == messageId) result.push_back(std::move(event));
  }
  return result;
}

int64_t JobTest::now() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace velmer::e2e
