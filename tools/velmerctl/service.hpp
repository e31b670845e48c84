// velmerctl's side of the bus: one connection to the system bus, the job manager's main
// object through the generated proxy, and its job and queue objects as the object
// manager lists them.
#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <com/zorvex/kelvo/Serviceinfo/client.hpp>
#include <com/zorvex/kelvo/jobservice/jobservicejobinfo/client.hpp>
#include <com/zorvex/kelvo/jobservice/jobservicemain/client.hpp>
#include <com/zorvex/kelvo/jobservice/jobservicescheduleinfo/client.hpp>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "display.hpp"

namespace velmerctl {

inline constexpr const char* kServiceName = "com.zorvex.kelvo.jobservice";
inline constexpr const char* kServicePath = "/xyz/openbmc_project/jobservice";
inline constexpr const char* kMainInterface = com::zorvex::kelvo::jobservice::jobservicemain_proxy::INTERFACE_NAME;
inline constexpr const char* kStatusInterface = com::zorvex::kelvo::Serviceinfo_proxy::INTERFACE_NAME;
inline constexpr const char* kJobInterface = com::zorvex::kelvo::jobservice::jobservicejobinfo_proxy::INTERFACE_NAME;
inline constexpr const char* kQueueInterface = com::zorvex::kelvo::jobservice::jobservicescheduleinfo_proxy::INTERFACE_NAME;

using ManagedObjects = std::map<sdbus::ObjectPath, std::map<std::string, PropertyMap>>;
using BlobKeyValue = std::map<std::string, std::map<std::string, std::map<std::string, std::string>>>;

// A job or a queue: its ID (the last element of its path) and its properties.
struct BusObject {
  std::string id;
  PropertyMap properties;
};

// The job and queue objects among the object manager's list, each in ID order.
struct Store {
  std::vector<BusObject> jobs;
  std::vector<BusObject> queues;
  const BusObject* findJob(const std::string& id) const;
  const BusObject* findQueue(const std::string& id) const;
};
Store storeOf(const ManagedObjects& objects);
// The last element of an object path: the job or queue ID.
std::string idOfPath(const std::string& path);

// The main object: its methods through the generated proxy, plus its properties and
// the object manager's list through the standard interfaces.
class MainObject final : public sdbus::ProxyInterfaces<com::zorvex::kelvo::jobservice::jobservicemain_proxy> {
 public:
  explicit MainObject(sdbus::IConnection& connection);
  ~MainObject();
  PropertyMap properties(const std::string& interface);
  ManagedObjects objects();
  // The same list, handed to `done` when the reply arrives (error or list).
  void objectsAsync(std::function<void(const sdbus::Error*, const ManagedObjects&)> done);
};

// The connection and the main object. --address, when given, is put into
// DBUS_SYSTEM_BUS_ADDRESS before connecting, so that libsystemd reads it as it reads
// the variable itself.
class Service {
 public:
  explicit Service(const std::optional<std::string>& address);
  sdbus::IConnection& connection() { return *connection_; }
  MainObject& main() { return *main_; }
  Store store() { return storeOf(main_->objects()); }

 private:
  std::unique_ptr<sdbus::IConnection> connection_;
  std::unique_ptr<MainObject> main_;
};

// Runs a command and turns what went wrong on the bus into a message on standard error
// and an exit status: 3 when the bus or the job manager cannot be reached, 1 for any
// other D-Bus error.
int runOnBus(const std::string& command, const std::function<int()>& body);

// A message on standard error: "velmerctl COMMAND: TEXT".
void complain(const std::string& command, const std::string& text);

}  // namespace velmerctl
