// velmer-dump on the files the daemon wrote: every object of a whole file with exit
// status 0; for a damaged copy, the objects before the damage, where and why reading
// stopped, and exit status 1.
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "child_process.hpp"
#include "persistence_fixture.hpp"
#include "queue_execution_peer.hpp"

namespace velmer::e2e {
namespace {

const std::filesystem::path kLegacyFile = "flash/data1/jqlegacy/jobbackup/jobsandqueues.jnqbkp";

struct DumpResult {
  ExitStatus status = -1;
  nlohmann::json json;
};

class VelmerDump : public PersistenceTest {
 protected:
  DumpResult dump(const std::filesystem::path& file) {
    const auto output = root() / "dump.json";
    std::filesystem::remove(output);
    ChildProcess tool({VELMER_DUMP_BINARY, file.string()}, output.string());
    const auto status = tool.waitForExit(kBackupStepTimeout);
    if (!status) return {};
    return {*status, nlohmann::json::parse(readFile(output), nullptr, false)};
  }

  std::filesystem::path writeCopy(std::string bytes) {
    const auto path = root() / "copy.jnqbkp";
    layout::writeBytes(path, layout::Bytes(bytes.begin(), bytes.end()));
    return path;
  }
};

TEST_F(VelmerDump, DecodesTheDaemonsFilesAndSaysWhereADamagedCopyStops) {
  QueueExecutionPeer scheduler(root());
  const std::string first = createJob("Dump one"), second = createJob("Dump two \u00e9");
  const std::string queue = scheduleNow({first, second});
  ASSERT_TRUE(waitUntilBackupMatchesBus());
  const auto jobs = jobsOnBus();

  const DumpResult whole = dump(layout::backupFile(root()));
  EXPECT_EQ(whole.status, 0);
  EXPECT_EQ(whole.json["format"], "backup");
  EXPECT_EQ(whole.json["complete"], true);
  ASSERT_EQ(whole.json["objects"].size(), 3u) << whole.json.dump(2);
  for (size_t i = 0; i < 2; ++i) {
    const auto& job = whole.json["objects"][i]["job"];
    const JobInfoRecord& onBus = jobs.at(job["jsJobID"].get<std::string>());
    EXPECT_EQ(job["jobName"], onBus.jobName);
    EXPECT_EQ(job["jobStatus"], onBus.jobStatus);
    EXPECT_EQ(job["creationTime"], onBus.creationTime);
    EXPECT_EQ(job["flags"], onBus.flags);
  }
  EXPECT_EQ(whole.json["objects"][2]["offset"], 2 * 1896);
  EXPECT_EQ(whole.json["objects"][2]["queue"]["jsQueueID"], queue);
  EXPECT_EQ(whole.json["objects"][2]["queue"]["jobQueueItem"], (std::vector<std::string>{first, second}));

  ASSERT_TRUE(waitUntil([&] { return dump(root() / kLegacyFile).json["objects"].size() == 3; }, kBackupStepTimeout));
  const DumpResult legacy = dump(root() / kLegacyFile);
  EXPECT_EQ(legacy.status, 0);
  EXPECT_EQ(legacy.json["format"], "legacy");
  EXPECT_EQ(legacy.json["objects"][1]["job"]["jobName"], "Dump two \u00e9");

  std::string backup = readFile(layout::backupFile(root()));
  std::string badSignature = backup, badSize = backup;
  badSignature[1896 + 3] = 'X';
  badSize[1896 + 12] = 0x59;  // object_size 1881
  struct Case {
    const char* damage;
    std::string bytes;
    uint64_t offset;
    const char* field;
  };
  const Case cases[] = {
      {"truncated inside the second job", backup.substr(0, 1896 + 1000), 1896 + 16, "record"},
      {"bad signature of the second job", badSignature, 1896, "signature"},
      {"bad size of the second job", badSize, 1896 + 12, "object_size"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.damage);
    const DumpResult damaged = dump(writeCopy(c.bytes));
    EXPECT_EQ(damaged.status, 1);
    EXPECT_EQ(damaged.json["complete"], false);
    ASSERT_EQ(damaged.json["objects"].size(), 1u);
    EXPECT_EQ(damaged.json["objects"][0]["offset"], 0);
    EXPECT_EQ(damaged.json["damage"]["offset"], c.offset);
    EXPECT_EQ(damaged.json["damage"]["field"], c.field);
  }
}

}  // namespace
}  // namespace velmer::e2e
