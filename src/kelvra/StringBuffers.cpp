#include "kelvra/StringBuffers.h"

#include "host/StrUtils.h"

#include <memory>

namespace kelvra {

TStringBuffers::~TStringBuffers()
{
    // The base destructor cannot reach our Notify; free the texts here.
    Clear();
}

char *TStringBuffers::Append(std::string_view value)
{
    // What is kept ends at the first zero byte: a text that starts with
    // one is empty.
    value = value.substr(0, value.find('\0'));
    if (value.empty())
        return nullptr;
    std::unique_ptr<char, void (*)(char *)> copy(host::StrNew(value), &host::StrDispose);
    Add(copy.get());
    return copy.release();
}

void TStringBuffers::Notify(void *item, host::TListNotification action)
{
    TList::Notify(item, action);
    if (action == host::TListNotification::lnDeleted)
        host::StrDispose(static_cast<char *>(item));
}

} // namespace kelvra
