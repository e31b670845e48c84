// velmerd-bench --flash --daemon PROGRAM --root ROOT [--burst N] [--steady-seconds S]
//                       [--idle-seconds S]
//
// What the daemon writes to flash, counted as /proc/PID/io write_bytes: the bytes the
// daemon handed to the block layer, its own files only. The bench starts PROGRAM (a
// velmerd-sandbox) itself on the empty ROOT, at trace level 2 with its log on a pipe (as
// under journald), with the platform stand-ins' logs on a tmpfs, and fills the store to
// 256 jobs and 128 queues. Then, at full store:
//   files       the backup file's size and the blocks it takes, the journal, the legacy copy;
//   single      one deletion, one creation and one schedule: bytes each, and the time from
//               each reply until the store on flash (backup file and journal) holds it;
//   burst       N reports back to back: bytes in all, the last one's time to flash;
//   steady      10 reports a second spread over 16 running jobs for S seconds: bytes/s;
//   checkpoint  reports until the journal passes its bound: the bytes of the checkpoint
//               that folds it into the backup file;
//   idle        S seconds without a request: bytes;
//   restore     a journal filled to near its bound, the daemon killed and started again:
//               the time from the start of the restore (the restore file opened) until
//               the post-restore tool runs, both seen through inotify;
//   memory      VmRSS and RssAnon with the full store.
// Compare figures only from one sitting on one machine; an older daemon can be measured
// with the same bench (--daemon another build's velmerd-sandbox).
#include "bench_flash.hpp"

#include <fcntl.h>
#include <sdbus-c++/sdbus-c++.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/mount.h>
#include <sys/msg.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "paths.hpp"
#include "persistence/flash_writer.hpp"
#include "persistence/journal.hpp"
#include "trace.h"

namespace velmer::bench {
namespace {

constexpr const char* kService = "com.zorvex.kelvo.jobservice";
constexpr const char* kPath = "/xyz/openbmc_project/jobservice";
constexpr const char* kInterface = "com.zorvex.kelvo.jobservice.jobservicemain";
constexpr int kFullJobs = 256;
constexpr int kFullQueues = 128;
constexpr int kRunningJobs = 16;

using Clock = std::chrono::steady_clock;
using Reply = std::tuple<uint16_t, std::string, uint16_t>;
using namespace std::chrono_literals;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "velmerd-bench --flash: %s\n", what.c_str());
  std::exit(1);
}

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

struct Options {
  std::string daemon;
  std::string root;
  int burst = 1000;
  int steadySeconds = 60;
  int idleSeconds = 60;
};

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 0; i + 1 < argc; i += 2) {
    const std::string name = argv[i], value = argv[i + 1];
    if (name == "--daemon") options.daemon = value;
    else if (name == "--root") options.root = value;
    else if (name == "--burst") options.burst = std::atoi(value.c_str());
    else if (name == "--steady-seconds") options.steadySeconds = std::atoi(value.c_str());
    else if (name == "--idle-seconds") options.idleSeconds = std::atoi(value.c_str());
    else fail("unknown option " + name);
  }
  if (options.daemon.empty() || options.root.empty()) fail("--daemon PROGRAM and --root ROOT are required");
  return options;
}

// ---------------------------------------------------------------------------------------
// The daemon process, its log on a pipe

class Daemon {
 public:
  Daemon(const Options& options, int traceLevel) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) fail("pipe");
    pid_ = ::fork();
    if (pid_ < 0) fail("fork");
    if (pid_ == 0) {
      ::dup2(pipeFds[1], STDERR_FILENO);
      const std::string level = std::to_string(traceLevel);
      ::execl(options.daemon.c_str(), options.daemon.c_str(), options.root.c_str(), "--trace-level", level.c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(pipeFds[1]);
    reader_ = std::thread([this, fd = pipeFds[0]] { readLog(fd); });
  }
  ~Daemon() { stop(SIGTERM); }
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  pid_t pid() const { return pid_; }

  void stop(int signalNumber) {
    if (pid_ <= 0) return;
    ::kill(pid_, signalNumber);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
    reader_.join();
  }

  // How many log lines hold `text` since the start.
  size_t linesWith(const std::string& text) {
    std::lock_guard lock(mutex_);
    size_t count = 0;
    for (const auto& line : lines_) count += line.find(text) != std::string::npos;
    return count;
  }

 private:
  void readLog(int fd) {
    std::string pending;
    char chunk[4096];
    for (ssize_t got; (got = ::read(fd, chunk, sizeof chunk)) > 0;) {
      pending.append(chunk, static_cast<size_t>(got));
      for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
        std::lock_guard lock(mutex_);
        lines_.push_back(pending.substr(0, end));
      }
    }
    ::close(fd);
  }

  pid_t pid_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

// The value of the line starting with `key` in /proc/PID/`file`, 0 when absent.
uint64_t procValue(pid_t pid, const char* file, const std::string& key) {
  std::ifstream stream("/proc/" + std::to_string(pid) + "/" + file);
  std::string line;
  while (std::getline(stream, line))
    if (line.rfind(key, 0) == 0) return std::strtoull(line.c_str() + key.size(), nullptr, 10);
  return 0;
}

uint64_t writtenBytes(pid_t pid) { return procValue(pid, "io", "write_bytes:"); }

// Waits until the daemon has written nothing for 1.5 s; returns the bytes written by then.
uint64_t writtenOnceQuiet(pid_t pid) {
  uint64_t last = writtenBytes(pid);
  auto quietSince = Clock::now();
  const auto deadline = Clock::now() + 5min;
  while (Clock::now() - quietSince < 1500ms) {
    if (Clock::now() > deadline) fail("the daemon kept writing for 5 minutes");
    std::this_thread::sleep_for(50ms);
    const uint64_t now = writtenBytes(pid);
    if (now != last) quietSince = Clock::now();
    last = now;
  }
  return last;
}

std::string kib(uint64_t bytes) {
  char text[64];
  std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024);
  return text;
}

// ---------------------------------------------------------------------------------------
// Requests

uint16_t mainCount(sdbus::IProxy& service, const char* property) {
  return service.getProperty(property).onInterface(kInterface).get<uint16_t>();
}

// A creation or schedule that found no free ID (IDs carry the second) is tried again.
Reply callRetrying(sdbus::IProxy& service, const char* method, const std::function<void(sdbus::MethodCall&)>& args) {
  Reply reply;
  for (int attempt = 0; attempt < 200; ++attempt) {
    auto call = service.createMethodCall(kInterface, method);
    args(call);
    service.callMethod(call) >> std::get<0>(reply) >> std::get<1>(reply) >> std::get<2>(reply);
    if (std::get<2>(reply) == 0) return reply;
    std::this_thread::sleep_for(20ms);
  }
  fail(std::string(method) + " refused with code " + std::to_string(std::get<2>(reply)));
}

std::string createJob(sdbus::IProxy& service, int index) {
  return std::get<1>(callRetrying(service, "JobServCreate", [&](sdbus::MethodCall& call) {
    call << "flash bench job " + std::to_string(index) << uint16_t{5};
  }));
}

std::string scheduleAlone(sdbus::IProxy& service, const std::string& job) {
  return std::get<1>(callRetrying(service, "JobServSchedule", [&](sdbus::MethodCall& call) {
    call << std::vector<std::string>{job} << uint16_t{1} << std::string("TIME_NOW") << std::string("TIME_NA");
  }));
}

void deleteJob(sdbus::IProxy& service, const std::string& job) {
  Reply reply;
  service.callMethod("JobServDelete")
      .onInterface(kInterface)
      .withArguments(std::vector<std::string>{job}, uint16_t{1}, uint16_t{0})
      .storeResultsTo(reply);
  if (std::get<2>(reply) != 0) fail("JobServDelete refused with code " + std::to_string(std::get<2>(reply)));
}

void report(sdbus::IProxy& service, const std::string& job, uint16_t percent, uint16_t state = 3,
            const std::string& text = "Running") {
  uint16_t status = 0;
  service.callMethod("JobServUpdateJobInfo")
      .onInterface(kInterface)
      .withArguments(job, state, percent, text, std::string(""), std::string(""), std::string(""))
      .storeResultsTo(status);
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

// ---------------------------------------------------------------------------------------
// The files on flash

struct Files {
  std::string directory, backup, journal, legacy;
};

Files filesOf(const std::string& root) {
  const std::string directory = root + std::string(paths::kBackupDir);
  return {directory, directory + "/" + std::string(paths::kBackupFileName),
          directory + "/" + std::string(paths::kJournalFileName),
          root + std::string(paths::kLegacyBackupDir) + "/" + std::string(paths::kBackupFileName)};
}

std::pair<uint64_t, uint64_t> sizeAndBlocks(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return {0, 0};
  return {static_cast<uint64_t>(info.st_size), static_cast<uint64_t>(info.st_blocks) * 512};
}

// The store a restart would find: the backup file, then the journal.
StoreImage storedImage(const Files& files) {
  BackupFileRead backup;
  JournalRead journal;
  return readStoredImage(files.directory, backup, journal);
}

int storedPercent(const Files& files, const std::string& job) {
  const StoreImage image = storedImage(files);
  const PackedRecord* packed = image.find(StoredKind::Job, job);
  JobInfoRecord record;
  return packed != nullptr && unpackJob(*packed, record) ? record.percentComplete : -1;
}

double secondsUntil(const std::function<bool()>& holds, const char* what) {
  const auto start = Clock::now();
  while (secondsSince(start) < 300) {
    if (holds()) return secondsSince(start);
    std::this_thread::sleep_for(2ms);
  }
  fail(std::string(what) + " never reached flash");
}

struct Bench {
  const Options& options;
  Files files;
  sdbus::IConnection& connection;
  std::unique_ptr<sdbus::IProxy> service;
  std::vector<std::string> jobs;

  // The bytes the daemon wrote for `change`, once it is quiet again.
  template <class Change>
  uint64_t bytesOf(Daemon& daemon, Change&& change) {
    const uint64_t before = writtenOnceQuiet(daemon.pid());
    change();
    return writtenOnceQuiet(daemon.pid()) - before;
  }

  void fill() {
    if (mainCount(*service, "jobInfoObjCount") != 0) fail("start on an empty root");
    for (int i = 0; i < kFullJobs; ++i) jobs.push_back(createJob(*service, i));
    for (int i = 0; i < kFullQueues; ++i) scheduleAlone(*service, jobs[static_cast<size_t>(i)]);
  }

  void singleChanges(Daemon& daemon) {
    const std::string deleted = jobs.back();
    report(*service, deleted, 100, 4, "Completed");
    double seconds = 0;
    const uint64_t deletion = bytesOf(daemon, [&] {
      deleteJob(*service, deleted);
      seconds = secondsUntil([&] { return storedPercent(files, deleted) < 0; }, "a deletion");
    });
    std::printf("one deletion: %s, on flash %.3f s after its reply\n", kib(deletion).c_str(), seconds);
    std::string created;
    const uint64_t creation = bytesOf(daemon, [&] {
      created = createJob(*service, kFullJobs);
      seconds = secondsUntil([&] { return storedPercent(files, created) >= 0; }, "a creation");
    });
    jobs.back() = created;
    std::printf("one creation: %s, on flash %.3f s after its reply\n", kib(creation).c_str(), seconds);
    const uint64_t schedule = bytesOf(daemon, [&] {
      const std::string queue = scheduleAlone(*service, created);
      seconds = secondsUntil([&] { return storedImage(files).contains(StoredKind::Queue, queue); }, "a schedule");
    });
    std::printf("one schedule: %s, on flash %.3f s after its reply\n", kib(schedule).c_str(), seconds);
  }

  void burst(Daemon& daemon) {
    double seconds = 0;
    const uint64_t bytes = bytesOf(daemon, [&] {
      for (int i = 0; i < options.burst; ++i) report(*service, jobs[static_cast<size_t>(i) % jobs.size()], i % 100);
      const std::string& last = jobs[static_cast<size_t>(options.burst - 1) % jobs.size()];
      seconds = secondsUntil([&] { return storedPercent(files, last) == (options.burst - 1) % 100; }, "a burst");
    });
    std::printf("burst of %d reports: %s in all, the last on flash %.3f s after its reply\n", options.burst,
                kib(bytes).c_str(), seconds);
  }

  // Report `i` of a steady stream: one of the running jobs, a percentage of its own.
  void steadyReport(int i) {
    report(*service, jobs[static_cast<size_t>(i % kRunningJobs)], static_cast<uint16_t>(i % 100));
  }

  void steady(Daemon& daemon) {
    const uint64_t bytes = bytesOf(daemon, [&] {
      const auto start = Clock::now();
      for (int i = 0; i < options.steadySeconds * 10; ++i) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(100 * i));
        steadyReport(i);
      }
    });
    std::printf("steady 10 reports/s over %d running jobs for %d s: %s/s on average (checkpoints included)\n",
                kRunningJobs, options.steadySeconds, kib(bytes / static_cast<uint64_t>(options.steadySeconds)).c_str());
  }

  // Reports as fast as they are answered until the journal passes `bytes`, or shrinks
  // (a checkpoint emptied it): whether it shrank.
  bool reportUntilJournal(uint64_t bytes) {
    uint64_t largest = 0;
    for (int i = 0;; ++i) {
      steadyReport(i);
      const uint64_t size = sizeAndBlocks(files.journal).first;
      if (size < largest) return true;
      largest = std::max(largest, size);
      if (size >= bytes) return false;
    }
  }

  void checkpoint(Daemon& daemon) {
    writtenOnceQuiet(daemon.pid());
    reportUntilJournal(kJournalCheckpointBytes * 9 / 10);
    // The checkpoint begins right after the append that takes the journal past its bound.
    uint64_t before = 0;
    for (int i = 0;; ++i) {
      before = writtenBytes(daemon.pid());
      steadyReport(i);
      if (sizeAndBlocks(files.journal).first > kJournalCheckpointBytes) break;
    }
    const uint64_t bytes = writtenOnceQuiet(daemon.pid()) - before;
    std::printf("one checkpoint of the full store (with the append before it): %s; backup file %s, taking %s\n",
                kib(bytes).c_str(), kib(sizeAndBlocks(files.backup).first).c_str(),
                kib(sizeAndBlocks(files.backup).second).c_str());
  }

  void idle(Daemon& daemon) {
    const uint64_t before = writtenOnceQuiet(daemon.pid());
    std::this_thread::sleep_for(std::chrono::seconds(options.idleSeconds));
    std::printf("%d s idle: %llu bytes\n", options.idleSeconds,
                static_cast<unsigned long long>(writtenBytes(daemon.pid()) - before));
  }
};

void installMarkingPostRestoreTool(const std::string& root, const std::string& marks) {
  const std::string tool = root + std::string(paths::kPostRestoreTool);
  std::filesystem::create_directories(std::filesystem::path(tool).parent_path());
  std::ofstream(tool, std::ios::trunc) << "#!/bin/sh\necho ran >> " << marks << "\n";
  std::filesystem::permissions(tool, std::filesystem::perms(0755));
}

// Polls every millisecond until `daemon` owns the service's name (not a killed one before
// it): false when it does not within 30 s.
bool waitForName(sdbus::IConnection& connection, const Daemon& daemon) {
  auto bus = sdbus::createProxy(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus");
  for (int i = 0; i < 30000; ++i) {
    uint32_t owner = 0;
    try {
      bus->callMethod("GetConnectionUnixProcessID")
          .onInterface("org.freedesktop.DBus")
          .withArguments(std::string(kService))
          .storeResultsTo(owner);
    } catch (const sdbus::Error&) {
      owner = 0;  // no owner yet
    }
    if (owner == static_cast<uint32_t>(daemon.pid())) return true;
    std::this_thread::sleep_for(1ms);
  }
  return false;
}

// The time of the first inotify event of `mask` on `name` in the watched directory `fd`
// watches, within 30 s.
std::optional<Clock::time_point> awaitEvent(int fd, const std::string& name, uint32_t mask) {
  alignas(inotify_event) char buffer[4096];
  const auto deadline = Clock::now() + 30s;
  while (Clock::now() < deadline) {
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, 100) <= 0) continue;
    const auto seen = Clock::now();
    const ssize_t length = ::read(fd, buffer, sizeof buffer);
    for (ssize_t at = 0; at < length;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if ((event->mask & mask) && event->len > 0 && name == event->name) return seen;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  return std::nullopt;
}

// The daemon killed with a journal near its bound, then started again: the time from the
// start of its restore (it opens the restore file) until the post-restore tool runs for
// the first running job, both seen through inotify.
void restore(Bench& bench, std::unique_ptr<Daemon>& daemon) {
  if (bench.reportUntilJournal(kJournalCheckpointBytes * 9 / 10)) bench.reportUntilJournal(kJournalCheckpointBytes * 9 / 10);
  writtenOnceQuiet(daemon->pid());
  BackupFileRead backup;
  JournalRead journal;
  readStoredImage(bench.files.directory, backup, journal);
  daemon->stop(SIGKILL);
  const std::string marksDir = bench.options.root + "/marks";
  std::filesystem::create_directories(marksDir);
  installMarkingPostRestoreTool(bench.options.root, marksDir + "/postrestore");
  const std::string restoreDir = bench.options.root + std::string(paths::kRestoreDir);
  const int restoreWatch = ::inotify_init1(IN_CLOEXEC), toolWatch = ::inotify_init1(IN_CLOEXEC);
  ::inotify_add_watch(toolWatch, marksDir.c_str(), IN_CREATE);
  daemon = std::make_unique<Daemon>(bench.options, 2);
  // The restore directory appears at once; its file is opened after the 2-second wait.
  for (int i = 0; i < 3000 && ::inotify_add_watch(restoreWatch, restoreDir.c_str(), IN_OPEN) < 0; ++i)
    std::this_thread::sleep_for(1ms);
  const auto restoreStarted = awaitEvent(restoreWatch, std::string(paths::kBackupFileName), IN_OPEN);
  const auto toolRan = awaitEvent(toolWatch, "postrestore", IN_CREATE);
  ::close(restoreWatch);
  ::close(toolWatch);
  if (!restoreStarted || !toolRan) fail("the restore or the post-restore tool was not seen");
  std::printf("restore with a journal of %s (%zu entries): %.1f ms from its start until the post-restore tool runs\n",
              kib(journal.validBytes).c_str(), journal.entries,
              std::chrono::duration<double, std::milli>(*toolRan - *restoreStarted).count());
  if (!waitForName(bench.connection, *daemon)) fail("the daemon did not start again");
}

}  // namespace

int runFlashBench(int argc, char** argv) {
  const Options options = parse(argc, argv);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each figure as soon as it is known
  trace_set_threshold(0);  // the readers' lines are the daemon's, not ours
  if (std::filesystem::exists(options.root) && !std::filesystem::is_empty(options.root)) fail("ROOT must be empty");
  const std::string logs = options.root + "/var/log/velmer";
  std::filesystem::create_directories(logs);
  if (::mount("tmpfs", logs.c_str(), "tmpfs", 0, "size=64m") != 0) fail("cannot mount a tmpfs on " + logs);
  auto connection = sdbus::createSystemBusConnection();
  Bench bench{options, filesOf(options.root), *connection, sdbus::createProxy(*connection, kService, kPath), {}};
  SchedulerQueue scheduler(options.root);
  auto daemon = std::make_unique<Daemon>(options, 2);
  if (!waitForName(*connection, *daemon)) fail("the daemon did not start");

  const auto fillStart = Clock::now();
  bench.fill();
  writtenOnceQuiet(daemon->pid());
  std::printf("store: %d jobs, %d queues, filled in %.1f s\n", mainCount(*bench.service, "jobInfoObjCount"),
              mainCount(*bench.service, "jobQueueObjCount"), secondsSince(fillStart));
  const auto [backupSize, backupBlocks] = sizeAndBlocks(bench.files.backup);
  std::printf("files: backup file %s taking %s, journal %s, legacy copy %s\n", kib(backupSize).c_str(),
              kib(backupBlocks).c_str(), kib(sizeAndBlocks(bench.files.journal).first).c_str(),
              kib(sizeAndBlocks(bench.files.legacy).first).c_str());
  std::printf("memory (full store): VmRSS %.1f MiB, RssAnon %.1f MiB\n",
              procValue(daemon->pid(), "status", "VmRSS:") / 1024.0,
              procValue(daemon->pid(), "status", "RssAnon:") / 1024.0);
  bench.singleChanges(*daemon);
  bench.burst(*daemon);
  bench.steady(*daemon);
  const bool journal = std::filesystem::exists(bench.files.journal);
  if (journal) bench.checkpoint(*daemon);
  bench.idle(*daemon);
  std::printf("commands dropped: %zu\n", daemon->linesWith("Buffer is full"));
  if (journal)
    restore(bench, daemon);
  else
    std::printf("no journal: every change rewrites the backup file; no checkpoint or journal restore to measure\n");
  daemon->stop(SIGTERM);
  ::umount(logs.c_str());
  return 0;
}

}  // namespace velmer::bench
