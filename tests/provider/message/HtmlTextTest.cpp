// Mail whose only body is HTML reads as text: the rendering's rules one
// shape at a time, pages nested beyond any parser's comfort, and whole
// messages read through the provider (their charsets, the parts a reader
// takes the text from, and saves). CorpusTest.cpp reads the HTML-only mail
// of the corpus beside w3m.
#include "ProviderSession.h"

#include "Errors.h"
#include "message/HtmlText.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>

using namespace provider_test;

namespace {

std::string Lf(std::string text)
{
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

// One row per rule; broken markup reads as a browser would repair it.
TEST(HtmlText, EachShapeReadsAsATextReaderShowsIt)
{
    const struct {
        const char *html, *text;
    } rows[] = {
        // Blocks start lines; paragraphs and headings stand apart.
        {"<div>one</div><div>two</div>three", "one\ntwo\nthree"},
        {"<h1>Title</h1><p>First</p><p>Second</p>", "Title\n\nFirst\n\nSecond"},
        {"a<br>b<br><br>c", "a\nb\n\nc"},
        {"<p>a</p><br><br><br><p>b</p>", "a\n\nb"},
        // White space collapses outside pre; pre stays verbatim.
        {"  many \t spaces\nand\r\nlines  ", "many spaces and lines"},
        {"<p>x</p><pre>\n  two  spaces\n\n\tand a tab</pre>y", "x\n\n  two  spaces\n\n\tand a tab\n\ny"},
        // Lists, nested ones indented under their item.
        {"<ul><li>one<li>two<ul><li>inner</ul></ul>", "* one\n* two\n  * inner"},
        {"<ol start=9><li>nine<li>ten<ol><li>a</ol></ol>", "9. nine\n10. ten\n    1. a"},
        {"<ul><li>first line<br>second line</li></ul>", "* first line\n  second line"},
        // Table rows on their lines, cells apart.
        {"<table><tr><td>a</td><td>b</td></tr><tr><td>c<td>d</table>", "a  b\nc  d"},
        {"<table><tr><td></td><td>only</td></tr></table>", "only"},
        // Links show their address unless their text is it.
        {"<a href='https://x.example/menu'>full menu</a>", "full menu <https://x.example/menu>"},
        {"<a href='https://x.example/'>x.example</a> <a href='mailto:a@x.example'>a@x.example</a>",
         "x.example a@x.example"},
        {"<a href='#top'>top</a> <a href='javascript:go()'>go</a> <a name=n>anchor</a>", "top go anchor"},
        {"<a href='https://x.example/b'><img src=b.png></a>", "<https://x.example/b>"},
        // Images by their alt text.
        {"a <img alt='Logo' src=l.png> b <img src=pixel.gif> c", "a Logo b c"},
        // Quotes.
        {"<blockquote>quoted<blockquote>deeper</blockquote></blockquote>after",
         "> quoted\n>\n> > deeper\n\nafter"},
        {"<blockquote><pre>a\n b</pre></blockquote>", "> a\n>  b"},
        // Entities.
        {"a&nbsp;b &eacute;t&eacute; &#8212; &#x41; &amp; &unknown; &lt;b&gt;", "a b été — A & &unknown; <b>"},
        // What never shows.
        {"<html><head><title>T</title><style>p{color:red}</style></head><body><script>x=1</script>"
         "vis<!-- hidden -->ible<template>t</template></body></html>",
         "visible"},
        {"a<![CDATA[hidden]]>b<!--[if mso]>mso<![endif]--><![if !mso]>c<![endif]>", "abc"},
        // Broken markup.
        {"<div>unclosed <b>bold <i>italic</div>next", "unclosed bold italic\nnext"},
        {"</span>stray</p> end</div>", "stray\n\nend"},
        {"<p class=x id=y>unquoted<img alt=Alt src=a.png></p>", "unquotedAlt"},
        {"<p>one<p>two<li>loose item", "one\n\ntwo\n\n* loose item"},
        {"text with a < b and c > d", "text with a < b and c > d"},
        {"<hr>", "----------------------------------------"},
        {"", ""},
    };
    testing::internal::CaptureStderr();
    for (const auto &row : rows) {
        SCOPED_TRACE(row.html);
        const std::string text = kelvra_provider::HtmlText(row.html, "utf-8");
        EXPECT_EQ(Lf(text), row.text);
        EXPECT_EQ(text.find('\n') == std::string::npos || text.find("\r\n") != std::string::npos, true);
    }
    // A library that reads an application's mail writes nothing to its
    // standard error, however broken the page.
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// Nesting costs no stack: a page nested 50,000 deep reads whole, and the
// prefix of quotes and list indents stops growing, so the text stays
// linear in the page.
TEST(HtmlText, DeepAndLargePagesReadWhole)
{
    constexpr int kDepth = 50000;
    std::string divs = "<p>start</p>";
    for (int i = 0; i < kDepth; ++i)
        divs += "<div><span>";
    divs += "bottom";
    for (int i = 0; i < kDepth; ++i)
        divs += "</span></div>";
    divs += "<p>after</p>";
    EXPECT_EQ(Lf(kelvra_provider::HtmlText(divs, nullptr)), "start\n\nbottom\n\nafter");

    std::string quotes;
    for (int i = 0; i < kDepth; ++i)
        quotes += "<blockquote><ul><li>";
    quotes += "bottom";
    const std::string text = Lf(kelvra_provider::HtmlText(quotes, nullptr));
    ASSERT_GE(text.size(), 6u);
    EXPECT_EQ(text.substr(text.size() - 6), "bottom");
    EXPECT_LT(text.size(), 1000u);

    // Nor do sizes past libxml2's ordinary limits drop anything: an image
    // inlined as a 12 MB attribute, a text node of 12 MB.
    const std::string big = "<p>before <img src=\"data:image/png;base64," + std::string(12 << 20, 'A') +
                            "\" alt=Alt> after</p><p>" + std::string(12 << 20, 'w') + " end</p>";
    const std::string read = Lf(kelvra_provider::HtmlText(big, nullptr));
    EXPECT_EQ(read.substr(0, 22), "before Alt after\n\nwwww");
    EXPECT_EQ(read.size(), 18 + (12u << 20) + 4);
}

class HtmlMail : public Provider {
protected:
    fs::path Store(const std::string &bytes, const std::string &id = "1600000000.M1P1Q1.html")
    {
        const fs::path file = mailbox / "cur" / (id + ":2,S");
        WriteFile(file, bytes);
        return file;
    }
    // The text a read gives (line ends as LF), and the names of its files.
    std::string ReadText(const std::string &id = "1600000000.M1P1Q1.html", std::vector<std::string> *files = nullptr)
    {
        lpMapiMessage m = nullptr;
        EXPECT_EQ(MAPIReadMail(session, 0, S(id.c_str()), MAPI_PEEK | MAPI_SUPPRESS_ATTACH, 0, &m), 0u);
        if (m == nullptr)
            return "(unread)";
        const std::string text = m->lpszNoteText != nullptr ? m->lpszNoteText : "(null)";
        for (ULONG i = 0; files != nullptr && i < m->nFileCount; ++i)
            files->push_back(m->lpFiles[i].lpszFileName);
        MAPIFreeBuffer(m);
        return Lf(text);
    }
};

std::string Message(const std::string &contentType, const std::string &body, const std::string &headers = "")
{
    return "From: Ann <ann@example.org>\r\nTo: tester@example.org\r\nSubject: Page\r\nMIME-Version: 1.0\r\n"
           "Content-Type: " + contentType + "\r\n" + headers + "\r\n" + body;
}

// Which part the text comes from, and in which charset its bytes read.
TEST_F(HtmlMail, TheTextComesFromTheHtmlBodyInItsCharset)
{
    const std::string related =
        "--R\r\nContent-Type: image/png\r\nContent-ID: <logo>\r\n\r\npng\r\n"
        "--R\r\nContent-Type: text/html; charset=utf-8\r\nContent-ID: <root>\r\n\r\n<p>The root</p>\r\n--R--\r\n";
    const struct {
        const char *name;
        std::string message, text;
        std::vector<std::string> files;
    } rows[] = {
        {"ISO-8859-1 by MIME, over the page's own claim",
         Message("text/html; charset=iso-8859-1", "<meta charset=utf-8><p>Caf\xE9 \xBD</p>"), "Café ½",
         {"message.html"}},
        {"windows-1252 declared only by meta",
         Message("text/html", "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; "
                              "charset=windows-1252\"></head><body>\x93quoted\x94 \x80 5</body></html>"),
         "\xE2\x80\x9Cquoted\xE2\x80\x9D \xE2\x82\xAC 5", {"message.html"}},
        {"meta charset", Message("text/html", "<meta charset='koi8-r'><p>\xF0\xD2\xC9\xD7\xC5\xD4</p>"),
         "Привет", {"message.html"}},
        {"quoted-printable with soft breaks",
         Message("text/html; charset=utf-8", "<p>A long para=\r\ngraph, split by the en=\r\ncoder: caf=C3=\r\n=A9.</p>\r\n",
                 "Content-Transfer-Encoding: quoted-printable\r\n"),
         "A long paragraph, split by the encoder: café.", {"message.html"}},
        {"no charset, UTF-8 bytes", Message("text/html", "<p>\xC3\xA9t\xC3\xA9</p>"), "été", {"message.html"}},
        {"no charset, other bytes: the fallback", Message("text/html", "<p>\xE9t\xE9 \x80</p>"), "été €",
         {"message.html"}},
        // (but for the line break that ends it: MIME's)
        {"a text part keeps its text, byte for byte",
         Message("multipart/alternative; boundary=A",
                 "--A\r\nContent-Type: text/plain\r\n\r\n  Plain  *text*,\tas sent.  \r\n\r\n"
                 "--A\r\nContent-Type: text/html\r\n\r\n<p>Plain <b>text</b></p>\r\n--A--\r\n"),
         "  Plain  *text*,\tas sent.  ", {"message.html"}},
        {"alternative without text",
         Message("multipart/alternative; boundary=A",
                 "--A\r\nContent-Type: text/enriched\r\n\r\n<bold>x</bold>\r\n"
                 "--A\r\nContent-Type: text/html\r\n\r\n<p>The HTML</p>\r\n--A--\r\n"),
         "The HTML", {"message.txt", "message.html"}},
        {"the root of a related by its start",
         Message("multipart/related; boundary=R; start=\"<root>\"", related), "The root",
         {"attachment", "message.html"}},
        {"the first part of a mixed",
         Message("multipart/mixed; boundary=M",
                 "--M\r\nContent-Type: text/html\r\n\r\n<p>First</p>\r\n"
                 "--M\r\nContent-Type: application/pdf\r\nContent-Disposition: attachment; filename=a.pdf\r\n\r\n"
                 "pdf\r\n--M--\r\n"),
         "First", {"message.html", "a.pdf"}},
        {"an HTML file attached is no body",
         Message("multipart/mixed; boundary=M",
                 "--M\r\nContent-Type: text/html\r\nContent-Disposition: attachment; filename=page.html\r\n\r\n"
                 "<p>Attached</p>\r\n--M--\r\n"),
         "", {"page.html"}},
        {"nor is an HTML part after another first part",
         Message("multipart/mixed; boundary=M",
                 "--M\r\nContent-Type: image/png\r\n\r\npng\r\n--M\r\nContent-Type: text/html\r\n\r\n<p>Later</p>\r\n--M--\r\n"),
         "", {"attachment", "message.html"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        Store(row.message);
        std::vector<std::string> files;
        EXPECT_EQ(ReadText("1600000000.M1P1Q1.html", &files), row.text);
        EXPECT_EQ(files, row.files);
    }
}

// A save of a read whose text was rendered keeps the file byte for byte
// while the text is unchanged (whether it came in the record or in a
// file), and is refused, the file as it was, when it changed.
TEST_F(HtmlMail, ASaveKeepsTheHtmlAndRefusesAChangedRenderedText)
{
    const std::string bytes = Message("text/html; charset=utf-8", "<p>Keep <b>this</b> page</p>\r\n");
    const fs::path file = Store(bytes);
    const std::string id = "1600000000.M1P1Q1.html";
    const struct {
        const char *name;
        FLAGS read;
        const char *text; // null: the text as read
        ULONG result;
    } rows[] = {
        {"unchanged", MAPI_PEEK, nullptr, SUCCESS_SUCCESS},
        {"unchanged in its file", MAPI_PEEK | MAPI_BODY_AS_FILE, nullptr, SUCCESS_SUCCESS},
        {"changed", MAPI_PEEK, "Keep this page, and my words", MAPI_E_FAILURE},
        {"emptied", MAPI_PEEK, "", MAPI_E_FAILURE},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        lpMapiMessage m = nullptr;
        ASSERT_EQ(MAPIReadMail(session, 0, S(id.c_str()), row.read, 0, &m), 0u);
        if ((row.read & MAPI_BODY_AS_FILE) == 0) {
            EXPECT_EQ(Lf(m->lpszNoteText), "Keep this page");
        }
        if (row.text != nullptr)
            m->lpszNoteText = S(row.text);
        char buffer[513];
        std::strcpy(buffer, id.c_str());
        EXPECT_EQ(MAPISaveMail(session, 0, m, MAPI_LONG_MSGID, 0, buffer), row.result);
        if (row.result != SUCCESS_SUCCESS) {
            EXPECT_NE(kelvra_provider::LastReason().find("HTML"), std::string::npos) << kelvra_provider::LastReason();
        }
        EXPECT_EQ(ReadFile(file), bytes);
        for (ULONG i = 0; i < m->nFileCount; ++i)
            fs::remove(m->lpFiles[i].lpszPathName);
        MAPIFreeBuffer(m);
    }
}

} // namespace
