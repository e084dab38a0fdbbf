#include "kelvra/Contact.h"

#include "Internal.h"
#include "MapiBlock.h"
#include "kelvra/Binding.h"
#include "kelvra/Errors.h"

#include <exception>

namespace kelvra {

namespace {

constexpr std::uint32_t kResolveBits[] = {MAPI_DIALOG, MAPI_LOGON_UI, MAPI_NEW_SESSION, MAPI_AB_NOMODIFY};
constexpr std::string_view kContactFlagNames[] = {"cfDialog", "cfLogonUI", "cfNewSession", "cfNoModify"};

const bool registered = (host::RegisterClass(TKelvraContact::StaticClass()), true);

// The message of whatever was raised, for the design-time display.
String MessageOf(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const host::Exception &e) {
        return e.Message();
    } catch (const std::exception &e) {
        return host::FromUtf8(e.what());
    } catch (...) {
        return u"Unknown error.";
    }
}

} // namespace

const host::TComponentClass &TKelvraContact::StaticClass()
{
    using host::TStored;
    using C = TKelvraContact;
    static const host::TPropertyInfo properties[] = {
        host::TextProperty<C, &C::GetAbout, &C::SetAbout>("About", TStored::Never),
        host::TextProperty<C, &C::GetContactName, &C::SetContactName>("ContactName", TStored::WhenNotEmpty),
        host::SetProperty<C, TContactFlags, &C::GetFlags, &C::SetFlags>("Flags", TStored::Always, kContactFlagNames),
        host::TextProperty<C, &C::GetResolvedAddress, &C::SetResolvedAddress>("ResolvedAddress", TStored::Never),
        host::TextProperty<C, &C::GetResolvedName, &C::SetResolvedName>("ResolvedName", TStored::Never),
        host::ComponentProperty<C, TKelvraSession, &C::GetSession, &C::SetSession>("Session", TStored::WhenNotEmpty),
    };
    static const host::TComponentClass cls{"TKelvraContact", &host::TComponent::StaticClass(),
                                           &host::CreateComponent<C>, properties};
    (void)registered;
    return cls;
}

std::uint32_t TKelvraContact::MapiFlags() const
{
    return FlagWord(FFlags, kResolveBits);
}

void TKelvraContact::SetContactName(const String &value)
{
    if (value == FContactName)
        return;
    FContactName = value;
    ResolveName();
}

void TKelvraContact::ResolveName()
{
    FResolvedAddress.clear();
    FResolvedName.clear();
    FResolvedEntry.clear();
    if (FContactName.empty())
        return;
    try {
        const std::uint32_t flags = MapiFlags();
        host::AnsiString name = host::ToAnsi(FContactName);
        const ULONG_PTR window = ParentWnd();
        const LHANDLE session = SessionHandle();
        const LPMAPIRESOLVENAME resolveName = MapiResolveName();
        lpMapiRecipDesc recip = nullptr;
        Check(resolveName(session, window, name.data(), flags, 0, &recip));
        TMapiBlock block(recip);
        if (recip != nullptr) {
            FResolvedAddress = NarrowText(recip->lpszAddress);
            if (recip->lpEntryID != nullptr) {
                const auto *bytes = static_cast<const std::uint8_t *>(recip->lpEntryID);
                FResolvedEntry.assign(bytes, bytes + recip->ulEIDSize);
            }
            FResolvedName = NarrowText(recip->lpszName);
        }
        block.Free();
    } catch (...) {
        if (!ComponentState().Contains(host::TComponentStateFlag::csDesigning))
            throw;
        // In the designer the failure is shown where the answer would be.
        FResolvedAddress = u"(" + MessageOf(std::current_exception()) + u")";
        FResolvedEntry.clear();
        FResolvedName = FResolvedAddress;
    }
}

bool TKelvraContact::SelectContact()
{
    return ShowAddressBook(false);
}

bool TKelvraContact::BrowseAddressBook()
{
    return ShowAddressBook(true);
}

bool TKelvraContact::ShowAddressBook(bool browse)
{
    const ULONG editFields = browse ? 0 : 1;
    const ULONG_PTR window = ParentWnd();
    const LHANDLE session = SessionHandle();
    const LPMAPIADDRESS address = MapiAddress();
    ULONG count = 0;
    lpMapiRecipDesc entries = nullptr;
    const ULONG result =
        address(session, window, nullptr, editFields, nullptr, 0, nullptr, 0, 0, &count, &entries);
    if (result == MAPI_USER_ABORT)
        return false;
    Check(result);
    if (count == 0 || entries == nullptr) {
        SetContactName(String());
        return true;
    }
    // Only the first entry counts. The answer is released after the new
    // name was resolved, also when that raised.
    TMapiBlock block(entries);
    SetContactName(NarrowText(entries[0].lpszName));
    block.Free();
    return true;
}

} // namespace kelvra
