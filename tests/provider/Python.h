// Python's own mail packages (interop.py), as the other side of the
// provider's tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace provider_test {

// Debian's own interpreter, the one Debian's Python packages install into.
inline const char kPython[] = "/usr/bin/python3";

inline std::string RunPython(const std::vector<std::string> &args)
{
    std::string command = std::string(kPython) + " '" + KELVRA_SOURCE_DIR "/tests/provider/interop.py'";
    for (const std::string &a : args)
        command += " '" + a + "'"; // our own temporary paths: no quotes in them
    std::string output;
    if (FILE *pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        while (size_t n = fread(buffer, 1, sizeof buffer, pipe))
            output.append(buffer, n);
        EXPECT_EQ(pclose(pipe), 0) << command;
    }
    return output;
}

inline std::map<std::string, std::string> Fields(const std::string &output)
{
    std::map<std::string, std::string> fields;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line))
        fields[line.substr(0, line.find('\t'))] = line.substr(line.find('\t') + 1);
    return fields;
}

} // namespace provider_test
