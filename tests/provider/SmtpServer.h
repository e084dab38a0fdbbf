// Our SMTP server on loopback (smtpserver.py) for a test home: a free
// port, the folder the server writes each message it receives into, and
// the server started in the shape a test asks for.
#pragma once

#include "Loopback.h"
#include "ProviderHome.h"

#include <memory>
#include <string>
#include <vector>

namespace provider_test {

template <class Home>
class WithSmtpServer : public Home {
protected:
    void SetUp() override
    {
        Home::SetUp();
        port = loopback::FreePort();
        received = this->home / "received";
        fs::create_directories(received);
    }
    // Started with smtpserver.py's `options` (a slow or failing server's),
    // and waited for until it accepts connections.
    std::unique_ptr<loopback::Server> StartSmtp(const std::vector<std::string> &options = {}) const
    {
        std::vector<std::string> args = {"/usr/bin/python3", KELVRA_SOURCE_DIR "/tests/provider/smtpserver.py",
                                         std::to_string(port), received.string()};
        args.insert(args.end(), options.begin(), options.end());
        return std::make_unique<loopback::Server>(port, args);
    }

    int port = 0;
    fs::path received;
};

} // namespace provider_test
