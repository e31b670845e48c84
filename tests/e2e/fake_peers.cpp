#include "fake_peers.hpp"

#include <algorithm>


namespace velmer::e2e {

namespace {

constexpr const char* kMapperPath = "/xyz/openbmc_project/object_mapper";
constexpr const char* kHiiConfigPath = "/com/zorvex/kelvo/system/HIIConfigMgr";
constexpr const char* kHiiConfigInterface = "com.zorvex.kelvo.system.HIIConfig";
constexpr const char* kBiosPath = "/xyz/openbmc_project/inventory/system/BIOS";
constexpr const char* kBiosInterface = "com.zorvex.kelvo.inventory.BaseSwInventory";
constexpr const char* kStoragePath = "/com/zorvex/kelvo/storage";
constexpr const char* kStorageInterface = "com.zorvex.kelvo.storage.service";
constexpr const char* kProvisioningPath = "/com/zorvex/kelvo/provisiond";
constexpr const char* kProvisioningInterface = "com.zorvex.kelvo.provisiond.biostime";
constexpr const char* kFirmwareUpdatePath = "/com/zorvex/kelvo/fwupdcore";
constexpr const char* kFirmwareUpdateInterface = "com.zorvex.kelvo.fwupdcore.fw_management";

}  // namespace

FakePeers::~FakePeers() {
  if (!connection_) return;
  // The loop thread must be gone before the objects it dispatches to.
  connection_->leaveEventLoop();
  objects_.clear();
  connection_.reset();
}

void FakePeers::leaveOut(const std::string& service) { absent_.insert(service); }

void FakePeers::addDevice(InventoryDevice device) { devices_.push_back(std::move(device)); }

void FakePeers::start() {
  connection_ = sdbus::createSystemBusConnection();
  // Every object exists on the connection; a peer left out just has no name, so calls
  // addressed to it fail as they would on the controller.
  publishMapper();
  publishDevices();
  publishServices();
  std::set<std::string> names = {kObjectMapperService, kSystemService, kStorageService, kProvisioningService,
                                 kFirmwareUpdateService, kInventoryService};
  for (const auto& device : devices_) names.insert(device.service);
  for (const auto& name : names)
    if (!absent_.contains(name)) connection_->requestName(name);
  connection_->enterEventLoopAsync();
}

// ---------------------------------------------------------------------------------------
// What the test sets

void FakePeers::failWith(const std::string& method, const std::string& errorName) {
  std::lock_guard lock(mutex_);
  failures_[method] = errorName;
}

// ---------------------------------------------------------------------------------------
// What the peers received

CallList FakePeers::calls(const std::string& method) const {
  std::lock_guard lock(mutex_);
  CallList list;
  for (const auto& [name, args] : received_)
    if (name == method) list.push_back(args);
  return list;
}

std::vector<std::string> FakePeers::methodsCalled() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> names;
  for (const auto& entry : received_) names.push_back(entry.first);
  return names;
}

void FakePeers::forgetCalls() {
  std::lock_guard lock(mutex_);
  received_.clear();
}

template <class T>
T FakePeers::current(T PeerAnswers::*field) {
  std::lock_guard lock(mutex_);
  return answers_.*field;
}

// ---------------------------------------------------------------------------------------
// The peers

FakePeers::SubTree FakePeers::subTree(const std::vector<std::string>& interfaces) const {
  SubTree tree;
  for (const auto& device : devices_)
    if (std::find(interfaces.begin(), interfaces.end(), device.interface) != interfaces.end())
      tree[device.path][device.service].push_back(device.interface);
  return tree;
}

template <class Handler>
void FakePeers::serveMethod(const char* path, const char* interface, const char* method, Handler&& handler) {
  auto object = sdbus::createObject(*connection_, path);
  object->registerMethod(method).onInterface(interface).implementedAs(std::forward<Handler>(handler));
  object->finishRegistration();
  objects_.push_back(std::move(object));
}

void FakePeers::receive(const std::string& method, CallArgs args) {
  std::lock_guard lock(mutex_);
  received_.emplace_back(method, std::move(args));
  // sdbus::Error is the one exception the binding turns into an error reply.
  if (auto failure = failures_.find(method); failure != failures_.end())
    throw sdbus::Error(failure->second, "failure asked for by the test");
}

void FakePeers::publishMapper() {
  serveMethod(kMapperPath, kObjectMapperService, "GetSubTree",
              [this](const std::string& root, const int32_t& depth, const std::vector<std::string>& interfaces) {
                CallArgs args = {root, std::to_string(depth)};
                args.insert(args.end(), interfaces.begin(), interfaces.end());
                receive("GetSubTree", std::move(args));
                return subTree(interfaces);
              });
}

void FakePeers::publishDevices() {
  for (const auto& device : devices_) {
    if (!device.served) continue;
    auto object = sdbus::createObject(*connection_, device.path);
    // The property's D-Bus type follows the value's: a string, or an int32 for tests of
    // a device whose FQDD property is not a string.
    std::visit(
        [&](const auto& value) {
          object->registerProperty(device.property).onInterface(device.interface).withGetter([this, device, value] {
            receive("Get", {device.path, device.interface, device.property});
            return value;
          });
        },
        device.value);
    object->finishRegistration();
    objects_.push_back(std::move(object));
  }
}

// The peers' methods: each records its call and answers what the test set.
void FakePeers::publishServices() {
  serveMethod(kHiiConfigPath, kHiiConfigInterface, "SetConfigCancel",
              [this](const std::string& fqdd, const std::string& jobID) {
                receive("SetConfigCancel", {fqdd, jobID});
                return std::tuple<int16_t, std::string>(current(&PeerAnswers::setConfigCancel), jobID);
              });
  serveMethod(kStoragePath, kStorageInterface, "ConfigCancel", [this](const std::string& jobID, const std::string& fqdd) {
    receive("ConfigCancel", {jobID, fqdd});
    return sdbus::Struct<uint64_t, uint64_t>(current(&PeerAnswers::configCancelP), current(&PeerAnswers::configCancelS));
  });
  serveMethod(kProvisioningPath, kProvisioningInterface, "cancelSetBIOSTime", [this](const std::string& argument) {
    receive("cancelSetBIOSTime", {argument});
    return current(&PeerAnswers::cancelSetBIOSTime);
  });
  serveMethod(kFirmwareUpdatePath, kFirmwareUpdateInterface, "fwupdcore_delete_job", [this](const std::string& jobID) {
    receive("fwupdcore_delete_job", {jobID});
    return current(&PeerAnswers::fwupdcoreDeleteJob);
  });

  auto bios = sdbus::createObject(*connection_, kBiosPath);
  bios->registerProperty("FQDD").onInterface(kBiosInterface).withGetter([this] {
    receive("Get", {kBiosPath, kBiosInterface, "FQDD"});
    return current(&PeerAnswers::biosFqdd);
  });
  bios->finishRegistration();
  objects_.push_back(std::move(bios));
}

}  // namespace velmer::e2e
