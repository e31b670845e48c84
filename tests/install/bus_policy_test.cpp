// The installed D-Bus policy on a bus with the system bus's default rules: root owns the
// name and may do anything; any other user may call methods and read properties, but
// neither own the name nor set a property. setAllProperties stays refused by the daemon.
#include <unistd.h>

#include <string>

#include "daemon_fixture.hpp"

namespace velmer::e2e {
namespace {

constexpr uid_t kNobody = 65534;
constexpr const char* kAccessDenied = "org.freedesktop.DBus.Error.AccessDenied";

class InstalledBusPolicy : public DaemonTest {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "owning the name and switching to uid 65534 need root";
    DaemonTest::SetUp();  // velmerd-sandbox, as root, owns the name and answers READY
  }
};

TEST_F(InstalledBusPolicy, LetsAnyoneCallAndReadButOnlyRootOwnAndSet) {
  auto owning = callAsUser(kNobody, [](BusClient& client) {
    client.connection().requestName(kServiceName);
    return std::string();
  });
  EXPECT_EQ(owning.errorName, kAccessDenied);

  auto setting = callAsUser(kNobody, [](BusClient& client) {
    client.setMainProperty("autoDeleteCapacity", uint16_t{64});
    return std::string();
  });
  EXPECT_EQ(setting.errorName, kAccessDenied);

  auto bulkSetting = callAsUser(kNobody, [](BusClient& client) {
    client.callMain<uint16_t>("setAllProperties", PropertyMap{{"maxJobsInStore", uint16_t{1}}});
    return std::string();
  });
  EXPECT_EQ(bulkSetting.errorName, kAccessDenied);

  auto callingAndReading = callAsUser(kNobody, [](BusClient& client) {
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
