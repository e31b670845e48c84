// Calls that do not fit the interfaces: each gets a D-Bus error from the bus layer, the
// state stays as it was, and the daemon goes on serving.
#include <string>
#include <vector>

#include "daemon_fixture.hpp"

namespace velmer::e2e {
namespace {

constexpr const char* kInvalidArgs = "org.freedesktop.DBus.Error.InvalidArgs";

class MalformedCalls : public DaemonTest {
 protected:
  // The error that a hand-built call to the main object gets; `fill` adds its arguments.
  std::string errorOfMainCall(const std::string& method, const std::function<void(sdbus::MethodCall&)>& fill) {
    auto call = client().newCall(kServicePath, kMainInterface, method);
    fill(call);
    return busErrorOf([&] { client().send(call); });
  }

  void expectStillServing() {
    EXPECT_EQ(client().callMain<uint16_t>("GetJobServiceStatus"), 0);
    EXPECT_EQ(client().serviceStatus(), "READY");
  }
};

TEST_F(MalformedCalls, ArgumentsThatBreakTheSignatureAreRejected) {
  EXPECT_EQ(errorOfMainCall("JobServCreate", [](auto& call) { call << std::string("job"); }), kInvalidArgs);
  EXPECT_EQ(errorOfMainCall("JobServCreate", [](auto& call) { call << std::string("job") << uint32_t{1}; }),
            kInvalidArgs);
  EXPECT_EQ(errorOfMainCall("JS_SetkelvofwJobState", [](auto& call) { call << uint32_t{31}; }), kInvalidArgs);
  EXPECT_EQ(errorOfMainCall("JS_SetkelvofwJobState", [](auto& call) { call << uint16_t{31} << uint16_t{1}; }),
            kInvalidArgs);
  EXPECT_EQ(errorOfMainCall("setAllProperties",
                            [](auto& call) { call << std::map<std::string, std::string>{{"maxJobsInStore", "1"}}; }),
            kInvalidArgs);
  EXPECT_EQ(errorOfMainCall("GetJobServiceStatus", [](auto& call) { call << std::string("extra"); }), kInvalidArgs);

  EXPECT_EQ(client().mainProperty<uint16_t>("kelvofwJobState"), 0);
  EXPECT_EQ(client().mainProperty<uint16_t>("maxJobsInStore"), 256);
  expectStillServing();
}

TEST_F(MalformedCalls, UnknownTargetsGetTheMatchingError) {
  auto errorOf = [&](const std::string& path, const std::string& interface, const std::string& method) {
    auto call = client().newCall(path, interface, method);
    return busErrorOf([&] { client().send(call); });
  };
  EXPECT_EQ(errorOf("/xyz/openbmc_project/jobservice/nothing", kMainInterface, "GetJobServiceStatus"),
            "org.freedesktop.DBus.Error.UnknownObject");
  EXPECT_EQ(errorOf(kServicePath, kMainInterface, "NoSuchMethod"), "org.freedesktop.DBus.Error.UnknownMethod");
  // sd-bus names a known object's missing interface as a missing method.
  EXPECT_EQ(errorOf(kServicePath, "com.zorvex.kelvo.NoSuchInterface", "GetJobServiceStatus"),
            "org.freedesktop.DBus.Error.UnknownMethod");
  EXPECT_EQ(busErrorOf([&] { client().getAllProperties(kServicePath, "com.zorvex.kelvo.NoSuchInterface"); }),
            "org.freedesktop.DBus.Error.UnknownInterface");
  EXPECT_EQ(busErrorOf([&] { client().mainProperty<uint16_t>("noSuchProperty"); }),
            "org.freedesktop.DBus.Error.UnknownProperty");
  expectStillServing();
}

TEST_F(MalformedCalls, PropertyWritesOfTheWrongTypeOrToReadOnlyPropertiesAreRejected) {
  EXPECT_EQ(busErrorOf([&] { client().setMainProperty("maxJobsInStore", std::string("x")); }), kInvalidArgs);
  EXPECT_EQ(busErrorOf([&] { client().setMainProperty("autoDeleteTimeout", uint16_t{5}); }), kInvalidArgs);
  EXPECT_EQ(busErrorOf([&] { client().setMainProperty("jobInfoObjList", std::string("JID_1")); }), kInvalidArgs);
  EXPECT_EQ(busErrorOf([&] {
              client().setProperty(kServicePath, kStatusInterface, "serviceStatus",
                                   std::string("com.zorvex.kelvo.Serviceinfo.Status.RELOADING"));
            }),
            "org.freedesktop.DBus.Error.PropertyReadOnly");
  EXPECT_EQ(busErrorOf([&] { client().setProperty(kServicePath, kStatusInterface, "serviceName", std::string("x")); }),
            "org.freedesktop.DBus.Error.PropertyReadOnly");

  EXPECT_EQ(client().mainProperty<uint16_t>("maxJobsInStore"), 256);
  EXPECT_EQ(client().mainProperty<uint32_t>("autoDeleteTimeout"), 172800u);
  EXPECT_EQ(client().getProperty(kServicePath, kStatusInterface, "serviceName").get<std::string>(), "JobManager");
  expectStillServing();
}

}  // namespace
}  // namespace velmer::e2e
