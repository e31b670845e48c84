#include "cfg.h"

#include "temp_root.hpp"

#include <gtest/gtest.h>

namespace {
constexpr const char* kAttributes = "etc/velmer/attributes.json";
constexpr int kUntouched = 777;

int read(const char* name, int& value) {
  value = kUntouched;
  return CfgGetAttributeInt(name, &value);
}
}  // namespace

TEST(Cfg, ReadsOnlyIntegerAttributesAndLeavesValueOnFailure) {
  TempRoot root;
  int value = 0;
  EXPECT_NE(read("A", value), 0) << "no attributes file";
  EXPECT_EQ(value, kUntouched);

  root.write(kAttributes, R"({"A": 30, "Neg": -5, "Text": "30", "Real": 1.5, "Flag": true,
                              "Big": 4294967296, "Huge": 18446744073709551615})");
  EXPECT_EQ(read("A", value), 0);
  EXPECT_EQ(value, 30);
  EXPECT_EQ(read("Neg", value), 0);
  EXPECT_EQ(value, -5);
  for (const char* rejected : {"Missing", "Text", "Real", "Flag", "Big", "Huge"}) {
    EXPECT_NE(read(rejected, value), 0) << rejected;
    EXPECT_EQ(value, kUntouched) << rejected;
  }
  EXPECT_NE(CfgGetAttributeInt(nullptr, &value), 0);
  EXPECT_NE(CfgGetAttributeInt("A", nullptr), 0);
}

TEST(Cfg, RereadsTheFileAtEveryCall) {
  TempRoot root;
  int value = 0;
  root.write(kAttributes, R"({"A": 30})");
  ASSERT_EQ(read("A", value), 0);
  root.write(kAttributes, R"({"A": 31})");
  ASSERT_EQ(read("A", value), 0);
  EXPECT_EQ(value, 31);

  for (const char* malformed : {R"({"A": 3)", R"([{"A": 3}])", ""}) {
    root.write(kAttributes, malformed);
    EXPECT_NE(read("A", value), 0) << malformed;
    EXPECT_EQ(value, kUntouched) << malformed;
  }
}
