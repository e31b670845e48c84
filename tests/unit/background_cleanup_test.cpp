// The firmware-interface records of the background clean-up, byte for byte: the
// end-to-end tests see only the commands the stand-in journals, not these bytes.
#include "cleanup/background_cleanup.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "temp_root.hpp"

namespace velmer {
namespace {

using Bytes = std::vector<uint8_t>;

template <class Record>
Bytes bytesOf(const Record& record) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&record);
  return Bytes(bytes, bytes + sizeof record);
}

uint64_t numberAt(const Bytes& bytes, size_t offset, size_t width) {
  uint64_t value = 0;
  std::memcpy(&value, bytes.data() + offset, width);
  return value;
}

// 40 bytes: version 2, 12 zero bytes, the output size, the address of L"All", the address
// of the job ID (cancel only), and zeros.
TEST(DcsRecords, SyncAndCancelRequestsHaveTheFortyByteLayout) {
  std::array<EFI_DCS_CHAR, kDcsJobIdUnits> wide{};
  const Bytes sync = bytesOf(makeDcsSyncRequest()), cancel = bytesOf(makeDcsCancelRequest(wide.data()));
  const uint64_t all = numberAt(sync, 20, 8);
  const auto* units = reinterpret_cast<const uint32_t*>(static_cast<uintptr_t>(all));
  EXPECT_EQ(std::vector<uint32_t>(units, units + 4), (std::vector<uint32_t>{'A', 'l', 'l', 0}));
  ByteTable expectedSync(40), expectedCancel(40);
  expectedSync.num(0, 2, 4).num(16, 4, 4).num(20, all, 8);
  expectedCancel.num(0, 2, 4).num(16, 1024, 4).num(20, all, 8).num(28, reinterpret_cast<uintptr_t>(wide.data()), 8);
  EXPECT_EQ(sync, expectedSync.b);
  EXPECT_EQ(cancel, expectedCancel.b);
}

TEST(DcsRecords, JobIdIsCutToTwentyUnitsBeforeItsTerminatorAndNeverSignExtended) {
  const auto units = [](const char* jobID) {
    std::array<EFI_DCS_CHAR, kDcsJobIdUnits> wide;
    wide.fill(0xEEEEEEEE);  // what is not written stays visible
    fillDcsJobId(wide.data(), jobID);
    return std::vector<uint32_t>(wide.begin(), wide.end());
  };
  std::vector<uint32_t> twenty(kDcsJobIdUnits, 0);
  const std::string id = "JID_0000000000001234";
  std::copy(id.begin(), id.end(), twenty.begin());
  EXPECT_EQ(units("JID_0000000000001234567"), twenty);
  EXPECT_EQ(units("JID_0000000000001234"), twenty);
  EXPECT_EQ(units("\xC3\xA9")[0], 0xC3u);
}

TEST(DcsCancelList, SkipsEveryLeadingPartOfTheClearAllWordsAndNothingElse) {
  for (const char* skipped : {"JID_CLEARALL", "JID_CLEARALL_FORCE", "JID_CLEARALL_F", "JID_", "J", ""})
    EXPECT_TRUE(dcsCancelSkips(skipped)) << skipped;
  for (const char* cancelled : {"JID_000000000001", "JID_CLEARALL_FORCEX", "JID_CLEARALLX", "jid_clearall", "RID_"})
    EXPECT_FALSE(dcsCancelSkips(cancelled)) << cancelled;
}

}  // namespace
}  // namespace velmer
