#pragma once

#include <string>

#include "krvd/settings/Settings.h"

namespace krvd {

// The controller's MAC as replies carry it and as the address check compares it: upper-cased.
std::string deviceMac(const Settings& settings);

// "KRV2#STATUS#seqid=...#mac=..." with one item per non-empty reported value, ending with the
// always present "#utcclock=" and "#displaytime=" items.
std::string buildStatusReply(const Settings& settings, const std::string& seqid,
                             const std::string& utcclock);

// "KRV2#ACK#seqid=...#mac=...#accept=yes" (or "=no").
std::string buildAckReply(const Settings& settings, const std::string& seqid, bool accepted);

}  // namespace krvd
