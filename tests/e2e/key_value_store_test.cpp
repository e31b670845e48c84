// The job key-value store over the bus: the method statuses, the file byte for byte,
// and what a restart keeps of pairs and of the automatic-deletion time-out.
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

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
  std::string file() const { return readFile(layout::keyValueFile(root())); }
  BlobKeyValue store() { return client().mainProperty<BlobKeyValue>("blobKeyValue"); }
};

// The file with one pair (the job, caller "updater", key "stage") and a time-out.
std::string fileWithOnePair(const std::string& job, const std::string& value, const std::string& timeout) {
  std::string text = R"({
    "<job>": {
        "updater": {
            "stage": "<value>"
        }
    },
    "__serviceConfig__": {
        "velmerd": {
            "autoDeleteTimeout": "<timeout>"
        }
    }
})";
  for (const auto& [placeholder, replacement] : {std::pair{"<job>", job}, {"<value>", value}, {"<timeout>", timeout}})
    text.replace(text.find(placeholder), std::string_view(placeholder).size(), replacement);
  return text;
}

TEST_F(KeyValueStore, WriteAndReadAnswerEachStatusAndTheFileFollowsByteForByte) {
  // The job need not exist, but the start-up check would drop it: write after that.
  ASSERT_TRUE(waitForLog(kRestoreDone, kBackupStepTimeout));
  const std::string job = "JID_000000000001";
  ASSERT_EQ(write(job, "stage", "updater", "2"), 0);
  EXPECT_EQ(file(), fileWithOnePair(job, "2", "172800"));
  EXPECT_EQ(read(job, "updater", "stage"), std::make_tuple(uint16_t{0}, std::string("2")));
  EXPECT_EQ(read(job, "updater", "other"), std::make_tuple(uint16_t{50}, std::string()));
  EXPECT_EQ(read(job, "nobody", "stage"), std::make_tuple(uint16_t{1}, std::string()));
  EXPECT_EQ(read("JID_000000000404", "updater", "stage"), std::make_tuple(uint16_t{1}, std::string()));

  ASSERT_EQ(write(job, "stage", "updater", "3"), 0);
  EXPECT_EQ(store(), (BlobKeyValue{{job, {{"updater", {{"stage", "3"}}}}}}));
  ASSERT_EQ(client().callMain<uint16_t>("ConfigureJobStoreAutoDeletionPolicy", uint16_t{3600}), 0);
  EXPECT_EQ(file(), fileWithOnePair(job, "3", "3600"));
  EXPECT_FALSE(std::filesystem::exists(layout::keyValueFile(root()).string() + ".tmp"));

  // A deleted job takes its pairs with it, once the backup thread has removed it.
  const std::string deleted = createJob("Deleted with its pairs");
  ASSERT_EQ(write(deleted, "k", "c", "v"), 0);
  auto [status, data, code] = client().callMain<uint16_t, std::string, uint16_t>(
      "JobServDelete", std::vector<std::string>{deleted}, uint16_t{1}, uint16_t{0});
  ASSERT_EQ(code, 0) << data;
  EXPECT_TRUE(waitUntil([&] { return !store().contains(deleted); }, kBackupStepTimeout));
  EXPECT_TRUE(waitUntil([&] { return file() == fileWithOnePair(job, "3", "3600"); }, kBackupStepTimeout)) << file();
}

TEST_F(KeyValueStore, RestartKeepsPairsOfRestoredJobsAndOnlyAValidTimeout) {
  const std::string job = createJob("Keeps its pairs");
  const std::string gone = "JID_000000000404";
  ASSERT_EQ(write(job, "stage", "updater", "2"), 0);
  ASSERT_EQ(write(gone, "stage", "updater", "9"), 0);
  ASSERT_EQ(client().callMain<uint16_t>("ConfigureJobStoreAutoDeletionPolicy", uint16_t{3600}), 0);

  const size_t logStart = readLog().size();
  restartAndAwaitRestore();
  EXPECT_EQ(store(), (BlobKeyValue{{job, {{"updater", {{"stage", "2"}}}}}}))
      << "entries of jobs that are gone and the reserved member leave the property";
  EXPECT_EQ(client().mainProperty<uint32_t>("autoDeleteTimeout"), 3600u);
  EXPECT_EQ(file(), fileWithOnePair(job, "2", "3600"));
  EXPECT_NE(readLog(logStart).find("Job ID: " + gone + " is not available"), std::string::npos);

  struct Case {
    const char* timeout;  // the member's JSON text
    uint32_t expected;
  };
  const Case cases[] = {{R"("0")", 172800},        {"600", 172800},        {R"("60" broken)", 172800},
                        {R"(" 600")", 172800},      {R"("600abc")", 172800}, {R"("4294967896")", 172800},
                        {R"("600")", 600}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.timeout);
    killDaemon();
    std::ofstream(layout::keyValueFile(root()))
        << R"({"__serviceConfig__": {"velmerd": {"autoDeleteTimeout": )" << c.timeout << "}}}";
    startDaemon();
    EXPECT_EQ(client().mainProperty<uint32_t>("autoDeleteTimeout"), c.expected);
  }

  // Escapes of characters that no D-Bus string may hold are made valid on restore.
  killDaemon();
  std::ofstream(layout::keyValueFile(root())) << R"({")" << job << R"(": {"c": {"k\ufdd0": "v\uffff"}}})";
  startAndAwaitRestore();
  EXPECT_EQ(store(), (BlobKeyValue{{job, {{"c", {{"k???", "v???"}}}}}}));
}

}  // namespace
}  // namespace velmer::e2e
