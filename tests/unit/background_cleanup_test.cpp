#include "cleanup/background_cleanup.hpp"

#include "temp_root.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace velmer {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytesOf(const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  return Bytes(bytes, bytes + size);
}

Bytes littleEndian(uint64_t value, size_t width) {
  Bytes bytes;
  for (size_t i = 0; i < width; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
  return bytes;
}

uint64_t addressAt(const Bytes& record, size_t offset) {
  uint64_t address = 0;
  std::memcpy(&address, record.data() + offset, sizeof address);
  return address;
}

std::vector<uint32_t> wideText(uint64_t address, size_t units) {
  const auto* text = reinterpret_cast<const uint32_t*>(static_cast<uintptr_t>(address));
  return std::vector<uint32_t>(text, text + units);
}

std::vector<nlohmann::json> jsonLines(const std::filesystem::path& path) {
  std::vector<nlohmann::json> lines;
  std::istringstream text(readText(path));
  for (std::string line; std::getline(text, line);) lines.push_back(nlohmann::json::parse(line));
  return lines;
}

const nlohmann::json kSync = {{"command", 0xC0000001u}};
nlohmann::json cancelOf(const std::string& jobID) { return {{"command", 0xC0000002u}, {"jobId", jobID}}; }

TEST(DcsRecords, SyncAndCancelRequestsHaveTheFortyByteLayout) {
  const EFI_DCS_REQUEST sync = makeDcsSyncRequest();
  const Bytes syncBytes = bytesOf(&sync, sizeof sync);
  ASSERT_EQ(syncBytes.size(), 40u);
  EXPECT_EQ(Bytes(syncBytes.begin(), syncBytes.begin() + 4), littleEndian(2, 4));
  EXPECT_EQ(Bytes(syncBytes.begin() + 4, syncBytes.begin() + 16), Bytes(12, 0));
  EXPECT_EQ(Bytes(syncBytes.begin() + 16, syncBytes.begin() + 20), littleEndian(4, 4));
  EXPECT_EQ(wideText(addressAt(syncBytes, 20), 4), (std::vector<uint32_t>{'A', 'l', 'l', 0}));
  EXPECT_EQ(Bytes(syncBytes.begin() + 28, syncBytes.end()), Bytes(12, 0));

  std::array<EFI_DCS_CHAR, kDcsJobIdUnits> wide{};
  const EFI_DCS_REQUEST cancel = makeDcsCancelRequest(wide.data());
  const Bytes cancelBytes = bytesOf(&cancel, sizeof cancel);
  EXPECT_EQ(Bytes(cancelBytes.begin(), cancelBytes.begin() + 4), littleEndian(2, 4));
  EXPECT_EQ(Bytes(cancelBytes.begin() + 4, cancelBytes.begin() + 16), Bytes(12, 0));
  EXPECT_EQ(Bytes(cancelBytes.begin() + 16, cancelBytes.begin() + 20), littleEndian(1024, 4));
  EXPECT_EQ(addressAt(cancelBytes, 20), addressAt(syncBytes, 20));
  EXPECT_EQ(addressAt(cancelBytes, 28), reinterpret_cast<uintptr_t>(wide.data()));
  EXPECT_EQ(Bytes(cancelBytes.begin() + 36, cancelBytes.end()), Bytes(4, 0));
}

TEST(DcsRecords, ProtocolGuidIsStoredInTheEfiByteOrder) {
  const EFI_GUID guid = EFI_DCS_PROTOCOL_GUID;
  EXPECT_EQ(bytesOf(&guid, sizeof guid), (Bytes{0x2A, 0x55, 0x1B, 0x99, 0x14, 0x28, 0x0E, 0x44, 0x89, 0xB9, 0xF7, 0x54,
                                                0xAF, 0x4E, 0xA5, 0xBC}));
}

TEST(DcsRecords, JobIdIsCutToTwentyUnitsBeforeItsTerminator) {
  std::array<EFI_DCS_CHAR, kDcsJobIdUnits> wide;
  auto units = [&](const char* jobID) {
    wide.fill(0xEEEEEEEE);  // what is not written stays visible
    fillDcsJobId(wide.data(), jobID);
    return std::vector<uint32_t>(wide.begin(), wide.end());
  };
  std::vector<uint32_t> expected(wide.size(), 0xEEEEEEEE);
  const std::string twenty = "JID_0000000000001234";
  std::copy(twenty.begin(), twenty.end(), expected.begin());
  expected[20] = 0;
  EXPECT_EQ(units("JID_0000000000001234567"), expected);
  EXPECT_EQ(units("JID_0000000000001234"), expected);

  std::vector<uint32_t> shortID(wide.size(), 0xEEEEEEEE);
  shortID[0] = 'J';
  shortID[1] = 0;
  EXPECT_EQ(units("J"), shortID);
  // Bytes above 0x7F become units of their own value, never sign-extended.
  EXPECT_EQ(units("\xC3\xA9")[0], 0xC3u);
}

TEST(DcsCancelList, SkipsEveryLeadingPartOfTheClearAllWordsAndNothingElse) {
  for (const char* skipped : {"JID_CLEARALL", "JID_CLEARALL_FORCE", "JID_CLEARALL_F", "JID_", "J", ""})
    EXPECT_TRUE(dcsCancelSkips(skipped)) << skipped;
  for (const char* cancelled : {"JID_000000000001", "JID_CLEARALL_FORCEX", "JID_CLEARALLX", "jid_clearall", "RID_"})
    EXPECT_FALSE(dcsCancelSkips(cancelled)) << cancelled;
}

TEST(BackgroundCleanup, ForcedClearAllSyncsCancelsTheJobsSyncsAndRestartsTheDataManagerOnce) {
  TempRoot root;
  JS_CleanupInBackground({"JID_CLEARALL", "JID_000000000001", "JID_000000000002_and_more"}, 1);
  waitForBackgroundCleanups();

  EXPECT_EQ(jsonLines(root.dir() / "var/log/velmer/dcs.jsonl"),
            (std::vector<nlohmann::json>{kSync, cancelOf("JID_000000000001"), cancelOf("JID_000000000002_and"), kSync}));
  EXPECT_EQ(jsonLines(root.dir() / "var/log/velmer/funcbroker.jsonl"),
            (std::vector<nlohmann::json>{{{"function", "privhelperd_restart_DM"}, {"timeout", 5000}}}));
}

TEST(BackgroundCleanup, OrdinaryDeletionsNeverRestartTheDataManagerAndRunSideBySide) {
  TempRoot root;
  JS_CleanupInBackground({"JID_000000000001"}, 0);
  JS_CleanupInBackground({"JID_CLEARALL"}, 0);
  JS_CleanupInBackground({}, 0);
  waitForBackgroundCleanups();

  const auto lines = jsonLines(root.dir() / "var/log/velmer/dcs.jsonl");
  EXPECT_EQ(std::count(lines.begin(), lines.end(), kSync), 6);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), cancelOf("JID_000000000001")), 1);
  EXPECT_EQ(lines.size(), 7u);
  EXPECT_FALSE(std::filesystem::exists(root.dir() / "var/log/velmer/funcbroker.jsonl"));
}

}  // namespace
}  // namespace velmer
