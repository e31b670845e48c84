// A client of the job manager as another controller service would be one: its own
// connection to the system bus named by DBUS_SYSTEM_BUS_ADDRESS, calls by the
// well-known name, properties through org.freedesktop.DBus.Properties.
#pragma once

#include <sdbus-c++/sdbus-c++.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <tuple>

namespace velmer::e2e {

inline constexpr const char* kServiceName = "com.zorvex.kelvo.jobservice";
inline constexpr const char* kServicePath = "/xyz/openbmc_project/jobservice";
inline constexpr const char* kMainInterface = "com.zorvex.kelvo.jobservice.jobservicemain";
inline constexpr const char* kStatusInterface = "com.zorvex.kelvo.Serviceinfo";
inline constexpr const char* kStatusPrefix = "com.zorvex.kelvo.Serviceinfo.Status.";
// Job objects, and queue objects made by scheduling or re-created at start-up: the prefix
// and the job or queue ID.
inline constexpr const char* kJobPathPrefix = "/xyz/openbmc_project/jobservice/jobservicejobinfo/";
inline constexpr const char* kJobInterface = "com.zorvex.kelvo.jobservice.jobservicejobinfo";
inline constexpr const char* kNewQueuePathPrefix = "/xyz/openbmc_project/jobservice/jobservicequeueinfo/";
inline constexpr const char* kRestoredQueuePathPrefix = "/xyz/openbmc_project/jobservice/jobservicescheduleinfo/";
inline constexpr const char* kQueueInterface = "com.zorvex.kelvo.jobservice.jobservicescheduleinfo";

// Every call gives up after this long, so a hung daemon fails the test instead of
// blocking it until ctest's time-out.
inline constexpr std::chrono::seconds kCallTimeout{5};

using PropertyMap = std::map<std::string, sdbus::Variant>;
using ManagedObjects = std::map<sdbus::ObjectPath, std::map<std::string, PropertyMap>>;
// The blobKeyValue property: job ID to caller name to key to value.
using BlobKeyValue = std::map<std::string, std::map<std::string, std::map<std::string, std::string>>>;

class BusClient {
 public:
  BusClient();

  sdbus::IConnection& connection() { return *connection_; }

  // Calls `method` and returns its results: nothing, the one value, or a tuple.
  template <class... Results, class... Args>
  auto call(const std::string& path, const std::string& interface, const std::string& method, const Args&... args) {
    std::tuple<Results...> results;
    auto invoker = proxy(path).callMethod(method);
    invoker.onInterface(interface).withArguments(args...);
    std::apply([&](auto&... out) { invoker.storeResultsTo(out...); }, results);
    if constexpr (sizeof...(Results) == 1)
      return std::get<0>(results);
    else
      return results;
  }

  // The same on the main object: callMain<uint16_t, uint8_t>("JS_GetkelvofwJobState").
  template <class... Results, class... Args>
  auto callMain(const std::string& method, const Args&... args) {
    return call<Results...>(kServicePath, kMainInterface, method, args...);
  }

  sdbus::Variant getProperty(const std::string& path, const std::string& interface, const std::string& name);
  void setProperty(const std::string& path, const std::string& interface, const std::string& name,
                   const sdbus::Variant& value);
  PropertyMap getAllProperties(const std::string& path, const std::string& interface);

  PropertyMap mainProperties() { return getAllProperties(kServicePath, kMainInterface); }
  template <class T>
  T mainProperty(const std::string& name) {
    return getProperty(kServicePath, kMainInterface, name).get<T>();
  }
  void setMainProperty(const std::string& name, const sdbus::Variant& value) {
    setProperty(kServicePath, kMainInterface, name, value);
  }

  // serviceStatus without its enumeration prefix: "READY", "NOT_READY", ...
  std::string serviceStatus();
  ManagedObjects managedObjects();

  // A message to fill by hand, for calls whose arguments break the method's signature.
  sdbus::MethodCall newCall(const std::string& path, const std::string& interface, const std::string& method);
  sdbus::MethodReply send(const sdbus::MethodCall& call);

  // What the bus daemon knows: the unique name owning `name` ("" when none) and the
  // PID behind a unique name.
  std::string nameOwner(const std::string& name);
  pid_t pidOf(const std::string& uniqueName);

 private:
  sdbus::IProxy& proxy(const std::string& path);

  std::unique_ptr<sdbus::IConnection> connection_;
  std::map<std::string, std::unique_ptr<sdbus::IProxy>> proxies_;
  std::unique_ptr<sdbus::IProxy> busDaemon_;
};

// The D-Bus error name that `action` failed with, or "" when it succeeded.
std::string busErrorOf(const std::function<void()>& action);

// What a call made as another user brought back: the D-Bus error name ("" on
// success) and the text that the action returned.
struct UserCallOutcome {
  std::string errorName;
  std::string output;
};

// Runs `action` in a child process that has dropped to `uid` (group `uid`, no
// supplementary groups) and has its own bus connection. The action runs in the child,
// so it reports through its returned text; assert on that in the test. Needs root.
UserCallOutcome callAsUser(uid_t uid, const std::function<std::string(BusClient&)>& action);

}  // namespace velmer::e2e
