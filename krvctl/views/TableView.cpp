#include "krvctl/views/TableView.h"

#include <algorithm>
#include <ctime>

#include "krvctl/values/Printable.h"
#include "krvctl/values/UtcClock.h"
#include "protocol/Wire.h"

namespace krvctl {

namespace key = krv::wire::key;

namespace {

constexpr const char* kAbsent = "-";

std::string cell(const ControllerRecord& record, std::string_view field) {
    const std::string value = record.value(field);
    return value.empty() ? kAbsent : printable(value);
}

std::string offsetCell(const ControllerRecord& record) {
    return record.clockOffsetSeconds ? formatOffset(*record.clockOffsetSeconds) : kAbsent;
}

std::string localTimeOfDay(std::int64_t wallMs) {
    const std::time_t seconds = static_cast<std::time_t>(wallMs / 1000);
    std::tm parts{};
    localtime_r(&seconds, &parts);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", parts.tm_hour, parts.tm_min,
                  parts.tm_sec, static_cast<int>(wallMs % 1000));
    return text;
}

std::string beforeCell(const std::optional<ControllerRecord>& before, const std::string& field) {
    return before ? cell(*before, field) : "?";
}

std::string checkCell(const Check& check) {
    std::string text(resultName(check.result));
    if (!check.note.empty()) {
        text += " (" + check.note + ")";
    }
    return text;
}

}  // namespace

std::string alignedTable(const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()), 0);
        for (std::size_t column = 0; column < row.size(); ++column) {
            widths[column] = std::max(widths[column], displayWidth(row[column]));
        }
    }
    std::string text;
    for (const auto& row : rows) {
        for (std::size_t column = 0; column < row.size(); ++column) {
            text += row[column];
            if (column + 1 < row.size()) {
                text.append(widths[column] - displayWidth(row[column]) + 2, ' ');
            }
        }
        text += '\n';
    }
    return text;
}

void printDiscoveryTable(std::ostream& out, const std::vector<ControllerRecord>& controllers,
                         bool showInterface) {
    std::vector<std::vector<std::string>> rows = {
        {"MAC", "IP", "NETMASK", "GATEWAY", "SCHEME", "HOSTNAME", "SDK", "SD", "NTP", "CLOCK"}};
    if (showInterface) {
        rows.front().push_back("INTERFACE");
    }
    for (const ControllerRecord& record : controllers) {
        rows.push_back(
            {record.mac.empty() ? "(none)" : printable(record.mac), cell(record, key::kIp),
             cell(record, key::kNetmask), cell(record, key::kGateway), cell(record, key::kIpscheme),
             cell(record, key::kHostname), cell(record, key::kSdkversion),
             cell(record, key::kSdusage), cell(record, key::kNtpsync), offsetCell(record)});
        if (showInterface) {
            rows.back().push_back(record.interface.empty() ? kAbsent : record.interface);
        }
    }
    out << alignedTable(rows);
}

std::string searchedRemark(const std::vector<std::string>& searched) {
    if (searched.empty()) {
        return {};
    }
    std::string text = " (searched ";
    for (std::size_t i = 0; i < searched.size(); ++i) {
        text += (i == 0 ? "" : ", ") + searched[i];
    }
    return text + ")";
}

std::string answeredSummary(const Discovery& found) {
    const std::size_t count = found.controllers.size();
    std::string text =
        std::to_string(count) + (count == 1 ? " controller" : " controllers") + " answered";
    if (found.searched.empty()) {
        return text;
    }
    // In the order searched, then any other the system tagged (a reply on loopback, say).
    std::vector<std::pair<std::string, std::size_t>> perInterface;
    for (const std::string& interface : found.searched) {
        perInterface.emplace_back(interface, 0);
    }
    for (const ControllerRecord& record : found.controllers) {
        const std::string interface = record.interface.empty() ? "?" : record.interface;
        const auto known =
            std::find_if(perInterface.begin(), perInterface.end(),
                         [&](const auto& counted) { return counted.first == interface; });
        if (known != perInterface.end()) {
            ++known->second;
        } else {
            perInterface.emplace_back(interface, 1);
        }
    }
    std::string counts;
    for (const auto& [interface, answered] : perInterface) {
        if (answered > 0) {
            counts +=
                (counts.empty() ? ": " : ", ") + std::to_string(answered) + " on " + interface;
        }
    }
    return text + counts + searchedRemark(found.searched);
}

std::vector<std::string> discoveryRemarks(const Discovery& found) {
    std::vector<std::string> remarks;
    for (const std::string& conflict : found.conflicts) {
        remarks.push_back("warning: " + printable(conflict));
    }
    if (found.setApart > 0) {
        remarks.push_back("set apart " + std::to_string(found.setApart) +
                          (found.setApart == 1 ? " reply" : " replies") +
                          " without a well-formed MAC: not listed");
    }
    if (found.dropped > 0) {
        remarks.push_back("warning: the system dropped " + std::to_string(found.dropped) +
                          " datagrams that arrived faster than they were read; the list may be "
                          "incomplete (raise net.core.rmem_max or run as root)");
    }
    return remarks;
}

void printControllerListing(std::ostream& out, const ControllerRecord& record) {
    std::vector<std::vector<std::string>> rows;
    for (const Item& item : record.fields) {
        if (item.key == key::kSeqid) {
            continue;
        }
        std::string value = printable(item.value);
        if (item.key == key::kUtcclock && record.clockOffsetSeconds) {
            value += "  (" + formatOffset(*record.clockOffsetSeconds) + " from this machine)";
        }
        rows.push_back({printable(item.key), value});
    }
    rows.push_back({"from", record.from});
    out << alignedTable(rows);
}

std::string ackLine(const std::string& mac, const std::string& what, const AckAnswer& ack) {
    return mac + (ack.accepted ? " accepted " : " refused ") + what + " (ACK from " + ack.from +
           ")";
}

void printAssignChecks(std::ostream& out, const AssignReport& report) {
    if (report.checks.empty()) {
        return;
    }
    std::vector<std::vector<std::string>> rows = {
        {"SETTING", "REQUESTED", "BEFORE", "NOW", "RESULT"}};
    for (const Check& check : report.checks) {
        rows.push_back({check.key, printable(check.requested), beforeCell(report.before, check.key),
                        check.reported.empty() ? kAbsent : printable(check.reported),
                        checkCell(check)});
    }
    out << alignedTable(rows);
}

void printClearCheck(std::ostream& out, const ClearReport& report) {
    if (!report.check) {
        return;
    }
    out << alignedTable(
        {{"SETTING", "BEFORE", "NOW", "RESULT"},
         {report.setting, beforeCell(report.before, report.setting),
          report.check->reported.empty() ? kAbsent : printable(report.check->reported),
          checkCell(*report.check)}});
}

std::string monitorLine(const MonitoredDatagram& monitored, bool showInterface) {
    std::string line = localTimeOfDay(monitored.receivedAtMs) + "  " + monitored.datagram.from;
    line.append(std::max<std::size_t>(16, monitored.datagram.from.size() + 1) -
                    monitored.datagram.from.size(),
                ' ');
    if (showInterface) {
        const std::string interface =
            monitored.datagram.interface.empty() ? kAbsent : monitored.datagram.interface;
        line += interface;
        line.append(std::max<std::size_t>(10, interface.size() + 1) - interface.size(), ' ');
    }
    const DecodedDatagram& decoded = monitored.decoded;
    if (!decoded.isSetupDatagram) {
        return line + "(" + decoded.problem + ", " +
               std::to_string(monitored.datagram.bytes.size()) + " bytes) " +
               printable(monitored.datagram.bytes.substr(0, 120));
    }
    std::string word = printable(decoded.word);
    if (decoded.version != krv::wire::kVersionByte) {
        word += " (version " + printable(std::string(1, decoded.version)) + ")";
    }
    // Wide enough for every command word, so the items line up.
    word.resize(std::max<std::size_t>(word.size(), 6), ' ');
    line += word;
    for (const Item& item : decoded.items) {
        // Appended in two steps: GCC 12 at -O3 wrongly warns (-Wrestrict) about "  " + ...
        line += "  ";
        line += printable(item.key);
        if (item.hasValue) {
            line += '=';
            line += printable(item.value);
        }
    }
    if (!decoded.problem.empty()) {
        line += "  (" + decoded.problem + ")";
    }
    return line;
}

}  // namespace krvctl
