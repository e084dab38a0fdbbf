// The address book: vCard files (2.1, 3.0 and 4.0), read on every use.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kmp {

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

// The contacts of a .vcf file, or of every .vcf file in a folder. A path
// that does not exist, a file that cannot be read or is not a regular
// file, or one larger than 64 MiB, is an empty address book (or adds
// nothing to the folder's).
std::vector<Contact> LoadAddressBook(const std::string &path);

struct Resolved {
    std::string name;
    std::string address;
    std::string entryId; // names the entry stably
};

// An exact address first; then a mailbox with its display name ("Ann
// Example <ann@example.org>", the name quoted or not), which is that
// address with that name; else a unique case-insensitive match on the
// formatted name, a name part, a nickname or an address. Several matches
// raise MAPI_E_AMBIGUOUS_RECIPIENT; none raises MAPI_E_UNKNOWN_RECIPIENT
// unless the text is itself a mail address (it then resolves to itself).
// `matches` receives the candidates when there are several.
Resolved ResolveInBook(const std::vector<Contact> &book, std::string_view text,
                       std::vector<Resolved> *matches = nullptr);

// The entry identifier of an address that is not in the book.
std::string AddressEntryId(std::string_view address);
// What an address's entry identifier is made of: this, then the address.
constexpr std::string_view kAddressEntryPrefix = "kelvra-address:";
// The address an entry identifier of ours names, or empty. An address
// identifier whose address is not plain raises MAPI_E_UNKNOWN_RECIPIENT.
std::string AddressOfEntryId(const std::vector<Contact> &book, std::string_view entryId);

} // namespace kmp
