// The listing of a Maildir: it never trusts folder times finer than the file
// system keeps them, and a folder it cannot read is a failure, not "empty".
#include "ProviderSession.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>

using namespace provider_test;

namespace {

class Listing : public Provider {
protected:
    // Another program delivers a message.
    void DeliverElsewhere(const fs::path &maildir, const std::string &name)
    {
        WriteFile(maildir / "tmp" / name, "Subject: late\r\n\r\nx");
        fs::rename(maildir / "tmp" / name, maildir / "new" / name);
    }

    static void WaitUntil(std::time_t when)
    {
        while (std::time(nullptr) < when)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
};

void PinFolderTimes(const fs::path &maildir, std::time_t second)
{
    const timespec times[2] = {{second, 0}, {second, 0}};
    for (const char *sub : {"new", "cur"})
        utimensat(AT_FDCWD, (maildir / sub).c_str(), times, 0);
}

} // namespace

TEST_F(Listing, MailDeliveredInTheSameTickAsAListingIsSeenOnceTheTickHasPassed)
{
    // Folder times in whole seconds, as a one-second file system keeps them:
    // the delivery below leaves them as they were.
    const std::time_t tick = std::time(nullptr);
    PinFolderTimes(mailbox, tick);
    EXPECT_TRUE(Walk().empty());
    DeliverElsewhere(mailbox, "1700000000.M1P2Q1.other");
    PinFolderTimes(mailbox, tick);
    WaitUntil(tick + 3);
    EXPECT_EQ(Walk(), std::vector<std::string>{"1700000000.M1P2Q1.other"});
    lpMapiMessage m = nullptr;
    ASSERT_EQ(MAPIReadMail(session, 0, S("1700000000.M1P2Q1.other"), MAPI_PEEK, 0, &m), 0u);
    MAPIFreeBuffer(m);
}

TEST_F(Listing, AMessageDeliveredInTheSameTickIsFoundAtOnce)
{
    // As above, but nothing waits: a read, a delete and a new walk look at
    // the folder again before saying that a message is not there.
    const std::time_t tick = std::time(nullptr) + 10;
    PinFolderTimes(mailbox, tick);
    EXPECT_TRUE(Walk().empty());
    for (int round = 0; round < 5; ++round) {
        const std::string first = "1700000000.M" + std::to_string(round) + "P2Q1.other",
                          second = "1700000000.M" + std::to_string(round) + "P2Q2.other";
        DeliverElsewhere(mailbox, first);
        DeliverElsewhere(mailbox, second);
        PinFolderTimes(mailbox, tick);
        lpMapiMessage m = nullptr;
        ASSERT_EQ(MAPIReadMail(session, 0, S(first.c_str()), MAPI_PEEK, 0, &m), 0u) << round;
        MAPIFreeBuffer(m);
        ASSERT_EQ(MAPIDeleteMail(session, 0, S(first.c_str()), 0, 0), 0u) << round;
        PinFolderTimes(mailbox, tick);
        EXPECT_EQ(Walk(), std::vector<std::string>{second}) << round;
        ASSERT_EQ(MAPIDeleteMail(session, 0, S(second.c_str()), 0, 0), 0u) << round;
        PinFolderTimes(mailbox, tick);
    }
}

TEST_F(Listing, OnAOneSecondFileSystemNoDeliveryStaysInvisible)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting a file system image needs root";
    const fs::path image = home / "ext4.img", mount = home / "mnt";
    fs::create_directories(mount);
    // 128-byte inodes keep whole seconds only.
    const std::string make = "truncate -s 8M '" + image.string() + "' && mkfs.ext4 -q -I 128 '" + image.string() +
                             "' >/dev/null 2>&1 && mount -o loop '" + image.string() + "' '" + mount.string() +
                             "' 2>/dev/null";
    if (std::system(make.c_str()) != 0)
        GTEST_SKIP() << "no loop mount of an ext4 image here";
    // Lazily: the provider keeps the folders it watches open.
    struct Unmount {
        fs::path at;
        ~Unmount() { (void)!std::system(("umount -l '" + at.string() + "'").c_str()); }
    } unmount{mount};
    WriteFile(profiles, "[OneSecond]\nmailbox = " + (mount / "Mail").string() + "\n");
    LHANDLE h = 0;
    ASSERT_EQ(MAPILogon(0, S("OneSecond"), nullptr, 0, 0, &h), 0u);
    char id[513];
    // A listing and a delivery within one second.
    std::time_t second = 0;
    for (int attempt = 0; attempt < 5; ++attempt) {
        WaitUntil(std::time(nullptr) + 1);
        second = std::time(nullptr);
        EXPECT_EQ(MAPIFindNext(h, 0, S(""), S(""), MAPI_LONG_MSGID, 0, id), MAPI_E_NO_MESSAGES);
        DeliverElsewhere(mount / "Mail", "1700000000.M" + std::to_string(attempt) + "P2Q1.other");
        if (std::time(nullptr) == second)
            break;
    }
    struct stat st {};
    ASSERT_EQ(stat((mount / "Mail" / "new").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_nsec, 0); // the file system keeps seconds only
    WaitUntil(second + 3);
    EXPECT_EQ(MAPIFindNext(h, 0, S(""), S(""), MAPI_LONG_MSGID, 0, id), 0u);
    MAPILogoff(h, 0, 0, 0);
}

TEST_F(Listing, AFolderThatCannotBeReadIsAFailureNotAnEmptyMailbox)
{
    fs::remove_all(mailbox / "new");
    WriteFile(mailbox / "new", "not a folder");
    char id[513];
    EXPECT_EQ(MAPIFindNext(session, 0, S(""), S(""), MAPI_LONG_MSGID, 0, id), MAPI_E_FAILURE);
    fs::remove(mailbox / "new");
    fs::create_directories(mailbox / "new");
    EXPECT_EQ(MAPIFindNext(session, 0, S(""), S(""), MAPI_LONG_MSGID, 0, id), MAPI_E_NO_MESSAGES);
}

TEST_F(Listing, ANameOrderWalkThenArrivalOrderAndAChangeInPlace)
{
    // Named in one order, arrived in the other.
    const std::vector<std::string> names = {"1700000001.M1P1Q1.a", "1700000002.M1P1Q1.b", "1700000003.M1P1Q1.c"};
    for (size_t i = 0; i < names.size(); ++i) {
        DeliverElsewhere(mailbox, names[i]);
        const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(1700000300 - 100 * i), 0}};
        utimensat(AT_FDCWD, (mailbox / "new" / names[i]).c_str(), times, 0);
    }
    EXPECT_EQ(Walk(), names);
    EXPECT_EQ(Walk(MAPI_GUARANTEE_FIFO), (std::vector<std::string>{names[2], names[1], names[0]}));
    // Changed in place (same name, same file) to a class the walk leaves out:
    // the read of the whole message sees it, and so does every walk after it.
    std::ofstream(mailbox / "new" / names[2], std::ios::trunc) << "X-Message-Class: IPC.Other\r\nSubject: late\r\n\r\nx";
    lpMapiMessage m = nullptr;
    ASSERT_EQ(MAPIReadMail(session, 0, S(names[2].c_str()), MAPI_PEEK, 0, &m), 0u);
    EXPECT_STREQ(m->lpszMessageType, "IPC.Other");
    MAPIFreeBuffer(m);
    EXPECT_EQ(Walk(), (std::vector<std::string>{names[0], names[1]}));
    EXPECT_EQ(Walk(MAPI_GUARANTEE_FIFO), (std::vector<std::string>{names[1], names[0]}));
}
