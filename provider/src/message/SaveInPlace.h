// Edits of a stored message file in place: a save names the byte ranges it
// replaces (header fields, a part, a place to insert at), and every other
// byte of the file is copied as it stands. A message other programs wrote
// keeps what no edit touched, malformed or not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelvra_provider {

// The bytes of a stored file, read where they are needed.
class StoredBytes {
public:
    explicit StoredBytes(const std::string &path); // MAPI_E_INVALID_MESSAGE when gone
    ~StoredBytes();
    StoredBytes(const StoredBytes &) = delete;
    StoredBytes &operator=(const StoredBytes &) = delete;

    std::size_t Size() const { return size_; }
    // The bytes [from, to), clipped to the file.
    std::string Read(std::size_t from, std::size_t to) const;
    int Descriptor() const { return fd_; }

private:
    int fd_ = -1;
    std::size_t size_ = 0;
};

// One header field of a header block: its name and the bytes of its lines,
// continuation lines and the last line break included.
struct FieldSpan {
    std::string name;
    std::size_t start = 0, end = 0;
};
// The fields of the header block [from, to) of a file.
std::vector<FieldSpan> FieldsIn(const StoredBytes &file, std::size_t from, std::size_t to);

class Splice {
public:
    // Replaces [from, to) of the stored file by `bytes` (an insertion when
    // from == to). Two edits may not overlap, but may meet; insertions at
    // one place stand in the order made.
    void Replace(std::size_t from, std::size_t to, std::string bytes);
    bool Empty() const { return edits_.empty(); }
    // Writes the file as edited; MAPI_E_FAILURE when edits overlap (the
    // stored message is then not written at all).
    void Write(const StoredBytes &file, int out) const;

private:
    struct Edit {
        std::size_t from, to;
        std::string bytes;
    };
    std::vector<Edit> edits_;
};

} // namespace kelvra_provider
