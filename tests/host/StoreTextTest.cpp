// The text form of the configuration store, without files.
#include <gtest/gtest.h>

#include <string>

#include "host/StoreText.h"

namespace {

using tqfw::StoreLine;

std::string Find(const std::string& text, const std::string& section, const std::string& key) {
    std::string value;
    if (!tqfw::FindStoreValue(text, tqfw::ParseStoreText(text), section, key, &value)) return "<none>";
    return value;
}

TEST(StoreTextTest, ClassifiesLines) {
    const std::string text = "# c\n\n  \t\n[Base]\nk=v\n  [ Other ]  \njunk\n=x\n k = v \n#[Fake]\nlast";
    auto lines = tqfw::ParseStoreText(text);
    ASSERT_EQ(11u, lines.size());
    const StoreLine::Kind kinds[] = {StoreLine::Comment, StoreLine::Blank,   StoreLine::Blank,
                                     StoreLine::Section, StoreLine::Value,   StoreLine::Section,
                                     StoreLine::Malformed, StoreLine::Malformed, StoreLine::Value,
                                     StoreLine::Comment, StoreLine::Malformed};
    for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(kinds[i], lines[i].kind) << "line " << i + 1;
    EXPECT_EQ("Base", lines[4].section);
    EXPECT_EQ(" Other ", lines[5].section);
    EXPECT_EQ(" Other ", lines[10].section);
    EXPECT_FALSE(lines[10].hasNewline);
}

TEST(StoreTextTest, FindsValuesExactly) {
    const std::string text =
        "top=0\n[A]\nk=1\nK=2\nkk=3\n k=4\nk =5\n[B]\nk=  x=y # z  \nempty=\n[A]\nlater=6\n";
    EXPECT_EQ("0", Find(text, "", "top"));
    EXPECT_EQ("1", Find(text, "A", "k"));
    EXPECT_EQ("2", Find(text, "A", "K"));
    EXPECT_EQ("3", Find(text, "A", "kk"));
    EXPECT_EQ("4", Find(text, "A", " k"));
    EXPECT_EQ("5", Find(text, "A", "k "));
    EXPECT_EQ("  x=y # z  ", Find(text, "B", "k"));
    EXPECT_EQ("", Find(text, "B", "empty"));
    EXPECT_EQ("6", Find(text, "A", "later"));
    EXPECT_EQ("<none>", Find(text, "a", "k"));
    EXPECT_EQ("<none>", Find(text, "B", "K"));
    EXPECT_EQ("<none>", Find(text, "C", "k"));
    EXPECT_EQ("<none>", Find(text, "A", "top"));
}

TEST(StoreTextTest, LaterLineOverridesEarlierOne) {
    EXPECT_EQ("2", Find("[B]\nk=1\n[X]\n[B]\nk=2\n", "B", "k"));
    EXPECT_EQ("[B]\nk=1\nk=3\n", tqfw::SetStoreValue("[B]\nk=1\nk=2\n", "B", "k", "3"));
}

TEST(StoreTextTest, SetKeepsEveryOtherByte) {
    struct Case {
        const char* text;
        const char* section;
        const char* key;
        const char* value;
        const char* expected;
    };
    const Case cases[] = {
        {"", "Base", "k", "v", "[Base]\nk=v\n"},
        {"[Base]\nk=1\n", "Base", "k", "2", "[Base]\nk=2\n"},
        {"[Base]\nk=old value\nz=1\n", "Base", "k", "", "[Base]\nk=\nz=1\n"},
        {"# head\n[Base]\na=1\n\n# about Other\n[Other]\nb=2\n", "Base", "c", "3",
         "# head\n[Base]\na=1\nc=3\n\n# about Other\n[Other]\nb=2\n"},
        {"[Base]\na=1", "Base", "c", "3", "[Base]\na=1\nc=3"},
        {"[Base]", "Base", "c", "3", "[Base]\nc=3"},
        {"[Base]\n[Other]\n", "Base", "k", "v", "[Base]\nk=v\n[Other]\n"},
        {"[A]\na=1", "B", "b", "2", "[A]\na=1\n[B]\nb=2\n"},
        {"[A]\na=1\n", "B", "b", " lead and trail ", "[A]\na=1\n[B]\nb= lead and trail \n"},
        {"[A]\nbad line\na=1\n", "A", "a", "x", "[A]\nbad line\na=x\n"},
        {"[A]\na=1\nbad line\n", "A", "b", "2", "[A]\na=1\nb=2\nbad line\n"},
        {"[A]\na=1\n", "", "t", "0", "t=0\n[A]\na=1\n"},
        {"t=0\n[A]\n", "", "u", "1", "t=0\nu=1\n[A]\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, tqfw::SetStoreValue(c.text, c.section, c.key, c.value))
            << "text [" << c.text << "] " << c.section << "/" << c.key;
    }
}

TEST(StoreTextTest, RefusesNamesAndValuesThatWouldChangeOtherLines) {
    EXPECT_TRUE(tqfw::ValidKey("dTQDEBUGLEVEL"));
    EXPECT_TRUE(tqfw::ValidKey(" k"));
    for (const char* key : {"", "a=b", "#a", "[a", "  [a", "a\nb", "a\rb", " ", "\t"}) {
        EXPECT_FALSE(tqfw::ValidKey(key)) << key;
    }
    EXPECT_TRUE(tqfw::ValidSectionName("Base"));
    EXPECT_TRUE(tqfw::ValidSectionName(""));
    for (const char* section : {"a]", "[a", "a\nb", "a\r"}) EXPECT_FALSE(tqfw::ValidSectionName(section));
    EXPECT_TRUE(tqfw::ValidValue(" a=b # c \t"));
    EXPECT_FALSE(tqfw::ValidValue("a\nb"));
    EXPECT_FALSE(tqfw::ValidValue("a\r"));
}

TEST(StoreTextTest, ParsesUnsignedDecimals) {
    struct Case {
        const char* text;
        bool ok;
        std::uint64_t number;
    };
    const Case cases[] = {
        {"0", true, 0},
        {"42", true, 42},
        {" 42 ", true, 42},
        {"\t7\t", true, 7},
        {"0008", true, 8},
        {"18446744073709551615", true, UINT64_MAX},
        {"18446744073709551616", false, 0},
        {"99999999999999999999", false, 0},
        {"", false, 0},
        {"  ", false, 0},
        {"4 2", false, 0},
        {"-1", false, 0},
        {"+1", false, 0},
        {"0x10", false, 0},
        {"12a", false, 0},
        {"1.5", false, 0},
    };
    for (const Case& c : cases) {
        std::uint64_t number = 12345;
        EXPECT_EQ(c.ok, tqfw::ParseUnsignedDecimal(c.text, &number)) << "[" << c.text << "]";
        EXPECT_EQ(c.ok ? c.number : 12345u, number) << "[" << c.text << "]";
    }
}

}  // namespace
