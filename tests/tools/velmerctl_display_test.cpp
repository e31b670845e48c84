// velmerctl's display logic without a bus: tables fitted to the terminal, the values
// that mean "not given", and the reply codes whose meaning depends on the method.
#include <gtest/gtest.h>

#include <sstream>

#include "display.hpp"
#include "reply_codes.hpp"

namespace velmerctl {
namespace {

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

TEST(VelmerctlTable, NarrowTerminalCutsThenDropsColumnsButNeverTheID) {
  const std::vector<Column> columns = {{"ID"}, {"NAME", true, 2}, {"STATE"}, {"START", false, 1}, {"STATUS", true}};
  const std::vector<Row> rows = {
      {"JID_000000000001", "Firmware Update: BIOS of the second riser", "running", "2026-12-06 03:00:00",
       "Downloading the package from the share"},
      {"JID_000000000002", "x", "new", "-", "New"}};
  // The terminal's width and the columns shown.
  const std::pair<size_t, std::vector<std::string>> cases[] = {
      {80, {"ID", "NAME", "STATE", "START", "STATUS"}},  // cut, nothing dropped
      {52, {"ID", "STATE", "START", "STA…"}},
      {51, {"ID", "STATE", "STATUS"}},
      {10, {"ID", "STATE", "STA…"}},  // too narrow even so: left to wrap
  };
  for (const auto& [width, titles] : cases) {
    std::vector<std::string> lines = linesOf(renderTable(columns, rows, width));
    ASSERT_EQ(lines.size(), 3u) << width;
    std::istringstream header(lines[0]);
    std::vector<std::string> shown{std::istream_iterator<std::string>(header), {}};
    EXPECT_EQ(shown, titles) << width;
    EXPECT_TRUE(lines[1].starts_with("JID_000000000001  ")) << width;
    for (const std::string& line : lines) {
      if (width > 10) {
        EXPECT_LE(displayWidth(line), width) << width << ": " << line;
      }
      EXPECT_FALSE(line.ends_with(" ")) << width << ": " << line;
    }
  }
}

TEST(VelmerctlValues, SentinelsReadAsNotGivenAndCodesAsTheAnsweringMethodMeansThem) {
  const std::pair<std::string, std::string> shown[] = {
      {formatTime(0), "-"},           {formatTime(4294967295), "TIME_NA"}, {formatTime(-2), "Next Reboot"},
      {formatStart(0), "TIME_NOW"},   {formatTimeCompact(4294967295), "TIME_NA"},
      {formatPercent(254), "-"},      {progressBar(254, 4), "[----]"},     {progressBar(150, 4), "[####]"},
      {meaningOf(Method::Update, 37), "no such job, or its properties could not be written"},
      {meaningOf(Method::Delete, 18), meaningOf(Method::Schedule, 18)}};
  for (const auto& [actual, expected] : shown) EXPECT_EQ(actual, expected);
  EXPECT_EQ(formatTimeCompact(1767225600).size(), 11u);  // "MM-DD hh:mm"
  EXPECT_NE(meaningOf(Method::Delete, 37), meaningOf(Method::Update, 37));

  const std::pair<const char*, std::optional<uint32_t>> states[] = {
      {"running", 3u}, {"9", 9u}, {"runnin", std::nullopt}, {"", std::nullopt}};
  for (const auto& [text, state] : states) EXPECT_EQ(parseState(text), state) << text;
  // A refusal carried in the code, and success, are shown by the end-to-end velmerctl test;
  // here a refusal carried in the status alone.
  EXPECT_EQ(reasonOf({37, "QID_000000000001", 0}), 37);
}

}  // namespace
}  // namespace velmerctl
