#pragma once

#include <string>
#include <vector>

#include "krvctl/diagnosis/InterfaceSearch.h"
#include "krvctl/platform/SystemFacts.h"

namespace krvctl {

enum class Severity { Note, Warning, Problem };

struct Finding {
    Severity severity = Severity::Note;
    std::string code;       // stable, for scripts: "firewall-drops", "no-ipv4"...
    std::string interface;  // the interface it is about; empty for the machine as a whole
    std::string seen;       // what the tool saw
    std::string next;       // what to do next; empty when nothing needs doing
};

// Why an interface is searched or left out, in the order the reasons are checked.
enum class Coverage { Searched, Loopback, PointToPoint, Down, NoBroadcast, NoIpv4, NotNamed };

// Searched: up, can broadcast, has an IPv4 address, neither loopback nor point-to-point, and
// named when interfaces were named.
Coverage coverageOf(const NetworkInterface& interface, const std::vector<std::string>& named);
// "searched", "down", "no IPv4 address"...
std::string describeCoverage(Coverage coverage);

// The interfaces worth a search, in the system's order.
std::vector<std::string> interfacesToSearch(const std::vector<NetworkInterface>& interfaces,
                                            const std::vector<std::string>& named);

struct InterfaceReport {
    NetworkInterface interface;
    Coverage coverage = Coverage::Searched;
    bool searched = false;
    InterfaceSearch search;  // when searched
};

struct Diagnosis {
    std::vector<InterfaceReport> interfaces;  // the system's order
    BroadcastRoute broadcastRoute;
    std::vector<PortHolder> portHolders;
    // Grouped by interface in the system's order, the machine as a whole last; the most severe
    // first within each group.
    std::vector<Finding> findings;
    std::size_t controllersAnswered = 0;  // over every interface, a MAC heard on two counted twice
    // 0 when controllers answered and no problem was found; kUnavailable (69) when a problem
    // keeps the tool from the LAN; otherwise kNoAnswer (2).
    int exitStatus = 0;
};

// named: the interfaces --interface gave; empty for every eligible one.
Diagnosis diagnose(const SystemFacts& facts, const std::vector<std::string>& named,
                   const std::vector<InterfaceSearch>& searches);

std::string_view severityName(Severity severity);

}  // namespace krvctl
