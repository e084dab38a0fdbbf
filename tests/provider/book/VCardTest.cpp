// The vCard reader and the resolution rules, on text.
#include "book/AddressBook.h"
#include "Errors.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

TEST(VCard, ReadsTheThreeVersionsWithFoldingEscapesGroupsAndQuotedPrintable)
{
    const std::string text =
        "BEGIN:VCARD\r\nVERSION:2.1\r\nN;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:M=C3=BCller;J=\r\n"
        "=C3=BCrgen\r\nEMAIL;INTERNET:juergen@example.de\r\nEMAIL;INTERNET;WORK:j.mueller@example.com\r\nEND:VCARD\r\n"
        "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Smith\\, Jane\r\nN:Smith;Jane\r\nitem1.EMAIL;TYPE=INTERNET:jane@exa\r\n"
        " mple.org\r\nNICKNAME:JJ,Janie\r\nNOTE:line\\nbreak\r\nEND:VCARD\r\n"
        "begin:vcard\nversion:4.0\nfn:Plain\nemail;pref=1:mailto:plain@example.net\nend:vcard\n"
        "garbage line\r\nBEGIN:VCARD\r\nEND:VCARD\r\n";
    const kelvra_provider::AddressBook book(kelvra_provider::ParseVCards(text));
    const std::vector<kelvra_provider::Contact> &contacts = book.Contacts();
    ASSERT_EQ(contacts.size(), 4u);
    EXPECT_EQ(contacts[0].family, "M\xC3\xBCller");
    EXPECT_EQ(contacts[0].given, "J\xC3\xBCrgen");
    EXPECT_EQ(contacts[0].formattedName, "J\xC3\xBCrgen M\xC3\xBCller");
    EXPECT_EQ(contacts[0].emails, (std::vector<std::string>{"juergen@example.de", "j.mueller@example.com"}));
    EXPECT_EQ(contacts[1].formattedName, "Smith, Jane");
    EXPECT_EQ(contacts[1].emails, std::vector<std::string>{"jane@example.org"});
    EXPECT_EQ(contacts[1].nicknames, (std::vector<std::string>{"JJ", "Janie"}));
    EXPECT_EQ(contacts[2].emails, std::vector<std::string>{"plain@example.net"});
    EXPECT_EQ(contacts[3].formattedName, "");

    EXPECT_EQ(book.Resolve("j.mueller@example.com").address, "j.mueller@example.com");
    EXPECT_EQ(book.Resolve("janie").address, "jane@example.org");
    EXPECT_EQ(book.Resolve("j\xC3\xBCrgen m\xC3\xBCller").name, "J\xC3\xBCrgen M\xC3\xBCller");
    try {
        book.Resolve("nobody");
        ADD_FAILURE();
    } catch (const kelvra_provider::MapiError &e) {
        EXPECT_EQ(e.code, MAPI_E_UNKNOWN_RECIPIENT);
    }
    // A stable identifier that names the entry again.
    const kelvra_provider::Resolved jane = book.Resolve("JJ");
    EXPECT_EQ(book.AddressOf(jane.entryId), "jane@example.org");
}

// The indexes give what the resolution rule says: an exact address (the
// first card that has it), else one match among names, name parts and
// nicknames, a card matched twice counting once.
TEST(AddressBook, ResolvesByTheRule)
{
    const kelvra_provider::AddressBook book(kelvra_provider::ParseVCards(
        "BEGIN:VCARD\nFN:Ann Example\nN:Example;Ann\nEMAIL:ann@example.org\nEND:VCARD\n"
        "BEGIN:VCARD\nFN:Ann Other\nN:Other;Ann\nNICKNAME:ann-o\nEMAIL:ann.other@example.org\nEND:VCARD\n"
        "BEGIN:VCARD\nFN:Bob\nEMAIL:bob@example.org\nEMAIL:ANN@example.org\nEND:VCARD\n"
        "BEGIN:VCARD\nFN:Carl\nN:;Carl\nEMAIL:carl@example.org\nEND:VCARD\n"));
    const struct {
        const char *text;
        const char *address; // nullptr: refused with `code`
        ULONG code;
        size_t candidates;
    } rows[] = {
        {"ANN@EXAMPLE.ORG", "ann@example.org", 0, 0}, {"Ann Example", "ann@example.org", 0, 0},
        {"example", "ann@example.org", 0, 0},          {"ann-o", "ann.other@example.org", 0, 0},
        {"carl", "carl@example.org", 0, 0},            {"nobody@example.com", "nobody@example.com", 0, 0},
        {"ann", nullptr, MAPI_E_AMBIGUOUS_RECIPIENT, 2}, {"nobody", nullptr, MAPI_E_UNKNOWN_RECIPIENT, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text);
        std::vector<kelvra_provider::Resolved> candidates;
        try {
            const kelvra_provider::Resolved r = book.Resolve(row.text, &candidates);
            EXPECT_EQ(r.address, row.address);
        } catch (const kelvra_provider::MapiError &e) {
            EXPECT_EQ(row.address, nullptr);
            EXPECT_EQ(e.code, row.code);
        }
        ASSERT_EQ(candidates.size(), row.candidates);
        if (row.candidates == 2) {
            EXPECT_EQ(candidates[0].name + "|" + candidates[1].name, "Ann Example|Ann Other"); // in book order
        }
    }
    EXPECT_EQ(book.Resolve("ann@example.org").name, "Ann Example");
}

// A session's book is read once and again only when a file of it changed:
// its size, its identity (replaced by a rename) or a folder's .vcf files.
TEST(AddressBook, ASessionReadsItsBookAgainOnlyWhenAFileChanged)
{
    const auto root = std::filesystem::temp_directory_path() / ("kelvra-book-" + std::to_string(getpid()));
    std::filesystem::create_directories(root / "folder");
    const auto write = [](const std::filesystem::path &p, const std::string &fn) {
        std::ofstream(p, std::ios::binary) << "BEGIN:VCARD\nFN:" << fn << "\nEMAIL:" << fn << "@example.org\nEND:VCARD\n";
    };
    const std::string file = (root / "book.vcf").string();
    write(file, "ann");
    kelvra_provider::BookCache cache;
    const auto first = cache.Of(file);
    EXPECT_EQ(cache.Of(file), first); // unchanged: the same book
    write(file, "bobby");
    const auto grown = cache.Of(file);
    EXPECT_NE(grown, first);
    EXPECT_EQ(grown->Resolve("bobby").address, "bobby@example.org");
    write(root / "other.vcf", "carla");
    std::filesystem::rename(root / "other.vcf", file); // same size, another file
    EXPECT_EQ(cache.Of(file)->Resolve("carla").address, "carla@example.org");
    const std::string folder = (root / "folder").string();
    write(root / "folder" / "a.vcf", "ann");
    const auto one = cache.Of(folder);
    EXPECT_EQ(one->Contacts().size(), 1u);
    EXPECT_EQ(cache.Of(folder), one);
    write(root / "folder" / "b.vcf", "bob");
    EXPECT_EQ(cache.Of(folder)->Contacts().size(), 2u);
    EXPECT_TRUE(cache.Of((root / "missing").string())->Contacts().empty());
    std::filesystem::remove_all(root);
}
