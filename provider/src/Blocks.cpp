#include "Blocks.h"

#include "Text.h"

#include <unistd.h>

#include <cstring>
#include <map>
#include <mutex>

namespace kelvra_provider {

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

char *Block::Room(size_t size)
{
    constexpr size_t kChunk = 1024;
    // A large text has an allocation of its own; small ones share chunks.
    if (size > kChunk / 4) {
        texts_.push_back(std::make_unique_for_overwrite<char[]>(size));
        return texts_.back().get();
    }
    if (size > left_) {
        texts_.push_back(std::make_unique_for_overwrite<char[]>(kChunk));
        free_ = texts_.back().get();
        left_ = kChunk;
    }
    char *room = free_;
    free_ += size;
    left_ -= size;
    return room;
}

LPSTR Block::Text(std::string_view text)
{
    char *copy = Room(text.size() + 1);
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

LPSTR Block::NarrowText(std::string_view utf8)
{
    return NarrowIsUtf8() ? Text(utf8) : Text(Utf8ToNarrow(utf8));
}

LPSTR Block::Joined(std::string_view first, std::string_view second)
{
    char *copy = Room(first.size() + second.size() + 1);
    std::memcpy(copy, first.data(), first.size());
    std::memcpy(copy + first.size(), second.data(), second.size());
    copy[first.size() + second.size()] = '\0';
    return copy;
}

LPVOID Block::Bytes(std::string_view bytes)
{
    return bytes.empty() ? nullptr : Text(bytes);
}

MapiRecipDesc *Block::Recips(size_t count)
{
    if (count == 0)
        return nullptr;
    recips_.push_back(std::make_unique<MapiRecipDesc[]>(count));
    return recips_.back().get();
}

MapiFileDesc *Block::Files(size_t count)
{
    if (count == 0)
        return nullptr;
    files_.push_back(std::make_unique<MapiFileDesc[]>(count));
    return files_.back().get();
}

void FillRecip(Block &block, MapiRecipDesc &recip, ULONG recipClass, const std::string &name,
               const std::string &address, const std::string &entryId)
{
    recip.ulRecipClass = recipClass;
    recip.lpszName = block.NarrowText(name.empty() ? address : name);
    recip.lpszAddress = address.empty() ? nullptr : block.NarrowText(address);
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

} // namespace kelvra_provider
