#include "WideStringBuffers.h"

#include <algorithm>
#include <memory>

namespace kelvra {

WideString ToWide(std::u16string_view text)
{
    return WideString(text.begin(), text.end());
}

TWideStringBuffers::~TWideStringBuffers()
{
    // The base destructor cannot reach our Notify; free the texts here.
    Clear();
}

WCHAR *TWideStringBuffers::Append(std::u16string_view value)
{
    value = value.substr(0, value.find(u'\0'));
    if (value.empty())
        return nullptr;
    std::unique_ptr<WCHAR[]> copy(new WCHAR[value.size() + 1]);
    std::copy(value.begin(), value.end(), copy.get());
    copy[value.size()] = 0;
    Add(copy.get());
    return copy.release();
}

void TWideStringBuffers::Notify(void *item, host::TListNotification action)
{
    TList::Notify(item, action);
    if (action == host::TListNotification::lnDeleted)
        delete[] static_cast<WCHAR *>(item);
}

} // namespace kelvra
