// velmerctl against the sandbox, run as an operator runs it: a child process on the
// private bus (--address), judged by its output and its exit status.
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "job_fixture.hpp"

namespace velmer::e2e {
namespace {

class Velmerctl : public JobTest {
 protected:
  // Output to a file holds whole values, however narrow COLUMNS says a terminal is.
  // Times are shown in UTC.
  void SetUp() override {
    setenv("COLUMNS", "20", 1);
    setenv("TZ", "UTC0", 1);
    JobTest::SetUp();
  }

  struct Run {
    ExitStatus status;
    std::string output;  // standard output and standard error
  };

  ChildProcess start(const std::vector<std::string>& args, const std::filesystem::path& log) {
    std::vector<std::string> argv = {VELMERCTL_COMMAND, "--address", busAddress()};
    argv.insert(argv.end(), args.begin(), args.end());
    return ChildProcess(argv, log.string());
  }

  // The log is appended to: each run starts it afresh.
  Run run(const std::vector<std::string>& args) {
    const std::filesystem::path log = root() / "velmerctl.log";
    std::filesystem::remove(log);
    ChildProcess process = start(args, log);
    std::optional<ExitStatus> status = process.waitForExit(10s);
    return {status.value_or(-1000), readFile(log)};
  }
};

TEST_F(Velmerctl, ShowsJobsAsTableAndJsonFollowsThemAndAnswersWithTheReplyCodesMeaning) {
  std::string running = createJob("BIOS configuration", 61);
  std::string fresh = createJob("RAID configuration", 60);
  ASSERT_EQ(update(running, 3, 40, "Running"), 0);
  ASSERT_EQ(setJob(running, {{"startTime", kIn2040}, {"untilTime", kIn2099}}), 0);

  // The arguments, the exit status, texts the output holds and texts it must not hold.
  using Strings = std::vector<std::string>;
  const std::tuple<Strings, ExitStatus, Strings, Strings> cases[] = {
      {{"list"}, 0, {"ID", running + "  BIOS configuration  61    running  40%", fresh + "  RAID configuration  60"}, {}},
      {{"show", running}, 0, {"jobStatus               Running", "percentComplete         40  (40%)",
                              "2209006800  (2040-01-01 05:00:00)", "4102444799  (2099-12-31 23:59:59)"}, {}},
      // Options left out leave their fields as they are.
      {{"update", running, "--percent", "60"}, 0, {"updated " + running}, {}},
      {{"list", "--state", "running"}, 0, {"configuration  61    running  60%   Running"}, {fresh}},
      {{"create", "", "1"}, 1, {"velmerctl create: the job name is empty (code 4)"}, {}},
      {{"delete", "JID_000000000000"}, 1, {"JID_000000000000: no such job", "(code 1)"}, {}},
      {{"kv", "get", running, "nobody", "stage"}, 1, {"no entry for this job ID and caller (code 1)"}, {}},
      {{"update", running, "--state", "sideways"}, 2, {"not a job state: sideways"}, {}},
  };
  for (const auto& [args, status, shown, notShown] : cases) {
    Run result = run(args);
    std::string call = ::testing::PrintToString(args) + " gave:\n" + result.output;
    EXPECT_EQ(result.status, status) << call;
    for (const std::string& text : shown) EXPECT_NE(result.output.find(text), std::string::npos) << text << " in " << call;
    for (const std::string& text : notShown) EXPECT_EQ(result.output.find(text), std::string::npos) << text << " in " << call;
  }

  Run json = run({"list", "--json"});
  ASSERT_EQ(json.status, 0) << json.output;
  std::map<std::string, nlohmann::json> byId;
  for (const auto& job : nlohmann::json::parse(json.output)) byId[job["id"]] = job;
  EXPECT_EQ(byId.size(), 2u) << json.output;
  EXPECT_EQ(byId[running]["jobState"], 3) << json.output;
  EXPECT_EQ(byId[fresh]["percentComplete"], 254) << json.output;

  // A watch follows a job through its reports and ends when the job finishes.
  const std::filesystem::path log = root() / "watch.log";
  ChildProcess watch = start({"watch", fresh}, log);
  auto shows = [&](const std::string& text) {
    return waitUntil([&] { return readFile(log).find(text) != std::string::npos; }, 10s);
  };
  ASSERT_TRUE(shows(fresh + "  new")) << readFile(log);
  ASSERT_EQ(update(fresh, 3, 50, "Downloading"), 0);
  ASSERT_TRUE(shows("running     [###############---------------]   50%  Downloading")) << readFile(log);
  ASSERT_EQ(update(fresh, 4, 100, "Completed"), 0);
  EXPECT_EQ(watch.waitForExit(10s), 0) << readFile(log);
  EXPECT_NE(readFile(log).find("finished    [##############################]  100%  Completed"), std::string::npos) << readFile(log);

  // Neither a bus that cannot be reached nor a bus without the job manager is a refusal.
  EXPECT_EQ(run({"--address", "unix:path=" + (root() / "no.socket").string(), "status"}).status, 3);
  stopDaemon();
  Run absent = run({"status"});
  EXPECT_EQ(absent.status, 3) << absent.output;
  EXPECT_NE(absent.output.find("is not on the bus"), std::string::npos) << absent.output;
}

}  // namespace
}  // namespace velmer::e2e
