// Start-up as a client sees it: the name, the objects and their interfaces, the status
// object, the store limits, and what a damaged root or a second instance changes.
#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "daemon_fixture.hpp"

namespace velmer::e2e {
namespace {

// ---------------------------------------------------------------------------------------
// Introspection data, read with patterns: sd-bus writes one element per line.

struct MemberSignature {
  std::string in, out;
  bool privileged = false;
  auto operator<=>(const MemberSignature&) const = default;
};

std::string attribute(const std::string& element, const std::string& name) {
  std::smatch match;
  std::regex pattern(name + "=\"([^\"]*)\"");
  return std::regex_search(element, match, pattern) ? match[1].str() : "";
}

std::string interfaceBlock(const std::string& xml, const std::string& interface) {
  auto start = xml.find("<interface name=\"" + interface + "\">");
  if (start == std::string::npos) return "";
  return xml.substr(start, xml.find("</interface>", start) - start);
}

std::map<std::string, MemberSignature> methodsOf(const std::string& block) {
  std::map<std::string, MemberSignature> methods;
  std::regex methodPattern(R"re(<method name="([^"]+)">([\s\S]*?)</method>)re");
  for (std::sregex_iterator it(block.begin(), block.end(), methodPattern), end; it != end; ++it) {
    MemberSignature& signature = methods[(*it)[1].str()];
    std::string body = (*it)[2].str();
    std::regex argPattern(R"(<arg [^>]*/>)");
    for (std::sregex_iterator arg(body.begin(), body.end(), argPattern); arg != end; ++arg)
      (attribute(arg->str(), "direction") == "out" ? signature.out : signature.in) += attribute(arg->str(), "type");
    signature.privileged = body.find("org.freedesktop.systemd1.Privileged") != std::string::npos;
  }
  return methods;
}

// Property name to "type access".
std::map<std::string, std::string> propertiesOf(const std::string& block) {
  std::map<std::string, std::string> properties;
  std::regex pattern(R"(<property [^>]*>)");
  for (std::sregex_iterator it(block.begin(), block.end(), pattern), end; it != end; ++it)
    properties[attribute(it->str(), "name")] = attribute(it->str(), "type") + " " + attribute(it->str(), "access");
  return properties;
}

// The main interface as its clients were built against it.
const std::map<std::string, MemberSignature> kMainMethods = {
    {"setAllProperties", {"a{sv}", "q", true}},
    {"JobServCreate", {"sq", "qsq"}},
    {"JobServCreateSystemerase", {"sq", "qsq"}},
    {"JobServCreateWithNoQVLog", {"sq", "qsq"}},
    {"JobServCreateWithRetry", {"sq", "qsq"}},
    {"JobServSchedule", {"asqss", "qsq"}},
    {"JobServDelete", {"asqq", "qsq"}},
    {"JobServUpdateJobInfo", {"sqqssss", "q"}},
    {"ConfigureJobStoreAutoDeletionPolicy", {"q", "q"}},
    {"GetJobServiceStatus", {"", "q"}},
    {"JobServDeleteQueue", {"sq", "q"}},
    {"ValidateSchedulingParameters", {"ss", "q"}},
    {"JS_SetkelvofwJobState", {"q", "q"}},
    {"JS_RTSE_CreateTaskID", {"", "qs"}},
    {"JS_RTSE_ListTasks", {"", "qas"}},
    {"JS_RTSE_ListJobs", {"s", "qas"}},
    {"JS_RTSE_GetTaskFromJobID", {"s", "qs"}},
    {"JS_RTSE_GetTaskFromGroupName", {"s", "qs"}},
    {"JS_RTSE_GetGroupNameFromTask", {"s", "qs"}},
    {"JS_RTSE_RemoveTask", {"s", "q"}},
    {"JS_RTSE_RemoveTaskByGroupName", {"s", "q"}},
    {"JS_RTSE_ValidateNonBlocking", {"s", "q"}},
    {"JS_RTSE_StartSchedulingRecurringTask", {"s", "qs"}},
    {"JS_WriteBLOB_Key_Value", {"ssss", "q"}},
    {"JS_ReadBLOB_Key_Value", {"sss", "qs"}},
    {"JS_RTSE_FreeStringArray", {"s", "q"}},
    {"JS_GetkelvofwJobState", {"", "qy"}},
    {"JS_IsKelvoFWUpdateActive", {"", "qy"}},
    {"JS_IsKelvoFWUpdateActiveNotSCP", {"", "qy"}},
    {"JobServCleanupPersistentData", {"ssusu", "q"}},
};

const std::map<std::string, std::string> kMainProperties = {
    {"backupJobState", "q readwrite"},     {"restoreJobState", "q readwrite"},
    {"maxJobsInStore", "q readwrite"},     {"numJobsInStore", "q readwrite"},
    {"autoDeleteCapacity", "q readwrite"}, {"autoDeleteTimeout", "u readwrite"},
    {"kelvofwJobState", "q readwrite"},    {"jobInfoObjCount", "q readwrite"},
    {"jobInfoObjList", "as readwrite"},    {"jobQueueObjCount", "q readwrite"},
    {"jobQueueObjList", "as readwrite"},   {"taskInfoObjCount", "q readwrite"},
    {"taskInfoObjList", "as readwrite"},   {"blobKeyValue", "a{sa{sa{ss}}} readwrite"},
};

class ServiceStartup : public DaemonTest {};

TEST_F(ServiceStartup, OwnsTheNameAndServesBothInterfacesBelowAnObjectManager) {
  std::string owner = client().nameOwner(kServiceName);
  EXPECT_EQ(client().pidOf(owner), daemon().process().pid());

  std::string xml = client().introspect(kServicePath);
  for (const char* interface : {kMainInterface, kStatusInterface, "org.freedesktop.DBus.ObjectManager"})
    EXPECT_NE(xml.find("<interface name=\"" + std::string(interface) + "\">"), std::string::npos) << interface;
  // An empty root holds no jobs or queues; the service objects at the manager's own
  // path are not listed below it.
  EXPECT_TRUE(client().managedObjects().empty());
}

TEST_F(ServiceStartup, MainInterfaceHasExactlyTheContractedMethodsAndProperties) {
  std::string block = interfaceBlock(client().introspect(kServicePath), kMainInterface);
  ASSERT_FALSE(block.empty());
  auto methods = methodsOf(block);
  EXPECT_EQ(methods.size(), 30u);
  for (const auto& [name, expected] : kMainMethods) {
    ASSERT_TRUE(methods.contains(name)) << name;
    EXPECT_EQ(methods[name].in, expected.in) << name;
    EXPECT_EQ(methods[name].out, expected.out) << name;
    EXPECT_EQ(methods[name].privileged, expected.privileged) << name;
  }
  EXPECT_EQ(propertiesOf(block), kMainProperties);

  auto status = propertiesOf(interfaceBlock(client().introspect(kServicePath), kStatusInterface));
  std::map<std::string, std::string> expectedStatus = {
      {"serviceName", "s read"}, {"serviceStatus", "s read"}, {"LastupdatedTime", "t read"}};
  EXPECT_EQ(status, expectedStatus);
}

TEST_F(ServiceStartup, ReportsReadyUnderItsNameWithTheTimeOfStartUp) {
  auto status = client().getAllProperties(kServicePath, kStatusInterface);
  EXPECT_EQ(status["serviceName"].get<std::string>(), "JobManager");
  EXPECT_EQ(status["serviceStatus"].get<std::string>(), "com.zorvex.kelvo.Serviceinfo.Status.READY");
  auto updated = static_cast<std::time_t>(status["LastupdatedTime"].get<uint64_t>());
  EXPECT_GE(updated, daemon().startedAt());
  EXPECT_LE(updated, std::time(nullptr));
}

TEST_F(ServiceStartup, SetsTheStoreLimitsAndLeavesEveryOtherPropertyEmpty) {
  auto values = client().getAllProperties(kServicePath, kMainInterface);
  EXPECT_EQ(values["maxJobsInStore"].get<uint16_t>(), 256);
  EXPECT_EQ(values["numJobsInStore"].get<uint16_t>(), 0);
  EXPECT_EQ(values["autoDeleteTimeout"].get<uint32_t>(), 172800u);
  EXPECT_EQ(values["autoDeleteCapacity"].get<uint16_t>(), 128);
  for (const char* name : {"backupJobState", "restoreJobState", "kelvofwJobState", "jobInfoObjCount",
                           "jobQueueObjCount", "taskInfoObjCount"})
    EXPECT_EQ(values[name].get<uint16_t>(), 0) << name;
  for (const char* name : {"jobInfoObjList", "jobQueueObjList", "taskInfoObjList"})
    EXPECT_TRUE(values[name].get<std::vector<std::string>>().empty()) << name;
  EXPECT_TRUE(values["blobKeyValue"].get<BlobKeyValue>().empty());
}

// The recorder subscribes before the daemon starts, so it sees start-up itself; the
// daemon answers the recorder's ping only once start-up is over.
TEST_F(ServiceStartup, AnnouncesBothObjectsBeforeSignallingTheirStartValues) {
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
  std::vector<std::string> expected = {"maxJobsInStore", "autoDeleteTimeout", "autoDeleteCapacity", "serviceStatus",
                                       "LastupdatedTime"};
  EXPECT_EQ(recorder().changedNames(), expected);
  EXPECT_EQ(recorder().changesOf("maxJobsInStore").at(0).get<uint16_t>(), 256);
  EXPECT_EQ(recorder().changesOf("serviceStatus").at(0).get<std::string>(),
            "com.zorvex.kelvo.Serviceinfo.Status.READY");
}

TEST_F(ServiceStartup, SecondInstanceTakesTheNameOverAndAnswersCalls) {
  ASSERT_EQ(client().callMain<uint16_t>("JS_SetkelvofwJobState", uint16_t{7}), 0);
  std::string firstOwner = client().nameOwner(kServiceName);

  auto second = launchAnotherDaemon("second");
  second->waitUntilServing(client());

  std::string newOwner = client().nameOwner(kServiceName);
  EXPECT_NE(newOwner, firstOwner);
  EXPECT_EQ(client().pidOf(newOwner), second->process().pid());
  // Calls by name now reach the new instance, which has its own state.
  auto [status, state] = client().callMain<uint16_t, uint8_t>("JS_GetkelvofwJobState");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(state, 0);
}

// ---------------------------------------------------------------------------------------
// A root without the firmware image's directories: the backup directory cannot be made.

class BareRoot : public DaemonTest {
 protected:
  std::optional<DaemonOptions> initialDaemon() const override {
    return DaemonOptions{.extraArgs = {"--bare"}, .awaitStatus = "NOT_READY"};
  }
};

TEST_F(BareRoot, ReportsNotReadyYetKeepsAnswering) {
  EXPECT_FALSE(std::filesystem::exists(root() / "flash/data1/jobservice"));
  EXPECT_EQ(client().serviceStatus(), "NOT_READY");
  EXPECT_TRUE(waitForLog("Set velmerd status as not ready"));

  EXPECT_EQ(client().callMain<uint16_t>("GetJobServiceStatus"), 0);
  EXPECT_EQ(client().mainProperty<uint16_t>("maxJobsInStore"), 256);
  ASSERT_EQ(client().callMain<uint16_t>("JS_SetkelvofwJobState", uint16_t{31}), 0);
  auto [status, active] = client().callMain<uint16_t, uint8_t>("JS_IsKelvoFWUpdateActive");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(active, 1);
  EXPECT_EQ(client().callMain<uint16_t>("ConfigureJobStoreAutoDeletionPolicy", uint16_t{60}), 0);
  EXPECT_EQ(client().mainProperty<uint32_t>("autoDeleteTimeout"), 60u);
}

// Empty or zero arguments for an input signature made of s, q, u, as and a{sv}.
void appendPlainArguments(sdbus::MethodCall& call, std::string_view signature) {
  while (!signature.empty()) {
    if (signature.starts_with("a{sv}")) {
      call << PropertyMap{};
      signature.remove_prefix(5);
      continue;
    }
    if (signature.starts_with("as")) {
      call << std::vector<std::string>{};
      signature.remove_prefix(2);
      continue;
    }
    switch (signature.front()) {
      case 's': call << std::string{}; break;
      case 'q': call << uint16_t{0}; break;
      case 'u': call << uint32_t{0}; break;
      default: throw std::invalid_argument("unexpected signature " + std::string(signature));
    }
    signature.remove_prefix(1);
  }
}

TEST_F(BareRoot, EveryMainMethodStillGetsAReply) {
  for (const auto& [name, signature] : kMainMethods) {
    auto call = client().newCall(kServicePath, kMainInterface, name);
    appendPlainArguments(call, signature.in);
    EXPECT_EQ(busErrorOf([&] { client().send(call); }), "") << name;
  }
  EXPECT_EQ(client().callMain<uint16_t>("GetJobServiceStatus"), 0);
}

}  // namespace
}  // namespace velmer::e2e
