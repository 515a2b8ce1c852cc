#include "krvctl/views/DiagnosisView.h"

#include <algorithm>

#include "krvctl/values/Printable.h"
#include "protocol/Wire.h"

namespace krvctl {

namespace {

std::string addressesOf(const NetworkInterface& interface) {
    if (interface.ipv4.empty()) {
        return "no IPv4";
    }
    std::string text;
    for (const InterfaceAddress& address : interface.ipv4) {
        text += (text.empty() ? "" : ", ") + address.address + "/" +
                std::to_string(address.prefixLength);
    }
    return text;
}

std::string coverageLine(const InterfaceReport& report) {
    if (!report.searched) {
        return "not searched: " + describeCoverage(report.coverage);
    }
    const InterfaceSearch& search = report.search;
    if (!search.openProblem.empty() || !search.sendProblem.empty()) {
        return "searched: could not be used";
    }
    const std::size_t count = search.controllers.size();
    if (count == 0) {
        return "searched: no answer";
    }
    return "searched: " + std::to_string(count) + (count == 1 ? " controller" : " controllers") +
           " answered";
}

void printFindings(std::ostream& out, const std::vector<Finding>& findings,
                   const std::string& interface) {
    for (const Finding& finding : findings) {
        if (finding.interface != interface) {
            continue;
        }
        std::string label(severityName(finding.severity));
        label.resize(9, ' ');
        out << "  " << label << finding.seen << '\n';
        if (!finding.next.empty()) {
            out << "           next: " << finding.next << '\n';
        }
    }
}

}  // namespace

void printDiagnosis(std::ostream& out, const Diagnosis& diagnosis) {
    for (const InterfaceReport& report : diagnosis.interfaces) {
        const NetworkInterface& interface = report.interface;
        out << printable(interface.name);
        if (interface.friendlyName != interface.name) {
            out << " (" << printable(interface.friendlyName) << ")";
        }
        out << "  " << (interface.up ? "up" : "down") << "  " << addressesOf(interface) << "  "
            << coverageLine(report) << '\n';
        for (const ControllerRecord& record : report.search.controllers) {
            out << "  answered " << (record.mac.empty() ? "(none)" : printable(record.mac)) << "  "
                << printable(record.from) << "  "
                << printable(record.value(krv::wire::key::kHostname)) << '\n';
        }
        printFindings(out, diagnosis.findings, interface.name);
    }
    if (std::any_of(diagnosis.findings.begin(), diagnosis.findings.end(),
                    [](const Finding& f) { return f.interface.empty(); })) {
        out << "this machine\n";
        printFindings(out, diagnosis.findings, "");
    }

    const auto count = [&](Severity severity) {
        return std::count_if(diagnosis.findings.begin(), diagnosis.findings.end(),
                             [&](const Finding& f) { return f.severity == severity; });
    };
    const auto problems = count(Severity::Problem);
    const auto warnings = count(Severity::Warning);
    out << problems << (problems == 1 ? " problem, " : " problems, ") << warnings
        << (warnings == 1 ? " warning; " : " warnings; ") << diagnosis.controllersAnswered
        << (diagnosis.controllersAnswered == 1 ? " controller answered" : " controllers answered");
    std::string where;
    for (const InterfaceReport& report : diagnosis.interfaces) {
        if (!report.search.controllers.empty()) {
            where += (where.empty() ? "" : ", ") + report.interface.name;
        }
    }
    out << (where.empty() ? "" : " (on " + where + ")") << '\n';
}

Json diagnosisJson(const Diagnosis& diagnosis) {
    Json interfaces = Json::array();
    for (const InterfaceReport& report : diagnosis.interfaces) {
        const NetworkInterface& interface = report.interface;
        Json entry = Json::object();
        entry["name"] = interface.name;
        entry["friendlyName"] = interface.friendlyName;
        entry["index"] = interface.index;
        entry["up"] = interface.up;
        entry["loopback"] = interface.loopback;
        entry["pointToPoint"] = interface.pointToPoint;
        entry["canBroadcast"] = interface.canBroadcast;
        Json addresses = Json::array();
        for (const InterfaceAddress& address : interface.ipv4) {
            addresses.push_back({{"address", address.address},
                                 {"prefixLength", address.prefixLength},
                                 {"broadcast", address.broadcast}});
        }
        entry["ipv4"] = addresses;
        entry["coverage"] = describeCoverage(report.coverage);
        entry["searched"] = report.searched;
        if (report.searched) {
            const InterfaceSearch& search = report.search;
            Json found = Json::object();
            found["queriesSent"] = search.queriesSent;
            found["ownQueryCameBack"] = search.ownQueryCameBack;
            found["controllers"] = discoveryJson(search.controllers);
            found["notKept"] = search.notKept;
            found["setApart"] = search.setApart;
            found["dropped"] = search.dropped;
            found["problem"] = search.openProblem.empty() ? search.sendProblem : search.openProblem;
            entry["search"] = found;
        }
        interfaces.push_back(entry);
    }
    Json holders = Json::array();
    for (const PortHolder& holder : diagnosis.portHolders) {
        holders.push_back({{"pid", holder.pid},
                           {"program", holder.program},
                           {"uid", holder.uid},
                           {"address", holder.address}});
    }
    Json findings = Json::array();
    for (const Finding& finding : diagnosis.findings) {
        findings.push_back({{"severity", std::string(severityName(finding.severity))},
                            {"code", finding.code},
                            {"interface", finding.interface},
                            {"seen", finding.seen},
                            {"next", finding.next}});
    }
    Json json = Json::object();
    json["interfaces"] = interfaces;
    json["broadcastRoute"] = {{"interface", diagnosis.broadcastRoute.interface},
                              {"source", diagnosis.broadcastRoute.sourceAddress},
                              {"problem", diagnosis.broadcastRoute.problem}};
    json["portHolders"] = holders;
    json["findings"] = findings;
    json["controllersAnswered"] = diagnosis.controllersAnswered;
    json["status"] = diagnosis.exitStatus;
    return json;
}

}  // namespace krvctl
