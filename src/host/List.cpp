#include "host/List.h"

#include <algorithm>
#include <stdexcept>

namespace host {

std::size_t TList::Add(void *item)
{
    items_.push_back(item);
    const std::size_t index = items_.size() - 1;
    if (item != nullptr)
        Notify(item, TListNotification::lnAdded);
    return index;
}

void TList::Delete(std::size_t index)
{
    if (index >= items_.size())
        throw std::out_of_range("list index out of bounds");
    void *item = items_[index];
    items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
    if (item != nullptr)
        Notify(item, TListNotification::lnDeleted);
}

void *TList::Extract(void *item)
{
    const auto it = std::find(items_.begin(), items_.end(), item);
    if (it == items_.end())
        return nullptr;
    items_.erase(it);
    Notify(item, TListNotification::lnExtracted);
    return item;
}

void TList::Clear()
{
    while (!items_.empty())
        Delete(items_.size() - 1);
    items_.shrink_to_fit();
}

int TList::IndexOf(const void *item) const
{
    const auto it = std::find(items_.begin(), items_.end(), item);
    return it == items_.end() ? -1 : static_cast<int>(it - items_.begin());
}

void TList::Notify(void *, TListNotification) {}

} // namespace host
