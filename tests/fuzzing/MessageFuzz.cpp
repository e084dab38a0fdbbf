// The provider's read path on any message file: the record it builds under
// each of the read options, the files it decodes (each one read back, each
// one inside the private temporary folder, none left behind), and the class
// a folder walk reads from the header. A result code is an answer; a crash,
// a leak, any other exception or a file outside the folder is a fault.
#include "Blocks.h"
#include "Common.h"
#include "message/Envelope.h"
#include "maildir/Maildir.h"
#include "message/Message.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>

namespace fs = std::filesystem;

namespace {

[[noreturn]] void Fault(const std::string &what)
{
    std::fprintf(stderr, "message fuzz: %s\n", what.c_str());
    std::abort();
}

// Where the run's files go: a folder in memory (/dev/shm) where the system
// has one, so that every input's message and decoded parts cost no disk;
// else the temporary folder.
fs::path RunFolder()
{
    std::error_code error;
    if (fs::is_directory("/dev/shm", error) && access("/dev/shm", W_OK | X_OK) == 0)
        return "/dev/shm";
    return fs::temp_directory_path();
}

// A private folder for the whole run: a Maildir and, as TMPDIR, the folder
// the provider decodes attachments into. Removed when the program ends.
class Home {
public:
    Home()
    {
        std::string pattern = (RunFolder() / "kelvra-message-fuzz-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            Fault("no temporary folder");
        root_ = fs::canonical(pattern);
        for (const char *sub : {"tmp", "new", "cur"})
            fs::create_directories(root_ / "Mail" / sub);
        fs::create_directories(root_ / "decoded");
        setenv("TMPDIR", Decoded().c_str(), 1);
    }
    ~Home()
    {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    fs::path Mailbox() const { return root_ / "Mail"; }
    fs::path Decoded() const { return root_ / "decoded"; }

    // Stores the bytes as the folder's one message. Its name alternates
    // between two flag suffixes, so the folder's class cache (per file)
    // never answers for the previous input.
    kmp::StoredFile Store(const uint8_t *data, size_t size)
    {
        std::error_code ignored;
        if (!last_.empty())
            fs::remove(last_, ignored);
        flip_ = !flip_;
        kmp::StoredFile entry;
        entry.id = "1700000000.M1P1Q1.fuzz";
        entry.path = (Mailbox() / "cur" / (entry.id + (flip_ ? ":2,S" : ":2,"))).string();
        entry.seen = flip_;
        entry.stamp.seconds = 1700000000;
        entry.stamp.size = static_cast<std::int64_t>(size);
        std::ofstream out(entry.path, std::ios::binary);
        out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
        if (!out.flush())
            Fault("cannot write the message file");
        last_ = entry.path;
        // The folder's listing is cached by the folder's time, which the
        // clock may leave unchanged between two inputs: a time of its own
        // for each input makes the walk list this one.
        ++stamp_;
        const timespec times[2] = {{1700000000 + stamp_ / 1000000000, stamp_ % 1000000000},
                                   {1700000000 + stamp_ / 1000000000, stamp_ % 1000000000}};
        utimensat(AT_FDCWD, (Mailbox() / "cur").c_str(), times, 0);
        return entry;
    }

private:
    fs::path root_;
    fs::path last_;
    bool flip_ = false;
    long stamp_ = 0;
};

Home &TheHome()
{
    static Home home;
    return home;
}

// Touches every byte of a text the record hands out.
size_t Touch(const char *text) { return text != nullptr ? std::strlen(text) : 0; }

size_t TouchRecip(const MapiRecipDesc &r)
{
    size_t sum = Touch(r.lpszName) + Touch(r.lpszAddress);
    if (r.ulEIDSize != 0 && r.lpEntryID == nullptr)
        Fault("entry identifier size without bytes");
    const auto *id = static_cast<const unsigned char *>(r.lpEntryID);
    for (ULONG i = 0; i < r.ulEIDSize; ++i)
        sum += id[i];
    return sum;
}

std::string ReadBack(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        Fault("decoded file cannot be opened: " + path.string());
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Walks the record, reads back and deletes the files it names.
void Walk(const MapiMessage &m, const kmp::ReadOptions &options, const fs::path &decoded)
{
    volatile size_t sum = Touch(m.lpszSubject) + Touch(m.lpszNoteText) + Touch(m.lpszMessageType) +
                          Touch(m.lpszDateReceived) + Touch(m.lpszConversationID);
    if (m.lpOriginator != nullptr)
        sum = sum + TouchRecip(*m.lpOriginator);
    if (m.nRecipCount != 0 && m.lpRecips == nullptr)
        Fault("recipient count without recipients");
    for (ULONG i = 0; i < m.nRecipCount; ++i)
        sum = sum + TouchRecip(m.lpRecips[i]);
    if (m.nFileCount != 0 && m.lpFiles == nullptr)
        Fault("file count without files");
    if (options.envelopeOnly && m.nFileCount != 0)
        Fault("files handed out although the read asked for none");
    if (options.bodyAsFile && m.nFileCount == 0)
        Fault("no file for the text although the read asked for one");
    for (ULONG i = 0; i < m.nFileCount; ++i) {
        const MapiFileDesc &f = m.lpFiles[i];
        sum = sum + Touch(f.lpszFileName);
        // Suppressed attachments are described by name only; everything
        // else handed out is a file.
        const bool described = options.suppressAttach && !(options.bodyAsFile && i == 0);
        if ((f.lpszPathName == nullptr) != described)
            Fault(described ? "a suppressed attachment was copied" : "file without a path");
        if (described)
            continue;
        const fs::path path(f.lpszPathName);
        std::error_code error;
        const fs::file_status status = fs::symlink_status(path, error);
        if (error || !fs::is_regular_file(status))
            Fault("decoded file missing or not a plain file: " + path.string());
        const fs::path relative = fs::canonical(path).lexically_relative(decoded);
        if (relative.empty() || *relative.begin() == "..")
            Fault("decoded file outside the temporary folder: " + path.string());
        sum = sum + ReadBack(path).size();
    }
    for (ULONG i = 0; i < m.nFileCount; ++i)
        if (m.lpFiles[i].lpszPathName != nullptr && unlink(m.lpFiles[i].lpszPathName) != 0)
            Fault(std::string("decoded file named twice: ") + m.lpFiles[i].lpszPathName);
    (void)sum;
}

void Read(const kmp::StoredFile &entry, const kmp::ReadOptions &options, const fs::path &decoded)
{
    try {
        const std::unique_ptr<kmp::Block> record = kmp::ReadRecord(entry, false, options);
        Walk(record->Message(), options, decoded);
    } catch (const kmp::MapiError &) {
        // An answer the caller gets as a result code.
    }
    // Freed with its files deleted, the record leaves nothing behind.
    std::error_code error;
    if (!fs::is_empty(decoded, error) || error) {
        for (const auto &left : fs::recursive_directory_iterator(decoded, error))
            std::fprintf(stderr, "left behind: %s\n", left.path().c_str());
        Fault("the read left files in the temporary folder");
    }
}

bool Classify(const std::string &cls, const void *context)
{
    *static_cast<std::string *>(const_cast<void *>(context)) = cls;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Home &home = TheHome();
    const kmp::StoredFile entry = home.Store(data, size);

    kmp::ReadOptions full, envelope, noAttachments, bodyAsFile;
    envelope.envelopeOnly = true;
    noAttachments.suppressAttach = true;
    bodyAsFile.bodyAsFile = true;
    for (const kmp::ReadOptions &options : {full, envelope, noAttachments, bodyAsFile})
        Read(entry, options, home.Decoded());
    // The envelope from the header block alone, as a walk reads it.
    try {
        kmp::maildir::Maildir maildir(home.Mailbox().string());
        kmp::StoredFile listed = entry;
        if (const std::optional<kmp::Envelope> read = maildir.ReadEnvelope(listed))
            Walk(kmp::EnvelopeRecord(listed, *read, false)->Message(), envelope, home.Decoded());
    } catch (const kmp::MapiError &) {
    }

    // The class a type-filtered walk reads from the header.
    std::string cls;
    try {
        kmp::maildir::Maildir maildir(home.Mailbox().string());
        kmp::maildir::WalkFilter filter;
        filter.matches = &Classify;
        filter.context = &cls;
        if (maildir.Next("", false, filter) != entry.id)
            Fault("the walk did not find the one message");
        volatile size_t length = cls.size();
        (void)length;
    } catch (const kmp::MapiError &) {
    }
    return 0;
}
