// The kelvra command run as a user runs it: a provider home of the test's
// own, and kelvra started with arguments, standard input and a time bound.
#pragma once

#include "Child.h"
#include "Argv.h"
#include "ProviderHome.h"
#include "SmtpServer.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>
#include <string>
#include <vector>

namespace provider_test {

using json = nlohmann::json;

struct Result {
    int status = -1;
    std::string out, err;
};

// A provider home with its log, and a place for our SMTP server on loopback.
class Command : public WithSmtpServer<WithLog<>> {
protected:
    void SetUp() override
    {
        WithSmtpServer::SetUp();
        WriteFile(home / "report.txt", "quarterly figures\n");
    }

    // The program Run runs: the kelvra of the build, or a copy of it.
    std::string program = KELVRA_COMMAND;

    // When set, Run starts kelvra in a process group of its own, as a shell
    // starts a job, and once this holds (it is asked for at most 20 s) sends
    // the group SIGINT, as the terminal does at Ctrl-C.
    std::function<bool()> interruptWhen;

    // Runs kelvra with `args`, standard input from `input`, standard error
    // into a file (or onto `errorTo`, a terminal, when given).
    Result Run(std::vector<std::string> args, const std::string &input = "", const std::string &errorTo = "",
               const std::string &inputFrom = "")
    {
        WriteFile(home / "stdin", input);
        args.insert(args.begin(), program);
        const std::vector<char *> argv = Argv(args);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, inputFrom.empty() ? (home / "stdin").c_str() : inputFrom.c_str(),
                                         O_RDONLY | O_NOCTTY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, (home / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (errorTo.empty())
            posix_spawn_file_actions_addopen(&actions, 2, (home / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        else
            posix_spawn_file_actions_addopen(&actions, 2, errorTo.c_str(), O_RDWR | O_NOCTTY, 0);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        if (interruptWhen) {
            posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
            posix_spawnattr_setpgroup(&attributes, 0);
        }
        pid_t pid = 0;
        Result r;
        if (posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ) == 0) {
            if (interruptWhen) {
                const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
                while (!interruptWhen() && std::chrono::steady_clock::now() < giveUp)
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                kill(-pid, SIGINT);
            }
            const int status = WaitBounded(pid, std::chrono::minutes(2));
            r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        r.out = ReadFile(home / "stdout");
        r.err = errorTo.empty() ? ReadFile(home / "stderr") : std::string();
        return r;
    }

    json Json(std::vector<std::string> args)
    {
        args.insert(args.begin(), "--json");
        const Result r = Run(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return json::parse(r.out);
    }
};

} // namespace provider_test
