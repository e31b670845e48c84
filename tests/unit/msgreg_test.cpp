#include "msgreg.h"

#include <optional>
#include <string>
#include <vector>

#include "event_log_fixture.hpp"

namespace {

using MsgReg = EventLogFixture;

// The text through both lookups, which must agree; nothing when they fail.
std::optional<std::string> messageText(const char* messageId, const std::vector<const char*>& args = {},
                                       const char* language = "en") {
  const std::vector<char> buffer = packArgs(args);
  std::vector<char> content(MSGREG_CONTENT_SIZE, 0);
  const int contentStatus = MsgRegGetContentByMsgID(messageId, language, buffer.data(), content.data());
  char text[1024];
  const int textStatus = MsgRegGetMessageByMsgID(messageId, language, buffer.data(), text, sizeof text);
  EXPECT_EQ(contentStatus == 0, textStatus == 0);
  if (textStatus != 0) return std::nullopt;
  EXPECT_STREQ(content.data() + MSGREG_CONTENT_TEXT_OFFSET, text);
  return text;
}

}  // namespace

TEST_F(MsgReg, BuiltInTextsTakeArgumentsInOrder) {
  EXPECT_EQ(messageText("JCP049", {"2026-01-01 10:00:00", "2026-01-02 10:00:00"}),
            "The Job is scheduled to run between 2026-01-01 10:00:00 and 2026-01-02 10:00:00");
  EXPECT_EQ(messageText("JCP049", {"soon"}), "The Job is scheduled to run between soon and ");
  EXPECT_EQ(messageText("JCP050", {"tonight", "ignored"}), "The reboot job is scheduled to run on tonight");
  EXPECT_EQ(messageText("NOPE01"), std::nullopt);
  EXPECT_EQ(messageText("JCP050", {}, "de"), std::nullopt);
}

TEST_F(MsgReg, RegistryFileReplacesTheBuiltInTable) {
  writeRegistry(R"({"ZZ1": "%2 before %1", "MANY": "[%10|%1|%3%]"})");
  EXPECT_EQ(messageText("ZZ1", {"one", "two"}), "two before one");
  EXPECT_EQ(messageText("MANY", {"1", "2", "3", "4", "5", "6", "7", "8", "9", "ten"}), "[ten|1|3%]");
  EXPECT_EQ(messageText("JCP050", {"tonight"}), std::nullopt);

  writeRegistry("not json");
  EXPECT_EQ(messageText("ZZ1"), std::nullopt);
}

TEST_F(MsgReg, TextIsCutToFitWithoutSplittingACharacter) {
  writeRegistry(R"({"CUT": "abcdé"})");
  char text[6];
  ASSERT_EQ(MsgRegGetMessageByMsgID("CUT", "en", nullptr, text, sizeof text), 0);
  EXPECT_STREQ(text, "abcd");  // "é" takes two bytes and only one is left
}
