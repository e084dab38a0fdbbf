// POSIX: the desktop's file chooser, run as a program of its own (zenity,
// else kdialog) with an argument vector: no shell ever sees the texts.
#include "host/Exception.h"
#include "host/OpenDialog.h"
#include "posix/Process.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

extern char **environ;

namespace host {

namespace {

bool HasDisplay()
{
    const char *x = std::getenv("DISPLAY");
    const char *wayland = std::getenv("WAYLAND_DISPLAY");
    return (x != nullptr && *x != '\0') || (wayland != nullptr && *wayland != '\0');
}


// Runs argv[0] from PATH with standard input from /dev/null and collects
// its standard output.
kelvra_posix::RunResult Run(const std::vector<std::string> &args)
{
    std::optional<kelvra_posix::RunResult> result = kelvra_posix::RunProgram(args, kelvra_posix::kDialogBound);
    if (!result)
        throw Exception(u"Cannot start the file dialog " + FromAnsi(args.at(0)));
    return std::move(*result);
}

// "Name|pat;pat|Name|pat" as (name, patterns) pairs; "*.*" means every
// file, which on POSIX is "*" (names need not have a dot).
std::vector<std::pair<std::string, std::vector<std::string>>> ParseFilter(const String &filter)
{
    std::vector<std::string> parts;
    std::string current;
    for (char c : ToAnsi(filter)) {
        if (c == '|') {
            parts.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!filter.empty())
        parts.push_back(current);
    std::vector<std::pair<std::string, std::vector<std::string>>> entries;
    for (size_t i = 0; i + 1 < parts.size(); i += 2) {
        std::vector<std::string> patterns;
        size_t start = 0;
        const std::string &p = parts[i + 1];
        while (start <= p.size()) {
            size_t end = p.find(';', start);
            if (end == std::string::npos)
                end = p.size();
            std::string pattern = p.substr(start, end - start);
            if (pattern == "*.*")
                pattern = "*";
            if (!pattern.empty())
                patterns.push_back(pattern);
            start = end + 1;
        }
        entries.emplace_back(parts[i], patterns);
    }
    return entries;
}

std::vector<String> Lines(const std::string &output)
{
    std::vector<String> lines;
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        if (end == std::string::npos)
            end = output.size();
        if (end > start)
            lines.push_back(FromAnsi(output.substr(start, end - start)));
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> ZenityArgs(const TOpenDialogRequest &request)
{
    std::vector<std::string> args = {"zenity", "--file-selection", "--separator=\n"};
    if (request.Options.Contains(TOpenOption::ofAllowMultiSelect))
        args.emplace_back("--multiple");
    if (!request.Title.empty())
        args.push_back("--title=" + ToAnsi(request.Title));
    if (!request.InitialDir.empty())
        args.push_back("--filename=" + ToAnsi(request.InitialDir) + "/");
    for (const auto &[name, patterns] : ParseFilter(request.Filter)) {
        std::string arg = "--file-filter=" + name + " |";
        for (const std::string &p : patterns)
            arg += " " + p;
        args.push_back(arg);
    }
    return args;
}

std::vector<std::string> KdialogArgs(const TOpenDialogRequest &request)
{
    std::vector<std::string> args = {"kdialog", "--getopenfilename"};
    if (request.Options.Contains(TOpenOption::ofAllowMultiSelect)) {
        args.emplace_back("--multiple");
        args.emplace_back("--separate-output");
    }
    if (!request.Title.empty()) {
        args.emplace_back("--title");
        args.push_back(ToAnsi(request.Title));
    }
    args.push_back(request.InitialDir.empty() ? "." : ToAnsi(request.InitialDir));
    std::string filter;
    for (const auto &[name, patterns] : ParseFilter(request.Filter)) {
        if (!filter.empty())
            filter += '\n';
        for (size_t i = 0; i < patterns.size(); ++i)
            filter += (i ? " " : "") + patterns[i];
        filter += "|" + name;
    }
    if (!filter.empty())
        args.push_back(filter);
    return args;
}

} // namespace

std::optional<std::vector<String>> SystemOpenDialog(const TOpenDialogRequest &request)
{
    if (!HasDisplay())
        throw Exception(u"No file dialog is available: there is no graphical display (DISPLAY or WAYLAND_DISPLAY)");
    std::vector<std::string> args;
    if (kelvra_posix::OnPath("zenity"))
        args = ZenityArgs(request);
    else if (kelvra_posix::OnPath("kdialog"))
        args = KdialogArgs(request);
    else
        throw Exception(u"No file dialog is available: neither zenity nor kdialog is installed");
    const kelvra_posix::RunResult result = Run(args);
    if (result.exitCode == 0)
        return Lines(result.output);
    if (result.exitCode == 1)
        return std::nullopt; // the user cancelled
    throw Exception(u"The file dialog " + FromAnsi(args[0]) + u" failed with exit code " +
                    FromAscii(std::to_string(result.exitCode)));
}

} // namespace host
