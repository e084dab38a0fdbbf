// The design-time unit against the POSIX provider on a real Maildir.
#include "../provider/ProviderHome.h"
#include "RecordingDesigner.h"

#include "designer/Registry.h"
#include "kelvra/Kelvra.h"
#include "KelvraE.h"

using namespace provider_test;

namespace {

class KelvraEProvider : public ProviderHome {
protected:
    void SetUp() override
    {
        ProviderHome::SetUp();
        kelvra::MAPIDLL = u"libkelvramapi.so";
        kelvrae::Register();
        form.SetDesigning(true);
        session->SetName(u"Session1");
        session->SetProfileName(u"Work");
    }
    void TearDown() override
    {
        designer::UnregisterModule(nullptr);
        ProviderHome::TearDown();
    }

    host::TComponent form{nullptr};
    kelvra::TKelvraSession *session = new kelvra::TKelvraSession(&form);
    RecordingDesigner designer{form};
};

} // namespace

TEST_F(KelvraEProvider, SendVerbThenTheFilteredIdentifierList)
{
    auto *mail = new kelvra::TKelvraSendMail(&form);
    mail->SetSession(session);
    mail->SetSendTo(u"Ann");
    auto editor = designer::CreateComponentEditor(*mail, designer);
    for (const char16_t *type : {u"", u"IPM.Kelvra.Report", u"", u"IPM.Kelvra.Report"}) {
        mail->SetMessageType(type);
        editor->ExecuteVerb(0); // "&Send", at design time
    }
    EXPECT_EQ(designer.modified, 0);

    auto *inbox = new kelvra::TKelvraReadMail(&form);
    inbox->SetSession(session);
    inbox->SetFindFlags({kelvra::TFindFlag::ffFifo});
    const auto list = [&] {
        std::vector<host::String> ids;
        designer::CreatePropertyEditor(designer, {inbox}, "MessageID")->GetValues([&](const host::String &id) {
            ids.push_back(id);
        });
        return ids;
    };
    // Every identifier a walk finds, in the walk's order.
    std::vector<host::String> walked;
    inbox->SetMessageTypeFilter(u"IPM.Kelvra");
    host::AnsiString id;
    while (inbox->NextMessageID(id, "IPM.Kelvra", id))
        walked.push_back(host::FromAnsi(id));
    ASSERT_EQ(walked.size(), 2u);
    EXPECT_EQ(list(), walked);
    inbox->SetMessageTypeFilter(u"");
    EXPECT_EQ(list().size(), 2u) << "ordinary mail only";
    inbox->SetMessageTypeFilter(u"IPM.Nothing");
    EXPECT_TRUE(list().empty());
    EXPECT_EQ(inbox->GetMessageID(), u"");

    // Choosing an entry writes it through the string editor.
    auto editor2 = designer::CreatePropertyEditor(designer, {inbox}, "MessageID");
    editor2->SetValue(walked[1]);
    EXPECT_EQ(inbox->GetMessageID(), walked[1]);
    EXPECT_EQ(designer.modified, 1);
}
