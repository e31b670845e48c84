#include "bus_client.hpp"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>

#include "child_process.hpp"

namespace velmer::e2e {

namespace {
constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";
}

BusClient::BusClient() : connection_(sdbus::createSystemBusConnection()) {
  connection_->setMethodCallTimeout(std::chrono::duration_cast<std::chrono::microseconds>(kCallTimeout).count());
  busDaemon_ = sdbus::createProxy(*connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus");
}

sdbus::IProxy& BusClient::proxy(const std::string& path) {
  auto& slot = proxies_[path];
  if (!slot) slot = sdbus::createProxy(*connection_, kServiceName, path);
  return *slot;
}

sdbus::Variant BusClient::getProperty(const std::string& path, const std::string& interface, const std::string& name) {
  return call<sdbus::Variant>(path, kPropertiesInterface, "Get", interface, name);
}

void BusClient::setProperty(const std::string& path, const std::string& interface, const std::string& name,
                            const sdbus::Variant& value) {
  call<>(path, kPropertiesInterface, "Set", interface, name, value);
}

PropertyMap BusClient::getAllProperties(const std::string& path, const std::string& interface) {
  return call<PropertyMap>(path, kPropertiesInterface, "GetAll", interface);
}

std::string BusClient::serviceStatus() {
  auto status = getProperty(kServicePath, kStatusInterface, "serviceStatus").get<std::string>();
  const std::string prefix = kStatusPrefix;
  return status.starts_with(prefix) ? status.substr(prefix.size()) : status;
}

ManagedObjects BusClient::managedObjects() {
  return call<ManagedObjects>(kServicePath, "org.freedesktop.DBus.ObjectManager", "GetManagedObjects");
}

std::string BusClient::introspect(const std::string& path) {
  return call<std::string>(path, "org.freedesktop.DBus.Introspectable", "Introspect");
}

sdbus::MethodCall BusClient::newCall(const std::string& path, const std::string& interface,
                                     const std::string& method) {
  return proxy(path).createMethodCall(interface, method);
}

sdbus::MethodReply BusClient::send(const sdbus::MethodCall& call) {
  // The proxy's callMethod finds the path's proxy through the message itself.
  return proxy(call.getPath()).callMethod(call);
}

std::string BusClient::nameOwner(const std::string& name) {
  bool owned = false;
  busDaemon_->callMethod("NameHasOwner").onInterface("org.freedesktop.DBus").withArguments(name).storeResultsTo(owned);
  if (!owned) return "";
  std::string owner;
  busDaemon_->callMethod("GetNameOwner").onInterface("org.freedesktop.DBus").withArguments(name).storeResultsTo(owner);
  return owner;
}

pid_t BusClient::pidOf(const std::string& uniqueName) {
  uint32_t pid = 0;
  busDaemon_->callMethod("GetConnectionUnixProcessID")
      .onInterface("org.freedesktop.DBus")
      .withArguments(uniqueName)
      .storeResultsTo(pid);
  return static_cast<pid_t>(pid);
}

std::string busErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const sdbus::Error& e) {
    return e.getName();
  }
  return "";
}

// ---------------------------------------------------------------------------------------
// Calls as another user

namespace {

// The child's report on the pipe: the error name (empty on success), a newline, the output.
std::string runAsUser(uid_t uid, const std::function<std::string(BusClient&)>& action) {
  if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0)
    return std::string("test.Error.SetUid\n") + std::strerror(errno);
  try {
    BusClient client;
    std::string output = action(client);
    return "\n" + output;
  } catch (const sdbus::Error& e) {
    return e.getName() + "\n" + e.getMessage();
  } catch (const std::exception& e) {
    return std::string("test.Error.Exception\n") + e.what();
  }
}

void writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// Reads until the writer closes the pipe or `timeout` passes.
std::string readUntilClosed(int fd, std::chrono::milliseconds timeout) {
  std::string text;
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd pfd{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0) return text;
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return text;
    text.append(buffer, static_cast<size_t>(n));
  }
}

}  // namespace

UserCallOutcome callAsUser(uid_t uid, const std::function<std::string(BusClient&)>& action) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    close(fds[0]);
    writeAll(fds[1], runAsUser(uid, action));
    _exit(0);
  }
  close(fds[1]);
  std::string report = readUntilClosed(fds[0], 3 * kCallTimeout);
  close(fds[0]);
  kill(pid, SIGKILL);  // no-op when it has finished; ends a child stuck past the deadline
  waitpid(pid, nullptr, 0);
  auto newline = report.find('\n');
  if (newline == std::string::npos) return {"test.Error.NoReport", report};
  return {report.substr(0, newline), report.substr(newline + 1)};
}

}  // namespace velmer::e2e
