// KelvraE: the design-time unit. The property and component editors that a
// designer offers for the four components, and Register, which binds them.
// It calls only public operations of the components; the runtime unit never
// includes a designer header.
#pragma once

#include "designer/ComponentEditor.h"
#include "designer/PropertyEditor.h"

namespace kelvrae {

// SendTo, Cc and Bcc of TKelvraSendMail: the ellipsis button opens the
// address book on the first selected component (SelectRecipients).
class TRecipientProperty : public designer::TStringProperty {
public:
    using TStringProperty::TStringProperty;
    static const designer::TPropertyEditorClass &StaticClass();
    const designer::TPropertyEditorClass &ClassType() const override { return StaticClass(); }

    // SelectRecipients on the first selected component; Modified when it
    // returns true.
    void Edit() override;
    // paDialog (0x0004).
    designer::TPropertyAttributes GetAttributes() override;
    // -1.
    int GetEditLimit() override;
};

// Attach of TKelvraSendMail: the ellipsis button opens the file dialog on the
// first selected component (AddAttachment).
class TAttachProperty : public designer::TStringProperty {
public:
    using TStringProperty::TStringProperty;
    static const designer::TPropertyEditorClass &StaticClass();
    const designer::TPropertyEditorClass &ClassType() const override { return StaticClass(); }

    // AddAttachment on the first selected component; Modified when it
    // returns true.
    void Edit() override;
    // paDialog (0x0004).
    designer::TPropertyAttributes GetAttributes() override;
    // -1.
    int GetEditLimit() override;
};

// ContactName of TKelvraContact: the ellipsis button picks one entry in the
// address book (SelectContact, first selected component only); a name typed
// goes to every selected component at once, and each write resolves it.
class TContactNameProperty : public designer::TStringProperty {
public:
    using TStringProperty::TStringProperty;
    static const designer::TPropertyEditorClass &StaticClass();
    const designer::TPropertyEditorClass &ClassType() const override { return StaticClass(); }

    // SelectContact on the first selected component; Modified when it
    // returns true.
    void Edit() override;
    // paDialog, paMultiSelect, paAutoUpdate, paRevertable (0x009C).
    designer::TPropertyAttributes GetAttributes() override;
    // -1.
    int GetEditLimit() override;
};

// MessageID of TKelvraReadMail: a drop-down of the mailbox's identifiers.
class TMessageIDProperty : public designer::TStringProperty {
public:
    using TStringProperty::TStringProperty;
    static const designer::TPropertyEditorClass &StaticClass();
    const designer::TPropertyEditorClass &ClassType() const override { return StaticClass(); }

    // paValueList (0x0001): the list keeps the mailbox's order.
    designer::TPropertyAttributes GetAttributes() override;
    // Every identifier the platform yields from the start of the mailbox
    // under the first selected component's FindFlags and
    // MessageTypeFilter, in the platform's order. Neither the current
    // message nor MessageID changes (the session is opened if it is not).
    // A failure raises; the identifiers passed before it stay passed.
    void GetValues(const designer::TGetStrProc &proc) override;
};

// TKelvraSendMail: one verb, "&Send", which is also the default action.
class TKelvraSendMailEditor : public designer::TComponentEditor {
public:
    using TComponentEditor::TComponentEditor;
    static const designer::TComponentEditorClass &StaticClass();
    const designer::TComponentEditorClass &ClassType() const override { return StaticClass(); }

    // Sends the message as configured, at design time.
    void Edit() override;
    void ExecuteVerb(int index) override;
    designer::String GetVerb(int index) override;
    int GetVerbCount() override;
};

// TKelvraContact: one verb, "&Address Book", which is also the default
// action.
class TKelvraContactEditor : public designer::TComponentEditor {
public:
    using TComponentEditor::TComponentEditor;
    static const designer::TComponentEditorClass &StaticClass();
    const designer::TComponentEditorClass &ClassType() const override { return StaticClass(); }

    // Opens the address book without an entry field (BrowseAddressBook); the
    // designer is not told of a change, whatever the browse did.
    void Edit() override;
    void ExecuteVerb(int index) override;
    designer::String GetVerb(int index) override;
    int GetVerbCount() override;
};

// Puts the four components on the palette page "Tarnel" and binds the
// editors above: the two component editors, then the property editors of
// Attach, Bcc, Cc, SendTo, MessageID and ContactName, in this order.
void Register();

} // namespace kelvrae
