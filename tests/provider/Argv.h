// A program's words as the exec family takes them: pointers into `args`
// (which must outlive them), ending in null. Made before a fork, so the
// child allocates nothing.
#pragma once

#include <string>
#include <vector>

namespace provider_test {

inline std::vector<char *> Argv(std::vector<std::string> &args)
{
    std::vector<char *> argv;
    argv.reserve(args.size() + 1);
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

} // namespace provider_test
