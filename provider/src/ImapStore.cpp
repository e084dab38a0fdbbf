#include "ImapStore.h"

#include "Common.h"

namespace kmp {

std::shared_ptr<MailStore> OpenImapStore(const Profile &, const std::string &)
{
    Fail(MAPI_E_LOGON_FAILURE);
}

std::uint64_t ImapCommandCount() { return 0; }

} // namespace kmp
