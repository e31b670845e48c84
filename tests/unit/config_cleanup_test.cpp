#include "cleanup/config_cleanup.hpp"
#include "cleanup/storage_cancel.hpp"

#include <gtest/gtest.h>

namespace velmer {
namespace {

// A name matches when the FQDD ends it, right after a colon, in any case; only the first
// place the FQDD is found counts (a drive FQDD holds colons of its own).
TEST(FqddMatch, NameMatchesOnlyWhenItEndsWithColonAndTheFqdd) {
  const std::string nic = "NIC.Slot.1-1-1";
  const std::tuple<const char*, std::string, bool> cases[] = {
      {"Configure:NIC.Slot.1-1-1", nic, true}, {"configure:nic.slot.1-1-1", nic, true}, {":NIC.Slot.1-1-1", nic, true},
      {"Create:Disk.Bay.0:Enclosure.Internal.0-1", "Disk.Bay.0:Enclosure.Internal.0-1", true},
      {"NIC.Slot.1-1-1", nic, false}, {"Configure NIC.Slot.1-1-1", nic, false},
      {"Configure:NIC.Slot.1-1-1:x", nic, false}, {"Configure:NIC.Slot.1-1-10", nic, false},
      {"NIC.Slot.1-1-1:NIC.Slot.1-1-1", nic, false}, {"a NIC.Slot.1-1-1 b:NIC.Slot.1-1-1", nic, false},
      {"Configure:", "", false}, {"", "", false},
  };
  for (const auto& [name, fqdd, matches] : cases) EXPECT_EQ(jobNameMatchesFqdd(name, fqdd), matches) << name;
}

TEST(StorageCancelStatus, OnlyAnUncancellableJobOrAFailureWithDetailIsReported) {
  const std::tuple<uint64_t, uint64_t, uint16_t> cases[] = {
      {0, 0, 0}, {0, 5, 0},  // P = 0: cancelled, whatever S says
      {0x8000000000000007ULL, 0xFFFFFFFFULL, 25}, {0x8000000000000007ULL, 0, 25},
      {7, 0, 12},  // the low bits alone are not the refusal
      {1, 0xFFFFFFFFULL, 0}, {1, 0xFFFFFFFFFFFFFFFFULL, 12},  // S is compared in full
  };
  for (const auto& [p, s, expected] : cases) EXPECT_EQ(storageCancelStatus(p, s), expected) << p << " " << s;
}

}  // namespace
}  // namespace velmer
