// Mail other programs wrote, much of it odd or broken (tests/provider/corpus):
// every message reads as Python's email package shows it, read by the same
// rules a mail reader keeps (interop.py show), whole and envelope-only alike,
// and every file it hands out holds the bytes Python decodes. Mail whose
// only body is HTML reads with the words w3m shows of that HTML, in its order.
#include "ProviderSession.h"
#include "Python.h"
#include "W3m.h"

#include "message/Envelope.h"
#include "message/HeaderText.h"
#include "message/Parse.h"

#include <gmime/gmime.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <optional>
#include <tuple>
#include <string>
#include <vector>

using namespace provider_test;

namespace {

const fs::path kCorpus = fs::path(KELVRA_SOURCE_DIR) / "tests/provider/corpus";

std::vector<fs::path> CorpusFiles()
{
    std::vector<fs::path> files;
    for (const auto &e : fs::directory_iterator(kCorpus))
        if (e.path().extension() == ".eml")
            files.push_back(e.path());
    std::sort(files.begin(), files.end());
    return files;
}

std::string Lf(std::string text)
{
    for (size_t at; (at = text.find("\r\n")) != std::string::npos;)
        text.erase(at, 1);
    return text;
}

std::string Text(const char *text) { return text != nullptr ? text : "(null)"; }

std::string Sha256(const std::string &bytes)
{
    gchar *sum = g_compute_checksum_for_data(G_CHECKSUM_SHA256, reinterpret_cast<const guchar *>(bytes.data()),
                                             bytes.size());
    std::string out = sum;
    g_free(sum);
    return out;
}

// Where the first line that starts "Subject:" starts, before the first
// empty line; npos for none.
size_t SubjectLine(const std::string &message)
{
    for (size_t at = 0; at < message.size() && message[at] != '\n' && message[at] != '\r';
         at = message.find('\n', at) + 1) {
        if (g_ascii_strncasecmp(message.c_str() + at, "Subject:", 8) == 0)
            return at;
        if (message.find('\n', at) == std::string::npos)
            break;
    }
    return std::string::npos;
}

void RemoveHandedOut(const MapiMessage &m)
{
    for (ULONG i = 0; i < m.nFileCount; ++i)
        if (m.lpFiles[i].lpszPathName != nullptr) {
            const fs::path file = m.lpFiles[i].lpszPathName;
            std::error_code ignored;
            fs::remove(file, ignored);
            fs::remove(file.parent_path(), ignored); // the private folder, once empty
        }
}

// Where Python's email package is not what a mail reader shows: a
// multipart that reuses its parent's boundary is given up on there
// (StartBoundaryNotFoundDefect, its preamble listed as a part), where GMime
// reads it nested. Its files are not compared.
bool PythonListsPartsOf(const fs::path &file) { return file.filename() != "reused-boundary.eml"; }

// And a line a sender forgot to fold, with fields after it, ends Python's
// header block there (MissingHeaderBodySeparatorDefect: the rest of the
// header and the raw MIME become the text), where the provider takes it as a
// continuation, as other mature parsers do, and the structure survives.
// And a multipart whose boundary ends in blanks ("b  ") and whose middle
// delimiter line has one blank less: Python matches that line, but not the
// close delimiter "--b  --", so its last part runs on through that line and
// the epilogue; the close delimiter closes the multipart for the provider,
// and no part holds a delimiter line.
// What a reader shows instead: {text, file names, their digests (none: not
// compared)}.
struct Shown {
    std::string text;
    std::vector<std::string> files, digests;
};
std::optional<Shown> ReaderDiffersFromPython(const fs::path &file)
{
    if (file.filename() == "unfolded-field.eml")
        return Shown{"The parts survive.", {"message.html"}, {}};
    if (file.filename().string().rfind("delimiter-one-blank-short-", 0) == 0)
        return Shown{"First part text", {""}, {Sha256("A second paragraph that no reader may lose.\r\n")}};
    // The same where the close delimiter follows the short line at once:
    // the part between is empty, and none is shown.
    for (const char *size : {"70", "700", "7000"})
        if (file.filename() == std::string("boundary-chars-") + size + ".eml")
            return Shown{"The part survives.", {}, {}};
    return std::nullopt;
}

} // namespace

// The fault the provider works around, as the installed GMime has it: a run
// of base64 encoded words, one of them ending in padding, loses what follows
// it. When this fails, GMime reads such runs right and CollapseEncodedWords
// (HeaderText.cpp) may go.
TEST(GMimeEncodedWords, AdjacentPaddedBase64WordsLoseTextInTheInstalledGMime)
{
    g_mime_init();
    const char *raw = "=?utf-8?b?5pel5pys?= =?utf-8?b?w6k=?= =?utf-8?b?5Lu25ZCN?=";
    char *gmime = g_mime_utils_header_decode_text(nullptr, raw);
    EXPECT_STRNE(gmime, "\xE6\x97\xA5\xE6\x9C\xAC\xC3\xA9\xE4\xBB\xB6\xE5\x90\x8D") << "GMime issue 133 is mended";
    g_free(gmime);
    EXPECT_EQ(kelvra_provider::DecodeHeaderText(raw), "\xE6\x97\xA5\xE6\x9C\xAC\xC3\xA9\xE4\xBB\xB6\xE5\x90\x8D");
    // Blanks between encoded words go; those beside plain words stay.
    EXPECT_EQ(kelvra_provider::DecodeHeaderText("a =?utf-8?q?b?= \r\n =?utf-8?q?c?= d"), "a bc d");
}

// The other fault the provider works around: a part whose last line ends
// in LF alone, before a boundary line that ends in CRLF, loses its last
// character in the installed GMime (ParseMessageFile gives it back).
TEST(GMimeContentEnd, ALastLineInLfBeforeACrlfBoundaryLosesItsLastCharacterInTheInstalledGMime)
{
    g_mime_init();
    const std::string raw = ReadFile(kCorpus / "mixed-endings.eml");
    GMimeStream *stream = g_mime_stream_mem_new_with_buffer(raw.data(), raw.size());
    GMimeParser *parser = g_mime_parser_new_with_stream(stream);
    GMimeMessage *message = g_mime_parser_construct_message(parser, nullptr);
    ASSERT_NE(message, nullptr);
    GMimeObject *text = g_mime_multipart_get_part(GMIME_MULTIPART(g_mime_message_get_mime_part(message)), 0);
    char *content = g_mime_text_part_get_text(GMIME_TEXT_PART(text));
    EXPECT_STREQ(content, "first line\r\nsecond lin") << "GMime reads the part's end right now";
    g_free(content);
    g_object_unref(message);
    g_object_unref(parser);
    g_object_unref(stream);
}

// And a third: a delimiter line longer than GMime's read buffer is never
// matched, so a multipart whose boundary runs to thousands of characters has
// no part in the installed GMime (ParseMessageFile reads it again, its
// delimiter lines matched by the provider).
TEST(GMimeBoundaries, ADelimiterLineOfThousandsOfCharactersIsNotFoundInTheInstalledGMime)
{
    g_mime_init();
    const std::string raw = ReadFile(kCorpus / "boundary-chars-7000.eml");
    GMimeStream *stream = g_mime_stream_mem_new_with_buffer(raw.data(), raw.size());
    GMimeParser *parser = g_mime_parser_new_with_stream(stream);
    GMimeMessage *message = g_mime_parser_construct_message(parser, nullptr);
    ASSERT_NE(message, nullptr);
    GMimeObject *top = g_mime_message_get_mime_part(message);
    ASSERT_TRUE(GMIME_IS_MULTIPART(top));
    EXPECT_EQ(g_mime_multipart_get_count(GMIME_MULTIPART(top)), 0) << "GMime finds such delimiter lines now";
    g_object_unref(message);
    g_object_unref(parser);
    g_object_unref(stream);
}

// And a fourth: a part whose header block ends without a blank line at a
// line longer than GMime's read buffer (an attachment's base64 text on one
// line) is dropped whole in the installed GMime (ParseMessageFile puts the
// blank line there before GMime reads it).
TEST(GMimeParts, APartHeaderThatRunsIntoALongLineDropsThePartInTheInstalledGMime)
{
    g_mime_init();
    const std::string raw = ReadFile(kCorpus / "part-header-without-blank-line.eml");
    GMimeStream *stream = g_mime_stream_mem_new_with_buffer(raw.data(), raw.size());
    GMimeParser *parser = g_mime_parser_new_with_stream(stream);
    GMimeMessage *message = g_mime_parser_construct_message(parser, nullptr);
    ASSERT_NE(message, nullptr);
    GMimeObject *top = g_mime_message_get_mime_part(message);
    ASSERT_TRUE(GMIME_IS_MULTIPART(top));
    EXPECT_EQ(g_mime_multipart_get_count(GMIME_MULTIPART(top)), 1) << "GMime keeps such a part now";
    g_object_unref(message);
    g_object_unref(parser);
    g_object_unref(stream);
}

TEST_F(Provider, OtherProgramsMailReadsAsAMailReaderShowsIt)
{
    const std::vector<fs::path> files = CorpusFiles();
    ASSERT_GE(files.size(), 20u);
    size_t same = 0, fromHtml = 0;
    for (const fs::path &file : files) {
        SCOPED_TRACE(file.filename().string());
        const std::string id = file.stem().string();
        fs::copy_file(file, mailbox / "cur" / (id + ":2,S"), fs::copy_options::overwrite_existing);
        const auto python = Fields(RunPython({"show", file.string()}));
        ASSERT_EQ(python.size(), 6u);
        const std::string subject = nlohmann::json::parse(python.at("subject"));
        const std::string from = nlohmann::json::parse(python.at("from"));
        std::string body = nlohmann::json::parse(python.at("body"));
        const std::string html = nlohmann::json::parse(python.at("html"));
        std::vector<std::string> files = nlohmann::json::parse(python.at("attachments"));
        std::vector<std::string> digests = nlohmann::json::parse(python.at("digests"));
        if (const auto reader = ReaderDiffersFromPython(file)) {
            body = reader->text;
            files = reader->files;
            digests = reader->digests;
        }

        lpMapiMessage whole = nullptr, envelope = nullptr;
        ASSERT_EQ(MAPIReadMail(session, 0, S(id.c_str()), MAPI_PEEK | MAPI_SUPPRESS_ATTACH, 0, &whole), 0u);
        ASSERT_EQ(MAPIReadMail(session, 0, S(id.c_str()), MAPI_PEEK | MAPI_ENVELOPE_ONLY, 0, &envelope), 0u);
        bool ok = true;
        auto check = [&](bool good, const std::string &what) {
            EXPECT_TRUE(good) << what;
            ok = ok && good;
        };
        check(Text(whole->lpszSubject) == subject, "subject " + Text(whole->lpszSubject) + " != " + subject);
        check(Text(envelope->lpszSubject) == subject, "envelope subject " + Text(envelope->lpszSubject));
        if (html.empty()) {
            check(Lf(Text(whole->lpszNoteText)) == body, "text " + Text(whole->lpszNoteText) + " != " + body);
        } else {
            const std::vector<std::string> shown = Words(W3mDump(home, html), false);
            check(Words(Text(whole->lpszNoteText), true) == shown && shown.size() > 10,
                  "text " + Text(whole->lpszNoteText) + " has other words than w3m shows");
            ++fromHtml;
        }
        if (from.find('@') != std::string::npos) {
            // A header with an address always gives the sender.
            check(whole->lpOriginator != nullptr && envelope->lpOriginator != nullptr, "no originator");
            if (whole->lpOriginator != nullptr && envelope->lpOriginator != nullptr) {
                const std::string address = Text(whole->lpOriginator->lpszAddress);
                check(from.find(address) != std::string::npos, "sender " + address + " not in " + from);
                check(address == Text(envelope->lpOriginator->lpszAddress), "envelope sender");
                check(Text(whole->lpOriginator->lpszName) == Text(envelope->lpOriginator->lpszName),
                      "envelope sender name");
            }
        }
        if (PythonListsPartsOf(file))
            check(whole->nFileCount == files.size(), "file count " + std::to_string(whole->nFileCount));
        for (size_t k = 0; k < files.size() && k < whole->nFileCount && PythonListsPartsOf(file); ++k)
            if (!files[k].empty())
                check(Text(whole->lpFiles[k].lpszFileName) == files[k], "file name " +
                                                                            Text(whole->lpFiles[k].lpszFileName));
        // Each file holds the part's bytes, decoded as Python decodes them.
        lpMapiMessage handed = nullptr;
        ASSERT_EQ(MAPIReadMail(session, 0, S(id.c_str()), MAPI_PEEK, 0, &handed), 0u);
        for (size_t k = 0; k < digests.size() && k < handed->nFileCount && PythonListsPartsOf(file); ++k)
            if (!digests[k].empty())
                check(handed->lpFiles[k].lpszPathName != nullptr &&
                          Sha256(ReadFile(handed->lpFiles[k].lpszPathName)) == digests[k],
                      "file bytes " + Text(handed->lpFiles[k].lpszFileName));
        RemoveHandedOut(*handed);
        MAPIFreeBuffer(handed);
        same += ok ? 1 : 0;
        MAPIFreeBuffer(whole);
        MAPIFreeBuffer(envelope);
    }
    std::printf("corpus: %zu of %zu messages read as Python's email package shows them\n", same, files.size());
    EXPECT_GE(fromHtml, 3u); // HTML-only mail of three kinds at least
}

namespace {

// A message's bytes without its Subject fields (their lines, continuation
// lines and all, in the header block as a reader bounds it), and with the
// blank line a save that adds a field brings to a body that started
// without one (`blankLineAdded`).
std::string WithoutSubject(const std::string &message, bool blankLineAdded)
{
    const kelvra_provider::HeaderBounds bounds = *kelvra_provider::FindHeaderBounds(message, true);
    std::string out = message.substr(0, bounds.begin);
    bool inSubject = false;
    for (size_t at = bounds.begin; at < bounds.end;) {
        size_t next = message.find('\n', at);
        next = next == std::string::npos ? message.size() : next + 1;
        const std::string line = message.substr(at, next - at);
        const std::string content = line.substr(0, line.find_last_not_of("\r\n") + 1);
        if (!kelvra_provider::ContinuesField(content))
            inSubject = content.size() >= 8 && g_ascii_strncasecmp(content.c_str(), "Subject:", 8) == 0;
        if (!inSubject)
            out += line;
        at = next;
    }
    if (blankLineAdded && bounds.end == bounds.body && bounds.body < message.size())
        out += message.find("\r\n") != std::string::npos ? "\r\n" : "\n";
    return out + message.substr(bounds.end);
}

} // namespace

TEST_F(Provider, ASubjectSaveOfOtherProgramsMailChangesOnlyTheSubjectLine)
{
    const std::vector<fs::path> files = CorpusFiles();
    size_t kept = 0;
    for (const fs::path &file : files) {
        SCOPED_TRACE(file.filename().string());
        const std::string id = file.stem().string();
        const std::string before = ReadFile(file);
        fs::copy_file(file, mailbox / "cur" / (id + ":2,S"), fs::copy_options::overwrite_existing);
        lpMapiMessage m = nullptr;
        ASSERT_EQ(MAPIReadMail(session, 0, S(id.c_str()), MAPI_PEEK, 0, &m), 0u);
        std::string subject = "Saved (" + Text(m->lpszSubject) + ")";
        const std::string text = Text(m->lpszNoteText);
        m->lpszSubject = S(subject.c_str());
        char saved[513];
        std::snprintf(saved, sizeof saved, "%s", id.c_str());
        ASSERT_EQ(MAPISaveMail(session, 0, m, 0, 0, saved), 0u);
        RemoveHandedOut(*m);
        MAPIFreeBuffer(m);
        const std::vector<fs::path> now = Messages(mailbox);
        ASSERT_EQ(now.size(), 1u);
        const std::string after = ReadFile(now[0]);
        // A Subject added (none was there) brings the missing blank line.
        const bool added = WithoutSubject(before, false) == before;
        bool same = WithoutSubject(after, false) == WithoutSubject(before, added);
        // Told apart from where the bounds put it: in a message that starts
        // with its header, every byte before the first Subject line and
        // after it (with its blank-led continuation lines) stays where it was.
        const size_t first = before.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0;
        const std::string firstLine = before.substr(first, before.find('\n', first) - first);
        const bool header = firstLine.find(':') != std::string::npos || firstLine.rfind("From ", 0) == 0;
        if (const size_t at = SubjectLine(before); header && at != std::string::npos) {
            size_t end = at;
            do
                end = std::min(before.find('\n', end), before.size() - 1) + 1;
            while (end < before.size() && (before[end] == ' ' || before[end] == '\t'));
            same = same && after.compare(0, at, before, 0, at) == 0 && after.size() >= at + before.size() - end &&
                   after.compare(after.size() - (before.size() - end), std::string::npos, before, end) == 0;
        }
        EXPECT_TRUE(same) << after;
        kept += same ? 1 : 0;
        ASSERT_EQ(MAPIReadMail(session, 0, S(id.c_str()), MAPI_PEEK | MAPI_SUPPRESS_ATTACH, 0, &m), 0u);
        std::replace(subject.begin(), subject.end(), '\t', ' '); // a header line holds no control character
        EXPECT_EQ(Text(m->lpszSubject), subject);
        EXPECT_EQ(Text(m->lpszNoteText), text); // the message reads as it did, but for its subject
        MAPIFreeBuffer(m);
        fs::remove(now[0]);
    }
    std::printf("corpus: %zu of %zu subject saves kept every other byte\n", kept, files.size());
}

// The multiparts whose middle delimiter line is one blank short of the
// declared boundary ("b  "), at 70, 700 and 7,000 characters, with CRLF
// and with LF line ends: the same two parts each time, the second one
// holding its paragraph and no delimiter line. Then a part whose header
// block runs into its base64 text without a blank line.
TEST_F(Provider, ADelimiterLineOneBlankShortOrAPartHeaderWithoutItsBlankLineLosesNothing)
{
    for (const char *size : {"70", "700", "7000"}) {
        for (const bool crlf : {true, false}) {
            const std::string id = std::string("short") + size + (crlf ? "crlf" : "lf");
            SCOPED_TRACE(id);
            std::string text = ReadFile(kCorpus / (std::string("delimiter-one-blank-short-") + size + ".eml"));
            if (!crlf)
                text = Lf(text);
            WriteFile(mailbox / "cur" / (id + ":2,S"), text);
            lpMapiMessage m = nullptr;
            ASSERT_EQ(MAPIReadMail(session, 0, S(id.c_str()), MAPI_PEEK, 0, &m), 0u);
            EXPECT_STREQ(m->lpszNoteText, "First part text");
            ASSERT_EQ(m->nFileCount, 1u);
            EXPECT_EQ(ReadFile(m->lpFiles[0].lpszPathName),
                      std::string("A second paragraph that no reader may lose.") + (crlf ? "\r\n" : "\n"));
            // Saved unchanged, it is the same file byte for byte.
            char saved[513];
            std::snprintf(saved, sizeof saved, "%s", id.c_str());
            EXPECT_EQ(MAPISaveMail(session, 0, m, 0, 0, saved), 0u);
            EXPECT_EQ(ReadFile(mailbox / "cur" / (id + ":2,S")), text);
            RemoveHandedOut(*m);
            MAPIFreeBuffer(m);
        }
    }
    // The attachment whose header block ends at its base64 line, with no
    // blank line: whole, and the file unchanged by an unchanged save.
    const std::string text = ReadFile(kCorpus / "part-header-without-blank-line.eml");
    WriteFile(mailbox / "cur" / "zip:2,S", text);
    lpMapiMessage m = nullptr;
    ASSERT_EQ(MAPIReadMail(session, 0, S("zip"), MAPI_PEEK, 0, &m), 0u);
    ASSERT_EQ(m->nFileCount, 2u);
    EXPECT_STREQ(m->lpFiles[1].lpszFileName, "Archive.zip");
    EXPECT_EQ(fs::file_size(m->lpFiles[1].lpszPathName), 3750u);
    char saved[] = "zip";
    EXPECT_EQ(MAPISaveMail(session, 0, m, 0, 0, saved), 0u);
    EXPECT_EQ(ReadFile(mailbox / "cur" / "zip:2,S"), text);
    RemoveHandedOut(*m);
    MAPIFreeBuffer(m);
}
