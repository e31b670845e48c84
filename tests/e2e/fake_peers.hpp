// Fake peer services on the private test bus: the object mapper, device inventory
// objects, the system service (HII configuration manager and BIOS inventory), the
// storage service, the provisioning service and the common firmware-update service.
// They record every call they receive and answer what the test tells them.
//
// They run in the test process on a connection of their own with a background thread,
// so the daemon's blocking peer calls are answered while the test waits for its reply.
//
//   class Cleanup : public velmer::e2e::JobTest {};
//   TEST_F(Cleanup, ...) {
//     peers().addDevice({"/inventory/nic1", kNicSlotInterface, "Key", "NIC.Slot.1-1-1"});
//     peers().start();                             // objects and names are fixed from here
//     peers().answer(&PeerAnswers::cancelSetBIOSTime, 5);  // answers may change any time
//     client().callMain<uint16_t>("JobServCleanupPersistentData", ...);
//     EXPECT_EQ(peers().calls("SetConfigCancel"), (CallList{{"NIC.Slot.1-1-1", "JID_1"}}));
//   }
#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "bus_client.hpp"

namespace velmer::e2e {

inline constexpr const char* kNicSlotInterface = "com.zorvex.kelvo.system.NicSlot";
inline constexpr const char* kFcSlotInterface = "com.zorvex.kelvo.system.FCSlot";
inline constexpr const char* kIbSlotInterface = "com.zorvex.kelvo.system.IBSlot";
inline constexpr const char* kControllerInterface = "com.zorvex.kelvo.storage.controller.inventory";
inline constexpr const char* kDriveInterface = "com.zorvex.kelvo.storage.drive.inventory";

// A device the mapper lists under `interface`, its FQDD held in `property`.
struct InventoryDevice {
  std::string path;
  std::string interface;
  std::string property;  // "Key" (network, Fibre Channel, InfiniBand) or "Fqdd" (storage)
  std::variant<std::string, int32_t> value;
  // false: the mapper lists the device but no object answers for it.
  bool served = true;
};

// The string arguments of one received call, in order.
using CallArgs = std::vector<std::string>;
using CallList = std::vector<CallArgs>;

// What the peers answer that a test may change: ConfigCancel's first status (the second
// is 0), cancelSetBIOSTime and the BIOS FQDD. SetConfigCancel answers 0 and its job ID,
// fwupdcore_delete_job 0.
struct PeerAnswers {
  uint64_t configCancelP = 0;
  int32_t cancelSetBIOSTime = 0;
  std::string biosFqdd = "BIOS.Setup.1-1";
};

class FakePeers {
 public:
  // Every peer present, answering as PeerAnswers{} says.
  FakePeers() = default;
  ~FakePeers();
  FakePeers(const FakePeers&) = delete;
  FakePeers& operator=(const FakePeers&) = delete;

  // Before start(): the devices the inventory holds.
  void addDevice(InventoryDevice device);
  // Connects to the bus named by DBUS_SYSTEM_BUS_ADDRESS, publishes the objects, owns
  // the names and serves on a background thread.
  void start();

  // At any time: what the peers answer from now on.
  template <class T>
  void answer(T PeerAnswers::*field, std::type_identity_t<T> value) {
    std::lock_guard lock(mutex_);
    answers_.*field = value;
  }
  // `method` answers the D-Bus error `errorName` from now on.
  void failWith(const std::string& method, const std::string& errorName);

  // The calls `method` received so far, oldest first. Recorded methods: GetSubTree
  // (root path, depth, interfaces...), Get (object path, interface, property: the
  // property reads of devices and of the BIOS inventory), SetConfigCancel (FQDD, job
  // ID), ConfigCancel (job ID, FQDD), cancelSetBIOSTime (its argument),
  // fwupdcore_delete_job (job ID).
  CallList calls(const std::string& method) const;
  // Every call of every method, as "method" entries in order of arrival.
  std::vector<std::string> methodsCalled() const;
  void forgetCalls();

 private:
  using SubTree = std::map<std::string, std::map<std::string, std::vector<std::string>>>;

  // Records a call, then throws the error a test asked `method` to answer with, if any;
  // otherwise returns what the peers answer now.
  PeerAnswers receive(const std::string& method, CallArgs args);

  template <class Handler>
  void serveMethod(const char* path, const char* interface, const char* method, Handler&& handler);
  void publishMapper();
  void publishDevices();
  void publishServices();

  mutable std::mutex mutex_;
  PeerAnswers answers_;
  std::map<std::string, std::string> failures_;  // method -> error name
  std::vector<std::pair<std::string, CallArgs>> received_;
  std::vector<InventoryDevice> devices_;

  std::unique_ptr<sdbus::IConnection> connection_;
  std::vector<std::unique_ptr<sdbus::IObject>> objects_;
};

}  // namespace velmer::e2e
