// The byte-level code a save rests on, on its own: delimiter lines found
// across the chunk edge in both directions, edits spliced into a file, a
// header block's fields, and runs of encoded words.
#include "ProviderHome.h"

#include "Errors.h"
#include "message/HeaderText.h"
#include "message/SaveInPlace.h"
#include "message/SaveEdits.h"

#include <fcntl.h>
#include <unistd.h>

using namespace provider_test;

namespace {

class ByteEdit : public ProviderHome {
protected:
    // A file of `bytes`, read as a stored message.
    std::unique_ptr<kelvra_provider::StoredBytes> Stored(const std::string &bytes)
    {
        WriteFile(home / "stored", bytes);
        return std::make_unique<kelvra_provider::StoredBytes>((home / "stored").string());
    }

    // What a splice writes of `bytes`, or the failure's code.
    std::string Spliced(const std::string &bytes, const kelvra_provider::Splice &splice)
    {
        const auto file = Stored(bytes);
        const int out = open((home / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        try {
            splice.Write(*file, out);
        } catch (const kelvra_provider::MapiError &e) {
            close(out);
            return "failed " + std::to_string(e.code);
        }
        close(out);
        return ReadFile(home / "out");
    }
};

} // namespace

TEST_F(ByteEdit, DelimiterLinesAreFoundAcrossTheChunkEdgeBothWays)
{
    const std::string prefix = "--b";
    const std::size_t edge = kelvra_provider::kChunk;
    // A line start just before, at and just after the edge; a delimiter
    // that crosses it; and one that starts a chunk but not a line.
    for (const std::size_t at : {edge - 2, edge - 1, edge, edge + 1, 3 * edge - 1}) {
        SCOPED_TRACE(at);
        std::string bytes(at + 64, 'x');
        bytes[at - 1] = '\n';
        bytes.replace(at, 5, "--b\r\n");
        const auto file = Stored(bytes);
        EXPECT_EQ(kelvra_provider::LineForward(*file, 0, prefix), at);
        EXPECT_EQ(kelvra_provider::LineBackward(*file, 0, bytes.size(), prefix), at);
        EXPECT_EQ(kelvra_provider::LineForward(*file, at + 1, prefix), std::string::npos);
        EXPECT_EQ(kelvra_provider::LineBackward(*file, 0, at, prefix), std::string::npos);
        // The same text not at a line start is no delimiter line.
        bytes[at - 1] = 'x';
        const auto inLine = Stored(bytes);
        EXPECT_EQ(kelvra_provider::LineForward(*inLine, 0, prefix), std::string::npos);
        EXPECT_EQ(kelvra_provider::LineBackward(*inLine, 0, bytes.size(), prefix), std::string::npos);
    }
    // Of several, the first forward and the last backward; a longer boundary
    // that begins like it is not it; "--b--" closes.
    const std::string several = "--bb\r\n--b\r\nx\r\n--b \r\ny\r\n--b--\r\n";
    const auto file = Stored(several);
    EXPECT_EQ(kelvra_provider::LineForward(*file, 0, prefix), several.find("--b\r\n"));
    EXPECT_EQ(kelvra_provider::LineBackward(*file, 0, several.size(), prefix), several.find("--b--"));
    EXPECT_EQ(kelvra_provider::LineBackward(*file, 0, several.size(), prefix + "--"), several.find("--b--"));
}

TEST_F(ByteEdit, ASpliceWritesEditsInPlaceAndRefusesOverlaps)
{
    const std::string bytes = "0123456789";
    kelvra_provider::Splice adjacent; // edits that meet
    adjacent.Replace(2, 4, "ab");
    adjacent.Replace(4, 6, "CD");
    adjacent.Replace(10, 10, "!"); // at the end
    EXPECT_EQ(Spliced(bytes, adjacent), "01abCD6789!");
    kelvra_provider::Splice order; // insertions at one place, in the order made, before a replacement there
    order.Replace(3, 5, "R");
    order.Replace(3, 3, "first ");
    order.Replace(3, 3, "second ");
    EXPECT_EQ(Spliced(bytes, order), "012first second R56789");
    kelvra_provider::Splice overlapping;
    overlapping.Replace(2, 6, "x");
    overlapping.Replace(5, 8, "y");
    EXPECT_EQ(Spliced(bytes, overlapping), "failed " + std::to_string(MAPI_E_FAILURE));
    kelvra_provider::Splice past;
    past.Replace(8, 12, "z");
    EXPECT_EQ(Spliced(bytes, past), "failed " + std::to_string(MAPI_E_FAILURE));
    EXPECT_EQ(Spliced(bytes, kelvra_provider::Splice()), bytes);
}

TEST_F(ByteEdit, AHeaderBlocksFieldsKeepTheirContinuationsAndLineEnds)
{
    const std::string block = "Subject: one\r\n two\r\nX-Odd : v\nnot-a-field\r\nTo: a@example.org\r\n\tb@example.org";
    const auto file = Stored("junk" + block + "\r\n\r\nbody");
    const auto fields = kelvra_provider::FieldsIn(*file, 4, 4 + block.size());
    ASSERT_EQ(fields.size(), 3u);
    EXPECT_EQ(fields[0].name, "Subject");
    EXPECT_EQ(file->Read(fields[0].start, fields[0].end), "Subject: one\r\n two\r\n");
    EXPECT_EQ(fields[1].name, "X-Odd");
    // A line that is no field, with a field after it, is one its sender
    // forgot to fold: it belongs to the field before it.
    EXPECT_EQ(file->Read(fields[1].start, fields[1].end), "X-Odd : v\nnot-a-field\r\n");
    EXPECT_EQ(fields[2].name, "To");
    EXPECT_EQ(file->Read(fields[2].start, fields[2].end), "To: a@example.org\r\n\tb@example.org");
}

TEST_F(ByteEdit, RunsOfEncodedWordsAreDecodedWordByWord)
{
    // Two base64 words whose first ends in padding: each decoded on its own
    // (GMime 3.2.13 merged them and lost the rest), the blank between dropped.
    EXPECT_EQ(kelvra_provider::DecodeHeaderText("=?UTF-8?B?SGk=?= =?UTF-8?B?dGhlcmU=?="), "Hithere");
    // Words in different charsets; plain text between words stays.
    EXPECT_EQ(kelvra_provider::DecodeHeaderText("=?ISO-8859-1?Q?caf=E9?= and =?UTF-8?Q?th=C3=A9?="), "caf\xC3\xA9 and th\xC3\xA9");
    // Not a word: left as written.
    EXPECT_EQ(kelvra_provider::DecodeHeaderText("=?UTF-8?X?abc?= =?broken"), "=?UTF-8?X?abc?= =?broken");
    // Collapsed, a run is one UTF-8 word that GMime's parsers read whole.
    const std::string collapsed = kelvra_provider::CollapseEncodedWords("=?UTF-8?B?SGk=?=  =?UTF-8?B?dGhlcmU=?= <a@example.org>");
    EXPECT_EQ(kelvra_provider::DecodeHeaderText(collapsed.substr(0, collapsed.find(" <"))), "Hithere");
    EXPECT_NE(collapsed.find(" <a@example.org>"), std::string::npos) << collapsed;
}
