// Python's own mail packages (interop.py), as the other side of the
// provider's tests.
#pragma once

#include "ProgramOutput.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace provider_test {

// Debian's own interpreter, the one Debian's Python packages install into.
inline const char kPython[] = "/usr/bin/python3";

inline std::string RunPython(const std::vector<std::string> &args)
{
    std::vector<std::string> command = {kPython, KELVRA_SOURCE_DIR "/tests/provider/interop.py"};
    command.insert(command.end(), args.begin(), args.end());
    return ProgramOutput(command);
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
