#include "bus/handler_frame.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

#include "bus/method_handlers.hpp"
#include "service/service_status.hpp"

using namespace velmer;

TEST(HandlerFrame, ExceptionsBecomeTheFailureFormOfEachResultType) {
  auto fail = [] { throw std::runtime_error("boom"); };
  EXPECT_EQ(methodFrame("t", "[%s]: EXCEPTION  in t \n", [&]() -> uint16_t { fail(); return 0; }), 1);
  EXPECT_EQ(methodFrame("t", "[%s]: EXCEPTION  in t \n", [&]() -> ResponseTriple { fail(); return {}; }),
            (ResponseTriple{1, "boom", 1}));
  EXPECT_EQ(methodFrame("t", "[%s]: EXCEPTION  in t \n", [&]() -> StatusText { fail(); return {0, "x"}; }),
            (StatusText{1, ""}));
  EXPECT_EQ(methodFrame("t", "[%s]: EXCEPTION  in t \n", [&]() -> StatusList { fail(); return {0, {"x"}}; }),
            (StatusList{1, {}}));
  EXPECT_EQ(methodFrame("t", "[%s]: EXCEPTION  in t \n", [&]() -> StatusByte { fail(); return {0, 9}; }),
            (StatusByte{1, 0}));
  EXPECT_EQ(methodFrame("t", "[%s]: EXCEPTION  in t \n", []() -> ResponseTriple { throw 42; }),
            (ResponseTriple{1, "unknown exception", 1}));
  EXPECT_EQ(methodFrame("t", "[%s]: EXCEPTION  in t \n", []() -> ResponseTriple { return {0, "JID_1", 0}; }),
            (ResponseTriple{0, "JID_1", 0}));
}

TEST(HandlerFrame, FailureTextsAreMadeValidUtf8) {
  auto result = methodFrame("t", "%s %s", []() -> ResponseTriple { throw std::runtime_error("bad \xff byte \xc3\xa9"); });
  EXPECT_EQ(std::get<1>(result), "bad ? byte \xc3\xa9");
}

TEST(ServiceStatusText, NamesTheFourStatesAndRefusesOthers) {
  EXPECT_EQ(serviceStatusToString(0), "com.zorvex.kelvo.Serviceinfo.Status.UNKNOWN");
  EXPECT_EQ(serviceStatusToString(1), "com.zorvex.kelvo.Serviceinfo.Status.READY");
  EXPECT_EQ(serviceStatusToString(2), "com.zorvex.kelvo.Serviceinfo.Status.NOT_READY");
  EXPECT_EQ(serviceStatusToString(3), "com.zorvex.kelvo.Serviceinfo.Status.RELOADING");
  try {
    serviceStatusToString(4);
    FAIL() << "4 is not a status";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "4");
  }
}
