// velmer-torture load ROOT MODEL DAEMON_PID startup|random|tmp SEED
// velmer-torture check ROOT MODEL
//
// The load and the checker of scripts/torture.sh, against a velmerd-sandbox on the
// system bus that libsystemd finds (DBUS_SYSTEM_BUS_ADDRESS).
//
// `load` runs a mixed load from several clients (creations, reports, schedules, queue
// and job deletions, key-value writes) and kills the daemon with SIGKILL: at a random
// moment of its start-up (startup), at a random moment of the load (random), or right
// after a temporary file appeared beside the backup file, the legacy copy or the
// key-value file (tmp). Meanwhile it reads every backup file the daemon commits, with
// the daemon's own record readers, to learn which changes were written.
//
// `check` runs once the restarted daemon has restored its store and holds the store
// against what the daemon promised: a change counts once its reply arrived and a
// committed backup file was seen that holds it (a deletion: that no longer holds the job
// or queue an earlier one held); a key-value write once its reply arrived, as the file is
// written before the reply. A change sent but not yet written may be lost or kept.
//
// MODEL is a JSON file that carries what the clients know from one run to the next.
#include <sdbus-c++/sdbus-c++.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/types.h>
#include <unistd.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "persistence/atomic_file.hpp"
#include "persistence/backup_file.hpp"
#include "paths.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kService = "com.zorvex.kelvo.jobservice";
constexpr const char* kMainPath = "/xyz/openbmc_project/jobservice";
constexpr const char* kMainInterface = "com.zorvex.kelvo.jobservice.jobservicemain";
constexpr const char* kJobInterface = "com.zorvex.kelvo.jobservice.jobservicejobinfo";
constexpr const char* kQueueInterface = "com.zorvex.kelvo.jobservice.jobservicescheduleinfo";
constexpr auto kCallTimeout = 5s;

constexpr int kClients = 3;
constexpr size_t kJobsPerClient = 8;
constexpr size_t kQueuesPerClient = 1;  // a queue adds 131 kB to every rewrite
constexpr uint32_t kJobType = 5;        // a plain job: no tool, no reboot, no queue prefix
constexpr const char* kCaller = "torture";

// A report's fields are a function of its number, so any restored job tells which
// report it carries. Report 0 is the creation itself.
struct Report {
  std::string message, status, args;
  uint16_t percent;
};

Report report(int number) {
  return {"torture step " + std::to_string(number), "Step", "a" + std::to_string(number),
          static_cast<uint16_t>(number % 100)};
}

// The report number a job's message names; 0 for the creation's own message.
int reportNumber(const std::string& message) {
  const std::string prefix = "torture step ";
  if (!message.starts_with(prefix)) return 0;
  return std::atoi(message.c_str() + prefix.size());
}

struct KeyValue {
  std::optional<std::string> acked;    // the last value whose reply arrived
  std::optional<std::string> pending;  // sent after it, reply not (yet) seen
};

struct JobModel {
  int owner = 0;
  std::string name;
  int sent = 0;    // the last report sent
  int acked = 0;   // the last report answered
  int seen = -1;   // the highest report seen in a committed backup file (-1: the job never)
  bool deleteSent = false, deleteAcked = false, deleteSeen = false;
  bool scheduled = false;
  bool deleteMarked = false;  // restored with the delete mark: neither reportable nor deletable
  std::map<std::string, KeyValue> keys;

  // The lowest report a restart may bring back; -1 when the job itself may be lost.
  int floor() const { return std::min(seen, acked); }
  bool deletionPromised() const { return deleteAcked && deleteSeen; }
};

struct QueueModel {
  int owner = 0;
  std::string job;  // the job it was made for ("" when unknown)
  bool seen = false;
  bool deleteSent = false, deleteAcked = false, deleteSeen = false;
  bool deletionPromised() const { return deleteAcked && deleteSeen; }
};

struct Model {
  std::map<std::string, JobModel> jobs;
  // Deleted jobs whose ID a later creation was given again (an ID is free once its job
  // has left the registry), told apart from the new job by their names.
  std::vector<std::pair<std::string, JobModel>> retired;
  std::map<std::string, QueueModel> queues;
  long sequence = 0;  // names and values are unique across runs
};

// ---------------------------------------------------------------------------------------
// The model file

void to_json(nlohmann::json& j, const std::optional<std::string>& text) {
  j = text ? nlohmann::json(*text) : nlohmann::json();
}

std::optional<std::string> optionalText(const nlohmann::json& j) {
  return j.is_null() ? std::nullopt : std::optional<std::string>(j.get<std::string>());
}

JobModel jobFromJson(const nlohmann::json& v) {
  JobModel job;
  job.owner = v["owner"];
  job.name = v["name"];
  job.sent = v["sent"];
  job.acked = v["acked"];
  job.seen = v["seen"];
  job.deleteSent = v["deleteSent"];
  job.deleteAcked = v["deleteAcked"];
  job.deleteSeen = v["deleteSeen"];
  job.scheduled = v["scheduled"];
  job.deleteMarked = v["deleteMarked"];
  for (const auto& [key, value] : v["keys"].items())
    job.keys[key] = {optionalText(value["acked"]), optionalText(value["pending"])};
  return job;
}

nlohmann::json jobToJson(const JobModel& job) {
  nlohmann::json keys = nlohmann::json::object();
  for (const auto& [key, value] : job.keys) {
    to_json(keys[key]["acked"], value.acked);
    to_json(keys[key]["pending"], value.pending);
  }
  return {{"owner", job.owner},           {"name", job.name},
          {"sent", job.sent},             {"acked", job.acked},
          {"seen", job.seen},             {"deleteSent", job.deleteSent},
          {"deleteAcked", job.deleteAcked}, {"deleteSeen", job.deleteSeen},
          {"scheduled", job.scheduled},   {"deleteMarked", job.deleteMarked},
          {"keys", keys}};
}

Model loadModel(const std::string& path) {
  Model model;
  std::ifstream in(path);
  if (!in) return model;
  nlohmann::json j = nlohmann::json::parse(in);
  model.sequence = j["sequence"];
  for (const auto& [id, v] : j["jobs"].items()) model.jobs[id] = jobFromJson(v);
  for (const auto& v : j["retired"]) model.retired.emplace_back(v["id"], jobFromJson(v["job"]));
  for (const auto& [id, v] : j["queues"].items())
    model.queues[id] = {v["owner"], v["job"], v["seen"], v["deleteSent"], v["deleteAcked"], v["deleteSeen"]};
  return model;
}

void saveModel(const std::string& path, const Model& model) {
  nlohmann::json j;
  j["sequence"] = model.sequence;
  j["jobs"] = nlohmann::json::object();
  j["retired"] = nlohmann::json::array();
  j["queues"] = nlohmann::json::object();
  for (const auto& [id, job] : model.jobs) j["jobs"][id] = jobToJson(job);
  for (const auto& [id, job] : model.retired) j["retired"].push_back({{"id", id}, {"job", jobToJson(job)}});
  for (const auto& [id, q] : model.queues)
    j["queues"][id] = {{"owner", q.owner},
                       {"job", q.job},
                       {"seen", q.seen},
                       {"deleteSent", q.deleteSent},
                       {"deleteAcked", q.deleteAcked},
                       {"deleteSeen", q.deleteSeen}};
  std::ofstream(path) << j.dump(1);
}

// ---------------------------------------------------------------------------------------
// The backup file, read with the daemon's own record readers

struct StoredStore {
  std::map<std::string, velmer::JobInfoRecord> jobs;
  std::set<std::string> queues;
};

// False when the file is damaged (a committed backup file never is).
bool readBackupFile(const std::string& path, StoredStore& store) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto data = reinterpret_cast<const uint8_t*>(bytes.data());
  size_t at = 0;
  while (at < bytes.size()) {
    if (bytes.size() - at < velmer::kObjectHeaderSize) return false;
    velmer::JSObjectHeader header = velmer::decodeObjectHeader(data + at);
    at += velmer::kObjectHeaderSize;
    const size_t expected = header.object_type == velmer::kJobObject     ? velmer::kJobRecordSize
                            : header.object_type == velmer::kQueueObject ? velmer::kQueueRecordSize
                                                                         : 0;
    if (header.signature != velmer::kObjectSignature || expected == 0 || header.object_size != expected ||
        bytes.size() - at < expected)
      return false;
    if (header.object_type == velmer::kJobObject) {
      velmer::JobInfoRecord job;
      velmer::convertToJobServInfoObj(data + at, job);
      store.jobs[job.jsJobID] = job;
    } else {
      velmer::JobQueueRecord queue;
      velmer::convertToJobQueueInfoControlObj(data + at, queue);
      store.queues.insert(queue.jsQueueID);
    }
    at += expected;
  }
  return true;
}

std::string backupFile() { return velmer::backupFilePath(); }

// The directories whose files are replaced through a temporary file.
std::vector<std::string> atomicFileDirectories() {
  return {velmer::backupDirectory(), velmer::paths::resolve(velmer::paths::kLegacyBackupDir),
          fs::path(velmer::paths::resolve(velmer::paths::kKeyValueFile)).parent_path().string()};
}

// ---------------------------------------------------------------------------------------
// Bus helpers

using Reply = std::tuple<uint16_t, std::string, uint16_t>;

struct Client {
  std::unique_ptr<sdbus::IConnection> connection = sdbus::createSystemBusConnection();
  std::unique_ptr<sdbus::IProxy> main = sdbus::createProxy(*connection, kService, kMainPath);

  // `method` outlives the invoker, which keeps only a reference to it.
  template <class... Results, class... Args>
  void call(const std::string& method, std::tuple<Results...>& results, const Args&... args) {
    auto invoker = main->callMethod(method);
    invoker.onInterface(kMainInterface).withTimeout(kCallTimeout).withArguments(args...);
    std::apply([&](auto&... out) { invoker.storeResultsTo(out...); }, results);
  }

  template <class T>
  T property(const std::string& name) {
    return main->getProperty(name).onInterface(kMainInterface).get<T>();
  }
};

bool daemonAnswers() {
  try {
    Client().property<uint16_t>("numJobsInStore");
    return true;
  } catch (const sdbus::Error&) {
    return false;
  }
}

// ---------------------------------------------------------------------------------------
// load

class Load {
 public:
  Load(Model& model, pid_t daemon, std::string mode, unsigned seed)
      : model_(model), daemon_(daemon), mode_(std::move(mode)), random_(seed) {}

  void run() {
    const auto started = Clock::now();
    std::uniform_int_distribution<int> startupKill(0, 2600), loadKill(300, 3000), tmpCount(1, 30);
    const auto killAt = mode_ == "startup" ? started + std::chrono::milliseconds(startupKill(random_))
                                           : Clock::time_point::max();
    tmpToKill_ = tmpCount(random_);
    while (!daemonAnswers()) {
      if (Clock::now() >= killAt || Clock::now() - started > 20s) break;
      std::this_thread::sleep_for(5ms);
    }
    std::thread watcher([this] { watchFiles(); });
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) clients.emplace_back([this, i, seed = random_()] { runClient(i, seed); });
    const auto deadline = mode_ == "startup" ? killAt
                          : mode_ == "random" ? Clock::now() + std::chrono::milliseconds(loadKill(random_))
                                              : Clock::now() + 8s;  // tmp: in case no temporary file shows up
    while (!killed_ && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
    killDaemon();
    for (auto& client : clients) client.join();
    watcher.join();
    observeBackupFile();  // what the last committed file holds is what the next start restores
  }

 private:
  void killDaemon() {
    std::lock_guard lock(killMutex_);
    if (!killed_) ::kill(daemon_, SIGKILL);
    killed_ = true;
  }

  // Reads the committed backup file and records which changes it holds.
  void observeBackupFile() {
    StoredStore stored;
    if (!readBackupFile(backupFile(), stored)) return;  // none yet, or replaced while read
    std::lock_guard lock(mutex_);
    for (auto& [id, job] : model_.jobs) observeJob(stored, id, job);
    for (auto& [id, job] : model_.retired) observeJob(stored, id, job);
    for (auto& [id, queue] : model_.queues) {
      if (stored.queues.contains(id))
        queue.seen = true;
      else if (queue.seen && queue.deleteSent)
        queue.deleteSeen = true;
    }
  }

  // A job is in the file when its ID is there under its own name.
  static void observeJob(const StoredStore& stored, const std::string& id, JobModel& job) {
    auto found = stored.jobs.find(id);
    if (found != stored.jobs.end() && found->second.jobName == job.name) {
      job.seen = std::max(job.seen, reportNumber(found->second.message));
    } else if (job.seen >= 0 && job.deleteSent) {
      job.deleteSeen = true;  // written before, gone now: its removal reached the file
    }
  }

  void watchFiles() {
    int fd = ::inotify_init1(IN_CLOEXEC);
    const std::string backupDir = velmer::backupDirectory();
    int backupWatch = -1;
    for (const auto& dir : atomicFileDirectories()) {
      int watch = ::inotify_add_watch(fd, dir.c_str(), IN_CREATE | IN_MOVED_TO);
      if (dir == backupDir) backupWatch = watch;
    }
    observeBackupFile();
    alignas(inotify_event) char buffer[8192];
    while (!killed_) {
      pollfd pfd{fd, POLLIN, 0};
      if (::poll(&pfd, 1, 20) <= 0) continue;
      ssize_t length = ::read(fd, buffer, sizeof buffer);
      bool committed = false;
      for (ssize_t at = 0; at < length;) {
        auto* event = reinterpret_cast<inotify_event*>(buffer + at);
        std::string name = event->len > 0 ? event->name : "";
        if ((event->mask & IN_CREATE) && name.ends_with(velmer::AtomicFile::kTemporarySuffix) && mode_ == "tmp" &&
            --tmpToKill_ == 0)
          killDaemon();  // a rewrite has just begun
        if ((event->mask & IN_MOVED_TO) && event->wd == backupWatch) committed = true;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
      if (committed) observeBackupFile();
    }
    ::close(fd);
  }

  // One client: owns the jobs and queues it made (and those of its number from earlier
  // runs) and changes them one call at a time.
  void runClient(int number, unsigned seed) {
    std::mt19937 random(seed);
    std::unique_ptr<Client> client;
    try {
      client = std::make_unique<Client>();
    } catch (const sdbus::Error&) {
      return;
    }
    while (!killed_) {
      try {
        // A short pause between calls, so that the backup thread's rewrites keep some
        // pace with the changes and deletions do reach the files.
        std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 6)(random)));
        step(*client, number, random);
      } catch (const sdbus::Error&) {
        std::this_thread::sleep_for(5ms);  // the daemon is gone or restarting: no reply, no promise
      }
    }
  }

  std::vector<std::string> ownedJobs(int owner, bool deletable) {
    std::vector<std::string> ids;
    for (const auto& [id, job] : model_.jobs)
      if (job.owner == owner && !job.deleteSent && !job.deleteMarked && (!deletable || job.seen >= 0))
        ids.push_back(id);
    return ids;
  }

  template <class T>
  static const T& pick(const std::vector<T>& items, std::mt19937& random) {
    return items[std::uniform_int_distribution<size_t>(0, items.size() - 1)(random)];
  }

  void step(Client& client, int owner, std::mt19937& random) {
    int dice = std::uniform_int_distribution<int>(0, 99)(random);
    std::vector<std::string> jobs, deletable, queues;
    {
      std::lock_guard lock(mutex_);
      jobs = ownedJobs(owner, false);
      deletable = ownedJobs(owner, true);
      for (const auto& [id, queue] : model_.queues)
        if (queue.owner == owner && !queue.deleteSent) queues.push_back(id);
    }
    // Stores grown by earlier runs (restored deletions) shrink back first.
    if (queues.size() > kQueuesPerClient) return deleteQueue(client, pick(queues, random));
    if (jobs.size() > kJobsPerClient && !deletable.empty() && dice < 50)
      return deleteJob(client, pick(deletable, random));
    if (jobs.empty() || (dice < 20 && jobs.size() < kJobsPerClient)) return create(client, owner);
    if (dice < 55) return sendReport(client, pick(jobs, random));
    if (dice < 75) return writeKeyValue(client, pick(jobs, random), random);
    if (dice < 85 && !deletable.empty()) return deleteJob(client, pick(deletable, random));
    if (dice < 93 && queues.size() < kQueuesPerClient) return schedule(client, owner, jobs);
    if (!queues.empty()) return deleteQueue(client, pick(queues, random));
  }

  long nextSequence() {
    std::lock_guard lock(mutex_);
    return ++model_.sequence;
  }

  void create(Client& client, int owner) {
    const std::string name = "torture c" + std::to_string(owner) + " n" + std::to_string(nextSequence());
    Reply reply;
    client.call("JobServCreate", reply, name, uint16_t{kJobType});
    if (std::get<0>(reply) != 0 || std::get<2>(reply) != 0) {
      std::this_thread::sleep_for(20ms);  // no free job ID in this second, or the store is full
      return;
    }
    std::lock_guard lock(mutex_);
    const std::string& id = std::get<1>(reply);
    if (auto old = model_.jobs.find(id); old != model_.jobs.end()) model_.retired.emplace_back(id, old->second);
    JobModel created;
    created.owner = owner;
    created.name = name;
    model_.jobs[id] = std::move(created);
  }

  void sendReport(Client& client, const std::string& id) {
    int number;
    {
      std::lock_guard lock(mutex_);
      number = ++model_.jobs[id].sent;
    }
    const Report r = report(number);
    std::tuple<uint16_t> status;
    client.call("JobServUpdateJobInfo", status, id, uint16_t{255}, r.percent, r.status, r.message, std::string(),
                r.args);
    std::lock_guard lock(mutex_);
    if (std::get<0>(status) == 0) model_.jobs[id].acked = number;
  }

  void writeKeyValue(Client& client, const std::string& id, std::mt19937& random) {
    const std::string key = "k" + std::to_string(std::uniform_int_distribution<int>(0, 2)(random));
    const std::string value = "v" + std::to_string(nextSequence());
    {
      std::lock_guard lock(mutex_);
      model_.jobs[id].keys[key].pending = value;
    }
    std::tuple<uint16_t> status;
    client.call("JS_WriteBLOB_Key_Value", status, id, key, std::string(kCaller), value);
    std::lock_guard lock(mutex_);
    KeyValue& entry = model_.jobs[id].keys[key];
    if (std::get<0>(status) == 0) entry = {value, std::nullopt};
  }

  void deleteJob(Client& client, const std::string& id) {
    {
      std::lock_guard lock(mutex_);
      model_.jobs[id].deleteSent = true;
    }
    Reply reply;
    client.call("JobServDelete", reply, std::vector<std::string>{id}, uint16_t{1}, uint16_t{0});
    std::lock_guard lock(mutex_);
    if (std::get<0>(reply) == 0 && std::get<2>(reply) == 0) model_.jobs[id].deleteAcked = true;
  }

  void schedule(Client& client, int owner, const std::vector<std::string>& jobs) {
    std::string id;
    {
      std::lock_guard lock(mutex_);
      for (const auto& candidate : jobs)
        if (!model_.jobs[candidate].scheduled) id = candidate;
      if (id.empty()) return;
      model_.jobs[id].scheduled = true;
    }
    Reply reply;
    client.call("JobServSchedule", reply, std::vector<std::string>{id}, uint16_t{1}, std::string("TIME_NOW"),
                std::string("TIME_NA"));
    if (std::get<0>(reply) != 0 || std::get<1>(reply).empty()) return;
    std::lock_guard lock(mutex_);
    // An ID is free again once its queue has left the registry: a queue scheduled later in
    // the same second may be given the ID of one deleted before, and is a new queue.
    QueueModel& queue = model_.queues[std::get<1>(reply)] = QueueModel{};
    queue.owner = owner;
    queue.job = id;
  }

  void deleteQueue(Client& client, const std::string& id) {
    {
      std::lock_guard lock(mutex_);
      model_.queues[id].deleteSent = true;
    }
    std::tuple<uint16_t> status;
    client.call("JobServDeleteQueue", status, id, uint16_t{0});
    std::lock_guard lock(mutex_);
    if (std::get<0>(status) == 0) model_.queues[id].deleteAcked = true;
  }

  Model& model_;
  pid_t daemon_;
  std::string mode_;
  std::mt19937 random_;
  std::mutex mutex_;  // guards model_
  std::mutex killMutex_;
  std::atomic<bool> killed_{false};
  int tmpToKill_ = 0;
};

// ---------------------------------------------------------------------------------------
// check

class Check {
 public:
  explicit Check(Model& model) : model_(model) {}

  int run() {
    Client client;
    readBus(client);
    checkCounts();
    checkJobs();
    checkQueues();
    checkKeyValues();
    checkNoTemporaryFiles();
    int promisedJobs = 0, promisedDeletions = 0;
    for (const auto& [id, job] : model_.jobs) promisedJobs += job.floor() >= 0 && !job.deleteSent;
    for (const auto& [id, job] : model_.jobs) promisedDeletions += job.deletionPromised();
    for (const auto& [id, job] : model_.retired) promisedDeletions += job.deletionPromised();
    int marked = 0;
    for (const auto& [id, properties] : jobObjects_) marked += (get<uint8_t>(properties, "flags") & 2) != 0;
    std::printf("%zu jobs (%d of them marked for deletion) and %zu queues restored; %d jobs and %d deletions were "
                "promised\n",
                jobObjects_.size(), marked, queueObjects_.size(), promisedJobs, promisedDeletions);
    settleModel();
    return failures_ == 0 ? 0 : 1;
  }

 private:
  template <class... Args>
  void fail(const char* format, Args... args) {
    std::printf("FAIL: ");
    std::printf(format, args...);
    std::printf("\n");
    ++failures_;
  }

  void readBus(Client& client) {
    numJobsInStore_ = client.property<uint16_t>("numJobsInStore");
    jobCount_ = client.property<uint16_t>("jobInfoObjCount");
    jobList_ = client.property<std::vector<std::string>>("jobInfoObjList");
    queueCount_ = client.property<uint16_t>("jobQueueObjCount");
    queueList_ = client.property<std::vector<std::string>>("jobQueueObjList");
    keyValues_ = client.property<std::map<std::string, std::map<std::string, std::map<std::string, std::string>>>>(
        "blobKeyValue");
    std::map<sdbus::ObjectPath, std::map<std::string, std::map<std::string, sdbus::Variant>>> objects;
    client.main->callMethod("GetManagedObjects")
        .onInterface("org.freedesktop.DBus.ObjectManager")
        .withTimeout(kCallTimeout)
        .storeResultsTo(objects);
    for (const auto& [path, interfaces] : objects) {
      const std::string id = path.substr(path.rfind('/') + 1);
      if (auto job = interfaces.find(kJobInterface); job != interfaces.end()) jobObjects_[id] = job->second;
      if (interfaces.contains(kQueueInterface)) queueObjects_.insert(id);
    }
  }

  void checkCounts() {
    const std::set<std::string> listed(jobList_.begin(), jobList_.end());
    std::set<std::string> objects;
    for (const auto& [id, properties] : jobObjects_) objects.insert(id);
    if (numJobsInStore_ != jobCount_ || jobCount_ != jobList_.size() || jobList_.size() != jobObjects_.size() ||
        listed != objects)
      fail("job counts differ: numJobsInStore %u, jobInfoObjCount %u, jobInfoObjList %zu (%zu distinct), job objects "
           "%zu%s",
           numJobsInStore_, jobCount_, jobList_.size(), listed.size(), jobObjects_.size(),
           listed == objects ? "" : ", the list and the objects name different jobs");
    const std::set<std::string> queuesListed(queueList_.begin(), queueList_.end());
    if (queueCount_ != queueList_.size() || queueList_.size() != queueObjects_.size() ||
        queuesListed != queueObjects_)
      fail("queue counts differ: jobQueueObjCount %u, jobQueueObjList %zu, queue objects %zu%s", queueCount_,
           queueList_.size(), queueObjects_.size(),
           queuesListed == queueObjects_ ? "" : ", the list and the objects name different queues");
  }

  template <class T>
  static T get(const std::map<std::string, sdbus::Variant>& properties, const char* name) {
    auto found = properties.find(name);
    return found == properties.end() ? T{} : found->second.get<T>();
  }

  // The job object with this ID and name, if the bus has one.
  const std::map<std::string, sdbus::Variant>* jobObject(const std::string& id, const JobModel& job) const {
    auto found = jobObjects_.find(id);
    if (found == jobObjects_.end() || get<std::string>(found->second, "jobName") != job.name) return nullptr;
    return &found->second;
  }

  void checkJobs() {
    for (const auto& [id, job] : model_.retired)
      if (jobObject(id, job) != nullptr && job.deletionPromised())
        fail("job %s (%s) came back: its deletion was answered and a backup file without it was written",
             id.c_str(), job.name.c_str());
    for (const auto& [id, job] : model_.jobs) {
      const auto* properties = jobObject(id, job);
      if (properties == nullptr) {
        if (job.floor() >= 0 && !job.deleteSent)
          fail("job %s (%s) is lost: created, report %d answered and written (report %d seen in a backup file)",
               id.c_str(), job.name.c_str(), job.acked, job.seen);
        continue;
      }
      if (job.deletionPromised()) {
        fail("job %s (%s) came back: its deletion was answered and a backup file without it was written",
             id.c_str(), job.name.c_str());
        continue;
      }
      const int number = reportNumber(get<std::string>(*properties, "message"));
      if (number > job.sent) {
        fail("job %s carries report %d, never sent (last sent %d)", id.c_str(), number, job.sent);
      } else if (!job.deleteSent && number < job.floor()) {
        fail("job %s went back to report %d: report %d was answered and written", id.c_str(), number, job.floor());
      }
      checkFields(id, *properties, number);
    }
  }

  void checkFields(const std::string& id, const std::map<std::string, sdbus::Variant>& properties, int number) {
    if (get<uint32_t>(properties, "jobType") != kJobType)
      fail("job %s has type %u, created as type %u", id.c_str(), get<uint32_t>(properties, "jobType"), kJobType);
    if (number == 0) return;
    const Report r = report(number);
    if (get<std::string>(properties, "jobStatus") != r.status ||
        get<std::string>(properties, "messageArgs") != r.args ||
        get<uint16_t>(properties, "percentComplete") != r.percent)
      fail("job %s mixes reports: message of report %d, but status \"%s\", messageArgs \"%s\", percentComplete %u",
           id.c_str(), number, get<std::string>(properties, "jobStatus").c_str(),
           get<std::string>(properties, "messageArgs").c_str(), get<uint16_t>(properties, "percentComplete"));
  }

  void checkQueues() {
    for (const auto& [id, queue] : model_.queues) {
      const bool present = queueObjects_.contains(id);
      // Deleting a job that a file still shows bound to the queue may remove the queue too.
      auto job = model_.jobs.find(queue.job);
      const bool jobLives = job != model_.jobs.end() && !job->second.deleteSent;
      if (!present && queue.seen && !queue.deleteSent && jobLives)
        fail("queue %s is lost: its schedule was answered and written", id.c_str());
      if (present && queue.deletionPromised())
        fail("queue %s came back: its deletion was answered and a backup file without it was written", id.c_str());
    }
  }

  void checkKeyValues() {
    for (const auto& [id, job] : model_.jobs) {
      const bool present = jobObjects_.contains(id);
      if (present && jobObject(id, job) == nullptr) continue;  // the ID belongs to another job now
      auto stored = keyValues_.find(id);
      if (!present) {
        if (stored != keyValues_.end()) fail("key-value entries of job %s outlive the job", id.c_str());
        continue;
      }
      if (job.deleteSent) continue;  // its entries go with the removal, whenever that runs
      for (const auto& [key, value] : job.keys) {
        std::optional<std::string> actual;
        if (stored != keyValues_.end() && stored->second.contains(kCaller) && stored->second.at(kCaller).contains(key))
          actual = stored->second.at(kCaller).at(key);
        if (actual == value.acked || (value.pending && actual == value.pending)) continue;
        fail("job %s key %s holds %s; answered write %s%s%s", id.c_str(), key.c_str(),
             actual ? actual->c_str() : "nothing", value.acked ? value.acked->c_str() : "none",
             value.pending ? ", later unanswered write " : "", value.pending ? value.pending->c_str() : "");
      }
    }
  }

  // A rewrite under way may hold a temporary file for a moment; one left over stays.
  void checkNoTemporaryFiles() {
    const auto deadline = Clock::now() + 10s;
    std::vector<std::string> left;
    do {
      left.clear();
      for (const auto& dir : atomicFileDirectories()) {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(dir, error))
          if (entry.path().string().ends_with(velmer::AtomicFile::kTemporarySuffix))
            left.push_back(entry.path().string());
      }
      if (left.empty()) return;
      std::this_thread::sleep_for(50ms);
    } while (Clock::now() < deadline);
    for (const auto& path : left) fail("temporary file %s is left after the restart", path.c_str());
  }

  // The restored store becomes what the next run starts from.
  void settleModel() {
    StoredStore stored;
    readBackupFile(backupFile(), stored);
    Model settled;
    settled.sequence = model_.sequence;
    for (const auto& [id, properties] : jobObjects_) {
      const std::string name = get<std::string>(properties, "jobName");
      if (!name.starts_with("torture c")) continue;
      JobModel& job = settled.jobs[id];
      job.owner = std::atoi(name.c_str() + 9) % kClients;
      job.name = name;
      job.sent = job.acked = reportNumber(get<std::string>(properties, "message"));
      auto written = stored.jobs.find(id);
      job.seen = written == stored.jobs.end() ? -1 : reportNumber(written->second.message);
      job.deleteMarked = (get<uint8_t>(properties, "flags") & 2) != 0;
      if (auto old = model_.jobs.find(id); old != model_.jobs.end()) job.scheduled = old->second.scheduled;
      if (auto values = keyValues_.find(id); values != keyValues_.end() && values->second.contains(kCaller))
        for (const auto& [key, value] : values->second.at(kCaller)) job.keys[key].acked = value;
    }
    for (const auto& id : queueObjects_) {
      auto old = model_.queues.find(id);
      const int owner =
          old == model_.queues.end() ? static_cast<int>(settled.queues.size()) % kClients : old->second.owner;
      settled.queues[id] = {owner, old == model_.queues.end() ? "" : old->second.job, stored.queues.contains(id)};
    }
    model_ = std::move(settled);
  }

  Model& model_;
  int failures_ = 0;
  uint16_t numJobsInStore_ = 0, jobCount_ = 0, queueCount_ = 0;
  std::vector<std::string> jobList_, queueList_;
  std::map<std::string, std::map<std::string, std::map<std::string, std::string>>> keyValues_;
  std::map<std::string, std::map<std::string, sdbus::Variant>> jobObjects_;
  std::set<std::string> queueObjects_;
};

int usage() {
  std::fprintf(stderr,
               "usage: velmer-torture load ROOT MODEL DAEMON_PID startup|random|tmp SEED\n"
               "       velmer-torture check ROOT MODEL\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return usage();
  const std::string command = argv[1];
  velmer::paths::setRoot(fs::absolute(argv[2]).lexically_normal().string());
  const std::string modelPath = argv[3];
  Model model = loadModel(modelPath);
  try {
    if (command == "load" && argc == 7) {
      const std::string mode = argv[5];
      if (mode != "startup" && mode != "random" && mode != "tmp") return usage();
      Load(model, static_cast<pid_t>(std::atol(argv[4])), mode, static_cast<unsigned>(std::atol(argv[6]))).run();
      saveModel(modelPath, model);
      return 0;
    }
    if (command == "check" && argc == 4) {
      int rc = Check(model).run();
      saveModel(modelPath, model);
      return rc;
    }
  } catch (const std::exception& e) {
    std::printf("FAIL: %s: %s\n", command.c_str(), e.what());
    return 1;
  }
  return usage();
}
