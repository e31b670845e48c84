// Calls that do not fit the interfaces: each gets a D-Bus error from the bus layer, the
// state stays as it was, and the daemon goes on serving.
#include <functional>
#include <map>
#include <string>

#include "daemon_fixture.hpp"

namespace velmer::e2e {
namespace {

constexpr const char* kInvalidArgs = "org.freedesktop.DBus.Error.InvalidArgs";
constexpr const char* kUnknownMethod = "org.freedesktop.DBus.Error.UnknownMethod";
constexpr const char* kReadOnly = "org.freedesktop.DBus.Error.PropertyReadOnly";

class MalformedCalls : public DaemonTest {};

TEST_F(MalformedCalls, ArgumentsTargetsAndPropertyWritesThatDoNotFitGetTheirErrorAndChangeNothing) {
  // A hand-built call of `method` on `path` and `interface`, its arguments added by `fill`.
  auto errorOf = [&](const std::string& path, const std::string& interface, const std::string& method,
                     const std::function<void(sdbus::MethodCall&)>& fill) {
    auto call = client().newCall(path, interface, method);
    fill(call);
    return busErrorOf([&] { client().send(call); });
  };
  auto mainCall = [&](const std::string& method, const std::function<void(sdbus::MethodCall&)>& fill) {
    return errorOf(kServicePath, kMainInterface, method, fill);
  };
  auto none = [](sdbus::MethodCall&) {};
  auto set = [&](const std::string& interface, const std::string& name, const sdbus::Variant& value) {
    return busErrorOf([&] { client().setProperty(kServicePath, interface, name, value); });
  };
  struct Case {
    std::string error, expected;
  };
  const Case cases[] = {
      {mainCall("JobServCreate", [](auto& call) { call << std::string("job"); }), kInvalidArgs},
      {mainCall("JobServCreate", [](auto& call) { call << std::string("job") << uint32_t{1}; }), kInvalidArgs},
      {mainCall("JS_SetkelvofwJobState", [](auto& call) { call << uint32_t{31}; }), kInvalidArgs},
      {mainCall("JS_SetkelvofwJobState", [](auto& call) { call << uint16_t{31} << uint16_t{1}; }), kInvalidArgs},
      {mainCall("setAllProperties",
                [](auto& call) { call << std::map<std::string, std::string>{{"maxJobsInStore", "1"}}; }),
       kInvalidArgs},
      {mainCall("GetJobServiceStatus", [](auto& call) { call << std::string("extra"); }), kInvalidArgs},
      {errorOf(std::string(kServicePath) + "/nothing", kMainInterface, "GetJobServiceStatus", none),
       "org.freedesktop.DBus.Error.UnknownObject"},
      {mainCall("NoSuchMethod", none), kUnknownMethod},
      // sd-bus names a known object's missing interface as a missing method.
      {errorOf(kServicePath, "com.zorvex.kelvo.NoSuchInterface", "GetJobServiceStatus", none), kUnknownMethod},
      {busErrorOf([&] { client().getAllProperties(kServicePath, "com.zorvex.kelvo.NoSuchInterface"); }),
       "org.freedesktop.DBus.Error.UnknownInterface"},
      {busErrorOf([&] { client().mainProperty<uint16_t>("noSuchProperty"); }),
       "org.freedesktop.DBus.Error.UnknownProperty"},
      {set(kMainInterface, "maxJobsInStore", std::string("x")), kInvalidArgs},
      {set(kMainInterface, "autoDeleteTimeout", uint16_t{5}), kInvalidArgs},
      {set(kMainInterface, "jobInfoObjList", std::string("JID_1")), kInvalidArgs},
      {set(kStatusInterface, "serviceStatus", std::string("com.zorvex.kelvo.Serviceinfo.Status.RELOADING")),
       kReadOnly},
      {set(kStatusInterface, "serviceName", std::string("x")), kReadOnly},
  };
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].error, cases[i].expected) << "case " << i;

  EXPECT_EQ(client().mainProperty<uint16_t>("kelvofwJobState"), 0);
  EXPECT_EQ(client().mainProperty<uint16_t>("maxJobsInStore"), 256);
  EXPECT_EQ(client().mainProperty<uint32_t>("autoDeleteTimeout"), 172800u);
  EXPECT_EQ(client().getProperty(kServicePath, kStatusInterface, "serviceName").get<std::string>(), "JobManager");
  EXPECT_EQ(client().callMain<uint16_t>("GetJobServiceStatus"), 0);
  EXPECT_EQ(client().serviceStatus(), "READY");
}

}  // namespace
}  // namespace velmer::e2e
