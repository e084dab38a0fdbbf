// TKelvraContact: one address-book entry, resolved by name.
#pragma once

#include "host/Export.h"

#include "kelvra/Session.h"

#include <cstdint>
#include <vector>

namespace kelvra {

enum class TContactFlag : std::uint8_t {
    cfDialog,     // MAPI_DIALOG: the platform may ask the user to pick
    cfLogonUI,    // MAPI_LOGON_UI
    cfNewSession, // MAPI_NEW_SESSION
    cfNoModify,   // MAPI_AB_NOMODIFY
};
using TContactFlags = host::Set<TContactFlag>;

// Every change of ContactName resolves the new name at once; the answer is
// in ResolvedName, ResolvedAddress and the resolved entry identifier. At
// design time a failed resolve does not raise: both resolved texts show
// "(" message ")" instead.
class KELVRA_API TKelvraContact : public TKelvraSessionClient {
public:
    explicit TKelvraContact(host::TComponent *owner = nullptr) : TKelvraSessionClient(owner) {}

    static const host::TComponentClass &StaticClass();
    const host::TComponentClass &ClassType() const override { return StaticClass(); }

    // The address-book dialog with one field: the first picked entry's name
    // becomes ContactName. False (and nothing changed) when the user cancelled.
    bool SelectContact();
    // The address book with no field; an answer without entries clears
    // ContactName. False when the user cancelled.
    bool BrowseAddressBook();

    // The MAPIResolveName flag word of Flags.
    std::uint32_t MapiFlags() const;

    // Published properties.
    const String &GetAbout() const { return AboutText(); }
    void SetAbout(const String &) {}
    const String &GetContactName() const { return FContactName; }
    void SetContactName(const String &value);
    TContactFlags GetFlags() const { return FFlags; }
    void SetFlags(TContactFlags value) { FFlags = value; }
    const String &GetResolvedAddress() const { return FResolvedAddress; }
    void SetResolvedAddress(const String &) {}
    const String &GetResolvedName() const { return FResolvedName; }
    void SetResolvedName(const String &) {}

    // The resolved entry identifier: the component's own copy of the bytes
    // the platform returned, kept until the next resolve or destruction
    // (the platform's record is released before a resolve returns).
    // GetResolvedEntryID points at that copy (null when there is none);
    // it is pointer-sized, so nothing is cut where addresses are wide.
    const void *GetResolvedEntryID() const { return FResolvedEntry.empty() ? nullptr : FResolvedEntry.data(); }
    std::uint32_t GetResolvedEntrySize() const { return static_cast<std::uint32_t>(FResolvedEntry.size()); }
    const std::vector<std::uint8_t> &GetResolvedEntry() const { return FResolvedEntry; }

private:
    void ResolveName();
    bool ShowAddressBook(bool browse);

    String FContactName;
    TContactFlags FFlags;
    String FResolvedAddress;
    std::vector<std::uint8_t> FResolvedEntry;
    String FResolvedName;
};

} // namespace kelvra
