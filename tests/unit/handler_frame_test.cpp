#include "bus/handler_frame.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

#include "bus/method_handlers.hpp"

namespace velmer {
namespace {

// A handler that throws answers the failure form of its own reply type, with the
// exception's text made valid UTF-8.
TEST(HandlerFrame, ExceptionsBecomeTheFailureFormOfEachResultType) {
  const char* format = "[%s]: EXCEPTION  in t \n";
  auto fail = [] { throw std::runtime_error("bad \xff byte \xc3\xa9"); };
  EXPECT_EQ(methodFrame("t", format, [&]() -> uint16_t { fail(); return 0; }), 1);
  EXPECT_EQ(methodFrame("t", format, [&]() -> ResponseTriple { fail(); return {}; }),
            (ResponseTriple{1, "bad ? byte \xc3\xa9", 1}));
  EXPECT_EQ(methodFrame("t", format, [&]() -> StatusText { fail(); return {0, "x"}; }), (StatusText{1, ""}));
  EXPECT_EQ(methodFrame("t", format, [&]() -> StatusList { fail(); return {0, {"x"}}; }), (StatusList{1, {}}));
  EXPECT_EQ(methodFrame("t", format, [&]() -> StatusByte { fail(); return {0, 9}; }), (StatusByte{1, 0}));
  EXPECT_EQ(methodFrame("t", format, []() -> ResponseTriple { throw 42; }), (ResponseTriple{1, "unknown exception", 1}));
  EXPECT_EQ(methodFrame("t", format, []() -> ResponseTriple { return {0, "JID_1", 0}; }), (ResponseTriple{0, "JID_1", 0}));
}

}  // namespace
}  // namespace velmer
