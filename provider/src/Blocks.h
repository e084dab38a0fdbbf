// Everything the provider hands out lives in one Block, registered under
// the pointer the caller gets; MAPIFreeBuffer frees it exactly once.
#pragma once

#include "FileStamp.h"
#include "mapi/SimpleMapi.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvra_provider {

// What a read handed out, kept with the record so that a save of that same
// record knows which of the stored message's parts the record shows.
struct ReadInfo {
    std::string messageId;
    // The stored file as it was read: a save compares, to know that the
    // parts are still the ones handed out.
    FileStamp stamp;
    bool envelopeOnly = false, suppressAttach = false, bodyAsFile = false;
    std::string bodyFile; // the note text's file with bodyAsFile
    std::string date;     // the message's own Date, ISO 8601; empty when none reads (or envelope reads)
    struct File {
        std::string path;     // as handed out (narrow)
        size_t part;          // its place among the shown parts
        FileStamp stamp;      // the file as written: a later change is the caller's edit
    };
    std::vector<File> files;
};

class Block {
public:
    ~Block();

    // Copies owned by the block; empty texts are copied too (not null).
    LPSTR Text(std::string_view text);
    // A UTF-8 text in the narrow character set, owned by the block.
    LPSTR NarrowText(std::string_view utf8);
    // Two pieces one after the other, as one copy.
    LPSTR Joined(std::string_view first, std::string_view second);
    LPSTR TextOrNull(std::string_view text) { return text.empty() ? nullptr : Text(text); }
    LPVOID Bytes(std::string_view bytes);
    MapiRecipDesc *Recips(size_t count);
    MapiFileDesc *Files(size_t count);
    MapiMessage &Message() { return message_; }

    // A private folder of temporary files; removed, if empty by then, when
    // the block is freed (the caller deletes the files it was handed).
    void OwnFolder(std::string folder) { folder_ = std::move(folder); }
    // Files of that folder; until the block is handed out they are its own,
    // so a read that fails after writing them leaves nothing behind.
    void OwnFile(std::string path) { ownFiles_.push_back(std::move(path)); }
    void HandedOut() { ownFiles_.clear(); }

    void SetReadInfo(ReadInfo info) { read_ = std::move(info); }
    const std::optional<ReadInfo> &GetReadInfo() const { return read_; }

private:
    // Room for `size` bytes among the block's texts: a record's texts share
    // a few allocations, freed with the block.
    char *Room(size_t size);

    std::vector<std::unique_ptr<char[]>> texts_;
    char *free_ = nullptr;
    size_t left_ = 0;
    std::vector<std::unique_ptr<MapiRecipDesc[]>> recips_;
    std::vector<std::unique_ptr<MapiFileDesc[]>> files_;
    MapiMessage message_{};
    std::string folder_;
    std::vector<std::string> ownFiles_;
    std::optional<ReadInfo> read_;
};

// Fills one recipient record from UTF-8 texts, its copies owned by `block`;
// an empty name takes the address.
void FillRecip(Block &block, MapiRecipDesc &recip, ULONG recipClass, const std::string &name,
               const std::string &address, const std::string &entryId);

// Registers `block` under `top` (a pointer into it) and returns `top`.
void *HandOut(std::unique_ptr<Block> block, void *top);
// The read information of a handed-out record (by the pointer handed out),
// if it is one; a save of it may update it to the message as saved.
std::optional<ReadInfo> ReadInfoOf(const void *top);
void UpdateReadInfo(const void *top, ReadInfo info);
// Frees a handed-out block: 0, or MAPI_E_FAILURE for an unknown pointer.
ULONG FreeBlock(void *top);

} // namespace kelvra_provider
