#include "jobcache.h"

#include "temp_root.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

namespace {

std::vector<nlohmann::json> journalLines(const TempRoot& root) {
  std::istringstream text(readText(root.dir() / "var/log/velmer/jobcache.jsonl"));
  std::vector<nlohmann::json> lines;
  for (std::string line; std::getline(text, line);) lines.push_back(nlohmann::json::parse(line));
  return lines;
}

JobInfoObj job(const std::string& id) {
  JobInfoObj job{};
  id.copy(job.jsJobID, sizeof job.jsJobID - 1);
  return job;
}

}  // namespace

TEST(JobCache, JournalsEachChangeAsOneLineWithinFieldWidths) {
  TempRoot root;  // the journal's directory does not exist yet
  EXPECT_NE(add_job_to_cache_new(nullptr), 0);
  EXPECT_NE(add_queue_to_cache_new(nullptr), 0);
  EXPECT_NE(remove_job_from_cache(nullptr), 0);
  EXPECT_NE(remove_queue_from_cache(nullptr), 0);

  JobInfoObj full = job("JID_000000000001");
  std::memset(full.jobName, 'n', sizeof full.jobName);  // no NUL: must not read into message
  std::memset(full.message, 'm', sizeof full.message);
  std::strcpy(full.jobStatus, "New");
  full.jobState = 3;
  EXPECT_EQ(add_job_to_cache_new(&full), 0);
  auto queue = std::make_unique<JobQueueInfoObj>();
  std::memset(queue->jsQueueID, 'Q', sizeof queue->jsQueueID);
  queue->itemCount = 1000;  // more than the array holds
  for (auto& item : queue->jobQueueItem) std::strcpy(item, "JID_000000000001");
  EXPECT_EQ(add_queue_to_cache_new(queue.get()), 0);
  EXPECT_EQ(remove_job_from_cache("JID_000000000001"), 0);
  EXPECT_EQ(remove_queue_from_cache("QID_never_added"), 0);
  setenv("JOBCACHE_ROLE", "creator", 1);
  EXPECT_EQ(JOBCACHE_UpdateJobInfoFromDBus(), 0);
  unsetenv("JOBCACHE_ROLE");
  EXPECT_EQ(JOBCACHE_UpdateQueueInfoFromDBus(), 0);

  auto lines = journalLines(root);
  ASSERT_EQ(lines.size(), 6u) << "null arguments change nothing";
  EXPECT_EQ(lines[0].dump(), R"({"id":"JID_000000000001","jobName":")" + std::string(100, 'n') +
                                 R"(","jobState":3,"jobStatus":"New","op":"add_job"})");
  EXPECT_EQ(lines[1]["id"], std::string(32, 'Q'));
  EXPECT_EQ(lines[1]["itemCount"], 1000);
  EXPECT_EQ(lines[1]["items"].size(), 256u);
  EXPECT_EQ(lines[2], (nlohmann::json{{"op", "remove_job"}, {"id", "JID_000000000001"}}));
  EXPECT_EQ(lines[3], (nlohmann::json{{"op", "remove_queue"}, {"id", "QID_never_added"}}));
  EXPECT_EQ(lines[4], (nlohmann::json{{"op", "refresh_jobs"}, {"role", "creator"}}));
  EXPECT_EQ(lines[5], (nlohmann::json{{"op", "refresh_queues"}, {"role", nullptr}}));

  char jobId[33] = "JID_000000000001";
  int32_t result = -7;
  EXPECT_NE(JOBCACHE_UpdateServiceDDFSCall("updsched_delete_job", jobId, sizeof jobId, &result, sizeof result), 0);
  EXPECT_EQ(result, -7) << "no update service: the output stays untouched";
}

TEST(JobCache, TwoThreadsAddingAndRemovingKeepEveryLineWhole) {
  TempRoot root;
  constexpr int kJobsPerThread = 200;
  auto addAndRemove = [](char prefix) {
    for (int i = 0; i < kJobsPerThread; ++i) {
      JobInfoObj added = job(prefix + std::to_string(i));
      add_job_to_cache_new(&added);
      remove_job_from_cache(added.jsJobID);
    }
  };
  std::thread first(addAndRemove, 'A');
  std::thread second(addAndRemove, 'B');
  first.join();
  second.join();

  auto lines = journalLines(root);  // a torn line would not parse
  ASSERT_EQ(lines.size(), 4u * kJobsPerThread);
  std::set<std::string> added;
  for (const auto& line : lines) {
    std::string id = line["id"];
    if (line["op"] == "add_job") EXPECT_TRUE(added.insert(id).second) << id;
    else EXPECT_EQ(added.count(id), 1u) << "removed before added: " << id;
  }
}
