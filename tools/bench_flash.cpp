// velmerd-bench --flash --root ROOT [--log FILE] [--burst N] [--steady-seconds S]
//
// Fills the store of a daemon started on an empty ROOT to 256 jobs and 128 queues, then
// measures what reports cost the flash:
//   burst   N JobServUpdateJobInfo back to back: their time, the time from the last reply
//           until the last report is in the backup file, the bytes the daemon wrote
//           (/proc/PID/io write_bytes) and the whole rewrites of the backup file and the
//           legacy copy they amount to, and the commands the backup buffer dropped (lines
//           "Buffer is full" in the daemon's log FILE, when given);
//   steady  10 reports a second for S seconds: rewrites per second;
//   single  one deletion, creation and schedule: the time from each reply until the
//           backup file holds it;
//   memory  the daemon's VmRSS and RssAnon with the full store.
// The daemon's PID comes from the bus (GetConnectionUnixProcessID). Start the daemon with
// trace level 2 for figures that match production.
#include "bench_flash.hpp"

#include <sdbus-c++/sdbus-c++.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace velmer::bench {
namespace {

constexpr const char* kService = "com.zorvex.kelvo.jobservice";
constexpr const char* kPath = "/xyz/openbmc_project/jobservice";
constexpr const char* kInterface = "com.zorvex.kelvo.jobservice.jobservicemain";
constexpr int kFullJobs = 256;
constexpr int kFullQueues = 128;
// The backup file's job objects: a 16-byte header, then the record with the job ID at
// 1568 and the percentage at 1836.
constexpr size_t kJobObjectSize = 16 + 1880;
constexpr size_t kJobIdOffset = 16 + 1568;
constexpr size_t kPercentOffset = 16 + 1836;

using Clock = std::chrono::steady_clock;
using Reply = std::tuple<uint16_t, std::string, uint16_t>;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "velmerd-bench --flash: %s\n", what.c_str());
  std::exit(1);
}

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

struct Options {
  std::string root;
  std::string log;
  int burst = 1000;
  int steadySeconds = 10;
};

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 0; i + 1 < argc; i += 2) {
    const std::string name = argv[i], value = argv[i + 1];
    if (name == "--root") options.root = value;
    else if (name == "--log") options.log = value;
    else if (name == "--burst") options.burst = std::atoi(value.c_str());
    else if (name == "--steady-seconds") options.steadySeconds = std::atoi(value.c_str());
    else fail("unknown option " + name);
  }
  if (options.root.empty()) fail("--root ROOT is required (the daemon's sandbox root)");
  return options;
}

// ---------------------------------------------------------------------------------------
// The daemon process

uint32_t daemonPid(sdbus::IConnection& connection) {
  auto bus = sdbus::createProxy(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus");
  uint32_t pid = 0;
  bus->callMethod("GetConnectionUnixProcessID")
      .onInterface("org.freedesktop.DBus")
      .withArguments(std::string(kService))
      .storeResultsTo(pid);
  return pid;
}

// The value of the line starting with `key` in /proc/PID/`file`, 0 when absent.
uint64_t procValue(uint32_t pid, const char* file, const std::string& key) {
  std::ifstream stream("/proc/" + std::to_string(pid) + "/" + file);
  std::string line;
  while (std::getline(stream, line))
    if (line.rfind(key, 0) == 0) return std::strtoull(line.c_str() + key.size(), nullptr, 10);
  return 0;
}

uint64_t writtenBytes(uint32_t pid) { return procValue(pid, "io", "write_bytes:"); }

// Waits until the daemon has written nothing for 1.5 s; returns the bytes written by then.
uint64_t writtenOnceQuiet(uint32_t pid) {
  uint64_t last = writtenBytes(pid);
  auto quietSince = Clock::now();
  const auto deadline = Clock::now() + std::chrono::minutes(5);
  while (Clock::now() - quietSince < std::chrono::milliseconds(1500)) {
    if (Clock::now() > deadline) fail("the daemon kept writing for 5 minutes");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const uint64_t now = writtenBytes(pid);
    if (now != last) quietSince = Clock::now();
    last = now;
  }
  return last;
}

size_t countInLog(const std::string& log, const std::string& text) {
  if (log.empty()) return 0;
  std::ifstream stream(log);
  std::string line;
  size_t count = 0;
  while (std::getline(stream, line))
    if (line.find(text) != std::string::npos) ++count;
  return count;
}

// ---------------------------------------------------------------------------------------
// The store

uint16_t mainCount(sdbus::IProxy& service, const char* property) {
  return service.getProperty(property).onInterface(kInterface).get<uint16_t>();
}

// A creation that found no free ID (code 1: IDs carry the second) is tried again.
std::string createJob(sdbus::IProxy& service, int index) {
  Reply reply;
  for (int attempt = 0; attempt < 200; ++attempt) {
    service.callMethod("JobServCreate")
        .onInterface(kInterface)
        .withArguments("flash bench job " + std::to_string(index), uint16_t{5})
        .storeResultsTo(reply);
    if (std::get<2>(reply) != 1) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (std::get<2>(reply) != 0) fail("JobServCreate refused with code " + std::to_string(std::get<2>(reply)));
  return std::get<1>(reply);
}

// Queue IDs come from the same generator: a refusal for want of an ID is tried again.
void scheduleAlone(sdbus::IProxy& service, const std::string& job) {
  Reply reply;
  for (int attempt = 0; attempt < 200; ++attempt) {
    service.callMethod("JobServSchedule")
        .onInterface(kInterface)
        .withArguments(std::vector<std::string>{job}, uint16_t{1}, std::string("TIME_NOW"), std::string("TIME_NA"))
        .storeResultsTo(reply);
    if (std::get<2>(reply) == 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (std::get<2>(reply) != 0) fail("JobServSchedule refused with code " + std::to_string(std::get<2>(reply)));
}

// The queue-execution process's message queue, so that scheduling succeeds; removed at exit.
class SchedulerQueue {
 public:
  explicit SchedulerQueue(const std::string& root) {
    const std::string keyFile = root + "/run/jqlegacy/js.ipc";
    std::filesystem::create_directories(root + "/run/jqlegacy");
    std::ofstream(keyFile, std::ios::app).flush();
    id_ = msgget(ftok(keyFile.c_str(), 1), IPC_CREAT | 0666);
    if (id_ < 0) fail("cannot create the scheduler's message queue");
  }
  ~SchedulerQueue() { msgctl(id_, IPC_RMID, nullptr); }
  SchedulerQueue(const SchedulerQueue&) = delete;
  SchedulerQueue& operator=(const SchedulerQueue&) = delete;

 private:
  int id_ = -1;
};

std::vector<std::string> fillStore(sdbus::IProxy& service, const std::string& root) {
  if (mainCount(service, "jobInfoObjCount") != 0) fail("start the daemon on an empty store");
  SchedulerQueue scheduler(root);
  std::vector<std::string> jobs;
  for (int i = 0; i < kFullJobs; ++i) jobs.push_back(createJob(service, i));
  for (int i = 0; i < kFullQueues; ++i) scheduleAlone(service, jobs[static_cast<size_t>(i)]);
  return jobs;
}

void report(sdbus::IProxy& service, const std::string& job, uint16_t percent, uint16_t state = 3,
            const std::string& text = "Running") {
  uint16_t status = 0;
  service.callMethod("JobServUpdateJobInfo")
      .onInterface(kInterface)
      .withArguments(job, state, percent, text, std::string(""), std::string(""), std::string(""))
      .storeResultsTo(status);
}

// ---------------------------------------------------------------------------------------
// The backup file

struct BackupPaths {
  std::string backup;
  std::string legacy;
};

BackupPaths backupPaths(const std::string& root) {
  return {root + "/flash/data1/jobservice/jobbackup/jobsandqueues.jnqbkp",
          root + "/flash/data1/jqlegacy/jobbackup/jobsandqueues.jnqbkp"};
}

uint64_t fileSize(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
}

// The percentage the backup file holds for `job`, -1 when the job is not in it.
int storedPercent(const std::string& backup, const std::string& job) {
  std::ifstream stream(backup, std::ios::binary);
  std::vector<char> object(kJobObjectSize);
  while (stream.read(object.data(), static_cast<std::streamsize>(object.size()))) {
    if (std::strncmp(object.data() + kJobIdOffset, job.c_str(), 256) != 0) continue;
    uint16_t percent = 0;
    std::memcpy(&percent, object.data() + kPercentOffset, sizeof percent);
    return percent;
  }
  return -1;
}

// Seconds until `holds` is true of the backup file, checked at every change of the file
// (each rewrite replaces it, so its inode changes).
double secondsUntilFile(const std::string& backup, const std::function<bool()>& holds, const char* what) {
  const auto start = Clock::now();
  ino_t seen = 0;
  while (secondsSince(start) < 300) {
    struct stat info {};
    if (::stat(backup.c_str(), &info) == 0 && info.st_ino != seen) {
      seen = info.st_ino;
      if (holds()) return secondsSince(start);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  fail(std::string(what) + " never reached the backup file");
}

double secondsUntilStored(const std::string& backup, const std::string& job, int percent) {
  return secondsUntilFile(backup, [&] { return storedPercent(backup, job) == percent; }, "the last report");
}

// One deletion, creation and schedule on the full store, each timed from its reply until
// the backup file holds it. The deleted job is one that no queue holds, finished first
// (a running job is not deleted).
void timeSingleChanges(sdbus::IProxy& service, const std::string& root, const std::string& backup,
                       const std::string& lastJob) {
  SchedulerQueue scheduler(root);
  report(service, lastJob, 100, 4, "Completed");
  Reply reply;
  service.callMethod("JobServDelete")
      .onInterface(kInterface)
      .withArguments(std::vector<std::string>{lastJob}, uint16_t{1}, uint16_t{0})
      .storeResultsTo(reply);
  if (std::get<2>(reply) != 0) fail("JobServDelete refused with code " + std::to_string(std::get<2>(reply)));
  const double deleted = secondsUntilFile(backup, [&] { return storedPercent(backup, lastJob) < 0; }, "a deletion");
  const std::string job = createJob(service, kFullJobs);
  const double created = secondsUntilFile(backup, [&] { return storedPercent(backup, job) >= 0; }, "a creation");
  const uint64_t sizeBefore = fileSize(backup);
  scheduleAlone(service, job);
  const double scheduled = secondsUntilFile(backup, [&] { return fileSize(backup) > sizeBefore; }, "a schedule");
  std::printf("on flash after the reply: deletion %.3f s, creation %.3f s, schedule %.3f s\n", deleted, created,
              scheduled);
}

}  // namespace

int runFlashBench(int argc, char** argv) {
  const Options options = parse(argc, argv);
  auto connection = sdbus::createSystemBusConnection();
  auto service = sdbus::createProxy(*connection, kService, kPath);
  const uint32_t pid = daemonPid(*connection);
  const BackupPaths files = backupPaths(options.root);

  const auto fillStart = Clock::now();
  const std::vector<std::string> jobs = fillStore(*service, options.root);
  writtenOnceQuiet(pid);
  std::printf("store: %d jobs, %d queues, filled in %.1f s; backup file %llu bytes, legacy copy %llu bytes\n",
              mainCount(*service, "jobInfoObjCount"), mainCount(*service, "jobQueueObjCount"), secondsSince(fillStart),
              static_cast<unsigned long long>(fileSize(files.backup)),
              static_cast<unsigned long long>(fileSize(files.legacy)));
  std::printf("memory (full store): VmRSS %.1f MiB, RssAnon %.1f MiB\n", procValue(pid, "status", "VmRSS:") / 1024.0,
              procValue(pid, "status", "RssAnon:") / 1024.0);
  const double rewriteBytes = static_cast<double>(fileSize(files.backup) + fileSize(files.legacy));

  // Burst: report i goes to job i mod 256 with percentage i mod 100, so the last one
  // carries a percentage its job had at no earlier moment.
  const size_t droppedBefore = countInLog(options.log, "Buffer is full");
  uint64_t written = writtenBytes(pid);
  const auto burstStart = Clock::now();
  for (int i = 0; i < options.burst; ++i) report(*service, jobs[static_cast<size_t>(i) % jobs.size()], i % 100);
  const double burstSeconds = secondsSince(burstStart);
  const std::string& lastJob = jobs[static_cast<size_t>(options.burst - 1) % jobs.size()];
  const double onFlash = secondsUntilStored(files.backup, lastJob, (options.burst - 1) % 100);
  uint64_t burstBytes = writtenOnceQuiet(pid) - written;
  std::printf("burst of %d reports: %.3f s; last report on flash %.3f s after its reply\n", options.burst,
              burstSeconds, onFlash);
  std::printf("burst: %.1f MB written = %.1f rewrites; commands dropped: %zu%s\n", burstBytes / 1e6,
              burstBytes / rewriteBytes, countInLog(options.log, "Buffer is full") - droppedBefore,
              options.log.empty() ? " (no --log given)" : "");

  // Steady: 10 reports a second.
  written = writtenBytes(pid);
  const auto steadyStart = Clock::now();
  for (int i = 0; i < options.steadySeconds * 10; ++i) {
    std::this_thread::sleep_until(steadyStart + std::chrono::milliseconds(100 * i));
    report(*service, jobs[static_cast<size_t>(i) % jobs.size()], (i + 50) % 100);
  }
  const uint64_t steadyBytes = writtenOnceQuiet(pid) - written;
  std::printf("steady 10 reports/s for %d s: %.1f MB written = %.2f rewrites/s\n", options.steadySeconds,
              steadyBytes / 1e6, steadyBytes / rewriteBytes / options.steadySeconds);
  timeSingleChanges(*service, options.root, files.backup, jobs.back());
  std::printf("memory (after): VmRSS %.1f MiB, RssAnon %.1f MiB\n", procValue(pid, "status", "VmRSS:") / 1024.0,
              procValue(pid, "status", "RssAnon:") / 1024.0);
  return 0;
}

}  // namespace velmer::bench
