// The store of a profile whose mailbox is a local Maildir folder.
#pragma once

#include "Store.h"

#include <memory>

namespace kelvra_provider::maildir {

// Makes the mailbox where missing (so a bad folder fails the logon); at
// logon (`logon`) what interrupted writers left in its tmp/ folders and in
// its Sent folder's goes.
std::shared_ptr<MailStore> OpenMaildirStore(const Profile &profile, bool logon);

} // namespace kelvra_provider::maildir
