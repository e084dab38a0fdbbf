#include "kelvra/StringBuffers.h"

#include <gtest/gtest.h>

#include "host/StrUtils.h"

#include <cstring>

TEST(StringBuffers, EmptyTextIsNullAndStoresNothing)
{
    kelvra::TStringBuffers buffers;
    EXPECT_EQ(buffers.Append(""), nullptr);
    EXPECT_EQ(buffers.Count(), 0u);
}

TEST(StringBuffers, CopiesLiveAtStableAddressesUntilTheListLetsGo)
{
    kelvra::TStringBuffers buffers;
    char *first = buffers.Append(std::string_view("ab\0cd", 5));
    char *twin = buffers.Append("ab");
    EXPECT_STREQ(first, "ab");
    EXPECT_NE(first, twin); // two copies of one text

    // Growing the list moves its pointer array, never the texts.
    for (int i = 0; i < 1000; ++i)
        buffers.Append("filler");
    EXPECT_STREQ(first, "ab");

    // Extracting hands the text over; deleting frees exactly that one (the
    // sanitizer build sees a double or missing free).
    char *extracted = static_cast<char *>(buffers.Extract(twin));
    ASSERT_EQ(extracted, twin);
    host::StrDispose(extracted);
    buffers.Delete(0);
    EXPECT_EQ(buffers.Count(), 1000u);
    EXPECT_STREQ(static_cast<char *>(buffers[0]), "filler");
}
