// The service as a client sees it. Start-up and shutdown: the name, the objects and their
// interfaces, the status object, the store limits, the errors of calls that do not fit
// the interfaces, what a damaged root or a second instance changes, and the end on SIGINT.
// The main object's own logic: the bulk setter and who may call it, the property-change
// rules, the controller-firmware job state, the automatic-deletion time-out and the
// recurring-task methods (against the engine stand-in of the sandbox).
#include <algorithm>
#include <csignal>
#include <filesystem>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
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

using Names = std::vector<std::string>;
using TextReply = std::tuple<uint16_t, std::string>;
using ListReply = std::tuple<uint16_t, Names>;

class MainObject : public DaemonTest {
 protected:
  uint16_t setAll(const PropertyMap& values) { return client().callMain<uint16_t>("setAllProperties", values); }
  // The names of every change signalled since the recorder was cleared.
  Names changesSoFar() {
    recorder().sync();
    return recorder().changedNames();
  }
  std::tuple<uint16_t, uint8_t> query(const char* method) { return client().callMain<uint16_t, uint8_t>(method); }
  template <class... Args>
  TextReply text(const std::string& method, const Args&... args) {
    return client().callMain<uint16_t, std::string>(method, args...);
  }
  template <class... Args>
  ListReply list(const std::string& method, const Args&... args) {
    return client().callMain<uint16_t, Names>(method, args...);
  }
  uint16_t status(const std::string& method, const std::string& argument) {
    return client().callMain<uint16_t>(method, argument);
  }
};

using ServiceStartup = MainObject;

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
  EXPECT_EQ(std::clamp(updated, daemon().startedAt(), std::time(nullptr)), updated) << "set during start-up";
  EXPECT_EQ(client().callMain<uint16_t>("GetJobServiceStatus"), 0);
  EXPECT_TRUE(hasFields(client().mainProperties(),
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

TEST_F(MainObject, SetAllPropertiesSignalsEachChangeInKeyOrderAndStopsAtTheFirstValueOfTheWrongType) {
  BlobKeyValue blob = {{"JID_000000000001", {{"caller", {{"key", "value"}}}}}};
  const size_t propertyCount = client().mainProperties().size();
  recorder().clear();
  ASSERT_EQ(setAll({{"taskInfoObjList", Names{"T1", "T2"}},
                    {"maxJobsInStore", uint16_t{256}},  // the value it holds: no signal
                    {"blobKeyValue", blob},
                    {"autoDeleteTimeout", uint32_t{7200}},
                    {"autoDeleteCapacity", uint16_t{5}}}),
            0);
  EXPECT_EQ(changesSoFar(), (Names{"autoDeleteCapacity", "autoDeleteTimeout", "blobKeyValue", "taskInfoObjList"}));
  for (const auto& signal : recorder().signals())
    EXPECT_EQ(signal.changed.size(), 1u) << "one property per change signal";
  EXPECT_EQ(client().mainProperty<BlobKeyValue>("blobKeyValue"), blob);

  // Unknown names (they are case-sensitive) are ignored.
  recorder().clear();
  EXPECT_EQ(setAll({{"noSuchProperty", uint16_t{1}}, {"MaxJobsInStore", uint16_t{1}}}), 0);
  EXPECT_EQ(client().mainProperties().size(), propertyCount);
  EXPECT_EQ(client().mainProperty<uint16_t>("maxJobsInStore"), 256);
  EXPECT_TRUE(changesSoFar().empty());

  // Entries are applied in key order: maxJobsInStore before numJobsInStore.
  EXPECT_EQ(setAll({{"maxJobsInStore", uint16_t{10}}, {"numJobsInStore", std::string("x")}}), 65535);
  EXPECT_EQ(client().mainProperty<uint16_t>("maxJobsInStore"), 10);
  EXPECT_EQ(client().mainProperty<uint16_t>("numJobsInStore"), 0);
  // Integer widths must match exactly: autoDeleteTimeout is u, not q.
  EXPECT_EQ(setAll({{"autoDeleteTimeout", uint16_t{5}}}), 65535);
  EXPECT_EQ(client().mainProperty<uint32_t>("autoDeleteTimeout"), 7200u);

  // A property write of the same value is not signalled; empty entries of a map are kept
  // as written.
  recorder().clear();
  client().setMainProperty("maxJobsInStore", uint16_t{10});
  client().setMainProperty("jobInfoObjList", Names{});
  client().setMainProperty("maxJobsInStore", uint16_t{65535});
  EXPECT_EQ(changesSoFar(), Names{"maxJobsInStore"});
  EXPECT_EQ(recorder().changesOf("maxJobsInStore").at(0).get<uint16_t>(), 65535);
  const BlobKeyValue emptyEntries = {{"JID_1", {{"a", {{"k", ""}}}, {"b", {}}}}};
  client().setMainProperty("blobKeyValue", emptyEntries);
  EXPECT_EQ(client().mainProperty<BlobKeyValue>("blobKeyValue"), emptyEntries);
}

TEST_F(MainObject, FirmwareJobStateAndAutoDeletionMethodsFollowTheStoredValues) {
  ASSERT_EQ(client().callMain<uint16_t>("JS_SetkelvofwJobState", uint16_t{300}), 0);
  EXPECT_EQ(query("JS_GetkelvofwJobState"), std::make_tuple(uint16_t{0}, uint8_t{44})) << "the low byte";
  EXPECT_EQ(client().mainProperty<uint16_t>("kelvofwJobState"), 300);
  recorder().sync();
  ASSERT_EQ(recorder().changesOf("kelvofwJobState").size(), 1u);
  EXPECT_EQ(recorder().changesOf("kelvofwJobState").at(0).get<uint16_t>(), 300);
  // A property write is seen by the methods as well.
  client().setMainProperty("kelvofwJobState", uint16_t{12});
  EXPECT_EQ(query("JS_GetkelvofwJobState"), std::make_tuple(uint16_t{0}, uint8_t{12}));

  // 0 and 30 mean idle; only 33 (the whole 16-bit value, not its low byte) counts for
  // the narrower query.
  const std::tuple<uint16_t, uint8_t, uint8_t> cases[] = {{31, 1, 0}, {33, 1, 1},  {0, 0, 0},    {30, 0, 0},
                                                          {1, 1, 0},  {289, 1, 0}, {65535, 1, 0}};
  for (const auto& [state, active, activeNotScp] : cases) {
    ASSERT_EQ(client().callMain<uint16_t>("JS_SetkelvofwJobState", state), 0);
    EXPECT_EQ(query("JS_IsKelvoFWUpdateActive"), std::make_tuple(uint16_t{0}, active)) << state;
    EXPECT_EQ(query("JS_IsKelvoFWUpdateActiveNotSCP"), std::make_tuple(uint16_t{0}, activeNotScp)) << state;
  }

  EXPECT_EQ(client().callMain<uint16_t>("ConfigureJobStoreAutoDeletionPolicy", uint16_t{65535}), 0);
  EXPECT_EQ(client().mainProperty<uint32_t>("autoDeleteTimeout"), 65535u);
}

using RecurringTasks = MainObject;

TEST_F(RecurringTasks, ClientCreatesFindsListsValidatesAndRemovesTasksAndFailuresReplyOneWithAnEmptyValue) {
  auto [reserveStatus, reserved] = text("JS_RTSE_CreateTaskID");
  auto [taskStatus, task] = text("JS_RTSE_CreateTaskID");
  ASSERT_EQ(reserveStatus + taskStatus, 0);
  EXPECT_EQ(text("JS_RTSE_StartSchedulingRecurringTask", "group=nightly;jobs=JID_1,JID_2;task=" + task),
            TextReply(0, task));
  auto [weeklyStatus, weekly] = text("JS_RTSE_StartSchedulingRecurringTask", "group=weekly;jobs=JID_3");
  ASSERT_EQ(weeklyStatus, 0);

  EXPECT_EQ(text("JS_RTSE_GetTaskFromGroupName", "nightly"), TextReply(0, task));
  EXPECT_EQ(text("JS_RTSE_GetTaskFromJobID", "JID_2"), TextReply(0, task));
  EXPECT_EQ(text("JS_RTSE_GetGroupNameFromTask", weekly), TextReply(0, "weekly"));
  EXPECT_EQ(list("JS_RTSE_ListJobs", task), ListReply(0, Names{"JID_1", "JID_2"}));
  EXPECT_EQ(list("JS_RTSE_ListTasks"), ListReply(0, Names{task, weekly}));
  EXPECT_EQ(status("JS_RTSE_ValidateNonBlocking", task), 0);

  // Failures (one of each form of reply), a reserved ID without a schedule among them.
  EXPECT_EQ(text("JS_RTSE_StartSchedulingRecurringTask", "jobs=JID_1"), TextReply(1, ""));
  EXPECT_EQ(text("JS_RTSE_GetGroupNameFromTask", reserved), TextReply(1, ""));
  EXPECT_EQ(list("JS_RTSE_ListJobs", "TID_999999999999"), ListReply(1, Names{}));
  EXPECT_EQ(list("JS_RTSE_ListJobs", reserved), ListReply(1, Names{}));
  EXPECT_EQ(status("JS_RTSE_ValidateNonBlocking", reserved), 1);
  EXPECT_EQ(status("JS_RTSE_FreeStringArray", "anything"), 0);

  EXPECT_EQ(status("JS_RTSE_RemoveTask", task), 0);
  EXPECT_EQ(status("JS_RTSE_RemoveTaskByGroupName", "weekly"), 0);
  EXPECT_EQ(list("JS_RTSE_ListTasks"), ListReply(1, Names{}));
}

using UnprivilegedCaller = MainObject;

TEST_F(UnprivilegedCaller, IsRefusedOnlyTheBulkSetterAndCannotMakeTheDaemonSendMoreThanTheBusCarries) {
  // Everything but the bulk setter is open to any caller (here nobody, 65534), who cannot
  // make the daemon send more than the bus carries. 33 values of 1 MiB once made
  // blobKeyValue's change signal larger than the bus takes, and the bus disconnected the
  // daemon; 1 MiB job names did the same to GetManagedObjects.
  auto outcome = callAsUser(65534, [](BusClient& client) {
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
  // Without the key-value file's directory the time-out cannot be kept: refused, not taken.
  EXPECT_EQ(client().callMain<uint16_t>("ConfigureJobStoreAutoDeletionPolicy", uint16_t{60}), 1);
  EXPECT_EQ(client().mainProperty<uint32_t>("autoDeleteTimeout"), 172800u);
}

}  // namespace
}  // namespace velmer::e2e
