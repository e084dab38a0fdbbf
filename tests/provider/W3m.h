// Debian's w3m as the reference reader of HTML mail: what `w3m -dump`
// shows of a page, and the words of a text in their order, so that two
// renderings compare by what a reader reads, not by their layout.
#pragma once

#include "ProgramOutput.h"
#include "ProviderHome.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

namespace provider_test {

// The page (UTF-8) as w3m dumps it; the program is bounded in time.
inline std::string W3mDump(const fs::path &folder, const std::string &html)
{
    const fs::path page = folder / "page.html";
    WriteFile(page, html);
    return ProgramOutput({"w3m", "-dump", "-T", "text/html", "-I", "UTF-8", "-O", "UTF-8", "-cols", "1000", page.string()});
}

// The words of a text: runs of letters and digits. w3m shows a form control's value and an image
// without alt text in brackets, and a rendered link shows its address in
// angle brackets: neither is a word the page's text holds.
inline std::vector<std::string> Words(std::string text, bool dropLinks)
{
    text = std::regex_replace(text, std::regex(R"(\[[^\]\n]*\])"), " ");
    if (dropLinks)
        text = std::regex_replace(text, std::regex(R"(<[A-Za-z][A-Za-z0-9+.-]*:[^<>\s]*>)"), " ");
    std::vector<std::string> words;
    std::string word;
    if (!g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr))
        return {"(not UTF-8)"};
    for (const char *at = text.c_str(); *at != '\0'; at = g_utf8_next_char(at)) {
        if (g_unichar_isalnum(g_utf8_get_char(at))) {
            word.append(at, static_cast<size_t>(g_utf8_next_char(at) - at));
        } else if (!word.empty()) {
            words.push_back(word);
            word.clear();
        }
    }
    if (!word.empty())
        words.push_back(word);
    return words;
}

} // namespace provider_test
