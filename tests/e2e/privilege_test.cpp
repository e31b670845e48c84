// Who may do what: setAllProperties is admitted only for callers with the daemon's own
// UID (root here); every other method and every property is open to any caller.
#include <unistd.h>

#include <string>

#include "daemon_fixture.hpp"

namespace velmer::e2e {
namespace {

constexpr uid_t kNobody = 65534;
constexpr const char* kAccessDenied = "org.freedesktop.DBus.Error.AccessDenied";

class UnprivilegedCaller : public DaemonTest {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "switching to uid 65534 needs root";
    DaemonTest::SetUp();
  }
};

TEST_F(UnprivilegedCaller, IsRefusedTheBulkSetterOnly) {
  auto refused = callAsUser(kNobody, [](BusClient& client) {
    client.callMain<uint16_t>("setAllProperties", PropertyMap{{"maxJobsInStore", uint16_t{1}}});
    return std::string();
  });
  EXPECT_EQ(refused.errorName, kAccessDenied);
  EXPECT_EQ(client().mainProperty<uint16_t>("maxJobsInStore"), 256);

  auto allowed = callAsUser(kNobody, [](BusClient& client) {
    auto status = client.callMain<uint16_t>("GetJobServiceStatus");
    auto set = client.callMain<uint16_t>("JS_SetkelvofwJobState", uint16_t{31});
    client.setMainProperty("autoDeleteCapacity", uint16_t{64});
    auto readBack = client.mainProperty<uint16_t>("autoDeleteCapacity");
    return std::to_string(status) + " " + std::to_string(set) + " " + std::to_string(readBack) + " " +
           client.serviceStatus();
  });
  EXPECT_EQ(allowed.errorName, "");
  EXPECT_EQ(allowed.output, "0 0 64 READY");
  EXPECT_EQ(client().mainProperty<uint16_t>("kelvofwJobState"), 31);
  EXPECT_EQ(client().mainProperty<uint16_t>("autoDeleteCapacity"), 64);

  // The daemon's own UID passes the same check.
  EXPECT_EQ(client().callMain<uint16_t>("setAllProperties", PropertyMap{{"maxJobsInStore", uint16_t{1}}}), 0);
}

}  // namespace
}  // namespace velmer::e2e
