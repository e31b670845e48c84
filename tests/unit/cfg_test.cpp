#include "cfg.h"

#include "temp_root.hpp"

#include <gtest/gtest.h>

TEST(Cfg, ReadsOnlyIntegerAttributesFreshAtEveryCall) {
  TempRoot root;
  constexpr int kUntouched = 777;
  int value = kUntouched;
  auto read = [&](const char* name) {
    value = kUntouched;
    return CfgGetAttributeInt(name, &value);
  };
  EXPECT_NE(read("A"), 0) << "no attributes file";
  EXPECT_EQ(value, kUntouched);

  root.write("etc/velmer/attributes.json", R"({"A": 30, "Neg": -5, "Text": "30", "Real": 1.5, "Flag": true,
                                              "Big": 4294967296, "Huge": 18446744073709551615})");
  EXPECT_EQ(read("A"), 0);
  EXPECT_EQ(value, 30);
  EXPECT_EQ(read("Neg"), 0);
  EXPECT_EQ(value, -5);
  for (const char* rejected : {"Missing", "Text", "Real", "Flag", "Big", "Huge"}) {
    EXPECT_NE(read(rejected), 0) << rejected;
    EXPECT_EQ(value, kUntouched) << rejected;
  }

  root.write("etc/velmer/attributes.json", R"({"A": 31})");
  EXPECT_EQ(read("A"), 0);
  EXPECT_EQ(value, 31);
  for (const char* malformed : {R"({"A": 3)", R"([{"A": 3}])", ""}) {
    root.write("etc/velmer/attributes.json", malformed);
    EXPECT_NE(read("A"), 0) << malformed;
    EXPECT_EQ(value, kUntouched) << malformed;
  }
}
