// velmer-torture load ROOT MODEL DAEMON_PID startup|random|tmp SEED [CONTROL BELOW]
// velmer-torture check ROOT MODEL [CONTROL]
// velmer-torture store ROOT MODEL
// velmer-torture change ROOT MODEL CONTROL
// velmer-torture observe ROOT MODEL BELOW [UNTIL_OP]
//
// The load and the checker of scripts/torture.sh and scripts/powercut.sh, against a
// velmerd-sandbox on the system bus that libsystemd finds (DBUS_SYSTEM_BUS_ADDRESS).
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
// Power cuts (CONTROL, the control file of the forgetful file system, tools/forgetfs/;
// BELOW, the directory it passes through, laid out like ROOT): `load` cuts the power
// instead of killing the daemon (the file system kills it at the cut); `tmp` then cuts
// right after a random operation of the rewrite that the temporary file began. What the
// daemon wrote counts once BELOW holds it: `load` reads BELOW right after the cut. `check`
// also fails on every file the daemon synced that BELOW lacks all the same (a directory
// on its path never synced), once the daemon has gone quiet.
//
// `store` makes a small store (four jobs, two reports, two key-value entries, a queue)
// and `change` one change to it (a report, a job deletion, a key-value write), noting
// the file system's operation count at each reply. `observe` takes what BELOW holds as
// written, after the replies that had arrived by operation UNTIL_OP: scripts/powercut.sh
// restarts the daemon on every state a cut during the change could leave and checks it.
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
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "persistence/atomic_file.hpp"
#include "persistence/backup_file.hpp"
#include "persistence/journal.hpp"
#include "persistence/read_stop.hpp"
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

// A reply to a change, taken as arrived from operation `op` of the file system on.
struct DeferredAck {
  enum Kind { Report, Deletion, KeyValueWrite } kind;
  std::string job;
  int report = 0;
  std::string key, value;
  long op = 0;
};

struct Model {
  std::map<std::string, JobModel> jobs;
  // Deleted jobs whose ID a later creation was given again (an ID is free once its job
  // has left the registry), told apart from the new job by their names.
  std::vector<std::pair<std::string, JobModel>> retired;
  std::map<std::string, QueueModel> queues;
  std::vector<DeferredAck> deferred;
  std::vector<std::string> failures;  // found before the check (a damaged file below)
  long sequence = 0;  // names and values are unique across runs
};

void applyAck(Model& model, const DeferredAck& ack) {
  JobModel& job = model.jobs[ack.job];
  if (ack.kind == DeferredAck::Report) job.acked = std::max(job.acked, ack.report);
  if (ack.kind == DeferredAck::Deletion) job.deleteAcked = true;
  if (ack.kind != DeferredAck::KeyValueWrite) return;
  KeyValue& entry = job.keys[ack.key];
  entry.acked = ack.value;
  if (entry.pending == ack.value) entry.pending.reset();
}

void applyAcksUpTo(Model& model, long op) {
  for (const DeferredAck& ack : model.deferred)
    if (ack.op <= op) applyAck(model, ack);
  model.deferred.clear();
}

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
  for (const auto& v : j.value("deferred", nlohmann::json::array()))
    model.deferred.push_back({v["kind"], v["job"], v["report"], v["key"], v["value"], v["op"]});
  model.failures = j.value("failures", std::vector<std::string>());
  for (const auto& [id, v] : j["jobs"].items()) model.jobs[id] = jobFromJson(v);
  for (const auto& v : j["retired"]) model.retired.emplace_back(v["id"], jobFromJson(v["job"]));
  for (const auto& [id, v] : j["queues"].items())
    model.queues[id] = {v["owner"], v["job"], v["seen"], v["deleteSent"], v["deleteAcked"], v["deleteSeen"]};
  return model;
}

void saveModel(const std::string& path, const Model& model) {
  nlohmann::json j;
  j["sequence"] = model.sequence;
  j["failures"] = model.failures;
  j["deferred"] = nlohmann::json::array();
  for (const DeferredAck& ack : model.deferred)
    j["deferred"].push_back({{"kind", ack.kind}, {"job", ack.job}, {"report", ack.report}, {"key", ack.key},
                             {"value", ack.value}, {"op", ack.op}});
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

// The store that the files under `root` (a root laid out like the daemon's) hold: the
// backup file, read with the daemon's own reader; while a start-up has it moved aside,
// the restore directory's copy, which the next start moves back. Nothing when the file
// is damaged: `damage` says where and why. Every reading of a stored store goes through
// here, so that a store kept in more files is read in one place.
std::optional<StoredStore> readStoredStore(const std::string& root, std::string& damage) {
  // Where a restart reads the store: the backup directory, or the restore directory when
  // a start-up was cut short before it wrote the store anew (then the backup directory
  // holds no backup file).
  const std::string backupDir = root + std::string(velmer::paths::kBackupDir);
  const std::string restoreDir = root + std::string(velmer::paths::kRestoreDir);
  const auto holds = [](const std::string& dir, std::string_view name) { return fs::exists(dir + "/" + std::string(name)); };
  const bool fromRestore = !holds(backupDir, velmer::paths::kBackupFileName) &&
                           (holds(restoreDir, velmer::paths::kBackupFileName) ||
                            holds(restoreDir, velmer::paths::kJournalFileName));
  velmer::BackupFileRead backup;
  velmer::JournalRead journal;
  const velmer::StoreImage image = velmer::readStoredImage(fromRestore ? restoreDir : backupDir, backup, journal);
  if (backup.found && !backup.whole) {
    damage = velmer::describe(backup.stop);
    return std::nullopt;
  }
  StoredStore store;
  for (const std::string& id : image.ids(velmer::StoredKind::Job)) {
    velmer::JobInfoRecord job;
    if (velmer::unpackJob(*image.find(velmer::StoredKind::Job, id), job)) store.jobs[job.jsJobID] = job;
  }
  for (const std::string& id : image.ids(velmer::StoredKind::Queue)) store.queues.insert(id);
  return store;
}

// A job is in the store when its ID is there under its own name.
void observeJob(const StoredStore& stored, const std::string& id, JobModel& job) {
  auto found = stored.jobs.find(id);
  if (found != stored.jobs.end() && found->second.jobName == job.name) {
    job.seen = std::max(job.seen, reportNumber(found->second.message));
  } else if (job.seen >= 0 && job.deleteSent) {
    job.deleteSeen = true;  // written before, gone now: its removal reached the file
  }
}

// Records which changes the store under `root` holds. False when it is damaged (a
// committed backup file never is; one being replaced while read may seem so).
bool observeStore(Model& model, const std::string& root, std::string& damage) {
  const std::optional<StoredStore> stored = readStoredStore(root, damage);
  if (!stored) return false;
  for (auto& [id, job] : model.jobs) observeJob(*stored, id, job);
  for (auto& [id, job] : model.retired) observeJob(*stored, id, job);
  for (auto& [id, queue] : model.queues) {
    if (stored->queues.contains(id))
      queue.seen = true;
    else if (queue.seen && queue.deleteSent)
      queue.deleteSeen = true;
  }
  return true;
}


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
// The forgetful file system's control file

class PowerSwitch {
 public:
  explicit PowerSwitch(std::string control) : control_(std::move(control)) {}

  void send(const std::string& command) const { std::ofstream(control_) << command << "\n"; }

  std::string status() const {
    std::ifstream in(control_);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  // The lines of the status that start with `word` and a blank, without them.
  std::vector<std::string> lines(const std::string& word) const {
    std::istringstream text(status());
    std::vector<std::string> found;
    for (std::string line; std::getline(text, line);)
      if (line.starts_with(word + " ")) found.push_back(line.substr(word.size() + 1));
    return found;
  }

  bool isCut() const { return status().starts_with("state cut"); }
  long ops() const {
    const auto count = lines("ops");
    return count.empty() ? 0 : std::atol(count[0].c_str());
  }

  // Waits until no operation came for half a second (at most 20 s): the daemon is idle.
  bool waitQuiet() const {
    const auto deadline = Clock::now() + 20s;
    long last = ops();
    for (auto calmSince = Clock::now(); Clock::now() < deadline; std::this_thread::sleep_for(50ms)) {
      if (const long now = ops(); now != last) last = now, calmSince = Clock::now();
      if (Clock::now() - calmSince >= 500ms) return true;
    }
    return false;
  }

 private:
  std::string control_;
};

// ---------------------------------------------------------------------------------------
// The clients' calls

class Actions {
 public:
  // With `acksAt`, a reply only records the operation count it arrived at (see `change`).
  explicit Actions(Model& model, const PowerSwitch* acksAt = nullptr) : model_(model), acksAt_(acksAt) {}

  long nextSequence() {
    std::lock_guard lock(mutex_);
    return ++model_.sequence;
  }

  // False when the daemon refused (no free job ID in this second, or the store is full).
  bool create(Client& client, int owner) {
    const std::string name = "torture c" + std::to_string(owner) + " n" + std::to_string(nextSequence());
    Reply reply;
    client.call("JobServCreate", reply, name, uint16_t{kJobType});
    if (std::get<0>(reply) != 0 || std::get<2>(reply) != 0) return false;
    std::lock_guard lock(mutex_);
    const std::string& id = std::get<1>(reply);
    if (auto old = model_.jobs.find(id); old != model_.jobs.end()) model_.retired.emplace_back(id, old->second);
    JobModel created;
    created.owner = owner;
    created.name = name;
    model_.jobs[id] = std::move(created);
    return true;
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
    if (std::get<0>(status) == 0) acknowledged({DeferredAck::Report, id, number, "", ""});
  }

  void writeKeyValue(Client& client, const std::string& id, const std::string& key) {
    const std::string value = "v" + std::to_string(nextSequence());
    {
      std::lock_guard lock(mutex_);
      model_.jobs[id].keys[key].pending = value;
    }
    std::tuple<uint16_t> status;
    client.call("JS_WriteBLOB_Key_Value", status, id, key, std::string(kCaller), value);
    if (std::get<0>(status) == 0) acknowledged({DeferredAck::KeyValueWrite, id, 0, key, value});
  }

  void deleteJob(Client& client, const std::string& id) {
    {
      std::lock_guard lock(mutex_);
      model_.jobs[id].deleteSent = true;
    }
    Reply reply;
    client.call("JobServDelete", reply, std::vector<std::string>{id}, uint16_t{1}, uint16_t{0});
    if (std::get<0>(reply) == 0 && std::get<2>(reply) == 0) acknowledged({DeferredAck::Deletion, id, 0, "", ""});
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

 protected:
  Model& model_;
  std::mutex mutex_;  // guards model_

 private:
  void acknowledged(DeferredAck ack) {
    if (acksAt_ != nullptr) ack.op = acksAt_->ops();
    std::lock_guard lock(mutex_);
    if (acksAt_ != nullptr)
      model_.deferred.push_back(std::move(ack));
    else
      applyAck(model_, ack);
  }

  const PowerSwitch* acksAt_;
};

// ---------------------------------------------------------------------------------------
// load

// Where a power cut takes the place of SIGKILL.
struct PowerCut {
  PowerSwitch control;
  std::string below;  // the root the forgetful file system passes through
};

class Load : public Actions {
 public:
  Load(Model& model, pid_t daemon, std::string mode, unsigned seed, const PowerCut* power)
      : Actions(model), daemon_(daemon), mode_(std::move(mode)), random_(seed), power_(power) {}

  void run() {
    const auto started = Clock::now();
    std::uniform_int_distribution<int> startupKill(0, 2600), loadKill(300, 3000), tmpCount(1, 30);
    const auto killAt = mode_ == "startup" ? started + std::chrono::milliseconds(startupKill(random_))
                                           : Clock::time_point::max();
    tmpToKill_ = tmpCount(random_);
    torn_ = random_() % 2 == 0;
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
    while (!killed_ && Clock::now() < deadline) {
      std::this_thread::sleep_for(power_ != nullptr && armed_ ? 10ms : 1ms);
      if (armed_ && power_->control.isCut()) killed_ = true;  // the file system cut at its point
    }
    killDaemon();
    for (auto& client : clients) client.join();
    watcher.join();
    // What the last committed file holds (for a power cut: what the disk holds) is what
    // the next start restores.
    observeCommitted();
    if (power_ != nullptr) noteCut();
  }

 private:
  void killDaemon() {
    std::lock_guard lock(killMutex_);
    if (!killed_) {
      if (power_ != nullptr)
        power_->control.send(torn_ ? "cut torn" : "cut");
      else
        ::kill(daemon_, SIGKILL);
    }
    killed_ = true;
  }

  // Tells where the cut came; a file the daemon had synced more than a second before,
  // yet lost, fails the check (a shorter time may be a directory sync under way).
  void noteCut() {
    for (const auto& cut : power_->control.lines("cut")) std::printf("cut %s", cut.c_str());
    for (const auto& lost : power_->control.lines("lost")) {
      char* text = nullptr;
      const long milliseconds = std::strtol(lost.c_str(), &text, 10);
      if (milliseconds >= 1000)
        model_.failures.push_back("synced " + std::to_string(milliseconds) + " ms before the cut yet lost:" + text);
    }
  }

  // A rewrite has just begun: the kill, or the cut right after one of its next operations.
  void rewriteBegun() {
    if (power_ == nullptr) return killDaemon();
    const int op = std::uniform_int_distribution<int>(1, 12)(random_);
    power_->control.send("arm " + std::to_string(op) + (torn_ ? " torn" : ""));
    armed_ = true;
  }

  void observeCommitted() {
    std::string damage;
    std::lock_guard lock(mutex_);
    if (power_ == nullptr) {
      observeStore(model_, velmer::paths::root(), damage);  // none yet, or replaced while read
    } else if (!observeStore(model_, power_->below, damage)) {
      model_.failures.push_back("the backup file the power cut left is damaged: " + damage);
    }
  }

  void watchFiles() {
    int fd = ::inotify_init1(IN_CLOEXEC);
    const std::string backupDir = velmer::backupDirectory();
    int backupWatch = -1;
    for (const auto& dir : atomicFileDirectories()) {
      int watch = ::inotify_add_watch(fd, dir.c_str(), IN_CREATE | IN_MOVED_TO | IN_MODIFY);
      if (dir == backupDir) backupWatch = watch;
    }
    // A committed file on the mount of the forgetful file system is not yet on the disk.
    const bool observe = power_ == nullptr;
    if (observe) observeCommitted();
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
          rewriteBegun();
        // A rewritten backup file, or entries appended to the journal beside it (a kill
        // keeps what was written, synced or not).
        if (event->wd == backupWatch &&
            ((event->mask & IN_MOVED_TO) || ((event->mask & IN_MODIFY) && name == velmer::paths::kJournalFileName)))
          committed = true;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
      if (committed && observe) observeCommitted();
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
    if (jobs.empty() || (dice < 20 && jobs.size() < kJobsPerClient)) {
      if (!create(client, owner)) std::this_thread::sleep_for(20ms);
      return;
    }
    if (dice < 55) return sendReport(client, pick(jobs, random));
    if (dice < 75) {
      const std::string key = "k" + std::to_string(std::uniform_int_distribution<int>(0, 2)(random));
      return writeKeyValue(client, pick(jobs, random), key);
    }
    if (dice < 85 && !deletable.empty()) return deleteJob(client, pick(deletable, random));
    if (dice < 93 && queues.size() < kQueuesPerClient) return schedule(client, owner, jobs);
    if (!queues.empty()) return deleteQueue(client, pick(queues, random));
  }

  pid_t daemon_;
  std::string mode_;
  std::mt19937 random_;
  const PowerCut* power_;
  std::mutex killMutex_;
  std::atomic<bool> killed_{false}, armed_{false};
  bool torn_ = false;
  int tmpToKill_ = 0;
};

// ---------------------------------------------------------------------------------------
// The small store and the one change of the every-point pass

// Calls until the daemon has created a job; false after 10 s of refusals (job IDs carry
// the second: a second may have none left).
bool createWithin(Actions& actions, Client& client, int owner) {
  for (const auto deadline = Clock::now() + 10s; Clock::now() < deadline; std::this_thread::sleep_for(50ms))
    if (actions.create(client, owner)) return true;
  return false;
}

int buildSmallStore(Model& model) {
  Actions actions(model);
  Client client;
  for (int i = 0; i < 4; ++i)
    if (!createWithin(actions, client, i % kClients)) throw std::runtime_error("the daemon created no job");
  std::vector<std::string> ids;
  for (const auto& [id, job] : model.jobs) ids.push_back(id);
  actions.sendReport(client, ids[0]);
  actions.sendReport(client, ids[1]);
  actions.writeKeyValue(client, ids[0], "k0");
  actions.writeKeyValue(client, ids[2], "k1");
  actions.schedule(client, model.jobs[ids[3]].owner, {ids[3]});
  return 0;
}

// A report, a deletion and a key-value write to the small store's jobs that no queue
// holds, once the daemon is quiet; returns once it is quiet again.
int changeSmallStore(Model& model, const PowerSwitch& control) {
  std::vector<std::string> ids;
  for (const auto& [id, job] : model.jobs)
    if (!job.scheduled && !job.deleteSent && job.seen >= 0) ids.push_back(id);
  if (ids.size() < 3) throw std::runtime_error("the model holds no small store");
  Actions actions(model, &control);
  Client client;
  // The start-up's own rewrites first, then the change and every rewrite it makes.
  if (!control.waitQuiet()) throw std::runtime_error("the daemon did not go quiet after its start-up");
  actions.writeKeyValue(client, ids[2], "k0");
  actions.sendReport(client, ids[0]);
  actions.deleteJob(client, ids[1]);
  if (!control.waitQuiet()) throw std::runtime_error("the daemon did not go quiet after the change");
  return 0;
}

// ---------------------------------------------------------------------------------------
// check

class Check {
 public:
  Check(Model& model, const PowerSwitch* power) : model_(model), power_(power) {}

  int run() {
    Client client;
    readBus(client);
    for (const std::string& failure : model_.failures) fail("%s", failure.c_str());
    model_.failures.clear();
    checkSyncsKept();
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

  // Once the daemon has gone quiet, every file it synced with its directory is on the disk.
  void checkSyncsKept() {
    if (power_ == nullptr) return;
    if (!power_->waitQuiet()) fail("%s", "the daemon did not go quiet within 20 s of its restore");
    for (const std::string& lost : power_->lines("lost"))
      fail("synced yet lost at a power cut: %s", lost.substr(lost.find(' ') + 1).c_str());
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
    std::string damage;
    const StoredStore stored = readStoredStore(velmer::paths::root(), damage).value_or(StoredStore{});
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
  const PowerSwitch* power_;
  int failures_ = 0;
  uint16_t numJobsInStore_ = 0, jobCount_ = 0, queueCount_ = 0;
  std::vector<std::string> jobList_, queueList_;
  std::map<std::string, std::map<std::string, std::map<std::string, std::string>>> keyValues_;
  std::map<std::string, std::map<std::string, sdbus::Variant>> jobObjects_;
  std::set<std::string> queueObjects_;
};

int usage() {
  std::fprintf(stderr,
               "usage: velmer-torture load ROOT MODEL DAEMON_PID startup|random|tmp SEED [CONTROL BELOW]\n"
               "       velmer-torture check ROOT MODEL [CONTROL]\n"
               "       velmer-torture store ROOT MODEL\n"
               "       velmer-torture change ROOT MODEL CONTROL\n"
               "       velmer-torture observe ROOT MODEL BELOW [UNTIL_OP]\n");
  return 2;
}

int run(const std::vector<std::string>& args, Model& model) {
  const std::string& command = args[0];
  const size_t count = args.size();
  if (command == "load" && (count == 6 || count == 8)) {
    const std::string& mode = args[4];
    if (mode != "startup" && mode != "random" && mode != "tmp") return usage();
    const std::optional<PowerCut> power =
        count == 8 ? std::optional<PowerCut>(PowerCut{PowerSwitch(args[6]), args[7]}) : std::nullopt;
    Load(model, static_cast<pid_t>(std::atol(args[3].c_str())), mode,
         static_cast<unsigned>(std::atol(args[5].c_str())), power ? &*power : nullptr)
        .run();
    return 0;
  }
  if (command == "check" && (count == 3 || count == 4)) {
    const std::optional<PowerSwitch> power = count == 4 ? std::optional<PowerSwitch>(args[3]) : std::nullopt;
    return Check(model, power ? &*power : nullptr).run();
  }
  if (command == "store" && count == 3) return buildSmallStore(model);
  if (command == "change" && count == 4) return changeSmallStore(model, PowerSwitch(args[3]));
  if (command == "observe" && (count == 4 || count == 5)) {
    applyAcksUpTo(model, count == 5 ? std::atol(args[4].c_str()) : std::numeric_limits<long>::max());
    std::string damage;
    if (!observeStore(model, args[3], damage)) model.failures.push_back("the backup file is damaged: " + damage);
    return 0;
  }
  return usage();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  const std::vector<std::string> args(argv + 1, argv + argc);
  velmer::paths::setRoot(fs::absolute(args[1]).lexically_normal().string());
  const std::string modelPath = args[2];
  Model model = loadModel(modelPath);
  try {
    const int rc = run(args, model);
    if (rc != 2) saveModel(modelPath, model);
    return rc;
  } catch (const std::exception& e) {
    std::printf("FAIL: %s: %s\n", args[0].c_str(), e.what());
    return 1;
  }
}
