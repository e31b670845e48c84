#include "persistence/key_value_store.hpp"

#include <gtest/gtest.h>

#include <cstdint>

#include <nlohmann/json.hpp>

namespace velmer {
namespace {

const char* refusal(const bus::BlobKeyValue& store, const std::string& job, const std::string& key,
                    const std::string& caller, const std::string& value) {
  return keyValueWriteRefusal(store, keyValueStoreBytes(store), job, key, caller, value);
}

TEST(KeyValueLimits, EachLimitRefusesOnlyTheWriteThatWouldCrossIt) {
  const std::string job = "JID_000000000001";
  bus::BlobKeyValue store;
  const std::string longest = std::string(kMaxKeyValueJobIDBytes, 'J');
  EXPECT_EQ(refusal(store, longest, std::string(kMaxKeyValueKeyBytes, 'k'), std::string(kMaxKeyValueCallerBytes, 'c'),
                    std::string(kMaxKeyValueValueBytes, 'v')),
            nullptr);
  EXPECT_NE(refusal(store, longest + "J", "k", "c", "v"), nullptr);
  EXPECT_NE(refusal(store, job, std::string(kMaxKeyValueKeyBytes + 1, 'k'), "c", "v"), nullptr);
  EXPECT_NE(refusal(store, job, "k", std::string(kMaxKeyValueCallerBytes + 1, 'c'), "v"), nullptr);
  EXPECT_NE(refusal(store, job, "k", "c", std::string(kMaxKeyValueValueBytes + 1, 'v')), nullptr);

  // Entries per job count the keys of every caller; a key that exists may be rewritten.
  for (size_t i = 0; i < kMaxKeyValueEntriesPerJob; ++i) store[job][i % 2 ? "a" : "b"][std::to_string(i)] = "v";
  EXPECT_NE(refusal(store, job, "new", "a", "v"), nullptr);
  EXPECT_EQ(refusal(store, job, "1", "a", "w"), nullptr);
  EXPECT_EQ(refusal(store, "JID_000000000002", "new", "a", "v"), nullptr);

  // Jobs with entries: a new job past the limit is refused, a known one is not.
  for (size_t i = store.size(); i < kMaxKeyValueJobs; ++i) store["JID_" + std::to_string(i)]["c"]["k"] = "v";
  EXPECT_NE(refusal(store, "JID_new", "k", "c", "v"), nullptr);
  EXPECT_EQ(refusal(store, "JID_1", "k2", "c", "v"), nullptr);

  // The whole store: a value that would take it past its size is refused; a smaller
  // replacement of a large value is taken.
  bus::BlobKeyValue full;
  full[job]["c"]["k"] = std::string(kMaxKeyValueStoreBytes - 100, 'x');
  EXPECT_NE(refusal(full, job, "k2", "c", std::string(100, 'v')), nullptr);
  EXPECT_EQ(refusal(full, job, "k", "c", std::string(100, 'v')), nullptr);

  // The file: control characters take six bytes each in it, so a store of them reaches
  // the reader's bound with a sixth of the texts allowed.
  const std::string controls(kMaxKeyValueValueBytes, '\x01');
  bus::BlobKeyValue escaped;
  for (int i = 0; refusal(escaped, "JID_" + std::to_string(i / 64), std::to_string(i), "c", controls) == nullptr; ++i)
    escaped["JID_" + std::to_string(i / 64)]["c"][std::to_string(i)] = controls;
  EXPECT_LT(keyValueStoreBytes(escaped).texts, kMaxKeyValueStoreBytes);
  const size_t fileBytes = serializeBlobKeyValue(escaped, UINT32_MAX).size();
  EXPECT_LE(fileBytes, kMaxKeyValueFileSize);
  EXPECT_GT(fileBytes + 6 * controls.size() + 64, kMaxKeyValueFileSize) << "refused before the bound";
}

TEST(KeyValueFile, ItsTextIsWhatTheJsonLibraryWritesAndItsSizeIsKnownWithoutWritingIt) {
  const bus::BlobKeyValue stores[] = {
      {},
      {{"JID_1", {}}},
      {{"JID_1", {{"caller", {}}}}, {"lower", {{"c", {{"k", "v"}}}}}},
      {{"JID_\"2\"", {{"a\\b", {{"tab\t", "line\nfeed \x01\x1f\x7f \xe2\x82\xac"}, {"", ""}}}, {"b", {{"k", "v"}}}}}},
  };
  for (const auto& store : stores) {
    nlohmann::json document(store);
    document[kServiceConfigMember] = {{"velmerd", {{"autoDeleteTimeout", "4294967295"}}}};
    const std::string text = serializeBlobKeyValue(store, UINT32_MAX);
    EXPECT_EQ(text, document.dump(4, ' ', false));
    EXPECT_EQ(keyValueFileBytes(store.size(), keyValueStoreBytes(store).file), text.size());
  }
  // A job named like the service member gives way to it.
  EXPECT_EQ(serializeBlobKeyValue({{kServiceConfigMember, {{"c", {{"k", "v"}}}}}}, 600),
            serializeBlobKeyValue({}, 600));
}

TEST(KeyValueFile, ReadingKeepsWhatIsSoundOfADamagedFileAndSaysWhatItLeftOut) {
  const bus::BlobKeyValue store = {{"JID_1", {{"c", {{"k", "v"}, {"l", "w"}}}}}, {"JID_2", {{"c", {{"k", "x"}}}}}};
  const std::string text = serializeBlobKeyValue(store, 600);
  bus::BlobKeyValue withService = store;
  withService[kServiceConfigMember]["velmerd"]["autoDeleteTimeout"] = "600";
  KeyValueFileContents whole = readKeyValueText(text);
  EXPECT_EQ(whole.store, withService);
  EXPECT_EQ(whole.damage, "");

  // Cut short: what came before the cut stays.
  KeyValueFileContents cut = readKeyValueText(text.substr(0, text.find("\"x\"")));
  EXPECT_EQ(cut.store, (bus::BlobKeyValue{{"JID_1", {{"c", {{"k", "v"}, {"l", "w"}}}}}, {"JID_2", {{"c", {}}}}}));
  EXPECT_NE(cut.damage, "");

  // Members of the wrong kind, and values nested deeper than keys, are left out alone.
  KeyValueFileContents mixed = readKeyValueText(R"({"JID_1": {"c": {"k": 5, "l": "w", "m": {"deep": [[{"x": "y"}]]},)"
                                                R"( "n": ["v"]}}, "JID_2": "flat", "JID_3": {"c": {"k": "x"}}})");
  EXPECT_EQ(mixed.store, (bus::BlobKeyValue{{"JID_1", {{"c", {{"l", "w"}}}}}, {"JID_3", {{"c", {{"k", "x"}}}}}}));
  EXPECT_EQ(mixed.damage, "JID_1/c/k holds a number, left out");
  EXPECT_NE(readKeyValueText(R"(["JID_1"])").damage, "");
  EXPECT_NE(readKeyValueText("").damage, "");

  // A file written without indentation may hold more than the daemon can write back:
  // whole jobs are kept while they fit, the service member first.
  std::string compact = R"({"__serviceConfig__":{"velmerd":{"autoDeleteTimeout":"600"}})";
  constexpr int kJobs = 3000;
  for (int job = 0; job < kJobs; ++job) {
    compact += ",\"JID_" + std::to_string(10000 + job) + "\":{\"c\":{";
    for (int key = 0; key < 64; ++key) compact += (key ? ",\"" : "\"") + std::to_string(key) + "\":\"\"";
    compact += "}}";
  }
  compact += "}";
  ASSERT_LE(compact.size(), kMaxKeyValueFileSize);
  KeyValueFileContents trimmed = readKeyValueText(compact);
  EXPECT_TRUE(trimmed.store.contains(kServiceConfigMember));
  EXPECT_GT(trimmed.store.size(), kJobs / 2u);
  EXPECT_LT(trimmed.store.size(), kJobs + 1u);
  EXPECT_TRUE(keyValueStoreFitsFile(trimmed.store));
  EXPECT_NE(trimmed.damage, "");
}

}  // namespace
}  // namespace velmer
