// KelvraE: the editors and Register.
#include "KelvraE.h"

#include "designer/Registry.h"
#include "host/Palette.h"
#include "kelvra/Kelvra.h"

namespace kelvrae {

namespace {

using designer::TPropertyAttribute;
using designer::TPropertyAttributes;

// The component under edit as the class the editor is bound to; the
// conversion is checked (std::bad_cast).
template <class C>
C &As(host::TComponent *component)
{
    return dynamic_cast<C &>(*component);
}

} // namespace

// ---- TRecipientProperty -------------------------------------------------------

const designer::TPropertyEditorClass &TRecipientProperty::StaticClass()
{
    static const auto cls = designer::PropertyEditorClass<TRecipientProperty>("TRecipientProperty");
    return cls;
}

void TRecipientProperty::Edit()
{
    if (As<kelvra::TKelvraSendMail>(GetComponent(0)).SelectRecipients())
        Modified();
}

TPropertyAttributes TRecipientProperty::GetAttributes()
{
    return {TPropertyAttribute::paDialog};
}

int TRecipientProperty::GetEditLimit()
{
    return -1;
}

// ---- TAttachProperty ----------------------------------------------------------

const designer::TPropertyEditorClass &TAttachProperty::StaticClass()
{
    static const auto cls = designer::PropertyEditorClass<TAttachProperty>("TAttachProperty");
    return cls;
}

void TAttachProperty::Edit()
{
    if (As<kelvra::TKelvraSendMail>(GetComponent(0)).AddAttachment())
        Modified();
}

TPropertyAttributes TAttachProperty::GetAttributes()
{
    return {TPropertyAttribute::paDialog};
}

int TAttachProperty::GetEditLimit()
{
    return -1;
}

// ---- TContactNameProperty -----------------------------------------------------

const designer::TPropertyEditorClass &TContactNameProperty::StaticClass()
{
    static const auto cls = designer::PropertyEditorClass<TContactNameProperty>("TContactNameProperty");
    return cls;
}

void TContactNameProperty::Edit()
{
    if (As<kelvra::TKelvraContact>(GetComponent(0)).SelectContact())
        Modified();
}

TPropertyAttributes TContactNameProperty::GetAttributes()
{
    return {TPropertyAttribute::paDialog, TPropertyAttribute::paMultiSelect, TPropertyAttribute::paAutoUpdate,
            TPropertyAttribute::paRevertable};
}

int TContactNameProperty::GetEditLimit()
{
    return -1;
}

// ---- TMessageIDProperty -------------------------------------------------------

const designer::TPropertyEditorClass &TMessageIDProperty::StaticClass()
{
    static const auto cls = designer::PropertyEditorClass<TMessageIDProperty>("TMessageIDProperty");
    return cls;
}

TPropertyAttributes TMessageIDProperty::GetAttributes()
{
    return {TPropertyAttribute::paValueList};
}

void TMessageIDProperty::GetValues(const designer::TGetStrProc &proc)
{
    auto &mail = As<kelvra::TKelvraReadMail>(GetComponent(0));
    // Seed and answer are one variable: each pass continues after the last.
    host::AnsiString id;
    for (;;) {
        const host::AnsiString type = host::ToAnsi(mail.GetMessageTypeFilter());
        if (!mail.NextMessageID(id, type, id))
            break;
        proc(host::FromAnsi(id));
    }
}

// ---- TKelvraSendMailEditor ----------------------------------------------------

const designer::TComponentEditorClass &TKelvraSendMailEditor::StaticClass()
{
    static const auto cls = designer::ComponentEditorClass<TKelvraSendMailEditor>("TKelvraSendMailEditor");
    return cls;
}

void TKelvraSendMailEditor::Edit()
{
    As<kelvra::TKelvraSendMail>(&Component()).Send();
}

void TKelvraSendMailEditor::ExecuteVerb(int index)
{
    if (index == 0)
        Edit();
}

designer::String TKelvraSendMailEditor::GetVerb(int index)
{
    return index == 0 ? u"&Send" : designer::String();
}

int TKelvraSendMailEditor::GetVerbCount()
{
    return 1;
}

// ---- TKelvraContactEditor -----------------------------------------------------

const designer::TComponentEditorClass &TKelvraContactEditor::StaticClass()
{
    static const auto cls = designer::ComponentEditorClass<TKelvraContactEditor>("TKelvraContactEditor");
    return cls;
}

void TKelvraContactEditor::Edit()
{
    (void)As<kelvra::TKelvraContact>(&Component()).BrowseAddressBook();
}

void TKelvraContactEditor::ExecuteVerb(int index)
{
    if (index == 0)
        Edit();
}

designer::String TKelvraContactEditor::GetVerb(int index)
{
    return index == 0 ? u"&Address Book" : designer::String();
}

int TKelvraContactEditor::GetVerbCount()
{
    return 1;
}

// ---- Register -----------------------------------------------------------------

void Register()
{
    using host::TPropertyKind;
    const host::TComponentClass &sendMail = kelvra::TKelvraSendMail::StaticClass();
    host::RegisterComponents(u"Tarnel", {&kelvra::TKelvraSession::StaticClass(), &sendMail,
                                         &kelvra::TKelvraReadMail::StaticClass(),
                                         &kelvra::TKelvraContact::StaticClass()});
    designer::RegisterComponentEditor(sendMail, TKelvraSendMailEditor::StaticClass());
    designer::RegisterComponentEditor(kelvra::TKelvraContact::StaticClass(), TKelvraContactEditor::StaticClass());
    designer::RegisterPropertyEditor(TPropertyKind::pkText, &sendMail, "Attach", TAttachProperty::StaticClass());
    designer::RegisterPropertyEditor(TPropertyKind::pkText, &sendMail, "Bcc", TRecipientProperty::StaticClass());
    designer::RegisterPropertyEditor(TPropertyKind::pkText, &sendMail, "Cc", TRecipientProperty::StaticClass());
    designer::RegisterPropertyEditor(TPropertyKind::pkText, &sendMail, "SendTo", TRecipientProperty::StaticClass());
    designer::RegisterPropertyEditor(TPropertyKind::pkText, &kelvra::TKelvraReadMail::StaticClass(), "MessageID",
                                     TMessageIDProperty::StaticClass());
    designer::RegisterPropertyEditor(TPropertyKind::pkText, &kelvra::TKelvraContact::StaticClass(), "ContactName",
                                     TContactNameProperty::StaticClass());
}

} // namespace kelvrae
