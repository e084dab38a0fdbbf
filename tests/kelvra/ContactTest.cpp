#include "FakeMapiCalls.h"

#include "host/Application.h"
#include "host/FormFile.h"
#include "kelvra/Kelvra.h"

#include <gtest/gtest.h>

using kelvra::EKelvraError;
using kelvra::TContactFlag;
using kelvra::TKelvraContact;

namespace {

MapiRecipDesc Entry(const char *name, const char *address, std::vector<unsigned char> *eid = nullptr)
{
    MapiRecipDesc r = fake::Recip(MAPI_TO, name, address);
    if (eid != nullptr) {
        r.ulEIDSize = static_cast<ULONG>(eid->size());
        r.lpEntryID = eid->data();
    }
    return r;
}

void QueueResolved(const char *name, const char *address, std::vector<unsigned char> eid = {})
{
    const MapiRecipDesc r = Entry(name, address, eid.empty() ? nullptr : &eid);
    FakeMapi_QueueResolved(&r);
}

using Contact = fake::FakeMapiTest;

} // namespace

TEST_F(Contact, EveryNewNameIsResolvedAndTheEntryIdentifierIsOurOwnCopy)
{
    TKelvraContact contact;
    QueueResolved("Ann Smith", "ann@x.org", {0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x01});
    contact.SetContactName(u"ann");
    EXPECT_EQ(contact.GetResolvedName(), u"Ann Smith");
    EXPECT_EQ(contact.GetResolvedAddress(), u"ann@x.org");
    ASSERT_EQ(contact.GetResolvedEntrySize(), 6u);
    // The platform's record is released by now; the bytes are still ours
    // (the sanitizer build would see a read of released memory).
    const auto *bytes = static_cast<const unsigned char *>(contact.GetResolvedEntryID());
    EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + 6), (std::vector<unsigned char>{0xDE, 0xAD, 0xBE, 0xEF, 0, 1}));
    EXPECT_EQ(contact.GetResolvedEntry().size(), 6u);

    const auto calls = fake::Calls();
    ASSERT_EQ(fake::CallNames(), (std::vector<std::string>{"MAPIResolveName", "MAPIFreeBuffer"}));
    EXPECT_EQ(calls[0].Text("name"), "ann");
    EXPECT_EQ(calls[0].Num("flags"), 0u);
    EXPECT_EQ(calls[0].Num("session"), 0u);
    EXPECT_EQ(calls[0].Num("ui"), 0u);

    // The same name again: nothing. Flags and Session: nothing either.
    contact.SetContactName(u"ann");
    contact.SetFlags({TContactFlag::cfDialog});
    kelvra::TKelvraSession session;
    contact.SetSession(&session);
    EXPECT_EQ(FakeMapi_CallCount(), 2u);
    EXPECT_EQ(contact.GetResolvedName(), u"Ann Smith");

    // Empty: all cleared, no call.
    contact.SetContactName(u"");
    EXPECT_EQ(contact.GetResolvedName(), u"");
    EXPECT_EQ(contact.GetResolvedAddress(), u"");
    EXPECT_EQ(contact.GetResolvedEntryID(), nullptr);
    EXPECT_EQ(contact.GetResolvedEntrySize(), 0u);
    EXPECT_EQ(FakeMapi_CallCount(), 2u);
    contact.SetSession(nullptr);
}

TEST_F(Contact, FlagsMapToTheResolveFlagWord)
{
    TKelvraContact contact;
    EXPECT_EQ(contact.MapiFlags(), 0u);
    contact.SetFlags({TContactFlag::cfDialog, TContactFlag::cfLogonUI, TContactFlag::cfNewSession,
                      TContactFlag::cfNoModify});
    EXPECT_EQ(contact.MapiFlags(), 0x40Bu);
    QueueResolved("N", "a@b");
    contact.SetContactName(u"N");
    EXPECT_EQ(fake::Calls()[0].Num("flags"), 0x40Bu);
}

TEST_F(Contact, AtRunTimeAFailedResolveRaisesAndKeepsTheNewName)
{
    TKelvraContact contact;
    QueueResolved("Ann", "ann@x.org");
    contact.SetContactName(u"ann");
    FakeMapi_QueueResult("MAPIResolveName", MAPI_E_UNKNOWN_RECIPIENT);
    EXPECT_EQ(fake::ErrorCodeOf([&] { contact.SetContactName(u"nobody"); }), 14);
    EXPECT_EQ(contact.GetContactName(), u"nobody");
    EXPECT_EQ(contact.GetResolvedName(), u"");
    EXPECT_EQ(contact.GetResolvedAddress(), u"");

    // Only the release failed: the answer was taken over.
    QueueResolved("Bob", "bob@x.org");
    FakeMapi_QueueResult("MAPIFreeBuffer", MAPI_E_FAILURE);
    EXPECT_EQ(fake::ErrorCodeOf([&] { contact.SetContactName(u"bob"); }), 2);
    EXPECT_EQ(contact.GetResolvedName(), u"Bob");
}

TEST_F(Contact, AtDesignTimeAFailedResolveShowsItsMessage)
{
    host::TComponent form(nullptr);
    auto *contact = new TKelvraContact(&form);
    form.SetDesigning(true);
    FakeMapi_QueueResult("MAPIResolveName", MAPI_E_UNKNOWN_RECIPIENT);
    contact->SetContactName(u"nobody");
    const host::String shown =
        u"(The recipient could not be resolved to any address. The recipient might not exist or might be unknown.)";
    EXPECT_EQ(contact->GetResolvedName(), shown);
    EXPECT_EQ(contact->GetResolvedAddress(), shown);
    EXPECT_EQ(contact->GetResolvedEntrySize(), 0u);

    contact->SetFlags({TContactFlag::cfDialog});
    FakeMapi_QueueResult("MAPIResolveName", MAPI_USER_ABORT);
    contact->SetContactName(u"ambiguous");
    EXPECT_EQ(contact->GetResolvedName(), u"(The user canceled one of the dialog boxes.)");
}

TEST_F(Contact, SelectContactTakesTheFirstPickedNameAndResolvesIt)
{
    TKelvraContact contact;
    contact.SetFlags({TContactFlag::cfNoModify});
    FakeMapi_QueueResult("MAPIAddress", MAPI_USER_ABORT);
    EXPECT_FALSE(contact.SelectContact());
    EXPECT_EQ(contact.GetContactName(), u"");

    FakeMapi_ClearCalls();
    const MapiRecipDesc picked[] = {Entry("Carol", "carol@x.org"), Entry("Dave", "dave@x.org"),
                                    Entry("Eve", "eve@x.org")};
    FakeMapi_QueueAddressAnswer(3, picked);
    QueueResolved("Carol C.", "carol@x.org");
    EXPECT_TRUE(contact.SelectContact());
    EXPECT_EQ(contact.GetContactName(), u"Carol");
    EXPECT_EQ(contact.GetResolvedName(), u"Carol C.");
    const auto calls = fake::Calls();
    ASSERT_EQ(fake::CallNames(),
              (std::vector<std::string>{"MAPIAddress", "MAPIResolveName", "MAPIFreeBuffer", "MAPIFreeBuffer"}));
    EXPECT_EQ(calls[0].Num("editFields"), 1u);
    EXPECT_TRUE(calls[0].IsNull("caption"));
    EXPECT_TRUE(calls[0].IsNull("labels"));
    EXPECT_TRUE(calls[0].IsNull("recips"));
    EXPECT_EQ(calls[0].Num("recipCount"), 0u);
    EXPECT_EQ(calls[0].Num("flags"), 0u); // the contact's flags are for the resolve
    EXPECT_EQ(calls[1].Num("flags"), 0x400u);

    // Picking the name already held resolves nothing.
    FakeMapi_ClearCalls();
    const MapiRecipDesc same[] = {Entry("Carol", nullptr)};
    FakeMapi_QueueAddressAnswer(1, same);
    EXPECT_TRUE(contact.SelectContact());
    EXPECT_EQ(fake::CallNames(), (std::vector<std::string>{"MAPIAddress", "MAPIFreeBuffer"}));
    EXPECT_EQ(contact.GetResolvedName(), u"Carol C.");

    // A first entry without a name clears the contact.
    const MapiRecipDesc nameless[] = {Entry(nullptr, "x@y")};
    FakeMapi_QueueAddressAnswer(1, nameless);
    EXPECT_TRUE(contact.SelectContact());
    EXPECT_EQ(contact.GetContactName(), u"");
    EXPECT_EQ(contact.GetResolvedAddress(), u"");

    FakeMapi_QueueResult("MAPIAddress", MAPI_E_FAILURE);
    EXPECT_EQ(fake::ErrorCodeOf([&] { contact.SelectContact(); }), 2);
}

TEST_F(Contact, BrowsingWithNoEntryClearsTheName)
{
    TKelvraContact contact;
    QueueResolved("Ann", "ann@x.org");
    contact.SetContactName(u"ann");
    FakeMapi_ClearCalls();
    FakeMapi_QueueAddressAnswer(0, nullptr);
    EXPECT_TRUE(contact.BrowseAddressBook());
    EXPECT_EQ(contact.GetContactName(), u"");
    EXPECT_EQ(contact.GetResolvedName(), u"");
    EXPECT_EQ(fake::CallNames(), std::vector<std::string>{"MAPIAddress"});
    EXPECT_EQ(fake::Calls()[0].Num("editFields"), 0u);
}

TEST_F(Contact, AStoredNameIsResolvedWhileTheFormIsReadWithoutFlagsOrSession)
{
    QueueResolved("Ann", "ann@x.org");
    // The name, the flags, the session: what is written back too, and
    // nothing resolved.
    const std::string stored = "object Form: TComponent\n"
                               "  object Contact: TKelvraContact\n"
                               "    ContactName = 'ann'\n"
                               "    Flags = [cfDialog]\n"
                               "    Session = Session\n"
                               "  end\n"
                               "  object Session: TKelvraSession\n"
                               "    Active = False\n"
                               "    Flags = []\n"
                               "  end\n"
                               "end\n";
    auto form = host::ReadForm(stored);
    ASSERT_EQ(fake::CallNames(), (std::vector<std::string>{"MAPIResolveName", "MAPIFreeBuffer"}));
    EXPECT_EQ(fake::Calls()[0].Num("flags"), 0u);
    EXPECT_EQ(fake::Calls()[0].Num("session"), 0u);
    auto *contact = static_cast<TKelvraContact *>(form->FindComponent(u"Contact"));
    EXPECT_EQ(contact->GetResolvedName(), u"Ann");
    EXPECT_EQ(contact->GetFlags(), kelvra::TContactFlags{TContactFlag::cfDialog});
    EXPECT_EQ(contact->GetSession(), form->FindComponent(u"Session"));
    EXPECT_EQ(host::WriteForm(*form), stored);

    // At run time a stored name that does not resolve fails the read.
    FakeMapi_QueueResult("MAPIResolveName", MAPI_E_UNKNOWN_RECIPIENT);
    EXPECT_THROW(host::ReadForm("object Form: TComponent\n  object C: TKelvraContact\n    ContactName = 'x'\n"
                                "    Flags = []\n  end\nend\n"),
                 EKelvraError);
}
