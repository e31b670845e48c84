// The service status object: interface com.zorvex.kelvo.Serviceinfo at
// /xyz/openbmc_project/jobservice, through which other services learn whether the job
// manager is ready. All its properties are read-only on the bus.
#pragma once

#include <com/zorvex/kelvo/Serviceinfo/server.hpp>

#include "bus/bus.hpp"

namespace velmer {

enum class ServiceStatus : uint8_t { UNKNOWN = 0, READY = 1, NOT_READY = 2, RELOADING = 3 };

// "com.zorvex.kelvo.Serviceinfo.Status.READY" for 1, and so on. A number outside 0..3
// throws std::invalid_argument carrying the number as text.
std::string serviceStatusToString(uint8_t status);

struct ServiceinfoRecord {
  std::string serviceName;
  uint8_t serviceStatus = 0;  // a ServiceStatus value
  uint64_t LastupdatedTime = 0;
};

class Serviceinfo final : public bus::Object<com::zorvex::kelvo::Serviceinfo_adaptor, ServiceinfoRecord> {
 public:
  Serviceinfo(sdbus::IConnection& connection, std::string path);
  ~Serviceinfo();

  VELMER_BUS_READONLY_PROPERTY(ServiceinfoRecord, std::string, serviceName)
  VELMER_BUS_READONLY_PROPERTY(ServiceinfoRecord, uint64_t, LastupdatedTime)
  std::string serviceStatus() override;

  void serviceName(const std::string& value, bool skipSignal = false);
  void serviceStatus(ServiceStatus value, bool skipSignal = false);
  void LastupdatedTime(uint64_t value, bool skipSignal = false);
};

// The single status object, published by start-up before any other thread exists.
Serviceinfo& statusObject();
bool statusObjectExists();
void publishStatusObject(std::unique_ptr<Serviceinfo> object);
std::unique_ptr<Serviceinfo> releaseStatusObject();

}  // namespace velmer
