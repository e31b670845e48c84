#include "cleanup/config_cleanup.hpp"
#include "cleanup/storage_cancel.hpp"

#include <gtest/gtest.h>

namespace velmer {
namespace {

TEST(FqddMatch, NameMatchesWhenItEndsWithColonAndTheFqddInAnyCase) {
  EXPECT_TRUE(jobNameMatchesFqdd("Configure:NIC.Slot.1-1-1", "NIC.Slot.1-1-1"));
  EXPECT_TRUE(jobNameMatchesFqdd("configure:nic.slot.1-1-1", "NIC.Slot.1-1-1"));
  EXPECT_TRUE(jobNameMatchesFqdd("X:NIC.SLOT.1-1-1", "nic.slot.1-1-1"));
  EXPECT_TRUE(jobNameMatchesFqdd(":NIC.Slot.1-1-1", "NIC.Slot.1-1-1"));
  // A drive FQDD holds colons of its own; only the one before it counts.
  EXPECT_TRUE(jobNameMatchesFqdd("Create:Disk.Bay.0:Enclosure.Internal.0-1", "Disk.Bay.0:Enclosure.Internal.0-1"));
}

TEST(FqddMatch, NameDoesNotMatchAtItsStartWithoutColonOrBeforeItsEnd) {
  EXPECT_FALSE(jobNameMatchesFqdd("NIC.Slot.1-1-1", "NIC.Slot.1-1-1"));
  EXPECT_FALSE(jobNameMatchesFqdd("ConfigureNIC.Slot.1-1-1", "NIC.Slot.1-1-1"));
  EXPECT_FALSE(jobNameMatchesFqdd("Configure NIC.Slot.1-1-1", "NIC.Slot.1-1-1"));
  EXPECT_FALSE(jobNameMatchesFqdd("Configure:NIC.Slot.1-1-1:x", "NIC.Slot.1-1-1"));
  EXPECT_FALSE(jobNameMatchesFqdd("Configure:NIC.Slot.1-1-10", "NIC.Slot.1-1-1"));
  // Only the first place the FQDD is found is looked at.
  EXPECT_FALSE(jobNameMatchesFqdd("NIC.Slot.1-1-1:NIC.Slot.1-1-1", "NIC.Slot.1-1-1"));
  EXPECT_FALSE(jobNameMatchesFqdd("a NIC.Slot.1-1-1 b:NIC.Slot.1-1-1", "NIC.Slot.1-1-1"));
  EXPECT_FALSE(jobNameMatchesFqdd("Configure:", ""));
  EXPECT_FALSE(jobNameMatchesFqdd("", "NIC.Slot.1-1-1"));
  EXPECT_FALSE(jobNameMatchesFqdd("", ""));
}

TEST(StorageCancelStatus, OnlyAnUncancellableJobOrAFailureWithDetailIsReported) {
  EXPECT_EQ(storageCancelStatus(0, 0), 0);
  EXPECT_EQ(storageCancelStatus(0, 5), 0);  // P = 0: cancelled, whatever S says
  EXPECT_EQ(storageCancelStatus(0x8000000000000007ULL, 0xFFFFFFFFULL), 25);
  EXPECT_EQ(storageCancelStatus(0x8000000000000007ULL, 0), 25);
  EXPECT_EQ(storageCancelStatus(7, 0), 12);  // the low bits alone are not the refusal
  EXPECT_EQ(storageCancelStatus(1, 0xFFFFFFFFULL), 0);
  EXPECT_EQ(storageCancelStatus(1, 0xFFFFFFFFFFFFFFFFULL), 12);  // S is compared in full
}

}  // namespace
}  // namespace velmer
