#include "bus_client.hpp"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "daemon_fixture.hpp"

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

sdbus::MethodCall BusClient::newCall(const std::string& path, const std::string& interface,
                                     const std::string& method) {
  return proxy(path).createMethodCall(interface, method);
}

sdbus::MethodReply BusClient::send(const sdbus::MethodCall& call) {
  // The proxy's callMethod finds the path's proxy through the message itself.
  return proxy(call.getPath()).callMethod(call);
}

namespace {
template <class Result>
Result askBusDaemon(sdbus::IProxy& busDaemon, const char* method, const std::string& name) {
  Result result{};
  busDaemon.callMethod(method).onInterface("org.freedesktop.DBus").withArguments(name).storeResultsTo(result);
  return result;
}
}  // namespace

std::string BusClient::nameOwner(const std::string& name) {
  if (!askBusDaemon<bool>(*busDaemon_, "NameHasOwner", name)) return "";
  return askBusDaemon<std::string>(*busDaemon_, "GetNameOwner", name);
}

pid_t BusClient::pidOf(const std::string& uniqueName) {
  return static_cast<pid_t>(askBusDaemon<uint32_t>(*busDaemon_, "GetConnectionUnixProcessID", uniqueName));
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

// The child's report: the error name (empty on success), a newline, the output.
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

}  // namespace

UserCallOutcome callAsUser(uid_t uid, const std::function<std::string(BusClient&)>& action) {
  // The child writes its report to a file opened before it drops its privileges.
  std::string reportPath = (std::filesystem::temp_directory_path() / "velmer-user-call-XXXXXX").string();
  const int fd = mkstemp(reportPath.data());
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const std::string report = runAsUser(uid, action);
    _exit(write(fd, report.data(), report.size()) == static_cast<ssize_t>(report.size()) ? 0 : 1);
  }
  close(fd);
  if (!waitUntil([&] { return waitpid(pid, nullptr, WNOHANG) == pid; }, 3 * kCallTimeout)) {
    kill(pid, SIGKILL);  // a child stuck past the deadline
    waitpid(pid, nullptr, 0);
  }
  const std::string report = readFile(reportPath);
  std::filesystem::remove(reportPath);
  auto newline = report.find('\n');
  if (newline == std::string::npos) return {"test.Error.NoReport", report};
  return {report.substr(0, newline), report.substr(newline + 1)};
}

}  // namespace velmer::e2e
