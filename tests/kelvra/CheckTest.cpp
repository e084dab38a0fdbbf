#include "FakeMapiCalls.h"

#include "kelvra/Errors.h"
#include "kelvra/Kelvra.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

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

// A platform that refuses an attachment without a reason (Windows' own
// library gives none): the error names the first file that is not one.
using AttachmentCheck = fake::FakeMapiTest;

TEST_F(AttachmentCheck, ARefusedAttachmentWithoutAReasonIsNamed)
{
    const std::string here = ::testing::TempDir() + "kelvra-check-attach.txt";
    std::ofstream(here) << "x";
    struct {
        ULONG result;
        const char16_t *attach;
        const char *reason; // empty: as the platform said it
    } rows[] = {
        {MAPI_E_ATTACHMENT_NOT_FOUND, u"HERE;/nowhere/report.pdf", "not a file that can be attached: /nowhere/report.pdf"},
        {MAPI_E_ATTACHMENT_OPEN_FAILURE, u"/", "not a file that can be attached: /"},
        {MAPI_E_ATTACHMENT_NOT_FOUND, u"HERE", ""}, // every file is there: nothing to add
        {MAPI_E_FAILURE, u"/nowhere", ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.reason);
        FakeMapi_Reset();
        kelvra::TKelvraSendMail mail;
        mail.SetSendTo(u"ann@example.org");
        std::u16string attach = row.attach;
        if (const size_t at = attach.find(u"HERE"); at != std::u16string::npos)
            attach.replace(at, 4, host::FromUtf8(here));
        mail.SetAttach(attach);
        FakeMapi_QueueResult("MAPISendMail", row.result);
        try {
            mail.Send();
            ADD_FAILURE() << "no exception";
        } catch (const EKelvraError &e) {
            EXPECT_EQ(e.ErrorCode, static_cast<std::int32_t>(row.result));
            // The reason beside the error; the message is the code's alone.
            EXPECT_EQ(host::ToUtf8(kelvra::LastReason()), row.reason);
            EXPECT_EQ(e.what(), host::ToUtf8(kelvra::CheckMessage(row.result)));
        }
    }
    std::remove(here.c_str());
}
