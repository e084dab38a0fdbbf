// The address book: vCard files (2.1, 3.0 and 4.0), read once and kept
// while none of its files changes, indexed so that resolving a name costs
// the same whatever the book's size and however many came before.
#pragma once

#include "FileStamp.h"

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <string_view>
#include <vector>

namespace kelvra_provider {

struct Contact {
    std::string uid;
    std::string formattedName; // FN, or made from N, or the first address
    std::string family;
    std::string given;
    std::vector<std::string> nicknames;
    std::vector<std::string> emails;
};

// The contacts of vCard text (several cards, folded lines, groups,
// escapes, quoted-printable). Malformed lines are skipped, and so is an
// EMAIL that is not a plain address (see MailAddress).
std::vector<Contact> ParseVCards(std::string_view text);

struct Resolved {
    std::string name;
    std::string address;
    std::string entryId; // names the entry stably
};

// Contacts in the order of their files, with the indexes resolving uses.
class AddressBook {
public:
    AddressBook() = default;
    explicit AddressBook(std::vector<Contact> contacts);

    const std::vector<Contact> &Contacts() const { return contacts_; }

    // An exact address first; then a mailbox with its display name ("Ann
    // Example <ann@example.org>", the name quoted or not), which is that
    // address with that name; else a unique case-insensitive match on the
    // formatted name, a name part, a nickname or an address. Several
    // matches raise MAPI_E_AMBIGUOUS_RECIPIENT; none raises
    // MAPI_E_UNKNOWN_RECIPIENT unless the text is itself a mail address (it
    // then resolves to itself). `matches` receives the candidates when
    // there are several.
    Resolved Resolve(std::string_view text, std::vector<Resolved> *matches = nullptr) const;

    // The address an entry identifier of ours names, or empty. An address
    // identifier whose address is not plain raises MAPI_E_UNKNOWN_RECIPIENT.
    std::string AddressOf(std::string_view entryId) const;

private:
    std::vector<Contact> contacts_;
    // By lower-case key: an address's first contact and which of its
    // addresses; the contacts a name, name part or nickname names, in book
    // order; the first contact with an address an entry identifier names.
    std::unordered_map<std::string, std::pair<std::size_t, std::size_t>> byAddress_;
    std::unordered_map<std::string, std::vector<std::size_t>> byName_;
    std::unordered_map<std::string, std::size_t> byEntry_;
};

// The contacts of a .vcf file, or of every .vcf file in a folder. A path
// that does not exist, a file that cannot be read or is not a regular
// file, or one larger than 64 MiB, is an empty address book (or adds
// nothing to the folder's).
AddressBook LoadAddressBook(const std::string &path);

// A session's address book: read at first use and again only when the
// book's files differ (a file's identity, size or time, or which .vcf files
// a folder holds). Safe to share between threads.
class BookCache {
public:
    std::shared_ptr<const AddressBook> Of(const std::string &path);

private:
    std::mutex mutex_;
    std::string path_;
    std::vector<std::pair<std::string, FileStamp>> stamps_;
    std::shared_ptr<const AddressBook> book_;
};

} // namespace kelvra_provider
