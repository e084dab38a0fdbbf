// The bridge's frames: a message reads back as it was written (null apart
// from empty, a count beside a null array, every UTF-16 unit), and a frame
// cut short or claiming more than it holds is a WireError, never a read
// beyond its end or an allocation it cannot back.
#include "kelvra/windows/BridgeWire.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace kelvra::bridge;

// U+00FC, U+8A9E (a unit whose high byte has its top bit set), U+1F600 (a
// surrogate pair).
WCHAR kSubject[] = {L'G', 0x00FC, 0x8A9E, 0xD83D, 0xDE00, 0};
WCHAR kEmpty[] = {0};
WCHAR kAnn[] = {L'A', L'n', L'n', 0};
char kEntry[] = {'E', '\0', 'X'};

std::string WideMessage()
{
    MapiRecipDescW recips[2] = {{0, MAPI_TO, kAnn, nullptr, sizeof kEntry, kEntry},
                                {0, MAPI_CC, kEmpty, kEmpty, 0, nullptr}};
    MapiMessageW m{};
    m.lpszSubject = kSubject;
    m.lpszNoteText = kEmpty;
    m.flFlags = 0x20;
    m.nRecipCount = 2;
    m.lpRecips = recips;
    m.nFileCount = 3; // beside a null array
    Writer w;
    w.Message(&m);
    return w.Data();
}

TEST(BridgeWire, AWideMessageReadsBackAsWritten)
{
    Arena arena;
    Reader r(WideMessage());
    const MapiMessageW *m = r.MessageW(arena);
    ASSERT_NE(m, nullptr);
    EXPECT_TRUE(r.AtEnd());
    EXPECT_EQ(std::wstring(m->lpszSubject), std::wstring(kSubject));
    ASSERT_NE(m->lpszNoteText, nullptr);
    EXPECT_EQ(m->lpszNoteText[0], 0);
    EXPECT_EQ(m->lpszMessageType, nullptr);
    EXPECT_EQ(m->flFlags, 0x20u);
    ASSERT_EQ(m->nRecipCount, 2u);
    EXPECT_EQ(std::wstring(m->lpRecips[0].lpszName), L"Ann");
    EXPECT_EQ(m->lpRecips[0].lpszAddress, nullptr);
    ASSERT_EQ(m->lpRecips[0].ulEIDSize, 3u);
    EXPECT_EQ(std::string(static_cast<const char *>(m->lpRecips[0].lpEntryID), 3), std::string(kEntry, 3));
    EXPECT_EQ(m->lpRecips[1].ulRecipClass, static_cast<ULONG>(MAPI_CC));
    ASSERT_NE(m->lpRecips[1].lpszAddress, nullptr);
    EXPECT_EQ(m->lpRecips[1].lpszAddress[0], 0);
    EXPECT_EQ(m->lpRecips[1].lpEntryID, nullptr);
    EXPECT_EQ(m->nFileCount, 3u);
    EXPECT_EQ(m->lpFiles, nullptr);
}

TEST(BridgeWire, AFrameCutShortIsAnErrorAtEveryLength)
{
    const std::string whole = WideMessage();
    for (std::size_t n = 0; n < whole.size(); ++n) {
        Arena arena;
        Reader r(whole.substr(0, n));
        EXPECT_THROW(r.MessageW(arena), WireError) << "cut at " << n;
    }
}

TEST(BridgeWire, CountsBeyondTheFrameAreErrorsBeforeAnythingIsMade)
{
    for (const std::uint32_t units : {0x80000000u, 0xFFFFFFFFu, 300u}) {
        Writer w;
        w.U8(1);
        w.U32(units);
        for (int i = 0; i < 64; ++i) // fewer units than claimed
            w.U64(0x4141414141414141u);
        Arena arena;
        Reader r(w.Data());
        EXPECT_THROW(r.WText(arena), WireError) << units;
    }
    Writer w;
    w.U32(0xFFFFFFFFu); // recipients
    w.U8(1);
    w.U8(1);
    Arena arena;
    Reader r(w.Data());
    ULONG count = 0;
    EXPECT_THROW(r.Recips(arena, &count), WireError);
}

} // namespace
