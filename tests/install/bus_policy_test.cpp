// The installed D-Bus policy on a bus with the system bus's default rules: root owns the
// name and may do anything; any other user may call methods and read properties, but
// neither own the name nor set a property (uid 65534 stands for them). setAllProperties
// stays refused by the daemon.
#include <functional>
#include <string>

#include "daemon_fixture.hpp"

namespace velmer::e2e {
namespace {

// SetUp has started velmerd-sandbox as root: it owns the name and answers READY.
class InstalledBusPolicy : public DaemonTest {};

TEST_F(InstalledBusPolicy, LetsAnyoneCallAndReadButOnlyRootOwnAndSet) {
  const std::function<void(BusClient&)> refused[] = {
      [](BusClient& client) { client.connection().requestName(kServiceName); },
      [](BusClient& client) { client.setMainProperty("autoDeleteCapacity", uint16_t{64}); },
      [](BusClient& client) { client.callMain<uint16_t>("setAllProperties", PropertyMap{{"maxJobsInStore", uint16_t{1}}}); },
  };
  for (const auto& action : refused) {
    auto outcome = callAsUser(65534, [&](BusClient& client) {
      action(client);
      return std::string();
    });
    EXPECT_EQ(outcome.errorName, "org.freedesktop.DBus.Error.AccessDenied");
  }

  auto callingAndReading = callAsUser(65534, [](BusClient& client) {
    auto status = client.callMain<uint16_t>("GetJobServiceStatus");
    return std::to_string(status) + " " + std::to_string(client.mainProperty<uint16_t>("autoDeleteCapacity"));
  });
  EXPECT_EQ(callingAndReading.errorName, "");
  EXPECT_EQ(callingAndReading.output, "0 128");

  client().setMainProperty("autoDeleteCapacity", uint16_t{64});
  EXPECT_EQ(client().mainProperty<uint16_t>("autoDeleteCapacity"), 64);
  EXPECT_EQ(client().mainProperty<uint16_t>("maxJobsInStore"), 256);
}

}  // namespace
}  // namespace velmer::e2e
