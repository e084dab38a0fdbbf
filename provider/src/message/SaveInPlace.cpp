#include "message/SaveInPlace.h"

#include "Errors.h"
#include "Files.h"
#include "message/Envelope.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace kelvra_provider {

namespace {

// Copies [from, to) of the stored file to `out`.
void Copy(const StoredBytes &file, std::size_t from, std::size_t to, int out)
{
    char buffer[65536];
    while (from < to) {
        const ssize_t n = pread(file.Descriptor(), buffer, std::min(sizeof buffer, to - from), static_cast<off_t>(from));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            Fail(MAPI_E_FAILURE); // the file changed under the save
        WriteAll(out, std::string_view(buffer, static_cast<std::size_t>(n)));
        from += static_cast<std::size_t>(n);
    }
}

} // namespace

StoredBytes::StoredBytes(const std::string &path)
{
    struct stat st {};
    fd_ = OpenMessageFile(path, &st);
    if (fd_ < 0)
        Fail(errno == ENOENT ? MAPI_E_INVALID_MESSAGE : MAPI_E_FAILURE);
    size_ = static_cast<std::size_t>(st.st_size);
}

StoredBytes::~StoredBytes()
{
    if (fd_ >= 0)
        close(fd_);
}

std::string StoredBytes::Read(std::size_t from, std::size_t to) const
{
    to = std::min(to, size_);
    std::string out;
    if (from >= to)
        return out;
    out.resize(to - from);
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(from + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            Fail(MAPI_E_FAILURE);
        done += static_cast<std::size_t>(n);
    }
    return out;
}

std::vector<FieldSpan> FieldsIn(const StoredBytes &file, std::size_t from, std::size_t to)
{
    const std::string block = file.Read(from, to);
    std::vector<FieldSpan> fields;
    std::size_t start = 0;
    while (start < block.size()) {
        std::size_t next = block.find('\n', start);
        next = next == std::string::npos ? block.size() : next + 1;
        const std::string_view line(block.data() + start, next - start);
        std::string_view content = line.substr(0, line.find_last_not_of("\r\n") + 1);
        if (ContinuesField(content) && !fields.empty()) {
            fields.back().end = from + next; // a continuation line, folded or not
        } else if (IsFieldLine(line)) {
            std::string_view name = line.substr(0, line.find(':'));
            while (!name.empty() && (name.back() == ' ' || name.back() == '\t'))
                name.remove_suffix(1);
            fields.push_back({std::string(name), from + start, from + next});
        }
        start = next;
    }
    return fields;
}

void Splice::Replace(std::size_t from, std::size_t to, std::string bytes)
{
    edits_.push_back({from, to, std::move(bytes)}); // stable sorting keeps the order made
}

void Splice::Write(const StoredBytes &file, int out) const
{
    std::vector<const Edit *> sorted;
    for (const Edit &e : edits_)
        sorted.push_back(&e);
    std::stable_sort(sorted.begin(), sorted.end(), [](const Edit *a, const Edit *b) {
        // Insertions at a place before a replacement that starts there.
        return a->from != b->from ? a->from < b->from : (a->from == a->to) > (b->from == b->to);
    });
    std::size_t at = 0;
    for (const Edit *e : sorted)
        if (e->from < at || e->to < e->from || e->to > file.Size())
            Fail(MAPI_E_FAILURE);
        else
            at = e->to;
    at = 0;
    for (const Edit *e : sorted) {
        Copy(file, at, e->from, out);
        WriteAll(out, e->bytes);
        at = e->to;
    }
    Copy(file, at, file.Size(), out);
}

} // namespace kelvra_provider
