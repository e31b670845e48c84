// The main object's own logic over the bus: the bulk setter, the property-change
// rules, the controller-firmware job state and the automatic-deletion time-out.
#include <string>
#include <tuple>
#include <vector>

#include "daemon_fixture.hpp"

namespace velmer::e2e {
namespace {

// The names of every change signalled so far.
std::vector<std::string> changesSoFar(SignalRecorder& recorder) {
  recorder.sync();
  return recorder.changedNames();
}

bool eachChangeSignalCarriesOneProperty(const SignalList& signals) {
  for (const auto& signal : signals)
    if (signal.member == "PropertiesChanged" && signal.changed.size() != 1) return false;
  return true;
}

class SetAllProperties : public DaemonTest {
 protected:
  uint16_t setAll(const PropertyMap& values) { return client().callMain<uint16_t>("setAllProperties", values); }
};

TEST_F(SetAllProperties, StopsAtTheFirstValueOfTheWrongTypeKeepingEarlierEntries) {
  // Entries are applied in key order: maxJobsInStore before numJobsInStore.
  EXPECT_EQ(setAll({{"maxJobsInStore", uint16_t{10}}, {"numJobsInStore", std::string("x")}}), 65535);
  EXPECT_EQ(client().mainProperty<uint16_t>("maxJobsInStore"), 10);
  EXPECT_EQ(client().mainProperty<uint16_t>("numJobsInStore"), 0);

  // autoDeleteCapacity sorts first, so nothing after it is applied.
  EXPECT_EQ(setAll({{"autoDeleteCapacity", std::string("x")}, {"maxJobsInStore", uint16_t{20}}}), 65535);
  EXPECT_EQ(client().mainProperty<uint16_t>("maxJobsInStore"), 10);

  // Integer widths must match exactly: autoDeleteTimeout is u, not q.
  EXPECT_EQ(setAll({{"autoDeleteTimeout", uint16_t{5}}}), 65535);
  EXPECT_EQ(client().mainProperty<uint32_t>("autoDeleteTimeout"), 172800u);
}

TEST_F(SetAllProperties, IgnoresUnknownNamesAndAcceptsAnEmptyMap) {
  auto before = client().getAllProperties(kServicePath, kMainInterface);
  recorder().clear();

  EXPECT_EQ(setAll({{"noSuchProperty", uint16_t{1}}}), 0);
  EXPECT_EQ(setAll({}), 0);
  EXPECT_EQ(setAll({{"MaxJobsInStore", uint16_t{1}}}), 0);  // names are case-sensitive

  EXPECT_EQ(client().getAllProperties(kServicePath, kMainInterface).size(), before.size());
  EXPECT_EQ(client().mainProperty<uint16_t>("maxJobsInStore"), 256);
  ASSERT_EQ(setAll({{"backupJobState", uint16_t{1}}}), 0);
  EXPECT_EQ(changesSoFar(recorder()), std::vector<std::string>{"backupJobState"});
}

TEST_F(SetAllProperties, SignalsEachChangedPropertyOnItsOwnInKeyOrder) {
  BlobKeyValue blob = {{"JID_000000000001", {{"caller", {{"key", "value"}}}}}};
  recorder().clear();
  ASSERT_EQ(setAll({{"taskInfoObjList", std::vector<std::string>{"T1", "T2"}},
                    {"maxJobsInStore", uint16_t{256}},  // the value it holds: no signal
                    {"blobKeyValue", blob},
                    {"autoDeleteTimeout", uint32_t{7200}},
                    {"autoDeleteCapacity", uint16_t{5}}}),
            0);

  std::vector<std::string> expected = {"autoDeleteCapacity", "autoDeleteTimeout", "blobKeyValue", "taskInfoObjList"};
  EXPECT_EQ(changesSoFar(recorder()), expected);
  EXPECT_TRUE(eachChangeSignalCarriesOneProperty(recorder().signals()));
  EXPECT_EQ(recorder().changesOf("autoDeleteTimeout").at(0).get<uint32_t>(), 7200u);
  EXPECT_EQ(client().mainProperty<BlobKeyValue>("blobKeyValue"), blob);
  EXPECT_EQ(client().mainProperty<std::vector<std::string>>("taskInfoObjList"), (std::vector<std::string>{"T1", "T2"}));
}

// ---------------------------------------------------------------------------------------

class MainProperties : public DaemonTest {
 protected:
  template <class T>
  void expectRoundTrip(const std::string& name, const T& value) {
    client().setMainProperty(name, value);
    EXPECT_EQ(client().mainProperty<T>(name), value) << name;
  }
};

TEST_F(MainProperties, WritingTheHeldValueEmitsNothingAndANewValueEmitsOnce) {
  recorder().clear();
  client().setMainProperty("maxJobsInStore", uint16_t{256});
  client().setMainProperty("jobInfoObjList", std::vector<std::string>{});
  EXPECT_EQ(client().callMain<uint16_t>("GetJobServiceStatus"), 0);
  client().setMainProperty("maxJobsInStore", uint16_t{300});

  EXPECT_EQ(changesSoFar(recorder()), std::vector<std::string>{"maxJobsInStore"});
  EXPECT_EQ(recorder().changesOf("maxJobsInStore").at(0).get<uint16_t>(), 300);
  EXPECT_EQ(client().mainProperty<uint16_t>("maxJobsInStore"), 300);
}

TEST_F(MainProperties, EveryPropertyTakesAWriteOfItsTypeAndReadsItBack) {
  expectRoundTrip("backupJobState", uint16_t{1});
  expectRoundTrip("restoreJobState", uint16_t{2});
  expectRoundTrip("maxJobsInStore", uint16_t{65535});
  expectRoundTrip("numJobsInStore", uint16_t{4});
  expectRoundTrip("autoDeleteCapacity", uint16_t{5});
  expectRoundTrip("autoDeleteTimeout", uint32_t{4294967295u});
  expectRoundTrip("kelvofwJobState", uint16_t{7});
  expectRoundTrip("jobInfoObjCount", uint16_t{8});
  expectRoundTrip("jobInfoObjList", std::vector<std::string>{"JID_000000000001", ""});
  expectRoundTrip("jobQueueObjCount", uint16_t{9});
  expectRoundTrip("jobQueueObjList", std::vector<std::string>{"QID_000000000001"});
  expectRoundTrip("taskInfoObjCount", uint16_t{10});
  expectRoundTrip("taskInfoObjList", std::vector<std::string>{"task"});
  expectRoundTrip("blobKeyValue", BlobKeyValue{{"JID_1", {{"a", {{"k", ""}}}, {"b", {}}}}});
}

// ---------------------------------------------------------------------------------------

class FirmwareJobState : public DaemonTest {
 protected:
  void setState(uint16_t state) { ASSERT_EQ(client().callMain<uint16_t>("JS_SetkelvofwJobState", state), 0); }
  std::tuple<uint16_t, uint8_t> query(const char* method) { return client().callMain<uint16_t, uint8_t>(method); }
};

TEST_F(FirmwareJobState, GetAnswersTheLowByteOfTheStoredState) {
  setState(300);
  EXPECT_EQ(query("JS_GetkelvofwJobState"), std::make_tuple(uint16_t{0}, uint8_t{44}));
  EXPECT_EQ(client().mainProperty<uint16_t>("kelvofwJobState"), 300);
  recorder().sync();
  ASSERT_EQ(recorder().changesOf("kelvofwJobState").size(), 1u);
  EXPECT_EQ(recorder().changesOf("kelvofwJobState").at(0).get<uint16_t>(), 300);

  // A property write is seen by the methods as well.
  client().setMainProperty("kelvofwJobState", uint16_t{12});
  EXPECT_EQ(query("JS_GetkelvofwJobState"), std::make_tuple(uint16_t{0}, uint8_t{12}));
}

TEST_F(FirmwareJobState, UpdateActiveQueriesFollowTheStoredState) {
  struct Case {
    uint16_t state;
    uint8_t active, activeNotScp;
  };
  // 0 and 30 mean idle; only 33 (the whole 16-bit value, not its low byte) counts for
  // the narrower query.
  const Case cases[] = {{31, 1, 0}, {33, 1, 1}, {0, 0, 0}, {30, 0, 0}, {1, 1, 0}, {289, 1, 0}, {65535, 1, 0}};
  for (const auto& c : cases) {
    setState(c.state);
    EXPECT_EQ(query("JS_IsKelvoFWUpdateActive"), std::make_tuple(uint16_t{0}, c.active)) << c.state;
    EXPECT_EQ(query("JS_IsKelvoFWUpdateActiveNotSCP"), std::make_tuple(uint16_t{0}, c.activeNotScp)) << c.state;
  }
}

// ---------------------------------------------------------------------------------------

class AutoDeletionPolicy : public DaemonTest {};

TEST_F(AutoDeletionPolicy, ConfigureSetsTheTimeoutAndSignalsEachChange) {
  recorder().clear();
  for (uint16_t timeout : {0, 3600, 65535}) {
    EXPECT_EQ(client().callMain<uint16_t>("ConfigureJobStoreAutoDeletionPolicy", timeout), 0);
    EXPECT_EQ(client().mainProperty<uint32_t>("autoDeleteTimeout"), timeout);
  }
  recorder().sync();
  auto changes = recorder().changesOf("autoDeleteTimeout");
  ASSERT_EQ(changes.size(), 3u);
  EXPECT_EQ(changes.at(0).get<uint32_t>(), 0u);
  EXPECT_EQ(changes.at(2).get<uint32_t>(), 65535u);
}

}  // namespace
}  // namespace velmer::e2e
