// Start-up and shutdown as a client sees them: the name, the objects and their
// interfaces, the status object, the store limits, the errors of calls that do not fit
// the interfaces, what a damaged root or a second instance changes, and the end on SIGINT.
#include <csignal>
#include <filesystem>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "daemon_fixture.hpp"
#include "job_fixture.hpp"

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
  const std::vector<std::string> addedInterfaces[] = {{kMainInterface}, {kStatusInterface}};
  for (size_t i = 0; i < 2; ++i)
    EXPECT_EQ(std::tie(signals[i].member, signals[i].objectPath, signals[i].interfaces),
              std::make_tuple(std::string("InterfacesAdded"), std::string(kServicePath), addedInterfaces[i]));
  // numJobsInStore is set to the 0 it already holds and serviceName is constant:
  // neither may be signalled.
  EXPECT_EQ(recorder().changedNames(), (std::vector<std::string>{"maxJobsInStore", "autoDeleteTimeout",
                                                                 "autoDeleteCapacity", "serviceStatus",
                                                                 "LastupdatedTime"}));

  // Arguments missing, and the wrong dictionary; an argument of the wrong type for a
  // property; a read-only property. (Unknown objects, methods and properties are
  // answered by the bus library itself.)
  auto missing = client().newCall(kServicePath, kMainInterface, "JobServCreate");
  missing << std::string("job");
  auto wrongDictionary = client().newCall(kServicePath, kMainInterface, "setAllProperties");
  wrongDictionary << std::map<std::string, std::string>{{"maxJobsInStore", "1"}};
  for (const auto& call : {missing, wrongDictionary}) EXPECT_EQ(busErrorOf([&] { client().send(call); }), kInvalidArgs);
  EXPECT_EQ(busErrorOf([&] { client().setMainProperty("autoDeleteTimeout", uint16_t{5}); }), kInvalidArgs);
  EXPECT_EQ(busErrorOf([&] {
              client().setProperty(kServicePath, kStatusInterface, "serviceStatus",
                                   std::string("com.zorvex.kelvo.Serviceinfo.Status.RELOADING"));
            }),
            "org.freedesktop.DBus.Error.PropertyReadOnly");

  auto status = client().getAllProperties(kServicePath, kStatusInterface);
  EXPECT_TRUE(hasFields(status, {{"serviceName", "JobManager"},
                                 {"serviceStatus", "com.zorvex.kelvo.Serviceinfo.Status.READY"}}));
  auto updated = static_cast<std::time_t>(status["LastupdatedTime"].get<uint64_t>());
  EXPECT_GE(updated, daemon().startedAt());
  EXPECT_LE(updated, std::time(nullptr));
  EXPECT_EQ(client().callMain<uint16_t>("GetJobServiceStatus"), 0);
  EXPECT_TRUE(hasFields(client().getAllProperties(kServicePath, kMainInterface),
                        {{"maxJobsInStore", 256}, {"autoDeleteTimeout", 172800}, {"autoDeleteCapacity", 128}}));
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
