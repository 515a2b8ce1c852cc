#include "krvctl/values/ListenAddress.h"

#include <charconv>

#include "krvctl/values/Ipv4.h"

namespace krvctl {

std::string ListenAddress::host() const {
    return formatDottedQuad(address);
}

std::string ListenAddress::text() const {
    return host() + ":" + std::to_string(port);
}

bool ListenAddress::loopback() const {
    return (address >> 24) == 127;
}

bool ListenAddress::anyAddress() const {
    return address == 0;
}

Result<ListenAddress> parseListenAddress(std::string_view text) {
    const auto fail = [text](const std::string& why) {
        // Appended, not "'" + ... + why: GCC 12 at -O3 wrongly sees the inlined temporaries
        // overlap (-Wrestrict), and every build type must build.
        std::string problem = "'";
        problem.append(text).append("': ").append(why);
        return Result<ListenAddress>::failure(std::move(problem));
    };
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) {
        return fail("write ADDRESS:PORT, for example " + std::string(kDefaultListen));
    }
    const auto address = parseDottedQuad(text.substr(0, colon));
    if (!address) {
        return fail("the address is an IPv4 address: " + address.problem());
    }
    const std::string_view portText = text.substr(colon + 1);
    unsigned port = 0;
    const auto [end, error] =
        std::from_chars(portText.data(), portText.data() + portText.size(), port);
    if (portText.empty() || error != std::errc() || end != portText.data() + portText.size() ||
        port > 65535) {
        return fail("the port is a number from 0 to 65535");
    }
    return Result<ListenAddress>::success({address.value(), static_cast<std::uint16_t>(port)});
}

}  // namespace krvctl
