#include "kelvra/ListText.h"

#include <gtest/gtest.h>

using host::String;

TEST(ListText, SplitsAtSemicolonsAndCommasTrimsAndDropsEmptyItems)
{
    struct {
        String text;
        std::vector<String> items;
    } rows[] = {
        {u"", {}},
        {u" ;;, \t\r\n ;", {}},
        {u"a@x.org; b@x.org", {u"a@x.org", u"b@x.org"}},
        {u"Smith, John", {u"Smith", u"John"}},           // no quoting: the comma splits
        {u"\"Smith; J\" <j@x>", {u"\"Smith", u"J\" <j@x>"}}, // quotes and brackets stay
        {u"\ta\r\n,,b  ,", {u"a", u"b"}},
        {u"a;a", {u"a", u"a"}},                          // duplicates stay
        {u"in side", {u"in side"}},
        {String(u"\x01x\x1f") + u";\x7f", {u"x", u"\x7f"}}, // U+0000..U+0020 trimmed, not U+007F
    };
    host::TStringList list;
    list.Add(u"stale");
    for (const auto &row : rows) {
        SCOPED_TRACE(host::ToUtf8(row.text));
        kelvra::SplitList(row.text, list);
        EXPECT_EQ(list.Lines(), row.items);
    }
}

TEST(ListText, WritesItemsJoinedBySemicolonsAlone)
{
    String list;
    kelvra::AppendListItem(list, u"a");
    EXPECT_EQ(list, u"a");
    kelvra::AppendListItem(list, u"b c");
    kelvra::AppendListItem(list, u"d");
    EXPECT_EQ(list, u"a;b c;d");
}
