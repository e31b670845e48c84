// The main object's own logic over the bus: the bulk setter, the property-change
// rules, the controller-firmware job state and the automatic-deletion time-out.
#include <string>
#include <tuple>
#include <vector>

#include "daemon_fixture.hpp"

namespace velmer::e2e {
namespace {

using Names = std::vector<std::string>;

class MainObject : public DaemonTest {
 protected:
  uint16_t setAll(const PropertyMap& values) { return client().callMain<uint16_t>("setAllProperties", values); }
  // The names of every change signalled since the recorder was cleared.
  Names changesSoFar() {
    recorder().sync();
    return recorder().changedNames();
  }
  std::tuple<uint16_t, uint8_t> query(const char* method) { return client().callMain<uint16_t, uint8_t>(method); }
};

TEST_F(MainObject, SetAllPropertiesSignalsEachChangeInKeyOrderAndStopsAtTheFirstValueOfTheWrongType) {
  BlobKeyValue blob = {{"JID_000000000001", {{"caller", {{"key", "value"}}}}}};
  const size_t propertyCount = client().getAllProperties(kServicePath, kMainInterface).size();
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
  EXPECT_EQ(client().getAllProperties(kServicePath, kMainInterface).size(), propertyCount);
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

}  // namespace
}  // namespace velmer::e2e
