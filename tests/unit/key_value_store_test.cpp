#include "key_value_store.hpp"

#include <gtest/gtest.h>

using namespace velmer;

TEST(KeyValueFile, LayoutIsIndentedByteOrderedWithoutTrailingNewline) {
  bus::BlobKeyValue store;
  store["JID_000000000001"]["updater"]["stage"] = "2";
  EXPECT_EQ(serializeBlobKeyValue(store, 172800),
            "{\n"
            "    \"JID_000000000001\": {\n"
            "        \"updater\": {\n"
            "            \"stage\": \"2\"\n"
            "        }\n"
            "    },\n"
            "    \"__serviceConfig__\": {\n"
            "        \"velmerd\": {\n"
            "            \"autoDeleteTimeout\": \"172800\"\n"
            "        }\n"
            "    }\n"
            "}");
}

TEST(KeyValueFile, NonAsciiIsWrittenAsItIsAndLowerCaseIdsSortAfterTheServiceMember) {
  bus::BlobKeyValue store;
  store["job-\xc3\xa9"]["c"]["k"] = "\xe2\x82\xac";
  store["Zjob"]["c"] = {};
  std::string text = serializeBlobKeyValue(store, 0);
  EXPECT_NE(text.find("\"job-\xc3\xa9\""), std::string::npos);
  EXPECT_NE(text.find("\"\xe2\x82\xac\""), std::string::npos);
  EXPECT_LT(text.find("Zjob"), text.find("__serviceConfig__"));
  EXPECT_LT(text.find("__serviceConfig__"), text.find("job-"));
  EXPECT_NE(text.find("\"autoDeleteTimeout\": \"0\""), std::string::npos);
}
