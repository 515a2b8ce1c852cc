#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "krvctl/lan/Client.h"
#include "krvctl/lan/ControllerRecord.h"
#include "krvctl/operations/Operations.h"

namespace krvctl {

// The readable views: aligned columns, every value from the network made printable first.

// Cells padded to the widest in their column, two spaces apart; the last column unpadded.
std::string alignedTable(const std::vector<std::vector<std::string>>& rows);

// One row per controller: MAC, IP, netmask, gateway, scheme, host name, SDK version, SD usage,
// NTP sync and the controller's clock offset from this machine; with showInterface, the
// interface it answered on last (worth a column only when more than one was searched).
void printDiscoveryTable(std::ostream& out, const std::vector<ControllerRecord>& controllers,
                         bool showInterface = false);
// "6 controllers answered: 4 on eth1, 2 on eth2 (searched eth1, eth2, wlan0)"; without the
// interfaces when none are known.
std::string answeredSummary(const Discovery& found);
// " (searched eth1, eth2, wlan0)", or nothing when none are known.
std::string searchedRemark(const std::vector<std::string>& searched);
// What a discovery met besides the list: MACs from several addresses, replies set apart for
// their MAC, replies the system dropped. One line each.
std::vector<std::string> discoveryRemarks(const Discovery& found);
// Every field of one STATUS, one per line.
void printControllerListing(std::ostream& out, const ControllerRecord& record);
// "MAC accepted the assignment (ACK from ADDRESS)".
std::string ackLine(const std::string& mac, const std::string& what, const AckAnswer& ack);
// The verification, key by key; nothing when there was none.
void printAssignChecks(std::ostream& out, const AssignReport& report);
void printClearCheck(std::ostream& out, const ClearReport& report);
// One line per datagram: local time, sender, with showInterface the interface it arrived on,
// command and items.
std::string monitorLine(const MonitoredDatagram& datagram, bool showInterface = false);

}  // namespace krvctl
