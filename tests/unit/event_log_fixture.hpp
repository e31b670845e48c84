// A temporary sandbox root for tests of the event log and the message registry: the
// events written under it, a registry file placed in it, and the trace lines of a call.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "evtwrap.h"
#include "paths.hpp"
#include "trace.h"

class EventLogFixture : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "velmer-events-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    velmer::paths::setRoot(root_.string());
  }

  void TearDown() override {
    velmer::paths::setRoot("");
    std::filesystem::remove_all(root_);
  }

  // Every event written so far, in order.
  std::vector<nlohmann::json> events() const {
    std::vector<nlohmann::json> result;
    std::ifstream in(velmer::paths::resolve(velmer::paths::kEventLogFile));
    for (std::string line; std::getline(in, line);) result.push_back(nlohmann::json::parse(line));
    return result;
  }

  nlohmann::json onlyEvent() const {
    const std::vector<nlohmann::json> all = events();
    EXPECT_EQ(all.size(), 1u);
    return all.empty() ? nlohmann::json() : all.back();
  }

  void writeRegistry(const std::string& content) const {
    const std::filesystem::path file = velmer::paths::resolve(velmer::paths::kMessageRegistryFile);
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << content;
  }

  // The trace lines, at every level, that `action` writes.
  template <typename Action>
  static std::string traceOf(Action action) {
    const int saved = trace_get_threshold();
    trace_set_threshold(9);
    testing::internal::CaptureStderr();
    action();
    std::string lines = testing::internal::GetCapturedStderr();
    trace_set_threshold(saved);
    return lines;
  }

  std::filesystem::path root_;
};

// `args` as a message-arguments buffer of exactly the bytes it takes.
inline std::vector<char> packArgs(const std::vector<const char*>& args) {
  std::vector<char> buffer(4096);
  uint32_t length = static_cast<uint32_t>(buffer.size());
  EXPECT_EQ(EVTWRAPBuildMsgArgsBuffer(args.data(), static_cast<int>(args.size()), buffer.data(), &length), 0);
  buffer.resize(length);
  return buffer;
}

// Does `lines` hold a trace line ending with `level/mask text`?
inline bool hasTraceLine(const std::string& lines, const std::string& levelMaskAndText) {
  return lines.find(" " + levelMaskAndText + "\n") != std::string::npos;
}
