#include "persistence/key_value_store.hpp"

#include <gtest/gtest.h>

namespace velmer {
namespace {

TEST(KeyValueLimits, EachLimitRefusesOnlyTheWriteThatWouldCrossIt) {
  const std::string job = "JID_000000000001";
  bus::BlobKeyValue store;
  const std::string longest = std::string(kMaxKeyValueJobIDBytes, 'J');
  EXPECT_EQ(keyValueWriteRefusal(store, longest, std::string(kMaxKeyValueKeyBytes, 'k'),
                                 std::string(kMaxKeyValueCallerBytes, 'c'), std::string(kMaxKeyValueValueBytes, 'v')),
            nullptr);
  EXPECT_NE(keyValueWriteRefusal(store, longest + "J", "k", "c", "v"), nullptr);
  EXPECT_NE(keyValueWriteRefusal(store, job, std::string(kMaxKeyValueKeyBytes + 1, 'k'), "c", "v"), nullptr);
  EXPECT_NE(keyValueWriteRefusal(store, job, "k", std::string(kMaxKeyValueCallerBytes + 1, 'c'), "v"), nullptr);
  EXPECT_NE(keyValueWriteRefusal(store, job, "k", "c", std::string(kMaxKeyValueValueBytes + 1, 'v')), nullptr);

  // Entries per job count the keys of every caller; a key that exists may be rewritten.
  for (size_t i = 0; i < kMaxKeyValueEntriesPerJob; ++i) store[job][i % 2 ? "a" : "b"][std::to_string(i)] = "v";
  EXPECT_NE(keyValueWriteRefusal(store, job, "new", "a", "v"), nullptr);
  EXPECT_EQ(keyValueWriteRefusal(store, job, "1", "a", "w"), nullptr);
  EXPECT_EQ(keyValueWriteRefusal(store, "JID_000000000002", "new", "a", "v"), nullptr);

  // Jobs with entries: a new job past the limit is refused, a known one is not.
  for (size_t i = store.size(); i < kMaxKeyValueJobs; ++i) store["JID_" + std::to_string(i)]["c"]["k"] = "v";
  EXPECT_NE(keyValueWriteRefusal(store, "JID_new", "k", "c", "v"), nullptr);
  EXPECT_EQ(keyValueWriteRefusal(store, "JID_1", "k2", "c", "v"), nullptr);

  // The whole store: a value that would take it past its size is refused; a smaller
  // replacement of a large value is taken.
  bus::BlobKeyValue full;
  full[job]["c"]["k"] = std::string(kMaxKeyValueStoreBytes - 100, 'x');
  EXPECT_NE(keyValueWriteRefusal(full, job, "k2", "c", std::string(100, 'v')), nullptr);
  EXPECT_EQ(keyValueWriteRefusal(full, job, "k", "c", std::string(100, 'v')), nullptr);
}

}  // namespace
}  // namespace velmer
