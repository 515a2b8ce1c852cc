#include "krvctl/operations/NetworkGuard.h"

#include <optional>

#include "krvctl/values/Ipv4.h"
#include "protocol/Wire.h"

namespace krvctl {

namespace wire = krv::wire;

namespace {

// Why a host address cannot serve as a controller's address or gateway, or empty.
std::string unusableHostAddress(std::uint32_t address) {
    if (address == 0) {
        return "0.0.0.0 means no address";
    }
    if (address == 0xFFFFFFFFu) {
        return "255.255.255.255 is the broadcast address";
    }
    if ((address >> 24) == 127) {
        return "127.0.0.0/8 is loopback, never on the network";
    }
    if ((address >> 28) == 0xE) {
        return "224.0.0.0/4 is multicast";
    }
    if ((address >> 28) == 0xF) {
        return "240.0.0.0/4 is reserved";
    }
    return {};
}

// The new value if the assignment has one, else the current one, else nothing.
std::optional<std::string> resulting(const Assignment& assignment, const ControllerRecord* current,
                                     std::string_view key) {
    if (const std::string* value = assignment.find(key)) {
        return *value;
    }
    if (current != nullptr && current->reports(key)) {
        return current->value(key);
    }
    return std::nullopt;
}

std::optional<std::uint32_t> resultingAddress(const Assignment& assignment,
                                              const ControllerRecord* current,
                                              std::string_view key) {
    const auto text = resulting(assignment, current, key);
    if (!text) {
        return std::nullopt;
    }
    const auto address = parseDottedQuad(*text);
    return address ? std::optional<std::uint32_t>(address.value()) : std::nullopt;
}

void checkSubnet(std::uint32_t ip, std::uint32_t netmask, std::uint32_t gateway, int prefix,
                 std::vector<std::string>& risks) {
    const std::string subnet = formatDottedQuad(ip & netmask) + "/" + std::to_string(prefix);
    if ((gateway & netmask) != (ip & netmask)) {
        risks.push_back("gateway " + formatDottedQuad(gateway) + " is outside the subnet " +
                        subnet + " of address " + formatDottedQuad(ip));
    }
    if (gateway == ip) {
        risks.push_back("the gateway " + formatDottedQuad(gateway) +
                        " is the controller's own address");
    }
    // /31 and /32 have no network or broadcast address of their own.
    if (prefix <= 30) {
        const std::uint32_t hostBits = ~netmask;
        for (const auto& [name, address] : {std::pair{"address", ip}, {"gateway", gateway}}) {
            if ((address & hostBits) == 0) {
                risks.push_back(std::string(name) + " " + formatDottedQuad(address) +
                                " is the network address of " + subnet);
            } else if ((address & hostBits) == hostBits) {
                risks.push_back(std::string(name) + " " + formatDottedQuad(address) +
                                " is the broadcast address of " + subnet);
            }
        }
    }
}

bool touchesAddressing(const Assignment& assignment) {
    return assignment.find(wire::key::kIp) != nullptr ||
           assignment.find(wire::key::kNetmask) != nullptr ||
           assignment.find(wire::key::kGateway) != nullptr;
}

}  // namespace

std::optional<std::string> addressesIgnoredUnderDhcp(const Assignment& assignment,
                                                     const ControllerRecord* current) {
    if (!touchesAddressing(assignment) ||
        resulting(assignment, current, wire::key::kIpscheme) != wire::kSchemeDhcp) {
        return std::nullopt;
    }
    return assignment.find(wire::key::kIpscheme) != nullptr
               ? "with ipscheme DHCP the controller ignores ip, netmask and gateway"
               : "the controller uses DHCP and ignores ip, netmask and gateway; add "
                 "ipscheme=STATIC";
}

std::vector<std::string> cutOffRisks(const Assignment& assignment,
                                     const ControllerRecord* current) {
    std::vector<std::string> risks;
    for (const std::string_view key : {wire::key::kIp, wire::key::kGateway}) {
        if (const std::string* value = assignment.find(key)) {
            const std::string why = unusableHostAddress(parseDottedQuad(*value).value());
            if (!why.empty()) {
                risks.push_back(std::string(key) + " " + *value + ": " + why);
            }
        }
    }
    if (const std::string* value = assignment.find(wire::key::kNetmask)) {
        const auto prefix = prefixLength(parseDottedQuad(*value).value());
        if (!prefix) {
            risks.push_back("netmask " + *value + " is not contiguous (ones, then zeros)");
        } else if (*prefix == 0) {
            risks.push_back("netmask 0.0.0.0 puts every address on the local link");
        }
    }

    const auto scheme = resulting(assignment, current, wire::key::kIpscheme);
    if (scheme == wire::kSchemeDhcp) {
        if (auto ignored = addressesIgnoredUnderDhcp(assignment, current)) {
            risks.push_back(std::move(*ignored));
        }
        return risks;
    }
    if (!touchesAddressing(assignment) && assignment.find(wire::key::kIpscheme) == nullptr) {
        return risks;
    }
    const auto ip = resultingAddress(assignment, current, wire::key::kIp);
    const auto netmask = resultingAddress(assignment, current, wire::key::kNetmask);
    const auto gateway = resultingAddress(assignment, current, wire::key::kGateway);
    if (scheme == wire::kSchemeStatic && current != nullptr && (!ip || !netmask || !gateway)) {
        risks.push_back(
            "static addressing needs ip, netmask and gateway, and the controller does not report "
            "all of them; give the missing ones");
    }
    if (ip && netmask && gateway) {
        const auto prefix = prefixLength(*netmask);
        if (prefix && *prefix > 0) {
            checkSubnet(*ip, *netmask, *gateway, *prefix, risks);
        }
    }
    return risks;
}

}  // namespace krvctl
