// The framework's list of untyped pointers, with its change notification.
#pragma once

#include "host/Export.h"

#include <cstddef>
#include <vector>

namespace host {

enum class TListNotification : unsigned char { lnAdded, lnExtracted, lnDeleted };

// Items are untyped pointers the list does not own; a descendant that owns
// them overrides Notify and releases an item on lnDeleted.
//
// A base destructor does not reach a descendant's override: a descendant
// that needs lnDeleted for its remaining items calls Clear() in its own
// destructor.
class KELVRA_API TList {
public:
    TList() = default;
    virtual ~TList() = default;
    TList(const TList &) = delete;
    TList &operator=(const TList &) = delete;

    // Appends `item` and returns its index; Notify(item, lnAdded).
    std::size_t Add(void *item);
    // Removes the item at `index`; Notify(item, lnDeleted). Raises
    // std::out_of_range for a bad index.
    void Delete(std::size_t index);
    // Removes the first occurrence of `item` and returns it (null when it is
    // not in the list); Notify(item, lnExtracted).
    void *Extract(void *item);
    // Deletes every item, last first.
    virtual void Clear();

    std::size_t Count() const { return items_.size(); }
    void *Items(std::size_t index) const { return items_.at(index); }
    void *operator[](std::size_t index) const { return items_.at(index); }
    int IndexOf(const void *item) const;

protected:
    virtual void Notify(void *item, TListNotification action);

private:
    std::vector<void *> items_;
};

} // namespace host
