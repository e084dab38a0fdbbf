#include "FakeMapiCalls.h"

#include "host/Application.h"
#include "host/FormFile.h"
#include "kelvra/Kelvra.h"

#include <gtest/gtest.h>

#include <memory>

using kelvra::EKelvraError;
using kelvra::TKelvraSession;
using kelvra::TSessionFlag;
using kelvra::TSessionFlags;

namespace {


// A referring component as the mail components are, with its protected
// parts opened for the test.
class TClient : public kelvra::TKelvraSessionClient {
public:
    explicit TClient(host::TComponent *owner = nullptr) : TKelvraSessionClient(owner) {}
    using TKelvraSessionClient::ParentWnd;
};

using Session = fake::FakeMapiWithWindow;

} // namespace

TEST_F(Session, FlagWordsAndParentWindowFollowTheFlags)
{
    struct {
        TSessionFlags flags;
        unsigned long long word;
        ULONG_PTR window;
    } rows[] = {
        {{}, 0x0, kMainWindow},
        {{TSessionFlag::seForceDownload}, 0x1000, kMainWindow},
        {{TSessionFlag::seLogonUI}, 0x1, kMainWindow},
        {{TSessionFlag::seNewSession}, 0x2, kMainWindow},
        {{TSessionFlag::sePasswordUI}, 0x20000, kMainWindow},
        {{TSessionFlag::seNoParentWindow}, 0x0, 0},
        {{TSessionFlag::seForceDownload, TSessionFlag::seLogonUI, TSessionFlag::seNewSession,
          TSessionFlag::sePasswordUI, TSessionFlag::seNoParentWindow},
         0x21003, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.word);
        FakeMapi_Reset();
        TKelvraSession session;
        session.SetFlags(row.flags);
        EXPECT_EQ(session.MapiFlags(), row.word);
        session.Open();
        session.Close();
        const auto calls = fake::Calls();
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(calls[0].Num("flags"), row.word);
        EXPECT_EQ(calls[0].Num("ui"), row.window);
        EXPECT_EQ(calls[0].Num("reserved"), 0u);
        EXPECT_EQ(calls[1].function, "MAPILogoff");
        EXPECT_EQ(calls[1].Num("session"), 0x5E55u);
        EXPECT_EQ(calls[1].Num("ui"), row.window);
        EXPECT_EQ(calls[1].Num("flags"), 0u);
        EXPECT_EQ(calls[1].Num("reserved"), 0u);
    }
}

TEST_F(Session, EmptyProfileAndPasswordGoAsNullOthersAsAnsiText)
{
    TKelvraSession session;
    session.Open();
    session.Close();
    session.SetProfileName(u"B\u00fcro");
    session.SetPassword(u"p w");
    session.Open();
    const auto calls = fake::Calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_TRUE(calls[0].IsNull("profile"));
    EXPECT_TRUE(calls[0].IsNull("password"));
    EXPECT_EQ(calls[2].Text("profile"), host::ToAnsi(u"B\u00fcro"));
    EXPECT_EQ(calls[2].Text("password"), "p w");
}

TEST_F(Session, OpenAndCloseCallThePlatformOnlyWhenTheyChangeSomething)
{
    TKelvraSession session;
    session.Close();
    EXPECT_TRUE(fake::Calls().empty());
    session.SetActive(true);
    session.SetActive(true);
    session.Open();
    EXPECT_TRUE(session.GetActive());
    EXPECT_EQ(session.Handle(), 0x5E55u);
    session.SetActive(false);
    session.Close();
    EXPECT_EQ(fake::CallNames(), (std::vector<std::string>{"MAPILogon", "MAPILogoff"}));

    // Options changed while active wait for the next logon.
    session.Open();
    session.SetProfileName(u"Other");
    session.Open();
    session.Close();
    session.Open();
    const auto calls = fake::Calls();
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_TRUE(calls[2].IsNull("profile"));
    EXPECT_EQ(calls[4].Text("profile"), "Other");
}

TEST_F(Session, AFailedLogonHoldsNoHandleWhateverThePlatformWrote)
{
    TKelvraSession session;
    FakeMapi_SetLogonHandle(0x77);
    FakeMapi_QueueResult("MAPILogon", MAPI_E_LOGON_FAILURE);
    try {
        session.SetActive(true);
        ADD_FAILURE() << "no exception";
    } catch (const EKelvraError &e) {
        EXPECT_EQ(e.ErrorCode, 3);
    }
    EXPECT_FALSE(session.GetActive());
    EXPECT_EQ(session.Handle(), 0u);
    // Nothing to log off: destruction makes no call.
}

TEST_F(Session, AFailedLogoffStillEndsTheSession)
{
    TKelvraSession session;
    session.Open();
    FakeMapi_QueueResult("MAPILogoff", MAPI_E_INVALID_SESSION);
    try {
        session.Close();
        ADD_FAILURE() << "no exception";
    } catch (const EKelvraError &e) {
        EXPECT_EQ(e.ErrorCode, 19);
    }
    EXPECT_FALSE(session.GetActive());
    session.Open(); // a fresh logon
    EXPECT_EQ(fake::CallNames(), (std::vector<std::string>{"MAPILogon", "MAPILogoff", "MAPILogon"}));
}

TEST_F(Session, DestroyingReportsAFailedLogoffToTheApplicationNotByRaising)
{
    std::string reported;
    host::Application().SetOnException([&](const std::exception &e) { reported = e.what(); });
    {
        TKelvraSession session;
        session.Open();
        FakeMapi_QueueResult("MAPILogoff", MAPI_E_FAILURE);
    }
    EXPECT_EQ(reported, "One or more unspecified errors occurred.");
    EXPECT_EQ(fake::CallNames(), (std::vector<std::string>{"MAPILogon", "MAPILogoff"}));
}

TEST_F(Session, AStoredActiveSessionLogsOnOnlyAfterTheWholeFormWasRead)
{
    // Written back as it was: Active and Flags always, the texts when not
    // empty, About never.
    const std::string stored = "object Form: TComponent\n"
                               "  object KelvraSession1: TKelvraSession\n"
                               "    Active = True\n"
                               "    Flags = [seLogonUI, seNoParentWindow]\n"
                               "    Password = 'secret'\n"
                               "    ProfileName = 'Work'\n"
                               "  end\n"
                               "end\n";
    auto form = host::ReadForm(stored);
    auto *session = static_cast<TKelvraSession *>(form->FindComponent(u"KelvraSession1"));
    ASSERT_NE(session, nullptr);
    EXPECT_TRUE(session->GetActive());
    const auto calls = fake::Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Text("profile"), "Work");
    EXPECT_EQ(calls[0].Text("password"), "secret");
    EXPECT_EQ(calls[0].Num("flags"), 0x1u);
    EXPECT_EQ(calls[0].Num("ui"), 0u);

    EXPECT_EQ(host::WriteForm(*form), stored);
    form.reset();
    EXPECT_EQ(fake::CallNames(), (std::vector<std::string>{"MAPILogon", "MAPILogoff"}));

    FakeMapi_Reset();
    form = host::ReadForm("object Form: TComponent\n"
                          "  object S: TKelvraSession\n"
                          "    Active = False\n"
                          "    Flags = []\n"
                          "  end\n"
                          "end\n");
    EXPECT_TRUE(fake::Calls().empty());
}

TEST_F(Session, AFailedStoredLogonRaisesOutOfTheReadAndLeavesNothing)
{
    FakeMapi_QueueResult("MAPILogon", MAPI_E_LOGON_FAILURE);
    EXPECT_THROW(host::ReadForm("object Form: TComponent\n  object S: TKelvraSession\n    Active = True\n"
                                "  end\nend\n"),
                 EKelvraError);
    EXPECT_EQ(fake::CallNames(), std::vector<std::string>{"MAPILogon"});
}

TEST_F(Session, AReferringComponentOpensTheSessionAndDropsItWhenItGoes)
{
    TClient loose;
    EXPECT_EQ(loose.SessionHandle(), 0u);
    EXPECT_EQ(loose.ParentWnd(), 0u);
    EXPECT_TRUE(fake::Calls().empty());

    // Same owner: the framework's removal notice reaches the client.
    auto form = std::make_unique<host::TComponent>(nullptr);
    auto *session = new TKelvraSession(form.get());
    auto *client = new TClient(form.get());
    client->SetSession(session);
    EXPECT_EQ(client->SessionHandle(), 0x5E55u);
    EXPECT_TRUE(session->GetActive());
    EXPECT_EQ(client->ParentWnd(), kMainWindow);
    delete session;
    EXPECT_EQ(client->GetSession(), nullptr);
    EXPECT_EQ(client->SessionHandle(), 0u);

    // Different owners: the free notification does it.
    auto other = std::make_unique<host::TComponent>(nullptr);
    session = new TKelvraSession(other.get());
    client->SetSession(session);
    other.reset();
    EXPECT_EQ(client->GetSession(), nullptr);
    EXPECT_EQ(client->ParentWnd(), 0u);

    // And a client that goes first leaves the session nothing to call.
    auto lone = std::make_unique<TKelvraSession>();
    auto lateClient = std::make_unique<TClient>();
    lateClient->SetSession(lone.get());
    lateClient.reset();
    lone.reset();
    EXPECT_EQ(fake::CallNames(), (std::vector<std::string>{"MAPILogon", "MAPILogoff"}));
}
