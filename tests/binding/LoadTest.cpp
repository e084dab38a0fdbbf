// Runs alone in its process: the binding loads once and never unloads.
#include "EntryPoints.h"
#include "FakeMapiCalls.h"

#include "kelvra/Kelvra.h"

#include <gtest/gtest.h>

using kelvra::EKelvraError;

namespace {

std::string Utf8(const host::String &s) { return host::ToUtf8(s); }

void ExpectLoadFailure(const host::String &name)
{
    try {
        kelvra::MapiLogOn();
        ADD_FAILURE() << "no exception";
    } catch (const EKelvraError &e) {
        EXPECT_EQ(e.ErrorCode, 0);
        const std::string message = e.what();
        const std::string tail = ": " + Utf8(name);
        ASSERT_GT(message.size(), tail.size());
        EXPECT_EQ(message.substr(message.size() - tail.size()), tail) << message;
    }
}

} // namespace

TEST(Binding, LoadsOnceOnFirstUseRetryingAfterAFailure)
{
    const host::String missing = u"no-such-mapi-library.dll";
    kelvra::MAPIDLL = missing;
    ExpectLoadFailure(missing);
    ExpectLoadFailure(missing); // tried again, and fails again

    kelvra::MAPIDLL = u"" KELVRA_FAKEMAPI_NAME;
    EXPECT_NE(kelvra::MapiResolveName(), nullptr);

    // Loaded: the setting is not read again.
    kelvra::MAPIDLL = missing;
    EXPECT_NO_THROW(kelvra::InitMapi());
    ExpectAllTwelveEntryPoints();

    // The entry points are the library's own: a call reaches the fake.
    FakeMapi_Reset();
    FakeMapi_QueueResult("MAPILogoff", MAPI_E_FAILURE);
    EXPECT_EQ(kelvra::MapiLogOff()(1, 0, 0, 0), MAPI_E_FAILURE);
    EXPECT_EQ(fake::CallNames(), std::vector<std::string>{"MAPILogoff"});
    // A failed platform call unloads nothing.
    EXPECT_NE(kelvra::MapiLogOff(), nullptr);
}
