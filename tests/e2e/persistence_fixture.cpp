#include "persistence_fixture.hpp"

#include <sys/ipc.h>
#include <sys/msg.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <tuple>

namespace velmer::e2e {

// ---------------------------------------------------------------------------------------
// SchedulerChannel

namespace {

struct WireMessage {  // the daemon's 64-byte scheduler message
  long type;
  int64_t startTime;
  int64_t untilTime;
  char queueID[33];
  char reserved[7];
};
constexpr size_t kPayloadSize = sizeof(WireMessage) - sizeof(long);

// A new message queue keyed by `keyFile`. The key comes from the file's inode, which
// another test's file may share: then the file is made again (a new inode) and retried.
int createExclusiveQueue(const std::filesystem::path& keyFile) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    std::filesystem::remove(keyFile);
    std::ofstream(keyFile) << attempt;
    key_t key = ftok(keyFile.c_str(), 1);
    if (key == -1) break;
    int id = msgget(key, IPC_CREAT | IPC_EXCL | 0666);
    if (id >= 0) return id;
    if (errno != EEXIST) break;
  }
  throw std::runtime_error(std::string("cannot create the scheduler message queue: ") + std::strerror(errno));
}

}  // namespace

SchedulerChannel::SchedulerChannel(const std::filesystem::path& root) {
  const auto keyFile = root / "run/jqlegacy/js.ipc";
  std::filesystem::create_directories(keyFile.parent_path());
  id_ = createExclusiveQueue(keyFile);
}

SchedulerChannel::~SchedulerChannel() {
  msgctl(id_, IPC_RMID, nullptr);
}

std::vector<SchedulerChannel::Message> SchedulerChannel::receiveAll() {
  std::vector<Message> messages;
  WireMessage wire{};
  while (msgrcv(id_, &wire, kPayloadSize, 0, IPC_NOWAIT) == static_cast<ssize_t>(kPayloadSize))
    messages.push_back(
        {wire.type, wire.startTime, wire.untilTime, std::string(wire.queueID, strnlen(wire.queueID, 33))});
  return messages;
}

// ---------------------------------------------------------------------------------------
// PersistenceTest

std::string PersistenceTest::createJob(const std::string& name, uint16_t type) {
  auto [status, jobID, code] = client().callMain<uint16_t, std::string, uint16_t>("JobServCreate", name, type);
  if (status != 0 || code != 0) throw std::runtime_error("JobServCreate " + name + " failed: " + std::to_string(code));
  return jobID;
}

std::string PersistenceTest::scheduleNow(const std::vector<std::string>& jobs) {
  auto [status, queueID, code] = client().callMain<uint16_t, std::string, uint16_t>(
      "JobServSchedule", jobs, static_cast<uint16_t>(jobs.size()), std::string("TIME_NOW"), std::string("TIME_NA"));
  if (status != 0 || code != 0) throw std::runtime_error("JobServSchedule failed: " + std::to_string(code));
  return queueID;
}

void PersistenceTest::touchJob(const std::string& jobID, uint16_t percent) {
  auto status = client().callMain<uint16_t>("JobServUpdateJobInfo", jobID, uint16_t{255}, percent, std::string(),
                                            std::string(), std::string(), std::string());
  if (status != 0) throw std::runtime_error("JobServUpdateJobInfo " + jobID + " failed: " + std::to_string(status));
}

void PersistenceTest::setJobProperties(const std::string& jobID, const PropertyMap& properties) {
  auto status = client().call<uint16_t>(kJobPathPrefix + jobID, kJobInterface, "setAllProperties", properties);
  if (status != 0) throw std::runtime_error("setAllProperties " + jobID + " failed: " + std::to_string(status));
}

std::map<std::string, JobInfoRecord> PersistenceTest::jobsOnBus() {
  std::map<std::string, JobInfoRecord> jobs;
  for (const auto& [path, interfaces] : client().managedObjects()) {
    auto job = interfaces.find(kJobInterface);
    if (job == interfaces.end()) continue;
    JobInfoRecord record = layout::jobFromProperties(job->second);
    jobs[record.jsJobID] = record;
  }
  return jobs;
}

std::map<std::string, JobQueueRecord> PersistenceTest::queuesOnBus(std::map<std::string, std::string>* paths) {
  std::map<std::string, JobQueueRecord> queues;
  for (const auto& [path, interfaces] : client().managedObjects()) {
    auto queue = interfaces.find(kQueueInterface);
    if (queue == interfaces.end()) continue;
    JobQueueRecord record = layout::queueFromProperties(queue->second);
    if (paths != nullptr) (*paths)[record.jsQueueID] = path;
    queues[record.jsQueueID] = record;
  }
  return queues;
}

std::vector<layout::StoredObject> PersistenceTest::backupObjects() const {
  return layout::splitObjects(readFile(layout::backupFile(root())));
}

namespace {
// The objects of one type, decoded and keyed by their ID.
template <class Record>
std::map<std::string, Record> decodedObjects(const std::vector<layout::StoredObject>& objects, uint32_t type,
                                             Record (*decode)(const layout::Bytes&), std::string Record::*id) {
  std::map<std::string, Record> records;
  for (const auto& object : objects)
    if (object.type() == type) {
      Record record = decode(object.record);
      records[record.*id] = std::move(record);
    }
  return records;
}
}  // namespace

std::map<std::string, JobInfoRecord> PersistenceTest::jobsIn(const std::vector<layout::StoredObject>& objects) {
  return decodedObjects(objects, layout::kJobType, &layout::decodeJob, &JobInfoRecord::jsJobID);
}

std::map<std::string, JobQueueRecord> PersistenceTest::queuesIn(const std::vector<layout::StoredObject>& objects) {
  return decodedObjects(objects, layout::kQueueType, &layout::decodeQueue, &JobQueueRecord::jsQueueID);
}

bool PersistenceTest::waitForBackup(const std::function<bool(const std::vector<layout::StoredObject>&)>& done,
                                    std::chrono::milliseconds timeout) {
  return waitUntil(
      [&] {
        try {
          return done(backupObjects());
        } catch (const std::runtime_error&) {
          return false;  // no file yet
        }
      },
      timeout);
}

bool PersistenceTest::waitUntilBackupMatchesBus(std::chrono::milliseconds timeout) {
  return waitForBackup(
      [&](const std::vector<layout::StoredObject>& objects) {
        auto queues = queuesOnBus();
        for (auto& [id, queue] : queues) queue.jsJobsList.clear(), queue.reservedAllign.clear();  // not stored
        return jobsIn(objects) == jobsOnBus() && queuesIn(objects) == queues;
      },
      timeout);
}

void PersistenceTest::startAndAwaitRestore() {
  const size_t logStart = readLog().size();
  startDaemon();
  if (!waitForLog(kRestoreDone, kBackupStepTimeout, logStart))
    throw std::runtime_error("the start-up restore did not finish:\n" + readLog(logStart).substr(0, 4000));
}

void PersistenceTest::restartAndAwaitRestore(int signalNumber) {
  if (signalNumber == SIGKILL)
    killDaemon();
  else
    stopDaemon(signalNumber);
  startAndAwaitRestore();
}

namespace {
std::filesystem::path postRestoreLog(const std::filesystem::path& root) {
  return root / "postrestorectl.calls";
}
}  // namespace

void PersistenceTest::recordPostRestoreCalls() {
  const auto tool = root() / "usr/bin/postrestorectl";
  std::filesystem::create_directories(tool.parent_path());
  std::ofstream script(tool, std::ios::trunc);
  script << "#!/bin/sh\n"
            "for argument in \"$0\" \"$@\"; do printf '[%s]' \"$argument\"; done >> '"
         << postRestoreLog(root()).string() << "'\n"
         << "printf ' JID=%s\\n' \"$JID\" >> '" << postRestoreLog(root()).string() << "'\n";
  script.close();
  std::filesystem::permissions(tool, std::filesystem::perms(0755));
}

std::vector<std::string> PersistenceTest::postRestoreCalls() const {
  return linesContaining(readFile(postRestoreLog(root())), "");
}

std::vector<std::string> linesContaining(const std::string& text, const std::string& needle) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (line.find(needle) != std::string::npos) lines.push_back(line);
  return lines;
}

}  // namespace velmer::e2e
