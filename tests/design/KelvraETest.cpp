// The design-time unit against the recording Simple MAPI library: what
// Register binds, and what each editor does to the component and the
// designer.
#include "../FakeMapiCalls.h"
#include "RecordingDesigner.h"

#include "designer/Registry.h"
#include "host/OpenDialog.h"
#include "kelvra/Kelvra.h"
#include "KelvraE.h"

#include <gtest/gtest.h>

using designer::TRegistration;
using namespace kelvra;

namespace {

class KelvraE : public fake::FakeMapiWithWindow {
protected:
    void SetUp() override
    {
        FakeMapiWithWindow::SetUp();
        form.SetName(u"Form1");
        form.SetDesigning(true);
    }
    void TearDown() override
    {
        designer::UnregisterModule(nullptr);
        FakeMapiWithWindow::TearDown();
    }

    template <class C>
    C *Add(const char16_t *name)
    {
        auto *c = new C(&form);
        c->SetName(name);
        c->SetDesigning(true);
        return c;
    }

    std::vector<std::string> ValueList(host::TComponent *mail)
    {
        std::vector<std::string> ids;
        designer::CreatePropertyEditor(designer, {mail}, "MessageID")->GetValues([&](const host::String &v) {
            ids.push_back(host::ToUtf8(v));
        });
        return ids;
    }

    host::TComponent form{nullptr};
    RecordingDesigner designer{form};
};

} // namespace

TEST_F(KelvraE, RegisterMakesExactlyTheNineCallsInOrder)
{
    kelvrae::Register();
    const auto r = designer::Registrations();
    ASSERT_EQ(r.size(), 9u);
    EXPECT_EQ(r[0].Kind, TRegistration::TKind::Components);
    EXPECT_EQ(r[0].Page, u"Tarnel");
    EXPECT_EQ(r[0].Classes, (std::vector<const host::TComponentClass *>{
                                &TKelvraSession::StaticClass(), &TKelvraSendMail::StaticClass(),
                                &TKelvraReadMail::StaticClass(), &TKelvraContact::StaticClass()}));
    const struct {
        TRegistration::TKind kind;
        const host::TComponentClass *cls;
        const char *property;
        std::string_view editor;
    } rows[] = {
        {TRegistration::TKind::ComponentEditor, &TKelvraSendMail::StaticClass(), "", "TKelvraSendMailEditor"},
        {TRegistration::TKind::ComponentEditor, &TKelvraContact::StaticClass(), "", "TKelvraContactEditor"},
        {TRegistration::TKind::PropertyEditor, &TKelvraSendMail::StaticClass(), "Attach", "TAttachProperty"},
        {TRegistration::TKind::PropertyEditor, &TKelvraSendMail::StaticClass(), "Bcc", "TRecipientProperty"},
        {TRegistration::TKind::PropertyEditor, &TKelvraSendMail::StaticClass(), "Cc", "TRecipientProperty"},
        {TRegistration::TKind::PropertyEditor, &TKelvraSendMail::StaticClass(), "SendTo", "TRecipientProperty"},
        {TRegistration::TKind::PropertyEditor, &TKelvraReadMail::StaticClass(), "MessageID", "TMessageIDProperty"},
        {TRegistration::TKind::PropertyEditor, &TKelvraContact::StaticClass(), "ContactName", "TContactNameProperty"},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(i + 2);
        const TRegistration &got = r[i + 1];
        EXPECT_EQ(got.Kind, rows[i].kind);
        EXPECT_EQ(got.ComponentClass, rows[i].cls);
        if (got.Kind == TRegistration::TKind::PropertyEditor) {
            EXPECT_EQ(got.PropertyType, host::TPropertyKind::pkText);
            EXPECT_EQ(got.PropertyName, rows[i].property);
            EXPECT_EQ(got.PropertyEditor->Name, rows[i].editor);
        } else {
            EXPECT_EQ(got.ComponentEditor->Name, rows[i].editor);
        }
    }
    // Read back through the lookup: every property of every class, and the
    // component editors; everything else keeps the designer's defaults.
    const std::map<std::pair<std::string_view, std::string_view>, std::string_view> custom = {
        {{"TKelvraSendMail", "SendTo"}, "TRecipientProperty"}, {{"TKelvraSendMail", "Cc"}, "TRecipientProperty"},
        {{"TKelvraSendMail", "Bcc"}, "TRecipientProperty"},    {{"TKelvraSendMail", "Attach"}, "TAttachProperty"},
        {{"TKelvraReadMail", "MessageID"}, "TMessageIDProperty"},
        {{"TKelvraContact", "ContactName"}, "TContactNameProperty"}};
    for (const host::TComponentClass *cls : r[0].Classes)
        for (const host::TPropertyInfo &p : cls->Properties) {
            SCOPED_TRACE(std::string(cls->Name) + "." + std::string(p.Name));
            const auto it = custom.find({cls->Name, p.Name});
            EXPECT_EQ(designer::FindPropertyEditor(*cls, p).Name,
                      it != custom.end() ? it->second : designer::DefaultPropertyEditor(p.Kind).Name);
        }
    EXPECT_EQ(designer::FindComponentEditor(TKelvraSession::StaticClass()).Name, "TDefaultEditor");
    EXPECT_EQ(designer::FindComponentEditor(TKelvraReadMail::StaticClass()).Name, "TDefaultEditor");
}

TEST_F(KelvraE, AttributesAndEditLimits)
{
    kelvrae::Register();
    auto *send = Add<TKelvraSendMail>(u"Send1");
    auto *read = Add<TKelvraReadMail>(u"Read1");
    auto *contact = Add<TKelvraContact>(u"Contact1");
    const int stringLimit = designer::CreatePropertyEditor(designer, {send}, "Subject")->GetEditLimit();
    const struct {
        host::TComponent *component;
        const char *property;
        std::uint16_t attributes;
        int limit;
    } rows[] = {
        {send, "SendTo", 0x0004, -1}, {send, "Cc", 0x0004, -1},      {send, "Bcc", 0x0004, -1},
        {send, "Attach", 0x0004, -1}, {contact, "ContactName", 0x009C, -1}, {read, "MessageID", 0x0001, stringLimit},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.property);
        auto editor = designer::CreatePropertyEditor(designer, {row.component}, row.property);
        EXPECT_EQ(editor->GetAttributes().Bits(), row.attributes);
        EXPECT_EQ(editor->GetEditLimit(), row.limit);
    }
}

TEST_F(KelvraE, DialogEditorsTellTheDesignerOnlyWhenTheDialogConfirmed)
{
    kelvrae::Register();
    auto *first = Add<TKelvraSendMail>(u"Send1");
    auto *second = Add<TKelvraSendMail>(u"Send2");
    auto *contact = Add<TKelvraContact>(u"Contact1");
    auto *other = Add<TKelvraContact>(u"Contact2");
    std::vector<std::vector<host::String>> files{{u"/tmp/a.txt"}};
    host::SetOpenDialogBackend([&](const host::TOpenDialogRequest &) -> std::optional<std::vector<host::String>> {
        if (files.empty())
            return std::nullopt;
        auto chosen = files.back();
        files.pop_back();
        return chosen;
    });
    const MapiRecipDesc picked[] = {fake::Recip(MAPI_TO, "Ann", "ann@x.org")};

    const struct {
        const char *what;
        std::function<void()> script;
        host::TComponent *target;
        const char *property;
        int modified;
    } rows[] = {
        {"recipients picked", [&] { FakeMapi_QueueAddressAnswer(1, picked); }, first, "SendTo", 1},
        {"recipients cancelled", [] { FakeMapi_QueueResult("MAPIAddress", MAPI_USER_ABORT); }, first, "Cc", 0},
        {"file picked", [] {}, first, "Attach", 1},
        {"file cancelled", [] {}, first, "Attach", 0},
        {"contact picked", [&] { FakeMapi_QueueAddressAnswer(1, picked); FakeMapi_QueueResolved(&picked[0]); },
         contact, "ContactName", 1},
        {"contact cancelled", [] { FakeMapi_QueueResult("MAPIAddress", MAPI_USER_ABORT); }, contact, "ContactName", 0},
    };
    host::TComponent *secondOf[] = {second, second, second, second, other, other};
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].what);
        rows[i].script();
        designer.modified = 0;
        auto editor = designer::CreatePropertyEditor(designer, {rows[i].target, secondOf[i]}, rows[i].property);
        editor->Edit();
        EXPECT_EQ(designer.modified, rows[i].modified);
        EXPECT_FALSE(editor->AllEqual() && rows[i].modified == 1) << "only the first selected was edited";
    }
    EXPECT_EQ(first->GetSendTo(), u"ann@x.org");
    EXPECT_EQ(first->GetAttach(), u"/tmp/a.txt");
    EXPECT_EQ(contact->GetContactName(), u"Ann");
    EXPECT_EQ(second->GetSendTo(), u"");
    EXPECT_EQ(other->GetContactName(), u"");

    // A failure of the operation reaches the designer unchanged.
    FakeMapi_QueueResult("MAPIAddress", MAPI_E_FAILURE);
    designer.modified = 0;
    EXPECT_EQ(fake::ErrorCodeOf([&] { designer::CreatePropertyEditor(designer, {first}, "Bcc")->Edit(); }),
              static_cast<int>(MAPI_E_FAILURE));
    EXPECT_EQ(designer.modified, 0);
}

TEST_F(KelvraE, ATypedContactNameGoesToEverySelectedContact)
{
    kelvrae::Register();
    auto *a = Add<TKelvraContact>(u"Contact1");
    auto *b = Add<TKelvraContact>(u"Contact2");
    FakeMapi_QueueResult("MAPIResolveName", MAPI_E_UNKNOWN_RECIPIENT); // at design time: shown, not raised
    auto editor = designer::CreatePropertyEditor(designer, {a, b}, "ContactName");
    editor->SetValue(u"Ann");
    EXPECT_EQ(a->GetContactName(), u"Ann");
    EXPECT_EQ(b->GetContactName(), u"Ann");
    EXPECT_EQ(designer.modified, 1);
    EXPECT_EQ(fake::CallNames(), (std::vector<std::string>{"MAPIResolveName", "MAPIResolveName"}));
    EXPECT_EQ(a->GetResolvedName().front(), u'(');
}

TEST_F(KelvraE, ComponentEditorVerbs)
{
    kelvrae::Register();
    auto *send = Add<TKelvraSendMail>(u"Send1");
    auto *contact = Add<TKelvraContact>(u"Contact1");
    contact->SetContactName(u"Someone");
    send->SetSubject(u"Design time");
    FakeMapi_Reset();

    auto sendEditor = designer::CreateComponentEditor(*send, designer);
    auto contactEditor = designer::CreateComponentEditor(*contact, designer);
    const struct {
        designer::TComponentEditor *editor;
        const char16_t *verb;
        const char *call;
    } rows[] = {{sendEditor.get(), u"&Send", "MAPISendMail"}, {contactEditor.get(), u"&Address Book", "MAPIAddress"}};
    for (const auto &row : rows) {
        SCOPED_TRACE(host::ToUtf8(row.verb));
        EXPECT_EQ(row.editor->GetVerbCount(), 1);
        EXPECT_EQ(row.editor->GetVerb(0), row.verb);
        EXPECT_EQ(row.editor->GetVerb(1), u"");
        FakeMapi_ClearCalls();
        row.editor->ExecuteVerb(1);
        EXPECT_TRUE(fake::CallNames().empty()) << "verb 1 does nothing";
        FakeMapi_QueueAddressAnswer(0, nullptr);
        row.editor->ExecuteVerb(0);
        FakeMapi_QueueAddressAnswer(0, nullptr);
        row.editor->Edit();
        EXPECT_EQ(fake::CallNames(), (std::vector<std::string>{row.call, row.call}));
        if (std::string(row.call) == "MAPISendMail") {
            EXPECT_EQ(fake::Last("MAPISendMail").Text("msg.subject"), "Design time");
        }
    }
    // The browse opened the book without an entry field; its empty answer
    // cleared the name, and the designer was not told.
    EXPECT_EQ(fake::Last("MAPIAddress").Num("editFields"), 0u);
    EXPECT_EQ(contact->GetContactName(), u"");
    EXPECT_EQ(designer.modified, 0);
    FakeMapi_Reset();
}

TEST_F(KelvraE, TheMessageIdentifierListWalksTheMailboxAndMovesNothing)
{
    kelvrae::Register();
    auto *mail = Add<TKelvraReadMail>(u"Read1");
    mail->SetFindFlags({TFindFlag::ffUnreadOnly});
    mail->SetMessageTypeFilter(u"IPM.Kelvra");
    EXPECT_TRUE(ValueList(mail).empty()) << "an empty mailbox";

    FakeMapi_ClearCalls();
    for (const char *id : {"m1", "m2", "m3"})
        FakeMapi_QueueFoundId(id);
    EXPECT_EQ(ValueList(mail), (std::vector<std::string>{"m1", "m2", "m3"}));
    const auto calls = fake::Calls();
    ASSERT_EQ(calls.size(), 4u);
    const char *seeds[] = {"", "m1", "m2", "m3"};
    for (std::size_t i = 0; i < calls.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(calls[i].function, "MAPIFindNext");
        EXPECT_EQ(calls[i].Text("seed"), seeds[i]);
        EXPECT_EQ(calls[i].Text("type"), "IPM.Kelvra");
        EXPECT_EQ(calls[i].Num("flags"), MAPI_UNREAD_ONLY | MAPI_LONG_MSGID);
    }
    EXPECT_EQ(mail->GetMessageID(), u"");
    EXPECT_EQ(mail->State(), TReadMailState::NoMessage);

    // A failure part way: what was listed stays listed, then it raises.
    FakeMapi_QueueFoundId("m1");
    FakeMapi_QueueResult("MAPIFindNext", SUCCESS_SUCCESS);
    FakeMapi_QueueResult("MAPIFindNext", MAPI_E_FAILURE);
    std::vector<std::string> listed;
    auto editor = designer::CreatePropertyEditor(designer, {mail}, "MessageID");
    EXPECT_EQ(fake::ErrorCodeOf([&] {
                  editor->GetValues([&](const host::String &v) { listed.push_back(host::ToUtf8(v)); });
              }),
              static_cast<int>(MAPI_E_FAILURE));
    EXPECT_EQ(listed, std::vector<std::string>{"m1"});
}
