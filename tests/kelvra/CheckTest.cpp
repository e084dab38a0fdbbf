#include "kelvra/Errors.h"

#include <gtest/gtest.h>

using kelvra::EKelvraError;

TEST(Check, ZeroReturnsAndEveryOtherCodeRaisesWithItsFixedMessage)
{
    EXPECT_NO_THROW(kelvra::Check(0));
    struct {
        std::uint32_t code;
        std::int32_t errorCode;
        const char *message;
    } rows[] = {
        {1, 1, "The user canceled one of the dialog boxes."},
        {3, 3, "There was no default logon, and the user failed to log on successfully when the logon dialog box was displayed."},
        {7, 7, "Unknown error."},
        {16, 16, "A matching message could not be found."},
        {24, 24, "The value of the EditFields parameter was outside the range of 0 through 4."},
        {26, 26, "The operation was not supported by the underlying messaging system."},
        {27, 27, "Unknown error."},
        {0x80000000u, INT32_MIN, "Unknown error."},
        {0xFFFFFFFFu, -1, "Unknown error."},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.code);
        try {
            kelvra::Check(row.code);
            ADD_FAILURE() << "no exception";
        } catch (const EKelvraError &e) {
            EXPECT_EQ(e.ErrorCode, row.errorCode);
            EXPECT_STREQ(e.what(), row.message);
            EXPECT_EQ(e.Message(), host::FromUtf8(row.message));
        }
    }
}

TEST(Check, EveryCodeUpTo26HasItsOwnTextBut7)
{
    for (std::uint32_t code = 1; code <= 26; ++code) {
        SCOPED_TRACE(code);
        const bool unknown = host::String(kelvra::CheckMessage(code)) == u"Unknown error.";
        EXPECT_EQ(unknown, code == 7);
    }
}
