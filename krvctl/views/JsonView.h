#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "krvctl/lan/Client.h"
#include "krvctl/lan/ControllerRecord.h"
#include "krvctl/operations/Operations.h"

namespace krvctl {

// The views for scripts. Keys keep the reply's order.
using Json = nlohmann::ordered_json;

// The reply's keys with their values as strings, plus "from" and "interface" (the one it
// arrived on; empty where not known).
Json controllerJson(const ControllerRecord& record);
Json discoveryJson(const std::vector<ControllerRecord>& controllers);
// {"mac", "accept", "from", "verified", "settings": {KEY: {"requested", "before", "reported",
// "result", "note"}}}; accept is null when nothing answered.
Json assignJson(const std::string& mac, const AssignReport& report);
// {"mac", "accept", "setting", "from", "verified", "before", "reported", "result", "note"}.
Json clearJson(const std::string& mac, const ClearReport& report);
// {"time", "from", "command", "version", "items": [{"key", "value"}], "problem", "bytes"}.
Json monitorJson(const MonitoredDatagram& datagram);

// Bytes that are not UTF-8 are shown as U+FFFD rather than failing the whole output.
std::string dumpJson(const Json& json, int indent);

}  // namespace krvctl
