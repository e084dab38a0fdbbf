#include "posix/Loopback.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

#include <cstring>

namespace kelvra_posix {

bool IsLoopbackHost(const std::string &host)
{
    std::string lower = host;
    for (char &c : lower)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    if (lower == "localhost")
        return true;
    const std::string bare = host.size() > 2 && host.front() == '[' && host.back() == ']' ? host.substr(1, host.size() - 2)
                                                                                        : host;
    unsigned char address[16] = {};
    if (inet_pton(AF_INET6, bare.c_str(), address) == 1) {
        static const unsigned char kLoopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
        return std::memcmp(address, kLoopback, sizeof address) == 0;
    }
    return bare == host && inet_pton(AF_INET, host.c_str(), address) == 1 && address[0] == 127;
}

} // namespace kelvra_posix
