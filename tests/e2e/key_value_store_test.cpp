// The job key-value store over the bus: the method statuses, the file byte for byte,
// what a restart keeps of pairs and of the automatic-deletion time-out, the file's bound,
// files that cannot be kept whole, and writes the file cannot take.
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <utility>

#include <sdbus-c++/sdbus-c++.h>

#include <nlohmann/json.hpp>

#include "child_process.hpp"
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
// The largest key-value file the daemon reads.
constexpr size_t kReaderBound = 4 * 1024 * 1024;

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
  EXPECT_TRUE(waitUntil([&] { return file() == fileWithOnePair(job, copying, "3600"); }, 5s)) << file();

  // The member's JSON text, and the time-out it gives: what comes before damage is read.
  const std::pair<const char*, uint32_t> timeouts[] = {
      {R"("0")", 172800},      {"600", 172800},          {R"("60" broken)", 60},
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

TEST_F(KeyValueStore, TheFileNeverOutgrowsItsReaderAndOneThatCannotBeKeptWholeIsSetAsideNotWrittenOver) {
  ASSERT_TRUE(waitForLog(kRestoreDone, kBackupStepTimeout));
  const std::string jobs[] = {createJob("A"), createJob("B"), createJob("C")};
  // A control character takes six bytes in the file: 192 values of them, each within
  // every limit, would make a file the reader refuses. Most come in one call.
  const std::string controls(4096, '\x01');
  BlobKeyValue stored;
  int count = 0;
  for (; count < 150; ++count) stored[jobs[count / 64]]["c"][std::to_string(count)] = controls;
  ASSERT_EQ(setMain({{"blobKeyValue", sdbus::Variant(stored)}}), 0);
  for (; count < 192 && write(jobs[count / 64], std::to_string(count), "c", controls) == 0; ++count)
    stored[jobs[count / 64]]["c"][std::to_string(count)] = controls;
  EXPECT_LT(count, 192);
  EXPECT_TRUE(store() == stored) << "the refused write left nothing";  // (not printed: megabytes)
  const std::string full = file();
  EXPECT_LE(full.size(), kReaderBound);
  ASSERT_TRUE(waitUntilBackupMatchesBus());
  restartAndAwaitRestore(SIGKILL);  // a write's reply comes after its file is synced
  EXPECT_TRUE(store() == stored);

  // An older daemon's file, too large to read, and one damaged after a pair and the
  // time-out: each is set aside under a name of its own, and what can be read is kept.
  const auto path = root() / layout::kKeyValueFile;
  const std::string tooLarge = std::string(kReaderBound, ' ') + full;
  const std::string damaged = R"({"__serviceConfig__": {"velmerd": {"autoDeleteTimeout": "900"}}, ")" + jobs[1] +
                              R"(": {"c": {"k": "v", "l": 5}, "d": {"k": )";
  const std::pair<std::string, BlobKeyValue> files[] = {{tooLarge, {}},
                                                        {damaged, {{jobs[1], {{"c", {{"k", "v"}}}, {"d", {}}}}}}};
  for (const auto& [text, kept] : files) {
    killDaemon();
    std::ofstream(path) << text;
    const size_t logStart = readLog().size();
    startAndAwaitRestore();
    EXPECT_EQ(store(), kept);
    EXPECT_EQ(occurrences(readLog(logStart), "L1/M8 [restoreBlobKeyValue]: "), 1u);
    ASSERT_EQ(write(jobs[0], "k", "c", "v"), 0);
  }
  EXPECT_EQ(client().mainProperty<uint32_t>("autoDeleteTimeout"), 900u);
  EXPECT_TRUE(readFile(path.string() + ".unreadable") == tooLarge);
  EXPECT_EQ(readFile(path.string() + ".unreadable.1"), damaged);
}

TEST_F(KeyValueStore, AWriteTheFileCannotTakeIsRefusedAndTakenBackAndAChangeNobodyAwaitsIsRetried) {
  ASSERT_TRUE(waitForLog(kRestoreDone, kBackupStepTimeout));
  const std::string job = createJob("Kept");
  ASSERT_EQ(write(job, "stage", "updater", "1"), 0);
  const std::string before = file();
  // Where the new file is written first: a directory there fails every write, even root's.
  const auto blocker = (root() / layout::kKeyValueFile).string() + ".tmp";
  std::filesystem::create_directory(blocker);
  EXPECT_EQ(write(job, "stage", "updater", "2"), 1);
  EXPECT_EQ(write(job, "other", "newcomer", "x"), 1);
  EXPECT_EQ(write("JID_000000000404", "k", "c", "v"), 1);
  EXPECT_EQ(client().callMain<uint16_t>("ConfigureJobStoreAutoDeletionPolicy", uint16_t{600}), 1);
  EXPECT_EQ(store(), (BlobKeyValue{{job, {{"updater", {{"stage", "1"}}}}}}));
  EXPECT_EQ(client().mainProperty<uint32_t>("autoDeleteTimeout"), 172800u);

  const size_t logStart = readLog().size();
  client().setMainProperty("autoDeleteTimeout", sdbus::Variant(uint32_t{900}));
  EXPECT_TRUE(waitForLog("L1/M8 [persistBlobKeyValue]: the key-value file was not written", 5s, logStart));
  EXPECT_EQ(file(), before);
  std::filesystem::remove(blocker);
  EXPECT_TRUE(waitUntil([&] { return file() == fileWithOnePair(job, "1", "900"); }, 10s));
}

}  // namespace
}  // namespace velmer::e2e
