// A Maildir's file names as other delivery agents and this provider write
// them: what a name says of identity, revision and flags, and whose
// temporary file it is.
#include "maildir/Names.h"

#include <gtest/gtest.h>

#include <unistd.h>

TEST(MaildirNames, ANameSaysItsIdentityRevisionAndFlags)
{
    const struct {
        const char *name;
        const char *id;
        unsigned revision;
        const char *flags;
        bool seenInCur;
    } rows[] = {
        {"1700000000.M1P2Q3.host", "1700000000.M1P2Q3.host", 0, "", false},
        {"1700000000.M1P2Q3.host:2,FS", "1700000000.M1P2Q3.host", 0, "FS", true},
        // Sizes and a save's revision change with content, not identity.
        {"1700000000.M1P2Q3.host,S=1234,W=1260:2,RS", "1700000000.M1P2Q3.host", 0, "RS", true},
        {"1700000000.M1P2Q3.host,R=12,S=9:2,", "1700000000.M1P2Q3.host", 12, "", false},
        // Other fields are the name's own; a field merely starting like one is kept.
        {"1700000000.V801I4M5.host,U=7,Sx=1:2,S", "1700000000.V801I4M5.host,U=7,Sx=1", 0, "S", true},
        {"1700000000.host,R=4x:2,T", "1700000000.host", 4, "T", false},
        {"", "", 0, "", false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(kelvra_provider::maildir::IdOfName(row.name), row.id);
        EXPECT_EQ(kelvra_provider::maildir::RevisionOf(row.name), row.revision);
        EXPECT_EQ(kelvra_provider::maildir::FlagsOf(row.name), row.flags);
        EXPECT_EQ(kelvra_provider::maildir::SeenIn(true, row.name), row.seenInCur);
        EXPECT_FALSE(kelvra_provider::maildir::SeenIn(false, row.name)); // new/ carries no flags
    }
}

// Names this provider makes are unique, sort in the order they were made,
// and name their writer on this host only.
TEST(MaildirNames, OurNamesNameTheirWriterOnThisHostOnly)
{
    const std::string first = kelvra_provider::maildir::UniqueName(), second = kelvra_provider::maildir::UniqueName();
    EXPECT_NE(first, second);
    EXPECT_LE(first.substr(0, first.find('P')), second.substr(0, second.find('P')));
    EXPECT_EQ(kelvra_provider::maildir::WriterOf(first), getpid());
    EXPECT_EQ(kelvra_provider::maildir::SecondsOf(first), std::stoll(first.substr(0, first.find('.'))));
    const std::string host = first.substr(first.find('.', first.find('Q')) + 1);
    for (const std::string &foreign :
         {std::string("1700000000.M1P42Q1.elsewhere"), "1700000000.M1PQ1." + host, "1700000000.M1P4x2Q1." + host,
          "1700000000.M1P99999999999Q1." + host, "1700000000." + host})
        EXPECT_EQ(kelvra_provider::maildir::WriterOf(foreign), 0) << foreign;
    EXPECT_EQ(kelvra_provider::maildir::FileName("/a/b/cur/x:2,S"), "x:2,S");
    EXPECT_EQ(kelvra_provider::maildir::FolderOf("/a/b/cur/x:2,S"), "/a/b/cur");
}
