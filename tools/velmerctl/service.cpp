#include "service.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "reply_codes.hpp"

namespace velmerctl {
namespace {

constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";
constexpr const char* kObjectManagerInterface = "org.freedesktop.DBus.ObjectManager";

// Thrown when no connection to the bus could be opened: the job manager is as absent
// as when its name has no owner.
struct BusUnreachable {
  std::string text;
};

const BusObject* findById(const std::vector<BusObject>& objects, const std::string& id) {
  auto it = std::find_if(objects.begin(), objects.end(), [&](const BusObject& o) { return o.id == id; });
  return it == objects.end() ? nullptr : &*it;
}

bool meansServiceAbsent(const std::string& errorName) {
  return errorName == "org.freedesktop.DBus.Error.ServiceUnknown" ||
         errorName == "org.freedesktop.DBus.Error.NameHasNoOwner" ||
         errorName == "org.freedesktop.DBus.Error.Disconnected";
}

}  // namespace

std::string idOfPath(const std::string& path) { return path.substr(path.rfind('/') + 1); }

const BusObject* Store::findJob(const std::string& id) const { return findById(jobs, id); }
const BusObject* Store::findQueue(const std::string& id) const { return findById(queues, id); }

Store storeOf(const ManagedObjects& objects) {
  Store store;
  for (const auto& [path, interfaces] : objects) {
    if (auto job = interfaces.find(kJobInterface); job != interfaces.end())
      store.jobs.push_back({idOfPath(path), job->second});
    if (auto queue = interfaces.find(kQueueInterface); queue != interfaces.end())
      store.queues.push_back({idOfPath(path), queue->second});
  }
  auto byId = [](const BusObject& a, const BusObject& b) { return a.id < b.id; };
  std::sort(store.jobs.begin(), store.jobs.end(), byId);
  std::sort(store.queues.begin(), store.queues.end(), byId);
  return store;
}

MainObject::MainObject(sdbus::IConnection& connection) : ProxyInterfaces(connection, kServiceName, kServicePath) {
  registerProxy();
}

MainObject::~MainObject() { unregisterProxy(); }

PropertyMap MainObject::properties(const std::string& interface) {
  PropertyMap properties;
  getProxy().callMethod("GetAll").onInterface(kPropertiesInterface).withArguments(interface).storeResultsTo(properties);
  return properties;
}

ManagedObjects MainObject::objects() {
  ManagedObjects objects;
  getProxy().callMethod("GetManagedObjects").onInterface(kObjectManagerInterface).storeResultsTo(objects);
  return objects;
}

void MainObject::objectsAsync(std::function<void(const sdbus::Error*, const ManagedObjects&)> done) {
  getProxy()
      .callMethodAsync("GetManagedObjects")
      .onInterface(kObjectManagerInterface)
      .uponReplyInvoke([done = std::move(done)](const sdbus::Error* error, const ManagedObjects& objects) {
        done(error, objects);
      });
}

Service::Service(const std::optional<std::string>& address) {
  if (address) setenv("DBUS_SYSTEM_BUS_ADDRESS", address->c_str(), 1);
  try {
    connection_ = sdbus::createSystemBusConnection();
  } catch (const sdbus::Error& error) {
    const char* bus = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    throw BusUnreachable{"cannot connect to the system bus" + (bus ? " at " + std::string(bus) : std::string()) + ": " +
                         error.getMessage()};
  }
  main_ = std::make_unique<MainObject>(*connection_);
}

void complain(const std::string& command, const std::string& text) {
  std::fprintf(stderr, "velmerctl %s: %s\n", command.c_str(), text.c_str());
}

int runOnBus(const std::string& command, const std::function<int()>& body) {
  try {
    return body();
  } catch (const BusUnreachable& error) {
    complain(command, error.text);
    return kServiceAbsent;
  } catch (const sdbus::Error& error) {
    if (meansServiceAbsent(error.getName())) {
      complain(command, std::string("the job manager ") + kServiceName + " is not on the bus (" + error.getMessage() + ")");
      return kServiceAbsent;
    }
    complain(command, error.getName() + ": " + error.getMessage());
    return kRefused;
  }
}

}  // namespace velmerctl
