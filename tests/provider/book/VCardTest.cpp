// The vCard reader and the resolution rules, on text.
#include "book/AddressBook.h"
#include "Errors.h"

#include <gtest/gtest.h>

TEST(VCard, ReadsTheThreeVersionsWithFoldingEscapesGroupsAndQuotedPrintable)
{
    const std::string text =
        "BEGIN:VCARD\r\nVERSION:2.1\r\nN;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:M=C3=BCller;J=\r\n"
        "=C3=BCrgen\r\nEMAIL;INTERNET:juergen@example.de\r\nEMAIL;INTERNET;WORK:j.mueller@example.com\r\nEND:VCARD\r\n"
        "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Smith\\, Jane\r\nN:Smith;Jane\r\nitem1.EMAIL;TYPE=INTERNET:jane@exa\r\n"
        " mple.org\r\nNICKNAME:JJ,Janie\r\nNOTE:line\\nbreak\r\nEND:VCARD\r\n"
        "begin:vcard\nversion:4.0\nfn:Plain\nemail;pref=1:mailto:plain@example.net\nend:vcard\n"
        "garbage line\r\nBEGIN:VCARD\r\nEND:VCARD\r\n";
    const std::vector<kmp::Contact> book = kmp::ParseVCards(text);
    ASSERT_EQ(book.size(), 4u);
    EXPECT_EQ(book[0].family, "M\xC3\xBCller");
    EXPECT_EQ(book[0].given, "J\xC3\xBCrgen");
    EXPECT_EQ(book[0].formattedName, "J\xC3\xBCrgen M\xC3\xBCller");
    EXPECT_EQ(book[0].emails, (std::vector<std::string>{"juergen@example.de", "j.mueller@example.com"}));
    EXPECT_EQ(book[1].formattedName, "Smith, Jane");
    EXPECT_EQ(book[1].emails, std::vector<std::string>{"jane@example.org"});
    EXPECT_EQ(book[1].nicknames, (std::vector<std::string>{"JJ", "Janie"}));
    EXPECT_EQ(book[2].emails, std::vector<std::string>{"plain@example.net"});
    EXPECT_EQ(book[3].formattedName, "");

    EXPECT_EQ(kmp::ResolveInBook(book, "j.mueller@example.com").address, "j.mueller@example.com");
    EXPECT_EQ(kmp::ResolveInBook(book, "janie").address, "jane@example.org");
    EXPECT_EQ(kmp::ResolveInBook(book, "j\xC3\xBCrgen m\xC3\xBCller").name, "J\xC3\xBCrgen M\xC3\xBCller");
    try {
        kmp::ResolveInBook(book, "nobody");
        ADD_FAILURE();
    } catch (const kmp::MapiError &e) {
        EXPECT_EQ(e.code, MAPI_E_UNKNOWN_RECIPIENT);
    }
    // A stable identifier that names the entry again.
    const kmp::Resolved jane = kmp::ResolveInBook(book, "JJ");
    EXPECT_EQ(kmp::AddressOfEntryId(book, jane.entryId), "jane@example.org");
}
