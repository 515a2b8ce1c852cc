#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "krvctl/lan/DatagramDecoder.h"

namespace krvctl {

// One controller as its STATUS reply described it.
struct ControllerRecord {
    std::string mac;                // as reported; empty when the controller could not read it
    std::string from;               // the sender's address, dotted
    std::string interface;          // the interface the reply arrived on; empty where unknown
    std::vector<Item> fields;       // every item of the reply in its order, seqid and mac included
    std::int64_t receivedAtMs = 0;  // this machine's wall clock when the reply arrived
    std::optional<std::int64_t> clockOffsetSeconds;  // controller's clock minus this machine's

    // The reported value, or the empty text when the reply did not carry the key.
    std::string value(std::string_view key) const;
    bool reports(std::string_view key) const;
};

// Nothing when the datagram is not a STATUS reply, or its MAC is missing or not six hex octets
// (an empty one stays: the controller could not read its own).
std::optional<ControllerRecord> recordFromStatus(const DecodedDatagram& status, std::string from,
                                                 std::int64_t receivedAtMs,
                                                 std::string interface = {});

}  // namespace krvctl
