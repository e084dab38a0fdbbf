// The kelvra command's subcommands as its command line knows them: each one's
// options, what it runs, and how its answer reads as text, in one place.
#pragma once

#include "Commands.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <functional>
#include <string>
#include <vector>

namespace kelvra_cli {

struct Subcommand {
    CLI::App *app = nullptr;
    std::function<nlohmann::json(const Global &)> run;
    std::function<std::string(const nlohmann::json &)> text;
    // The exit status an answer gives; none: success.
    std::function<int(const nlohmann::json &)> status = nullptr;
};

// Adds every subcommand to `app`, each with its exit-status footer.
std::vector<Subcommand> AddSubcommands(CLI::App &app, const std::string &footer);

} // namespace kelvra_cli
