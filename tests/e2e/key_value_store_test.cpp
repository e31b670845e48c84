// The job key-value store over the bus: the method statuses, the file byte for byte,
// and what a restart keeps of pairs and of the automatic-deletion time-out.
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <utility>

#include <nlohmann/json.hpp>

#include "persistence_fixture.hpp"

namespace velmer::e2e {
namespace {

class KeyValueStore : public PersistenceTest {
 protected:
  uint16_t write(const std::string& job, const std::string& key, const std::string& caller, const std::string& value) {
    return client().callMain<uint16_t>("JS_WriteBLOB_Key_Value", job, key, caller, value);
  }
  std::tuple<uint16_t, std::string> read(const std::string& job, const std::string& caller, const std::string& key) {
    return client().callMain<uint16_t, std::string>("JS_ReadBLOB_Key_Value", job, caller, key);
  }
  std::string file() const { return readFile(root() / layout::kKeyValueFile); }
  BlobKeyValue store() { return client().mainProperty<BlobKeyValue>("blobKeyValue"); }
};

// The file with one pair (the job, caller "updater", key "stage") and a time-out: members
// in byte order, indented by four spaces.
std::string fileWithOnePair(const std::string& job, const std::string& value, const std::string& timeout) {
  return nlohmann::json({{job, {{"updater", {{"stage", value}}}}},
                         {"__serviceConfig__", {{"velmerd", {{"autoDeleteTimeout", timeout}}}}}})
      .dump(4);
}

TEST_F(KeyValueStore, EachWriteAnswersItsStatusAndReachesTheFileAndARestartKeepsPairsOfRestoredJobsAndAValidTimeout) {
  // A pair need not have a job, but the start-up check would drop it: write after that.
  ASSERT_TRUE(waitForLog(kRestoreDone, kBackupStepTimeout));
  const std::string job = createJob("Keeps its pairs"), gone = "JID_000000000404";
  ASSERT_EQ(write(job, "stage", "updater", "2"), 0);
  EXPECT_EQ(file(), fileWithOnePair(job, "2", "172800"));
  EXPECT_EQ(read(job, "updater", "stage"), std::make_tuple(uint16_t{0}, std::string("2")));
  EXPECT_EQ(read(job, "updater", "other"), std::make_tuple(uint16_t{50}, std::string()));
  EXPECT_EQ(read(job, "nobody", "stage"), std::make_tuple(uint16_t{1}, std::string()));
  EXPECT_EQ(read(gone, "updater", "stage"), std::make_tuple(uint16_t{1}, std::string()));
  const std::string copying = "copy \xe2\x82\xac";
  ASSERT_EQ(write(job, "stage", "updater", copying), 0);
  ASSERT_EQ(client().callMain<uint16_t>("ConfigureJobStoreAutoDeletionPolicy", uint16_t{3600}), 0);
  EXPECT_EQ(file(), fileWithOnePair(job, copying, "3600"));
  EXPECT_FALSE(std::filesystem::exists((root() / layout::kKeyValueFile).string() + ".tmp"));

  ASSERT_EQ(write(gone, "stage", "updater", "9"), 0);
  restartAndAwaitRestore();
  EXPECT_EQ(store(), (BlobKeyValue{{job, {{"updater", {{"stage", copying}}}}}}))
      << "entries of jobs that are gone and the reserved member leave the property";
  EXPECT_EQ(client().mainProperty<uint32_t>("autoDeleteTimeout"), 3600u);
  EXPECT_EQ(file(), fileWithOnePair(job, copying, "3600"));

  // The member's JSON text, and the time-out it gives.
  const std::pair<const char*, uint32_t> timeouts[] = {
      {R"("0")", 172800},      {"600", 172800},          {R"("60" broken)", 172800},
      {R"("600abc")", 172800}, {R"("4294967896")", 172800}, {R"("600")", 600}};
  for (const auto& [timeout, expected] : timeouts) {
    SCOPED_TRACE(timeout);
    killDaemon();
    std::ofstream(root() / layout::kKeyValueFile)
        << R"({"__serviceConfig__": {"velmerd": {"autoDeleteTimeout": )" << timeout << "}}}";
    startDaemon();
    EXPECT_EQ(client().mainProperty<uint32_t>("autoDeleteTimeout"), expected);
  }

  // Escapes of characters that no D-Bus string may hold are made valid on restore.
  killDaemon();
  std::ofstream(root() / layout::kKeyValueFile) << R"({")" << job << R"(": {"c": {"k\ufdd0": "v\uffff"}}})";
  startAndAwaitRestore();
  EXPECT_EQ(store(), (BlobKeyValue{{job, {{"c", {{"k???", "v???"}}}}}}));
}

}  // namespace
}  // namespace velmer::e2e
