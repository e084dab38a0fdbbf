// What the IMAP store knows of its folder, brought up to the server's
// changes: new messages and new flags merged in, removed ones (VANISHED
// spans, in any order, overlapping, as many as the server names) left out.
#include "imap/Folder.h"

#include <gtest/gtest.h>

#include <vector>

using kelvra_provider::imap::Entry;
using kelvra_provider::imap::Folder;
using kelvra_provider::imap::UidSpan;

namespace {

Entry Message(std::uint32_t uid, bool seen = false)
{
    Entry e;
    e.uid = uid;
    e.time = 1700000000 + uid;
    e.seen = seen;
    return e;
}

std::vector<std::uint32_t> Uids(const Folder &folder)
{
    std::vector<std::uint32_t> uids;
    for (const Entry &e : folder.Entries())
        uids.push_back(e.uid);
    return uids;
}

} // namespace

TEST(ImapFolder, ChangesAreMergedAndVanishedSpansLeftOut)
{
    Folder folder;
    std::vector<Entry> listed;
    for (std::uint32_t uid = 1; uid <= 10; ++uid)
        listed.push_back(Message(uid));
    folder.Take(listed);
    folder.changed = false;
    // New flags for 4, a new 12 and 11 (out of order), 2..3 and 5..7 gone
    // (overlapping spans, unsorted), a span of UIDs never known.
    folder.Apply({Message(12), Message(4, true), Message(11)}, {{6, 7}, {2, 3}, {5, 6}, {100, 200}});
    EXPECT_EQ(Uids(folder), (std::vector<std::uint32_t>{1, 4, 8, 9, 10, 11, 12}));
    EXPECT_TRUE(folder.Find(4)->seen);
    EXPECT_TRUE(folder.changed);
    // A span inside a wider one that ends later.
    folder.Apply({}, {{1, 9}, {4, 4}});
    EXPECT_EQ(Uids(folder), (std::vector<std::uint32_t>{10, 11, 12}));
    // Without VANISHED: every UID the server's search did not find is gone.
    const std::vector<std::uint32_t> present = {11};
    folder.Apply({}, {}, &present);
    EXPECT_EQ(Uids(folder), (std::vector<std::uint32_t>{11}));
}

TEST(ImapFolder, ManyVanishedSpansOverManyMessages)
{
    // 50,000 messages, every other one gone in a span of its own.
    Folder folder;
    std::vector<Entry> listed;
    std::vector<UidSpan> gone;
    for (std::uint32_t uid = 1; uid <= 50000; ++uid) {
        listed.push_back(Message(uid));
        if (uid % 2 == 0)
            gone.push_back({uid, uid});
    }
    folder.Take(listed);
    folder.Apply({}, gone);
    ASSERT_EQ(folder.Size(), 25000u);
    EXPECT_EQ(folder.Entries().front().uid, 1u);
    EXPECT_EQ(folder.Entries().back().uid, 49999u);
}
