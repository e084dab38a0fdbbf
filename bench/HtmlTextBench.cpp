// HTML-only mail read as text: an 8 MB page (a newsletter's tables, links,
// lists, entities and styles, over and over) rendered by the provider,
// beside Debian's w3m dumping the same page. Best of three runs each; the
// ratio is Kelvra's time over w3m's (under 1 is faster).
#include "message/HtmlText.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

std::string Page(std::size_t size)
{
    std::string page = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Weekly</title>"
                       "<style>td { padding: 4px } .btn { color: #fff }</style></head><body><table width=\"100%\">";
    for (int i = 0; page.size() < size; ++i) {
        const std::string n = std::to_string(i);
        page += "<tr><td class=\"c\" style=\"padding:8px;font-family:sans-serif\"><h2>Story " + n +
                "</h2><p>Some <b>bold</b> words, an entity &eacute;t&eacute; &mdash; and a "
                "<a href=\"https://news.example/story?id=" + n + "&amp;utm_source=mail\">link to read more</a>.</p>"
                "<ul><li>first point</li><li>second point with <i>emphasis</i></li></ul>"
                "<img src=\"https://news.example/img/" + n + ".png\" alt=\"Picture " + n + "\"></td>"
                "<td style=\"color:#999\">" + n + "&nbsp;min read</td></tr>\n";
    }
    return page + "</table></body></html>\n";
}

} // namespace

int main()
{
    const std::string page = Page(8 * 1024 * 1024);
    double ours = 1e9;
    std::size_t textSize = 0;
    for (int run = 0; run < 3; ++run) {
        const auto start = Clock::now();
        textSize = kelvra_provider::HtmlText(page, "utf-8").size();
        ours = std::min(ours, Seconds(start));
    }
    std::printf("HTML to text, a page of %.1f MB: %.3f s (%zu bytes of text)\n", page.size() / 1048576.0, ours,
                textSize);

    char folder[] = "/tmp/kelvra-html-bench-XXXXXX";
    std::string peer = "w3m -dump (not installed)";
    double theirs = 0;
    if (mkdtemp(folder) != nullptr) {
        const fs::path file = fs::path(folder) / "page.html";
        std::ofstream(file) << page;
        const std::string command =
            "timeout 300 w3m -dump -T text/html -I UTF-8 -O UTF-8 '" + file.string() + "' >/dev/null 2>&1 </dev/null";
        if (std::system("command -v w3m >/dev/null 2>&1") == 0) {
            peer = "w3m -dump";
            theirs = 1e9;
            for (int run = 0; run < 3; ++run) {
                const auto start = Clock::now();
                if (std::system(command.c_str()) != 0) {
                    peer = "w3m -dump (failed)";
                    theirs = 0;
                    break;
                }
                theirs = std::min(theirs, Seconds(start));
            }
        }
        fs::remove_all(folder);
    }
    char row[512];
    std::snprintf(row, sizeof row, "| rendering an 8 MB page | %8.3f s | %-26s | %8.3f s | %5s |\n", ours, peer.c_str(),
                  theirs, theirs > 0 ? std::to_string(ours / theirs).substr(0, 5).c_str() : "");
    std::printf("%s", row);
    if (const char *table = std::getenv("KELVRA_BENCH_TABLE"))
        std::ofstream(table, std::ios::app) << "\nHTML-only mail read as text:\n" << row;
    return 0;
}
