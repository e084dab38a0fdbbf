// What every store shares.
#include "Store.h"
#include "message/ReadRecord.h"


namespace kelvra_provider {

namespace {

class CopyOnKeep : public SentCopy {
public:
    CopyOnKeep(MailStore &store, const std::string &bytes) : store_(store), bytes_(bytes) {}
    void Keep() override { store_.KeepSent(bytes_); }

private:
    MailStore &store_;
    const std::string &bytes_;
};

} // namespace

std::unique_ptr<SentCopy> MailStore::PrepareSent(const std::string &bytes, bool)
{
    return std::make_unique<CopyOnKeep>(*this, bytes);
}

std::uint32_t MailStore::FileCount(const std::string &id)
{
    ReadOptions options;
    options.suppressAttach = true;
    return Read(id, true, options)->Message().nFileCount;
}

} // namespace kelvra_provider
