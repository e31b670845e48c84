#include "service/service_status.hpp"

#include <stdexcept>

#include "trace.h"

namespace velmer {

namespace {
std::unique_ptr<Serviceinfo>& statusObjectSlot() {
  static std::unique_ptr<Serviceinfo> slot;
  return slot;
}
}  // namespace

std::string serviceStatusToString(uint8_t status) {
  static const char* const kNames[] = {"UNKNOWN", "READY", "NOT_READY", "RELOADING"};
  if (status > 3) throw std::invalid_argument(std::to_string(status));
  return std::string("com.zorvex.kelvo.Serviceinfo.Status.") + kNames[status];
}

Serviceinfo::Serviceinfo(sdbus::IConnection& connection, std::string path)
    : Object(connection, std::move(path), "~Serviceinfo") {
  trace_printf(4, 8, "[%s]: Entering constructor for Serviceinfo\n", "Serviceinfo");
}

Serviceinfo::~Serviceinfo() = default;

std::string Serviceinfo::serviceStatus() {
  return bus::guarded([&] { return serviceStatusToString(get(&ServiceinfoRecord::serviceStatus)); });
}

// serviceName is constant on the bus: it is set once, before clients can ask, and its
// change is never signalled.
void Serviceinfo::serviceName(const std::string& value, bool) {
  set(&ServiceinfoRecord::serviceName, value, "serviceName", true);
}

void Serviceinfo::serviceStatus(ServiceStatus value, bool skipSignal) {
  set(&ServiceinfoRecord::serviceStatus, static_cast<uint8_t>(value), "serviceStatus", skipSignal);
}

void Serviceinfo::LastupdatedTime(uint64_t value, bool skipSignal) {
  set(&ServiceinfoRecord::LastupdatedTime, value, "LastupdatedTime", skipSignal);
}

Serviceinfo& statusObject() { return *statusObjectSlot(); }
bool statusObjectExists() { return statusObjectSlot() != nullptr; }
void publishStatusObject(std::unique_ptr<Serviceinfo> object) { statusObjectSlot() = std::move(object); }
std::unique_ptr<Serviceinfo> releaseStatusObject() { return std::move(statusObjectSlot()); }

}  // namespace velmer
