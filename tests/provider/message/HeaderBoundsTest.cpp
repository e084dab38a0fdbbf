// Where a header block ends, as a reader takes it: at the blank line, or at
// the first line that is neither a field nor a continuation, unless that
// line has no blank and a field follows it right away (then a sender forgot
// to fold it).
#include "message/Envelope.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(HeaderBounds, ALineASenderForgotToFoldContinuesItsFieldOnlyWhenItHasNoBlankAndAFieldFollows)
{
    const struct {
        std::string text;
        bool complete;
        std::string shown; // "begin end body unfolded..." or "later"
    } rows[] = {
        {"A: 1\nB: 2\n\nbody\n", true, "0 10 11"},
        {"A: 1\nodd\nB: 2\n\nbody\n", true, "0 14 15 5"},
        {"A: 1\r\nodd\r\nB: 2\r\nC: 3\r\n\r\n", true, "0 23 25 6"},
        {"A: 1\nodd\nmore\nB: 2\n\n", true, "0 5 5"},      // two such lines: the body starts at the first
        {"A: 1\nnot a field\nB: 2\n\n", true, "0 5 5"},   // a line of prose starts the body
        {"A: 1\nnot\ta field\nB: 2\n\n", true, "0 5 5"},
        {"A: 1\nnot a field\n", false, "0 5 5"},          // and needs no look at what follows
        {"odd\nA: 1\n\n", true, "0 0 0"},                 // the very first line starts the body
        {"From x\nodd\nA: 1\n\n", true, "7 7 7"},         // so it does after an mbox separator
        {"A: 1\nodd", true, "0 5 5"},                      // at the end: the body
        {"A: 1\nodd", false, "later"},                     // the line may go on
        {"A: 1\nodd\n", false, "later"},                   // what follows is not read yet
        {"A: 1\nodd\nB: 2", false, "later"},
        // A byte-order mark before the first field is no part of it.
        {"\xEF\xBB\xBF" "A: 1\n\nbody\n", true, "3 8 9"},
        {"\xEF\xBB\xBF" "From x\nA: 1\n\n", true, "10 15 16"},
        {"\xEF\xBB\xBF" "odd text\nA: 1\n\n", true, "3 3 3"},
        {"\xEF\xBB\xBF", true, "3 3 3"},
        {"\xEF\xBB", false, "later"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text);
        const std::optional<kelvra_provider::HeaderBounds> b = kelvra_provider::FindHeaderBounds(row.text, row.complete);
        std::string shown = "later";
        if (b) {
            shown = std::to_string(b->begin) + " " + std::to_string(b->end) + " " + std::to_string(b->body);
            for (const std::size_t at : b->unfolded)
                shown += " " + std::to_string(at);
        }
        EXPECT_EQ(shown, row.shown);
    }
    // The two shapes of other programs' mail the rule tells apart: a part's
    // header that ends without a blank line at its base64 text, a line of
    // 5,000 characters with a blank line after it (the body starts there,
    // in a part as in a message), and a field a server cut at 799
    // characters and went on with on lines of no blank (joined: a field
    // follows them).
    const std::string part = "Content-Type: application/x-zip-compressed; name=\"Archive.zip\"\n"
                             "Content-Transfer-Encoding: base64\n"
                             "Content-Disposition: attachment; filename=\"Archive.zip\"\n";
    std::optional<kelvra_provider::HeaderBounds> b = kelvra_provider::FindHeaderBounds(part + std::string(5000, 'Q') + "\n\n--outer--\n", true);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->end, part.size());
    EXPECT_EQ(b->body, part.size());
    EXPECT_TRUE(b->unfolded.empty());
    const std::string cut = "X-Report: " + std::string(789, 'v') + "\n", continued = std::string(163, 'Z') + "\n";
    b = kelvra_provider::FindHeaderBounds(cut + continued + "ds;MX:1;A:1;LANG:it;\nSubject: s\n\ntext\n", true);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->unfolded, std::vector<std::size_t>{cut.size()});
    EXPECT_EQ(b->body, cut.size() + continued.size() + 33);

    EXPECT_EQ(kelvra_provider::HeaderBlockOf("Subject: x\nbroken\nFrom: a@b.org\n\nSubject: body\n"),
              "Subject: x\nbroken\nFrom: a@b.org\n");
    EXPECT_TRUE(kelvra_provider::ContinuesField("broken"));
    EXPECT_TRUE(kelvra_provider::ContinuesField(" folded"));
    EXPECT_FALSE(kelvra_provider::ContinuesField("From: a@b.org"));
}
