#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "krvctl/values/Result.h"

namespace krvctl {

// Where the web console accepts connections: an IPv4 address and a TCP port.
struct ListenAddress {
    std::uint32_t address = 0;  // host byte order
    std::uint16_t port = 0;     // 0 while not bound: any free port

    std::string host() const;
    // "ADDRESS:PORT", the form a browser puts into the Host header.
    std::string text() const;
    bool loopback() const;
    // 0.0.0.0: every address of the machine.
    bool anyAddress() const;
};

inline constexpr std::string_view kDefaultListen = "127.0.0.1:7280";

// ADDRESS:PORT with a strict dotted quad and a port 0-65535 (0: any free port).
Result<ListenAddress> parseListenAddress(std::string_view text);

}  // namespace krvctl
