// Who may do what: setAllProperties is admitted only for callers with the daemon's own
// UID (root here); every other method and every property is open to any caller, who
// cannot make the daemon send more than the bus carries.
#include <unistd.h>

#include <string>

#include "daemon_fixture.hpp"

namespace velmer::e2e {
namespace {

constexpr uid_t kNobody = 65534;

class UnprivilegedCaller : public DaemonTest {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "switching to uid 65534 needs root";
    DaemonTest::SetUp();
  }
};

TEST_F(UnprivilegedCaller, IsRefusedOnlyTheBulkSetterAndCannotMakeTheDaemonSendMoreThanTheBusCarries) {
  // Everything but the bulk setter is open to any caller. 33 values of 1 MiB once made
  // blobKeyValue's change signal larger than the bus takes, and the bus disconnected the
  // daemon; 1 MiB job names did the same to GetManagedObjects.
  auto outcome = callAsUser(kNobody, [](BusClient& client) {
    std::string out = busErrorOf([&] {
      client.callMain<uint16_t>("setAllProperties", PropertyMap{{"maxJobsInStore", uint16_t{1}}});
    });
    out += " " + std::to_string(client.callMain<uint16_t>("GetJobServiceStatus")) + " " +
           std::to_string(client.callMain<uint16_t>("JS_SetkelvofwJobState", uint16_t{31})) + " ";
    client.setMainProperty("autoDeleteCapacity", uint16_t{64});
    out += std::to_string(client.mainProperty<uint16_t>("autoDeleteCapacity")) + " " + client.serviceStatus() + "|";
    const std::string mebibyte(1 << 20, 'v');
    for (int i = 0; i < 33; ++i)
      out += std::to_string(client.callMain<uint16_t>("JS_WriteBLOB_Key_Value", std::string("JID_000000000001"),
                                                      "key" + std::to_string(i), std::string("attacker"), mebibyte));
    auto [status, jobID, code] =
        client.callMain<uint16_t, std::string, uint16_t>("JobServCreate", mebibyte, uint16_t{5});
    const std::string setName = busErrorOf(
        [&] { client.setProperty(kJobPathPrefix + jobID, kJobInterface, "jobName", sdbus::Variant(mebibyte)); });
    return out + "|" + setName + "|" + jobID;
  });
  ASSERT_EQ(outcome.errorName, "");
  const std::string jobID = outcome.output.substr(outcome.output.rfind('|') + 1);
  // Each value is refused with the write's error status.
  EXPECT_EQ(outcome.output, "org.freedesktop.DBus.Error.AccessDenied 0 0 64 READY|" + std::string(33, '1') +
                                "|org.freedesktop.DBus.Error.InvalidArgs|" + jobID);
  EXPECT_EQ(client().mainProperty<uint16_t>("maxJobsInStore"), 256);
  EXPECT_EQ(client().mainProperty<uint16_t>("kelvofwJobState"), 31);
  EXPECT_TRUE(client().mainProperty<BlobKeyValue>("blobKeyValue").empty());
  const auto job = client().managedObjects().at(sdbus::ObjectPath(kJobPathPrefix + jobID)).at(kJobInterface);
  EXPECT_EQ(job.at("jobName").get<std::string>(), std::string(99, 'v')) << "stored as an update stores it";
  // The daemon's own UID passes the check of the bulk setter.
  EXPECT_EQ(client().callMain<uint16_t>("setAllProperties", PropertyMap{{"maxJobsInStore", uint16_t{1}}}), 0);
}

}  // namespace
}  // namespace velmer::e2e
