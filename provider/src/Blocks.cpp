#include "Blocks.h"

#include "Common.h"

#include <unistd.h>

#include <map>
#include <mutex>

namespace kmp {

namespace {

struct Registry {
    std::mutex mutex;
    std::map<const void *, std::unique_ptr<Block>> blocks;
};

// Never destroyed: blocks may be freed from exit-time destructors.
Registry &Blocks()
{
    static Registry *registry = new Registry;
    return *registry;
}

} // namespace

Block::~Block()
{
    for (const std::string &file : ownFiles_)
        unlink(file.c_str());
    if (!folder_.empty())
        rmdir(folder_.c_str());
}

LPSTR Block::Text(std::string_view text)
{
    texts_.emplace_back(text);
    return texts_.back().data();
}

LPVOID Block::Bytes(std::string_view bytes)
{
    return bytes.empty() ? nullptr : Text(bytes);
}

MapiRecipDesc *Block::Recips(size_t count)
{
    if (count == 0)
        return nullptr;
    recips_.emplace_back(count);
    return recips_.back().data();
}

MapiFileDesc *Block::Files(size_t count)
{
    if (count == 0)
        return nullptr;
    files_.emplace_back(count);
    return files_.back().data();
}

void FillRecip(Block &block, MapiRecipDesc &recip, ULONG recipClass, const std::string &name,
               const std::string &address, const std::string &entryId)
{
    recip.ulRecipClass = recipClass;
    recip.lpszName = block.Text(Utf8ToNarrow(name.empty() ? address : name));
    recip.lpszAddress = block.TextOrNull(Utf8ToNarrow(address));
    recip.ulEIDSize = static_cast<ULONG>(entryId.size());
    recip.lpEntryID = block.Bytes(entryId);
}

void *HandOut(std::unique_ptr<Block> block, void *top)
{
    Registry &r = Blocks();
    block->HandedOut();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.blocks[top] = std::move(block);
    return top;
}

std::optional<ReadInfo> ReadInfoOf(const void *top)
{
    Registry &r = Blocks();
    std::lock_guard<std::mutex> lock(r.mutex);
    const auto it = r.blocks.find(top);
    return it == r.blocks.end() ? std::nullopt : it->second->GetReadInfo();
}

void UpdateReadInfo(const void *top, ReadInfo info)
{
    Registry &r = Blocks();
    std::lock_guard<std::mutex> lock(r.mutex);
    const auto it = r.blocks.find(top);
    if (it != r.blocks.end())
        it->second->SetReadInfo(std::move(info));
}

ULONG FreeBlock(void *top)
{
    if (top == nullptr)
        return SUCCESS_SUCCESS;
    std::unique_ptr<Block> block;
    {
        Registry &r = Blocks();
        std::lock_guard<std::mutex> lock(r.mutex);
        const auto it = r.blocks.find(top);
        if (it == r.blocks.end())
            return MAPI_E_FAILURE;
        block = std::move(it->second);
        r.blocks.erase(it);
    }
    return SUCCESS_SUCCESS;
}

} // namespace kmp
