#include "daemon_fixture.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>

namespace velmer::e2e {

namespace {

constexpr auto kStartTimeout = 10s;

std::filesystem::path makeRoot() {
  std::string pattern = (std::filesystem::temp_directory_path() / "velmer-e2e-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  // Unprivileged test clients must reach the bus socket inside.
  chmod(pattern.c_str(), 0755);
  return pattern;
}

bool acceptsConnections(const std::filesystem::path& socketPath) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return connected;
}

std::string lastLines(const std::string& text, size_t count) {
  size_t position = text.size();
  while (count-- > 0 && position > 0) position = text.rfind('\n', position - 1);
  return position == std::string::npos ? text : text.substr(position);
}

std::string describeExit(ExitStatus status) {
  return status < 0 ? "signal " + std::to_string(-status) : "status " + std::to_string(status);
}

}  // namespace

std::string readFile(const std::filesystem::path& path) {
  std::ifstream file(path);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// ---------------------------------------------------------------------------------------
// Sandbox

namespace {
std::vector<std::string> sandboxCommand(const std::filesystem::path& root, const DaemonOptions& options) {
  std::vector<std::string> argv = {VELMER_SANDBOX_COMMAND, root.string(), "--trace-level",
                                   std::to_string(options.traceLevel)};
  argv.insert(argv.end(), options.extraArgs.begin(), options.extraArgs.end());
  return argv;
}

// The root may be new (a second instance); the log lives in it.
std::filesystem::path logPathIn(const std::filesystem::path& root) {
  std::filesystem::create_directories(root);
  return root / "velmerd.log";
}
}  // namespace

Sandbox::Sandbox(const std::filesystem::path& root, const DaemonOptions& options)
    : root_(root),
      options_(options),
      startedAt_(std::time(nullptr)),
      process_(sandboxCommand(root, options), logPathIn(root)) {}

void Sandbox::waitUntilServing(BusClient& client) {
  // The name is requested before the objects are published, and a previous owner may
  // still hold it: a failing call only means "not yet".
  auto serving = [&] {
    if (!process_.running()) return true;
    try {
      std::string owner = client.nameOwner(kServiceName);
      if (owner.empty() || client.pidOf(owner) != process_.pid()) return false;
      return options_.awaitStatus.empty() || client.serviceStatus() == options_.awaitStatus;
    } catch (const sdbus::Error&) {
      return false;
    }
  };
  bool inTime = waitUntil(serving, kStartTimeout);
  std::string problem;
  if (auto status = process_.waitForExit(0ms))
    problem = "velmerd-sandbox ended with " + describeExit(*status) + " before it served";
  else if (!inTime)
    problem = "velmerd-sandbox did not own the name with serviceStatus '" + options_.awaitStatus + "' in time";
  if (!problem.empty())
    throw std::runtime_error(problem + "; end of " + logPath().string() + ":" + lastLines(readFile(logPath()), 20));
}

// ---------------------------------------------------------------------------------------
// DaemonTest

void DaemonTest::startBus() {
  const auto socket = root_ / "bus.socket", log = root_ / "bus.log";
  busAddress_ = "unix:path=" + socket.string();
  bus_ = std::make_unique<ChildProcess>(std::vector<std::string>{"/usr/bin/dbus-daemon", "--nofork",
                                                                 std::string("--config-file=") + VELMER_TEST_BUS_CONFIG,
                                                                 "--address=" + busAddress_},
                                        log.string());
  if (!waitUntil([&] { return !bus_->running() || acceptsConnections(socket); }, kStartTimeout) || !bus_->running())
    throw std::runtime_error("dbus-daemon did not start; see " + log.string() + ":\n" + readFile(log));
}

void DaemonTest::SetUp() {
  root_ = makeRoot();
  startBus();
  // Every connection of this process and of the daemons it starts goes to the private bus.
  setenv("DBUS_SYSTEM_BUS_ADDRESS", busAddress_.c_str(), 1);
  client_ = std::make_unique<BusClient>();
  recorder_ = std::make_unique<SignalRecorder>();
  if (auto options = initialDaemon()) startDaemon(*options);
}

// A sanitizer report of a daemon that the test killed would go unseen otherwise:
// ThreadSanitizer reports and carries on, and a killed process reports no leaks.
static void expectNoSanitizerReports(const std::filesystem::path& root) {
  static const char* const kMarkers[] = {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                                         "WARNING: ThreadSanitizer", "runtime error:"};
  std::error_code ignored;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root, ignored)) {
    if (entry.path().filename() != "velmerd.log") continue;
    std::string log = readFile(entry.path());
    for (const char* marker : kMarkers)
      if (log.find(marker) != std::string::npos) ADD_FAILURE() << "sanitizer report in " << entry.path().string();
  }
}

// Every test ends its daemon the way systemd does, so the shutdown path and the leak
// check run after each one; a test that means to kill calls killDaemon() itself.
void DaemonTest::stopDaemonAtTheEnd() {
  if (!daemon_ || !daemon_->process().running()) return;
  ExitStatus status = stopDaemon();
  EXPECT_EQ(status, 0) << "velmerd-sandbox ended with " << describeExit(status) << " after SIGTERM";
}

void DaemonTest::TearDown() {
  stopDaemonAtTheEnd();
  daemon_.reset();
  recorder_.reset();
  client_.reset();
  if (bus_) stopBus();
  bus_.reset();
  unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  if (root_.empty()) return;
  expectNoSanitizerReports(root_);
  if (HasFailure()) {
    std::cerr << "[ kept     ] test root " << root_.string() << " (velmerd.log, bus.log)\n";
  } else {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
}

void DaemonTest::startDaemon(const DaemonOptions& options) {
  daemon_ = std::make_unique<Sandbox>(root_, options);
  daemon_->waitUntilServing(*client_);
}

ExitStatus DaemonTest::stopDaemon(int signalNumber) { return daemon_->process().stop(signalNumber, kStopTimeout); }

ExitStatus DaemonTest::killDaemon() { return daemon_->process().kill(); }

ExitStatus DaemonTest::restartDaemon(const DaemonOptions& options) {
  ExitStatus stopped = stopDaemon();
  startDaemon(options);
  return stopped;
}

std::unique_ptr<Sandbox> DaemonTest::launchAnotherDaemon(const std::string& name, const DaemonOptions& options) {
  return std::make_unique<Sandbox>(root_ / name, options);
}

std::string DaemonTest::readLog(size_t from) const {
  std::string log = readFile(root_ / "velmerd.log");
  return from < log.size() ? log.substr(from) : "";
}

bool DaemonTest::waitForLog(const std::string& text, std::chrono::milliseconds timeout, size_t from) const {
  return waitUntil([&] { return readLog(from).find(text) != std::string::npos; }, timeout);
}

}  // namespace velmer::e2e
