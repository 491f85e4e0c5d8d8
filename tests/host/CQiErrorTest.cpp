#include <gtest/gtest.h>

#include <string>

#include "host/CQiError.h"

namespace {

const FXCodeLocation kHere = {"CQiErrorTest.cpp", "void Test()", 10};

TEST(CQiErrorTest, DefaultAndSuccessAreNotErrors) {
    for (const CQiError& error : {CQiError(), CQiError::Success()}) {
        EXPECT_FALSE(error.IsError());
        EXPECT_EQ(0u, error.Code());
        EXPECT_EQ(0u, error.Win32Code());
        EXPECT_EQ("", error.Message());
        EXPECT_EQ("Success", error.AsString());
        EXPECT_EQ("", error.File());
        EXPECT_EQ("", error.Function());
        EXPECT_EQ(0, error.Line());
    }
}

TEST(CQiErrorTest, ErrorKeepsWhereItWasBuiltAcrossCopies) {
    const FXCodeLocation where = {"linuxRcg.cpp",
                                  "virtual CQiError TqRcgCtrllr::linuxRcg::AssignPidsTo("
                                  "const std::__cxx11::list<unsigned int>&)",
                                  77};
    CQiError assigned;
    assigned = FXErrorUtil::ErrorWin32(where, 774, "%s", "x");
    const CQiError copy(assigned);
    for (const CQiError& error : {assigned, copy}) {
        EXPECT_EQ("linuxRcg.cpp", error.File());
        EXPECT_EQ(where.function, error.Function());
        EXPECT_EQ(77, error.Line());
    }
    // Null texts read as empty; an error without a detail record has no place.
    const CQiError unnamed = FXErrorUtil::ErrorWin32(FXCodeLocation{nullptr, nullptr, -1}, 14, "m");
    EXPECT_EQ("", unnamed.File());
    EXPECT_EQ("", unnamed.Function());
    EXPECT_EQ(-1, unnamed.Line());
    const CQiError bare(0x80000306u, {});
    EXPECT_EQ("", bare.File());
    EXPECT_EQ(0, bare.Line());
}

TEST(CQiErrorTest, IsErrorExactlyWhenBit31IsSet) {
    EXPECT_TRUE(CQiError(0x80000000u, {}).IsError());
    EXPECT_TRUE(CQiError(0xffffffffu, {}).IsError());
    EXPECT_FALSE(CQiError(0x7fffffffu, {}).IsError());
    EXPECT_FALSE(CQiError(774u, {}).IsError());
}

TEST(CQiErrorTest, ErrorWin32CarriesCodeAndMessage) {
    for (std::uint32_t code : {774u, 14u, 1168u, 1630u}) {
        CQiError error = FXErrorUtil::ErrorWin32(kHere, code, "The resource group %s doesn't exist.", "backup");
        EXPECT_TRUE(error.IsError());
        EXPECT_EQ(0x80000000u | code, error.Code());
        EXPECT_EQ(code, error.Win32Code());
        EXPECT_EQ("The resource group backup doesn't exist.", error.Message());
        EXPECT_EQ("[Win32 error " + std::to_string(code) + "] The resource group backup doesn't exist.",
                  error.AsString());
    }
}

TEST(CQiErrorTest, CopiesKeepCodeAndMessage) {
    CQiError original = FXErrorUtil::ErrorWin32(kHere, 14, "Out of memory. Can't create a new TqRcgMgr object.");
    CQiError copy(original);
    CQiError assigned;
    assigned = original;
    for (const CQiError& error : {copy, assigned}) {
        EXPECT_EQ(original.Code(), error.Code());
        EXPECT_EQ(original.AsString(), error.AsString());
    }
}

TEST(CQiErrorTest, PlainTextThroughPercentSKeepsPercentSigns) {
    const std::string text = "Failed to run cmd [echo %s %d 100%] out[%n%x] err[]\n";
    CQiError error = FXErrorUtil::ErrorWin32(kHere, 774, "%s", text.c_str());
    EXPECT_EQ(text, error.Message());
    EXPECT_EQ("[Win32 error 774] " + text, error.AsString());
}

TEST(CQiErrorTest, LongMessagesAreNotCut) {
    const std::string text(10000, 'x');
    EXPECT_EQ(text, FXErrorUtil::ErrorWin32(kHere, 774, "%s", text.c_str()).Message());
    EXPECT_EQ("", FXErrorUtil::ErrorWin32(kHere, 774, "%s", "").Message());
}

TEST(CQiErrorTest, StripErrorPrefixesRemovesEveryLeadingPrefix) {
    struct Case {
        const char* text;
        const char* expected;
    };
    const Case cases[] = {
        {"[Win32 error 774] Failed", "Failed"},
        {"[Win32 error 774] [Win32 error 1168] The resource group a doesn't exist.",
         "The resource group a doesn't exist."},
        {"Success", "Success"},
        {"", ""},
        {"[Win32 error 774] ", ""},
        {"[Win32 error ] x", "[Win32 error ] x"},
        {"[Win32 error 12]x", "[Win32 error 12]x"},
        {"[Win32 error 1a] x", "[Win32 error 1a] x"},
        {"[win32 error 1] x", "[win32 error 1] x"},
        {"x [Win32 error 1] y", "x [Win32 error 1] y"},
        {"[Win32 error 5] a [Win32 error 6] b", "a [Win32 error 6] b"},
        {"[Win32 error 5]  two blanks", " two blanks"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.expected, StripErrorPrefixes(c.text)) << c.text;
}

TEST(CQiErrorTest, NestedErrorTextStripsBackToTheInnerMessage) {
    CQiError inner = FXErrorUtil::ErrorWin32(kHere, 1168, "The resource group %s doesn't exist.", "g");
    CQiError outer = FXErrorUtil::ErrorWin32(kHere, 774, "%s", inner.AsString().c_str());
    EXPECT_EQ("[Win32 error 774] [Win32 error 1168] The resource group g doesn't exist.", outer.AsString());
    EXPECT_EQ("The resource group g doesn't exist.", StripErrorPrefixes(outer.AsString()));
}

}  // namespace
