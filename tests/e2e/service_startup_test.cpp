// Start-up and shutdown as a client sees them: the name, the objects and their
// interfaces, the status object, the store limits, the errors of calls that do not fit
// the interfaces, what a damaged root or a second instance changes, and the end on SIGINT.
#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "daemon_fixture.hpp"

namespace velmer::e2e {
namespace {

// The main interface as its clients were built against it: "name in out", and "!" for
// a method that needs the daemon's own UID. BareRoot calls each with its input types.
const char* const kMainMethods[] = {
    "setAllProperties a{sv} q !", "JobServCreate sq qsq", "JobServCreateSystemerase sq qsq",
    "JobServCreateWithNoQVLog sq qsq", "JobServCreateWithRetry sq qsq", "JobServSchedule asqss qsq",
    "JobServDelete asqq qsq", "JobServUpdateJobInfo sqqssss q", "ConfigureJobStoreAutoDeletionPolicy q q",
    "GetJobServiceStatus - q", "JobServDeleteQueue sq q", "ValidateSchedulingParameters ss q",
    "JS_SetkelvofwJobState q q", "JS_RTSE_CreateTaskID - qs", "JS_RTSE_ListTasks - qas", "JS_RTSE_ListJobs s qas",
    "JS_RTSE_GetTaskFromJobID s qs", "JS_RTSE_GetTaskFromGroupName s qs", "JS_RTSE_GetGroupNameFromTask s qs",
    "JS_RTSE_RemoveTask s q", "JS_RTSE_RemoveTaskByGroupName s q", "JS_RTSE_ValidateNonBlocking s q",
    "JS_RTSE_StartSchedulingRecurringTask s qs", "JS_WriteBLOB_Key_Value ssss q", "JS_ReadBLOB_Key_Value sss qs",
    "JS_RTSE_FreeStringArray s q", "JS_GetkelvofwJobState - qy", "JS_IsKelvoFWUpdateActive - qy",
    "JS_IsKelvoFWUpdateActiveNotSCP - qy", "JobServCleanupPersistentData ssusu q",
};
constexpr const char* kInvalidArgs = "org.freedesktop.DBus.Error.InvalidArgs";
constexpr const char* kReadOnly = "org.freedesktop.DBus.Error.PropertyReadOnly";

class ServiceStartup : public DaemonTest {};

// The recorder subscribes before the daemon starts, so it sees start-up itself; the
// daemon answers the recorder's ping only once start-up is over. Calls that do not fit
// the interfaces each get a D-Bus error from the bus layer, and the state stays as it was.
TEST_F(ServiceStartup, ServesItsInterfacesAnnouncesTheStoreLimitsAndRefusesCallsThatDoNotFitThem) {
  EXPECT_EQ(client().pidOf(client().nameOwner(kServiceName)), daemon().process().pid());
  // The object manager answers; an empty root holds no jobs or queues, and the service
  // objects at the manager's own path are not listed below it. (The method names and
  // argument types are those BareRoot and the other tests call with.)
  EXPECT_TRUE(client().managedObjects().empty());

  recorder().sync();
  const auto& signals = recorder().signals();
  ASSERT_GE(signals.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(signals[i].member, "InterfacesAdded");
    EXPECT_EQ(signals[i].objectPath, kServicePath);
  }
  EXPECT_EQ(signals[0].interfaces, std::vector<std::string>{kMainInterface});
  EXPECT_EQ(signals[1].interfaces, std::vector<std::string>{kStatusInterface});
  // numJobsInStore is set to the 0 it already holds and serviceName is constant:
  // neither may be signalled.
  EXPECT_EQ(recorder().changedNames(), (std::vector<std::string>{"maxJobsInStore", "autoDeleteTimeout",
                                                                 "autoDeleteCapacity", "serviceStatus",
                                                                 "LastupdatedTime"}));

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
  const std::pair<std::string, std::string> errors[] = {
      // Arguments missing, and the wrong dictionary.
      {mainCall("JobServCreate", [](auto& call) { call << std::string("job"); }), kInvalidArgs},
      {mainCall("setAllProperties",
                [](auto& call) { call << std::map<std::string, std::string>{{"maxJobsInStore", "1"}}; }),
       kInvalidArgs},
      {errorOf(std::string(kServicePath) + "/nothing", kMainInterface, "GetJobServiceStatus", none),
       "org.freedesktop.DBus.Error.UnknownObject"},
      {mainCall("NoSuchMethod", none), "org.freedesktop.DBus.Error.UnknownMethod"},
      {busErrorOf([&] { client().mainProperty<uint16_t>("noSuchProperty"); }),
       "org.freedesktop.DBus.Error.UnknownProperty"},
      {set(kMainInterface, "autoDeleteTimeout", uint16_t{5}), kInvalidArgs},
      {set(kStatusInterface, "serviceStatus", std::string("com.zorvex.kelvo.Serviceinfo.Status.RELOADING")),
       kReadOnly},
  };
  for (size_t i = 0; i < std::size(errors); ++i) EXPECT_EQ(errors[i].first, errors[i].second) << "call " << i;

  auto status = client().getAllProperties(kServicePath, kStatusInterface);
  EXPECT_EQ(status["serviceName"].get<std::string>(), "JobManager");
  EXPECT_EQ(status["serviceStatus"].get<std::string>(), "com.zorvex.kelvo.Serviceinfo.Status.READY");
  auto updated = static_cast<std::time_t>(status["LastupdatedTime"].get<uint64_t>());
  EXPECT_GE(updated, daemon().startedAt());
  EXPECT_LE(updated, std::time(nullptr));
  EXPECT_EQ(client().callMain<uint16_t>("GetJobServiceStatus"), 0);

  auto values = client().getAllProperties(kServicePath, kMainInterface);
  EXPECT_EQ(values["maxJobsInStore"].get<uint16_t>(), 256);
  EXPECT_EQ(values["autoDeleteTimeout"].get<uint32_t>(), 172800u);
  EXPECT_EQ(values["autoDeleteCapacity"].get<uint16_t>(), 128);
}

TEST_F(ServiceStartup, SecondInstanceTakesTheNameOverAndSigintEndsEachWithStatusZero) {
  auto second = launchAnotherDaemon("second");
  second->waitUntilServing(client());
  EXPECT_EQ(client().pidOf(client().nameOwner(kServiceName)), second->process().pid());
  EXPECT_EQ(second->process().stop(SIGINT, kStopTimeout), 0);
  EXPECT_EQ(stopDaemon(SIGINT), 0);
  EXPECT_EQ(client().nameOwner(kServiceName), "");
}

// Empty or zero arguments for an input signature made of s, q, u, as and a{sv}.
void appendPlainArguments(sdbus::MethodCall& call, const std::string& signature) {
  for (size_t at = 0; at < signature.size(); ++at) {
    if (signature.compare(at, 5, "a{sv}") == 0) {
      call << PropertyMap{};
      at += 4;
    } else if (signature.compare(at, 2, "as") == 0) {
      call << std::vector<std::string>{};
      ++at;
    } else if (signature[at] == 's') {
      call << std::string{};
    } else if (signature[at] == 'q') {
      call << uint16_t{0};
    } else if (signature[at] == 'u') {
      call << uint32_t{0};
    } else if (signature[at] != '-') {
      throw std::invalid_argument("unexpected signature " + signature);
    }
  }
}

// A root without the firmware image's directories: the backup directory cannot be made.
class BareRoot : public DaemonTest {
 protected:
  std::optional<DaemonOptions> initialDaemon() const override {
    return DaemonOptions{.extraArgs = {"--bare"}, .awaitStatus = "NOT_READY"};
  }
};

TEST_F(BareRoot, ReportsNotReadyYetEveryMainMethodStillGetsAReply) {
  EXPECT_FALSE(std::filesystem::exists(root() / "flash/data1/jobservice"));
  EXPECT_EQ(client().serviceStatus(), "NOT_READY");
  for (const char* method : kMainMethods) {
    std::string name, in;
    std::istringstream(method) >> name >> in;
    auto call = client().newCall(kServicePath, kMainInterface, name);
    appendPlainArguments(call, in);
    EXPECT_EQ(busErrorOf([&] { client().send(call); }), "") << name;
  }
  ASSERT_EQ(client().callMain<uint16_t>("JS_SetkelvofwJobState", uint16_t{31}), 0);
  EXPECT_EQ((client().callMain<uint16_t, uint8_t>("JS_IsKelvoFWUpdateActive")), (std::tuple<uint16_t, uint8_t>{0, 1}));
  EXPECT_EQ(client().callMain<uint16_t>("ConfigureJobStoreAutoDeletionPolicy", uint16_t{60}), 0);
  EXPECT_EQ(client().mainProperty<uint32_t>("autoDeleteTimeout"), 60u);
}

}  // namespace
}  // namespace velmer::e2e
