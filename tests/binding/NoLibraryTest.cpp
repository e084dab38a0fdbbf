// Runs alone in its process: no messaging library can be loaded at all.
#include "kelvra/Kelvra.h"

#include <gtest/gtest.h>

TEST(NoLibrary, AContactInTheDesignerShowsTheLoadFailureAndRaisesNothing)
{
    kelvra::MAPIDLL = u"no-such-mapi-library.dll";
    host::TComponent form(nullptr);
    auto *contact = new kelvra::TKelvraContact(&form);
    form.SetDesigning(true);
    EXPECT_NO_THROW(contact->SetContactName(u"Ann"));
    const host::String shown = contact->GetResolvedName();
    ASSERT_GT(shown.size(), 2u);
    EXPECT_EQ(shown.front(), u'(');
    EXPECT_EQ(shown.back(), u')');
    EXPECT_NE(shown.find(u": no-such-mapi-library.dll)"), host::String::npos) << host::ToUtf8(shown);
    EXPECT_EQ(contact->GetResolvedAddress(), shown);
    EXPECT_EQ(contact->GetResolvedEntrySize(), 0u);

    // At run time the same failure raises, with code 0.
    kelvra::TKelvraContact runtime;
    try {
        runtime.SetContactName(u"Ann");
        ADD_FAILURE() << "no exception";
    } catch (const kelvra::EKelvraError &e) {
        EXPECT_EQ(e.ErrorCode, 0);
    }
    EXPECT_EQ(runtime.GetContactName(), u"Ann");
}
