#include "krvctl/diagnosis/Diagnosis.h"

#include <algorithm>
#include <map>

#include "krvctl/values/ExitStatus.h"
#include "krvctl/values/Printable.h"
#include "protocol/Wire.h"

namespace krvctl {

namespace {

const std::string kPort = std::to_string(krv::wire::kPort);
// Rule lines quoted in a finding; a ruleset naming the port a hundred times says it no better.
constexpr std::size_t kMostRulesQuoted = 5;

// The example a finding gives where it cannot know the controllers' subnet.
constexpr const char* kExampleAddress = "192.168.1.10";
constexpr const char* kExamplePrefix = "24";
constexpr const char* kExampleNetmask = "255.255.255.0";

// One pass, so that a value holding a placeholder's text (an adapter's name) stays as it is.
std::string fillIn(const std::string& text, const std::string& interface) {
    const std::map<std::string, std::string> values = {{"{interface}", interface},
                                                       {"{address}", kExampleAddress},
                                                       {"{prefix}", kExamplePrefix},
                                                       {"{netmask}", kExampleNetmask},
                                                       {"{port}", kPort}};
    std::string filled;
    for (std::size_t at = 0; at < text.size();) {
        const auto close = text[at] == '{' ? text.find('}', at) : std::string::npos;
        const auto value = close == std::string::npos
                               ? values.end()
                               : values.find(text.substr(at, close - at + 1));
        if (value == values.end()) {
            filled += text[at++];
        } else {
            filled += value->second;
            at = close + 1;
        }
    }
    return filled;
}

std::string plural(std::size_t count, const std::string& one, const std::string& many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The lines of the rules that name the port and drop or refuse.
std::vector<std::string> rulesDroppingPort(const FirewallFacts& firewall) {
    std::vector<std::string> quoted;
    std::size_t start = 0;
    while (start < firewall.rules.size() && quoted.size() < kMostRulesQuoted) {
        auto end = firewall.rules.find('\n', start);
        if (end == std::string::npos) {
            end = firewall.rules.size();
        }
        std::string line = firewall.rules.substr(start, end - start);
        start = end + 1;
        const std::string lower = lowered(line);
        if (lower.find(kPort) != std::string::npos &&
            (lower.find("drop") != std::string::npos || lower.find("reject") != std::string::npos ||
             lower.find("block") != std::string::npos)) {
            line.erase(0, line.find_first_not_of(" \t"));
            quoted.push_back(printable(line));
        }
    }
    return quoted;
}

std::string describeHolder(const PortHolder& holder, bool otherUsersHidden) {
    std::string text;
    if (holder.pid != 0) {
        text = printable(holder.program) + " (pid " + std::to_string(holder.pid) + ")";
    } else if (otherUsersHidden) {
        text = "a process of user " + std::to_string(holder.uid) + " that only root can name";
    } else {
        text = "a socket of no process to be found";
    }
    return text + " on " + holder.address;
}

std::string describeHolders(const PortFacts& port) {
    std::string text;
    for (const PortHolder& holder : port.holders) {
        text += (text.empty() ? "" : ", ") + describeHolder(holder, port.otherUsersHidden);
    }
    return text;
}

class FindingList {
  public:
    void add(Severity severity, std::string code, std::string interface, std::string seen,
             std::string next = {}) {
        findings_.push_back(
            {severity, std::move(code), std::move(interface), std::move(seen), std::move(next)});
    }
    // Per interface in the given order, then the machine; the most severe first in each.
    std::vector<Finding> ordered(const std::vector<InterfaceReport>& interfaces) const {
        std::vector<Finding> result;
        const auto group = [&](const std::string& interface) {
            std::vector<Finding> members;
            std::copy_if(findings_.begin(), findings_.end(), std::back_inserter(members),
                         [&](const Finding& f) { return f.interface == interface; });
            std::stable_sort(
                members.begin(), members.end(),
                [](const Finding& a, const Finding& b) { return a.severity > b.severity; });
            result.insert(result.end(), members.begin(), members.end());
        };
        for (const InterfaceReport& report : interfaces) {
            group(report.interface.name);
        }
        group("");
        return result;
    }

  private:
    std::vector<Finding> findings_;
};

// What people know the interface by: Windows shows "Ethernet 2", not the adapter's GUID.
std::string shownName(const NetworkInterface& interface) {
    return interface.friendlyName.empty() || interface.friendlyName == interface.name
               ? printable(interface.name)
               : printable(interface.friendlyName) + " (" + printable(interface.name) + ")";
}

void judgeUnsearched(const InterfaceReport& report, bool named, const PlatformAdvice& advice,
                     FindingList& findings) {
    const NetworkInterface& interface = report.interface;
    const std::string& id = interface.name;
    const std::string name = shownName(interface);
    switch (report.coverage) {
        case Coverage::Down:
            findings.add(named ? Severity::Warning : Severity::Note, "interface-down", id,
                         name +
                             " is down or has no link (no cable, or switched off): not "
                             "searched.",
                         "If the controllers are on its cable, plug it in and bring it up: " +
                             fillIn(advice.bringUp, interface.friendlyName));
            break;
        case Coverage::NoIpv4:
            findings.add(Severity::Warning, "no-ipv4", id,
                         name +
                             " is up but has no IPv4 address: no DHCP server answered on that "
                             "cable. Not searched.",
                         "Give it a static address in the controllers' subnet, e.g.: " +
                             fillIn(advice.giveStaticAddress, interface.friendlyName) +
                             " (any free address there; the controllers answer from any "
                             "subnet, so one free address in a private range also does)");
            break;
        case Coverage::PointToPoint:
            findings.add(Severity::Note, "point-to-point", id,
                         name +
                             " is point-to-point (a VPN or tunnel): broadcasts do not reach a "
                             "LAN through it. Not searched.");
            break;
        case Coverage::NoBroadcast:
            findings.add(Severity::Note, "no-broadcast", id,
                         name + " cannot broadcast: not searched.");
            break;
        case Coverage::Searched:
        case Coverage::Loopback:
        case Coverage::NotNamed:
            break;
    }
}

void judgeSearched(const InterfaceReport& report, bool answeredAnywhere, const SystemFacts& facts,
                   FindingList& findings) {
    const InterfaceSearch& search = report.search;
    const std::string& id = report.interface.name;
    const std::string name = shownName(report.interface);
    const PlatformAdvice& advice = facts.advice;
    if (!search.openProblem.empty()) {
        // A holder that does not share the port is named once, for the whole machine.
        if (facts.port.holders.empty()) {
            findings.add(Severity::Problem, "cannot-listen", id,
                         "Cannot listen on UDP " + kPort + " on " + name + ": " +
                             printable(search.openProblem));
        }
        return;
    }
    if (!search.sendProblem.empty()) {
        findings.add(Severity::Problem, "query-not-sent", id,
                     "The QUERY could not leave " + name + ": " + printable(search.sendProblem),
                     "Check that " + name + " is up and has its address: " +
                         fillIn(advice.bringUp, report.interface.friendlyName));
        return;
    }
    const std::size_t answered = search.controllers.size() + (search.notKept > 0 ? 1 : 0);
    if (answered > 0) {
        findings.add(Severity::Note, "answered", id,
                     plural(search.controllers.size(), "controller", "controllers") +
                         " answered on " + name + ".");
    } else if (!search.ownQueryCameBack) {
        std::string seen = "The tool's own QUERY did not come back on " + name +
                           ". The system hands a broadcast back to the sender's own sockets "
                           "through the inbound firewall, so this machine's firewall likely "
                           "drops inbound UDP " +
                           kPort + " on " + name + ", and with it every controller's reply.";
        const auto rules = rulesDroppingPort(facts.firewall);
        if (!rules.empty()) {
            seen += " Rules naming the port:";
            for (const std::string& rule : rules) {
                seen += " [" + rule + "]";
            }
        } else if (!facts.firewall.rulesRead && !facts.firewall.whyNotRead.empty()) {
            seen += " (The rules were not read: " + facts.firewall.whyNotRead + ".)";
        }
        findings.add(Severity::Problem, "firewall-drops", id, seen,
                     "Let inbound UDP " + kPort + " in on " + name + ": " +
                         fillIn(advice.allowInbound, report.interface.friendlyName) +
                         ". The rules: " + fillIn(advice.showFirewallRules, name));
    } else {
        findings.add(answeredAnywhere ? Severity::Note : Severity::Warning, "no-answer", id,
                     "No controller answered on " + name + ", though the way in is open (the " +
                         "tool's own QUERY came back through the firewall).",
                     answeredAnywhere
                         ? ""
                         : "Check the cable and the switch, and that the controllers are "
                           "powered; they answer a QUERY from any subnet, so their addresses do "
                           "not matter here.");
    }
    if (search.dropped > 0) {
        findings.add(Severity::Warning, "replies-dropped", id,
                     "The system dropped " + plural(search.dropped, "datagram", "datagrams") +
                         " on " + name + " unread: the list may be incomplete.",
                     "Run it again, or with a larger net.core.rmem_max.");
    }
    if (search.notKept > 0) {
        findings.add(Severity::Note, "replies-not-kept", id,
                     plural(search.notKept, "reply", "replies") + " beyond the first " +
                         std::to_string(kMostControllersPerInterface) + " controllers on " + name +
                         " were not listed.");
    }
    if (search.setApart > 0) {
        findings.add(Severity::Note, "replies-set-apart", id,
                     plural(search.setApart, "reply", "replies") + " on " + name +
                         " carried no MAC or a malformed one and were set apart.");
    }
}

// The name to suggest for --interface: where controllers answered, else the first searched.
std::string suggestedInterface(const std::vector<InterfaceReport>& reports) {
    for (const InterfaceReport& report : reports) {
        if (report.searched && !report.search.controllers.empty()) {
            return report.interface.name;
        }
    }
    for (const InterfaceReport& report : reports) {
        if (report.searched) {
            return report.interface.name;
        }
    }
    return "";
}

void judgeRoute(const BroadcastRoute& route, const std::vector<InterfaceReport>& reports,
                FindingList& findings) {
    const std::string interface = suggestedInterface(reports);
    const std::string suggestion =
        interface.empty() ? "Name the interface that leads to the controllers: krvctl "
                            "--interface NAME discover"
                          : "Name the interface: krvctl --interface " + interface + " discover";
    if (route.interface.empty()) {
        findings.add(
            Severity::Warning, "no-broadcast-route", "",
            "The system has no route for 255.255.255.255" +
                (route.problem.empty() ? std::string() : " (" + printable(route.problem) + ")") +
                ": a broadcast that follows the route, as other tools send it, goes nowhere.",
            suggestion);
        return;
    }
    std::vector<std::string> answeredOn;
    const InterfaceReport* routed = nullptr;
    for (const InterfaceReport& report : reports) {
        if (report.interface.name == route.interface) {
            routed = &report;
        }
        if (report.searched && !report.search.controllers.empty()) {
            answeredOn.push_back(report.interface.name);
        }
    }
    const std::string leads = "The system's route for 255.255.255.255 leads out of " +
                              route.interface + " (from " + route.sourceAddress + ")";
    const bool answeredOnRoute =
        std::find(answeredOn.begin(), answeredOn.end(), route.interface) != answeredOn.end();
    if (!answeredOn.empty() && !answeredOnRoute) {
        std::string where;
        for (const std::string& name : answeredOn) {
            where += (where.empty() ? "" : ", ") + name;
        }
        findings.add(Severity::Warning, "route-elsewhere", route.interface,
                     leads + ", but the controllers answered on " + where +
                         ": a broadcast that follows the route misses them.",
                     suggestion);
    } else if (routed != nullptr && !routed->searched && routed->coverage != Coverage::NotNamed) {
        findings.add(Severity::Warning, "route-unsearchable", route.interface,
                     leads + ", which cannot be searched (" + describeCoverage(routed->coverage) +
                         "): a broadcast that follows the route reaches no controller.",
                     suggestion);
    } else {
        findings.add(Severity::Note, "broadcast-route", route.interface, leads + ".");
    }
}

void judgePort(const SystemFacts& facts, const std::vector<InterfaceReport>& reports,
               FindingList& findings) {
    const PortFacts& port = facts.port;
    if (!port.problem.empty()) {
        findings.add(Severity::Note, "port-unreadable", "",
                     "Who holds UDP " + kPort + " could not be read: " + printable(port.problem));
    }
    if (port.holders.empty()) {
        return;
    }
    const bool refused =
        port.refusesSharing || std::any_of(reports.begin(), reports.end(), [](const auto& report) {
            return report.searched && !report.search.openProblem.empty();
        });
    const bool opened = std::any_of(reports.begin(), reports.end(), [](const auto& report) {
        return report.searched && report.search.openProblem.empty();
    });
    const std::string holders = describeHolders(port);
    const std::string show = fillIn(facts.advice.showPortHolders, "");
    const bool hidden = std::any_of(port.holders.begin(), port.holders.end(),
                                    [](const PortHolder& holder) { return holder.pid == 0; });
    if (refused) {
        findings.add(Severity::Problem, "port-held", "",
                     "UDP " + kPort + " is held by " + holders +
                         ", which does not share it (no SO_REUSEADDR): krvctl cannot listen "
                         "for the replies.",
                     "Stop that program, or have it share the port (SO_REUSEADDR, as krvd "
                     "does)" +
                         (hidden ? "; " + show + " names every holder" : std::string()) + ".");
    } else {
        findings.add(Severity::Note, "port-shared", "",
                     "UDP " + kPort + " is also held by " + holders +
                         (opened ? ", which shares it with krvctl." : "."),
                     hidden ? show + " names every holder." : "");
    }
}

}  // namespace

Coverage coverageOf(const NetworkInterface& interface, const std::vector<std::string>& named) {
    if (!named.empty() && std::find(named.begin(), named.end(), interface.name) == named.end()) {
        return Coverage::NotNamed;
    }
    if (interface.loopback) {
        return Coverage::Loopback;
    }
    if (interface.pointToPoint) {
        return Coverage::PointToPoint;
    }
    if (!interface.up) {
        return Coverage::Down;
    }
    if (!interface.canBroadcast) {
        return Coverage::NoBroadcast;
    }
    if (interface.ipv4.empty()) {
        return Coverage::NoIpv4;
    }
    return Coverage::Searched;
}

std::string describeCoverage(Coverage coverage) {
    switch (coverage) {
        case Coverage::Searched:
            return "searched";
        case Coverage::Loopback:
            return "loopback";
        case Coverage::PointToPoint:
            return "point-to-point";
        case Coverage::Down:
            return "down";
        case Coverage::NoBroadcast:
            return "cannot broadcast";
        case Coverage::NoIpv4:
            return "no IPv4 address";
        case Coverage::NotNamed:
            return "not named by --interface";
    }
    return "";
}

std::vector<std::string> interfacesToSearch(const std::vector<NetworkInterface>& interfaces,
                                            const std::vector<std::string>& named) {
    std::vector<std::string> names;
    for (const NetworkInterface& interface : interfaces) {
        if (coverageOf(interface, named) == Coverage::Searched) {
            names.push_back(interface.name);
        }
    }
    return names;
}

std::string_view severityName(Severity severity) {
    switch (severity) {
        case Severity::Note:
            return "note";
        case Severity::Warning:
            return "warning";
        case Severity::Problem:
            return "problem";
    }
    return "";
}

Diagnosis diagnose(const SystemFacts& facts, const std::vector<std::string>& named,
                   const std::vector<InterfaceSearch>& searches) {
    Diagnosis diagnosis;
    diagnosis.broadcastRoute = facts.broadcastRoute;
    diagnosis.portHolders = facts.port.holders;
    for (const NetworkInterface& interface : facts.interfaces.interfaces) {
        InterfaceReport& report = diagnosis.interfaces.emplace_back();
        report.interface = interface;
        report.coverage = coverageOf(interface, named);
        const auto search =
            std::find_if(searches.begin(), searches.end(),
                         [&](const InterfaceSearch& s) { return s.interface == interface.name; });
        if (search != searches.end()) {
            report.searched = true;
            report.search = *search;
            diagnosis.controllersAnswered += search->controllers.size();
        }
    }
    FindingList findings;
    if (!facts.interfaces.problem.empty()) {
        findings.add(Severity::Problem, "interfaces-unreadable", "",
                     printable(facts.interfaces.problem));
    }
    const bool answeredAnywhere = diagnosis.controllersAnswered > 0;
    for (const InterfaceReport& report : diagnosis.interfaces) {
        const bool isNamed =
            std::find(named.begin(), named.end(), report.interface.name) != named.end();
        if (report.searched) {
            judgeSearched(report, answeredAnywhere, facts, findings);
        } else {
            judgeUnsearched(report, isNamed, facts.advice, findings);
        }
    }
    if (searches.empty()) {
        findings.add(Severity::Problem, "nothing-to-search", "",
                     "No interface can reach a LAN: none is up, able to broadcast and holding "
                     "an IPv4 address" +
                         std::string(named.empty() ? "" : " among those named") + ".",
                     "Plug in the cable to the controllers' switch and give that interface an "
                     "address in their subnet.");
    }
    judgeRoute(facts.broadcastRoute, diagnosis.interfaces, findings);
    judgePort(facts, diagnosis.interfaces, findings);
    diagnosis.findings = findings.ordered(diagnosis.interfaces);

    const bool problem =
        std::any_of(diagnosis.findings.begin(), diagnosis.findings.end(),
                    [](const Finding& finding) { return finding.severity == Severity::Problem; });
    diagnosis.exitStatus = problem ? kUnavailable : answeredAnywhere ? kDone : kNoAnswer;
    return diagnosis;
}

}  // namespace krvctl
