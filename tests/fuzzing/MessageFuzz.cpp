// The provider's read path on any message file: the record it builds under
// each of the read options from one parse, the files it decodes (each one read back, each
// one inside the private temporary folder, none left behind), and the class
// a folder walk reads from the header. A result code is an answer; a crash,
// a leak, any other exception or a file outside the folder is a fault.
#include "Blocks.h"
#include "Errors.h"
#include "message/Envelope.h"
#include "maildir/Maildir.h"
#include "message/Message.h"
#include "message/ReadRecord.h"
#include "message/Mime.h"
#include "message/Parse.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <string_view>
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
        listing_ = opendir(Decoded().c_str());
        if (listing_ == nullptr)
            Fault("the temporary folder cannot be listed");
    }
    ~Home()
    {
        closedir(listing_);
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    fs::path Mailbox() const { return root_ / "Mail"; }
    fs::path Decoded() const { return root_ / "decoded"; }
    DIR *DecodedListing() const { return listing_; }

    // Stores the bytes as the folder's one message. Its name alternates
    // between two flag suffixes, so the folder's class cache (per file)
    // never answers for the previous input.
    kelvra_provider::StoredFile Store(const uint8_t *data, size_t size)
    {
        std::error_code ignored;
        if (!last_.empty())
            fs::remove(last_, ignored);
        flip_ = !flip_;
        kelvra_provider::StoredFile entry;
        entry.id = "1700000000.M1P1Q1.fuzz";
        entry.path = (Mailbox() / "cur" / (entry.id + (flip_ ? ":2,S" : ":2,"))).string();
        entry.seen = flip_;
        entry.stamp.seconds = 1700000000;
        entry.stamp.size = static_cast<std::int64_t>(size);
        const int fd = open(entry.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size) || close(fd) != 0)
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
    DIR *listing_ = nullptr;
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

// Reads the whole file; its size.
size_t ReadBack(const char *path)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        Fault(std::string("decoded file cannot be opened: ") + path);
    static char buffer[1 << 16];
    size_t total = 0;
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        total += static_cast<size_t>(n);
    close(fd);
    if (n < 0)
        Fault(std::string("decoded file cannot be read: ") + path);
    return total;
}

// Whether `path` names a file inside `folder` (a path without links): each
// component after the folder's is a plain name, and each folder on the way
// a real folder, not a link.
bool Inside(std::string_view path, std::string_view folder)
{
    if (path.substr(0, folder.size()) != folder || path.size() <= folder.size() + 1 || path[folder.size()] != '/')
        return false;
    for (size_t at = folder.size() + 1;;) {
        const size_t slash = path.find('/', at);
        const std::string_view name = path.substr(at, slash == std::string_view::npos ? slash : slash - at);
        if (name.empty() || name == "." || name == "..")
            return false;
        if (slash == std::string_view::npos)
            return true;
        struct stat status;
        if (lstat(std::string(path.substr(0, slash)).c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
            return false;
        at = slash + 1;
    }
}

// Walks the record and reads back the files it names (freeing the record
// removes them).
void Walk(const MapiMessage &m, const kelvra_provider::ReadOptions &options, const fs::path &decoded)
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
        const char *path = f.lpszPathName;
        struct stat status;
        if (lstat(path, &status) != 0 || !S_ISREG(status.st_mode))
            Fault(std::string("decoded file missing or not a plain file: ") + path);
        if (!Inside(path, decoded.native()))
            Fault(std::string("decoded file outside the temporary folder: ") + path);
        sum = sum + ReadBack(path);
    }
    std::set<std::string_view> named;
    for (ULONG i = 0; i < m.nFileCount; ++i)
        if (m.lpFiles[i].lpszPathName != nullptr && !named.insert(m.lpFiles[i].lpszPathName).second)
            Fault(std::string("decoded file named twice: ") + m.lpFiles[i].lpszPathName);
    (void)sum;
}

// Whether the folder holds nothing: one listing of a folder kept open for
// the run.
bool IsEmpty(DIR *folder)
{
    rewinddir(folder);
    while (const dirent *e = readdir(folder))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            return false;
    return true;
}

void Read(GMimeMessage *message, const kelvra_provider::StoredFile &entry, const kelvra_provider::ReadOptions &options,
          const fs::path &decoded)
{
    try {
        const std::unique_ptr<kelvra_provider::Block> record = kelvra_provider::ReadRecord(message, entry, false, options);
        Walk(record->Message(), options, decoded);
    } catch (const kelvra_provider::MapiError &) {
        // An answer the caller gets as a result code.
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
    const kelvra_provider::StoredFile entry = home.Store(data, size);

    kelvra_provider::ReadOptions full, envelope, noAttachments, bodyAsFile;
    envelope.envelopeOnly = true;
    noAttachments.suppressAttach = true;
    bodyAsFile.bodyAsFile = true;
    // One parse, read under each option: the parse does not depend on them.
    try {
        const kelvra_provider::Ref<GMimeMessage> message(kelvra_provider::ParseMessageFile(entry.path));
        for (const kelvra_provider::ReadOptions &options : {full, envelope, noAttachments, bodyAsFile})
            Read(message.get(), entry, options, home.Decoded());
    } catch (const kelvra_provider::MapiError &) {
    }
    // Freed with their files deleted, the records leave nothing behind (each
    // read's files are in a folder of its own, which names the read).
    if (!IsEmpty(home.DecodedListing())) {
        std::error_code error;
        for (const auto &left : fs::recursive_directory_iterator(home.Decoded(), error))
            std::fprintf(stderr, "left behind: %s\n", left.path().c_str());
        Fault("a read left files in the temporary folder");
    }
    // The envelope from the header block alone, as a walk reads it.
    try {
        kelvra_provider::maildir::Maildir maildir(home.Mailbox().string());
        kelvra_provider::StoredFile listed = entry;
        if (const std::optional<kelvra_provider::Envelope> read = maildir.ReadEnvelope(listed))
            Walk(kelvra_provider::EnvelopeRecord(listed, *read, false)->Message(), envelope, home.Decoded());
    } catch (const kelvra_provider::MapiError &) {
    }

    // The class a type-filtered walk reads from the header.
    std::string cls;
    try {
        kelvra_provider::maildir::Maildir maildir(home.Mailbox().string());
        kelvra_provider::maildir::WalkFilter filter;
        filter.matches = &Classify;
        filter.context = &cls;
        if (maildir.Next("", false, filter) != entry.id)
            Fault("the walk did not find the one message");
        volatile size_t length = cls.size();
        (void)length;
    } catch (const kelvra_provider::MapiError &) {
    }
    return 0;
}
