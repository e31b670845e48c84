// The end-to-end fixture: each test gets a fresh sandbox root, a private system-type
// bus daemon on ROOT/bus.socket, velmerd-sandbox on that root, a client and a signal
// recorder. Nothing touches the host's system bus.
//
//   class JobCreation : public velmer::e2e::DaemonTest {};
//   TEST_F(JobCreation, ...) {
//     auto [status, data, code] = client().callMain<uint16_t, std::string, uint16_t>("JobServCreate", name, type);
//     EXPECT_EQ(restartDaemon(), 0);   // same root, same bus
//   }
//
// A test whose root was kept (it failed) says where; the root holds velmerd.log and
// bus.log.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bus_client.hpp"
#include "child_process.hpp"
#include "signal_recorder.hpp"

namespace velmer::e2e {

struct DaemonOptions {
  std::vector<std::string> extraArgs;  // after ROOT, e.g. {"--bare"}
  int traceLevel = 5;
  // serviceStatus to wait for after the name is owned ("READY", "NOT_READY"); empty:
  // wait for the name only.
  std::string awaitStatus = "READY";
};

// The shutdown wait: generous for a daemon that may still be in its start-up sequence, or
// that writes a full store (17 MB) one last time on a loaded machine under a sanitizer.
inline constexpr std::chrono::seconds kStopTimeout{20};

// One velmerd-sandbox process on a root.
class Sandbox {
 public:
  Sandbox(const std::filesystem::path& root, const DaemonOptions& options);

  // Waits until this process owns the service name and, if asked, serviceStatus has the
  // awaited value. Throws, with the end of the log, when it exits or time runs out.
  void waitUntilServing(BusClient& client);

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path logPath() const { return root_ / "velmerd.log"; }
  ChildProcess& process() { return process_; }
  // Wall-clock second at which it was started.
  std::time_t startedAt() const { return startedAt_; }

 private:
  std::filesystem::path root_;
  DaemonOptions options_;
  std::time_t startedAt_;
  ChildProcess process_;
};

// The text of a file, "" when it does not exist.
std::string readFile(const std::filesystem::path& path);

class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The daemon that SetUp starts and waits for; nullopt for a test that starts it itself.
  virtual std::optional<DaemonOptions> initialDaemon() const { return DaemonOptions{}; }

  const std::filesystem::path& root() const { return root_; }
  const std::string& busAddress() const { return busAddress_; }
  BusClient& client() { return *client_; }
  SignalRecorder& recorder() { return *recorder_; }

  // The daemon on ROOT.
  void startDaemon(const DaemonOptions& options = {});
  Sandbox& daemon() { return *daemon_; }
  // SIGTERM (or `signalNumber`), then a wait of 5 s, then SIGKILL. Returns how it ended.
  ExitStatus stopDaemon(int signalNumber = SIGTERM);
  // SIGKILL: for a test that means to kill (the end of every test stops it with SIGTERM
  // and expects it to exit 0).
  ExitStatus killDaemon();
  // Stops the private bus daemon: every connection to it ends.
  void stopBus() { bus_->stop(SIGTERM, kStopTimeout); }
  // stopDaemon(), then startDaemon(options) on the same root. Returns how it stopped.
  ExitStatus restartDaemon(const DaemonOptions& options = {});

  // Another instance on the same bus, with ROOT/`name` as its root; not waited for.
  std::unique_ptr<Sandbox> launchAnotherDaemon(const std::string& name, const DaemonOptions& options = {});

  // The daemon's log (ROOT/velmerd.log, kept across restarts). `from` skips a prefix,
  // for example the log size taken before an action.
  std::string readLog(size_t from = 0) const;
  bool waitForLog(const std::string& text, std::chrono::milliseconds timeout = 5s, size_t from = 0) const;

 private:
  // A private dbus-daemon on ROOT/bus.socket with the system-bus policy of
  // tests/e2e/system-bus.conf, waited for until it accepts connections.
  void startBus();
  void stopDaemonAtTheEnd();

  std::filesystem::path root_;
  std::string busAddress_;
  std::unique_ptr<ChildProcess> bus_;
  std::unique_ptr<BusClient> client_;
  std::unique_ptr<SignalRecorder> recorder_;
  std::unique_ptr<Sandbox> daemon_;
};

}  // namespace velmer::e2e
