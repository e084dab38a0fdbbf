#include "host/Exception.h"
#include "host/StringList.h"
#include "host/StrUtils.h"
#include "host/Text.h"

#include <gtest/gtest.h>

#include <cstring>

using host::String;

TEST(Text, Utf8RoundTripsAndReplacesWhatCannotBeEncoded)
{
    const String text = u"Gr\u00fc\u00dfe \u20ac \U0001F600";
    EXPECT_EQ(host::ToUtf8(text), "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x98\x80");
    EXPECT_EQ(host::FromUtf8(host::ToUtf8(text)), text);

    // A lone surrogate cannot be UTF-8; malformed UTF-8 cannot be UTF-16.
    EXPECT_EQ(host::ToUtf8(String(1, char16_t(0xD800)) + u"x"), "\xEF\xBF\xBDx");
    struct { const char *bytes; String expected; } rows[] = {
        {"\xC3", u"\uFFFD"},                   // truncated sequence
        {"\xC0\xAF", u"\uFFFD\uFFFD"},         // overlong '/'
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"}, // encoded surrogate
        {"a\xFF" "b", u"a\uFFFDb"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.bytes);
        EXPECT_EQ(host::FromUtf8(row.bytes), row.expected);
    }
}

#if !defined(_WIN32)
TEST(Text, AnsiIsTheLocaleCharsetAndPlainAsciiCountsAsUtf8)
{
    // The tests run in the C locale unless the environment says otherwise.
    if (host::AnsiCharset() != "UTF-8")
        GTEST_SKIP() << "environment locale is " << host::AnsiCharset();
    EXPECT_EQ(host::ToAnsi(u"caf\u00e9"), "caf\xC3\xA9");
    EXPECT_EQ(host::FromAnsi("caf\xC3\xA9"), u"caf\u00e9");
    // What the code page cannot hold becomes its default character.
    EXPECT_EQ(host::ToAnsi(String(1, char16_t(0xDC00)) + u"!"), "?!");
}
#endif

TEST(Text, ExceptionCarriesUtf16AndUtf8)
{
    const host::Exception e(u"Fehler: \u00fc");
    EXPECT_EQ(e.Message(), u"Fehler: \u00fc");
    EXPECT_STREQ(e.what(), "Fehler: \xC3\xBC");
}

TEST(StringList, TextIsEveryLineWithCrLfAndSplitsAtEveryKindOfBreak)
{
    host::TStringList list;
    EXPECT_EQ(list.Text(), u"");
    list.Add(u"");
    EXPECT_EQ(list.Text(), u"\r\n");
    list.Assign(std::vector<String>{u"x", u"y"});
    EXPECT_EQ(list.Text(), u"x\r\ny\r\n");

    struct { String text; std::vector<String> lines; } rows[] = {
        {u"", {}},
        {u"a", {u"a"}},
        {u"a\r\n", {u"a"}},
        {u"a\r\nb\rc\nd", {u"a", u"b", u"c", u"d"}},
        {u"\n\n", {u"", u""}},
        {u"a\n\r\nb", {u"a", u"", u"b"}},
        {u"a\r\r\n", {u"a", u""}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(host::ToUtf8(row.text));
        list.SetText(row.text);
        EXPECT_EQ(list.Lines(), row.lines);
    }
}

TEST(StrUtils, StrNewCopiesUpToTheFirstZeroByte)
{
    char *a = host::StrNew(std::string_view("ab\0cd", 5));
    char *b = host::StrNew("ab");
    EXPECT_STREQ(a, "ab");
    EXPECT_NE(a, b);
    host::StrDispose(a);
    host::StrDispose(b);
    host::StrDispose(nullptr);
}

#if defined(_WIN32)
#include <windows.h>

TEST(Text, AnsiIsTheSystemCodePage)
{
    // Wine's default, and that of western Windows installations.
    if (GetACP() != 1252)
        GTEST_SKIP() << "code page " << GetACP();
    EXPECT_EQ(host::AnsiCharset(), "CP1252");
    EXPECT_EQ(host::ToAnsi(u"caf\u00e9 \u20ac"), "caf\xE9 \x80");
    // Outside the code page: its default character, one per UTF-16 unit.
    EXPECT_EQ(host::ToAnsi(u"\u4e2d!"), "?!");
    EXPECT_EQ(host::ToAnsi(u"\U0001F600"), "??");
    // Every byte of the code page survives the round trip.
    for (int b = 1; b < 256; ++b) {
        SCOPED_TRACE(b);
        const std::string byte(1, static_cast<char>(b));
        EXPECT_EQ(host::ToAnsi(host::FromAnsi(byte)), byte);
    }
    EXPECT_EQ(host::FromAnsi("\x80"), u"\u20ac");
}
#endif
