#include "fake_peers.hpp"

#include <algorithm>

namespace velmer::e2e {

namespace {

constexpr const char* kObjectMapperService = "xyz.openbmc_project.ObjectMapper";
// The HII configuration manager and the BIOS inventory object.
constexpr const char* kSystemService = "com.zorvex.kelvo.system";
constexpr const char* kStorageService = "com.zorvex.kelvo.storage";
constexpr const char* kProvisioningService = "com.zorvex.kelvo.provisiond";
constexpr const char* kFirmwareUpdateService = "com.zorvex.kelvo.fwupdcore";
constexpr const char* kInventoryService = "com.zorvex.kelvo.inventory";

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

void FakePeers::addDevice(InventoryDevice device) { devices_.push_back(std::move(device)); }

void FakePeers::start() {
  connection_ = sdbus::createSystemBusConnection();
  publishMapper();
  publishDevices();
  publishServices();
  for (const char* name : {kObjectMapperService, kSystemService, kStorageService, kProvisioningService,
                           kFirmwareUpdateService, kInventoryService})
    connection_->requestName(name);
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

// ---------------------------------------------------------------------------------------
// The peers

template <class Handler>
void FakePeers::serveMethod(const char* path, const char* interface, const char* method, Handler&& handler) {
  auto object = sdbus::createObject(*connection_, path);
  object->registerMethod(method).onInterface(interface).implementedAs(std::forward<Handler>(handler));
  object->finishRegistration();
  objects_.push_back(std::move(object));
}

PeerAnswers FakePeers::receive(const std::string& method, CallArgs args) {
  std::lock_guard lock(mutex_);
  received_.emplace_back(method, std::move(args));
  // sdbus::Error is the one exception the binding turns into an error reply.
  if (auto failure = failures_.find(method); failure != failures_.end())
    throw sdbus::Error(failure->second, "failure asked for by the test");
  return answers_;
}

void FakePeers::publishMapper() {
  serveMethod(kMapperPath, kObjectMapperService, "GetSubTree",
              [this](const std::string& root, const int32_t& depth, const std::vector<std::string>& interfaces) {
                CallArgs args = {root, std::to_string(depth)};
                args.insert(args.end(), interfaces.begin(), interfaces.end());
                receive("GetSubTree", std::move(args));
                SubTree tree;
                for (const auto& device : devices_)
                  if (std::find(interfaces.begin(), interfaces.end(), device.interface) != interfaces.end())
                    tree[device.path][kInventoryService].push_back(device.interface);
                return tree;
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
                return std::tuple(int16_t{0}, jobID);
              });
  serveMethod(kStoragePath, kStorageInterface, "ConfigCancel", [this](const std::string& jobID, const std::string& fqdd) {
    return sdbus::Struct<uint64_t, uint64_t>(receive("ConfigCancel", {jobID, fqdd}).configCancelP, 0);
  });
  serveMethod(kProvisioningPath, kProvisioningInterface, "cancelSetBIOSTime", [this](const std::string& argument) {
    return receive("cancelSetBIOSTime", {argument}).cancelSetBIOSTime;
  });
  serveMethod(kFirmwareUpdatePath, kFirmwareUpdateInterface, "fwupdcore_delete_job", [this](const std::string& jobID) {
    receive("fwupdcore_delete_job", {jobID});
    return int32_t{0};
  });

  auto bios = sdbus::createObject(*connection_, kBiosPath);
  bios->registerProperty("FQDD").onInterface(kBiosInterface).withGetter([this] {
    return receive("Get", {kBiosPath, kBiosInterface, "FQDD"}).biosFqdd;
  });
  bios->finishRegistration();
  objects_.push_back(std::move(bios));
}

}  // namespace velmer::e2e
