// The component library and the provider read the narrow character set by
// one rule, so text crosses from one to the other unchanged. Run in a
// Latin-1 locale (see tests/CMakeLists.txt) and in the C locale.
#include "Text.h"
#include "host/Text.h"
#include "posix/Charset.h"

#include <gtest/gtest.h>

#include <cstdlib>

TEST(Charset, HostAndProviderAgreeOnTheNarrowText)
{
    const char *expected = std::getenv("KELVRA_EXPECTED_CHARSET");
    ASSERT_NE(expected, nullptr);
    EXPECT_EQ(host::AnsiCharset(), expected);
    EXPECT_EQ(kelvra_posix::LocaleCharset(), expected);

    const std::u16string text = u"Gr\u00FC\u00DFe, caf\u00E9";
    const std::string narrow = host::ToAnsi(text);
    if (std::string(expected) == "ISO-8859-1") {
        EXPECT_EQ(narrow, "Gr\xFC\xDF" "e, caf\xE9");
    }
    // From the components to the provider and back.
    const std::string utf8 = kelvra_provider::NarrowToUtf8(narrow);
    EXPECT_EQ(utf8, "Gr\xC3\xBC\xC3\x9F" "e, caf\xC3\xA9");
    EXPECT_EQ(host::FromAnsi(kelvra_provider::Utf8ToNarrow(utf8)), text);
    // What the narrow set cannot hold becomes '?' on both sides alike.
    EXPECT_EQ(kelvra_provider::Utf8ToNarrow("\xE2\x82\xAC") == "?", host::ToAnsi(u"\u20AC") == "?");
}
