#include "msgreg.h"

#include <optional>
#include <string>
#include <vector>

#include "event_log_fixture.hpp"
#include "evtwrap.h"

namespace {

using MsgReg = EventLogFixture;

std::vector<char> argsBuffer(const std::vector<const char*>& args) {
  std::vector<char> buffer(4096);
  uint32_t length = static_cast<uint32_t>(buffer.size());
  EXPECT_EQ(EVTWRAPBuildMsgArgsBuffer(args.data(), static_cast<int>(args.size()), buffer.data(), &length), 0);
  buffer.resize(length);
  return buffer;
}

// The text through both lookups, which must agree; nothing when they fail.
std::optional<std::string> messageText(const char* messageId, const std::vector<const char*>& args = {},
                        const char* language = "en") {
  const std::vector<char> buffer = argsBuffer(args);
  const char* packed = args.empty() ? nullptr : buffer.data();
  std::vector<char> content(MSGREG_CONTENT_SIZE, 0);
  const int contentStatus = MsgRegGetContentByMsgID(messageId, language, packed, content.data());
  char text[1024];
  const int textStatus = MsgRegGetMessageByMsgID(messageId, language, packed, text, sizeof text);
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
  EXPECT_EQ(messageText("JCP008"), "Job completed with errors.");
}

TEST_F(MsgReg, KnowsEveryMessageIdTheJobManagerUses) {
  for (const char* id : {"JCP000", "JCP027", "RED029", "JCP048", "JCP028", "JCP037", "JCP042", "MUT0007", "JCP036",
                         "JCP045", "JCP046", "JCP008", "JCP024", "RMX038", "JCP003", "PR21", "JCP049", "JCP050",
                         "JCP051"}) {
    const std::optional<std::string> text = messageText(id, {"x"});
    ASSERT_TRUE(text.has_value()) << id;
    EXPECT_NE(text->find_first_not_of(' '), std::string::npos) << id;
  }
  EXPECT_EQ(messageText("NOPE01"), std::nullopt);
  EXPECT_EQ(messageText("JCP027", {}, "de"), std::nullopt);
  EXPECT_EQ(messageText(nullptr), std::nullopt);
}

TEST_F(MsgReg, RegistryFileReplacesTheBuiltInTable) {
  writeRegistry(R"({"ZZ1": "%2 before %1", "MANY": "[%10|%1|%3%]"})");
  EXPECT_EQ(messageText("ZZ1", {"one", "two"}), "two before one");
  EXPECT_EQ(messageText("MANY", {"1", "2", "3", "4", "5", "6", "7", "8", "9", "ten"}), "[ten|1|3%]");
  EXPECT_EQ(messageText("JCP027", {"JID_1"}), std::nullopt);

  writeRegistry("not json");
  EXPECT_EQ(messageText("ZZ1"), std::nullopt);

  removeRegistry();
  EXPECT_EQ(messageText("JCP027", {"JID_1"}), "The job JID_1 has been created.");
}

TEST_F(MsgReg, TextIsCutToFitWithoutSplittingACharacter) {
  writeRegistry(R"({"CUT": "abcdé"})");
  char text[6];
  ASSERT_EQ(MsgRegGetMessageByMsgID("CUT", "en", nullptr, text, sizeof text), 0);
  EXPECT_STREQ(text, "abcd");  // "é" takes two bytes and only one is left
  EXPECT_NE(MsgRegGetMessageByMsgID("CUT", "en", nullptr, text, 0), 0);
}
