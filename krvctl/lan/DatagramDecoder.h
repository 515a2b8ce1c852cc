#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace krvctl {

enum class Command { Query, Assign, Clear, Status, Ack, Unknown };

struct Item {
    std::string key;
    std::string value;
    bool hasValue = true;  // false for a bare word such as the setting a CLEAR names
};

// Whatever arrived on the protocol port, taken apart. Decoding never fails: a datagram that is
// not the protocol keeps its bytes and says why in problem.
struct DecodedDatagram {
    bool isSetupDatagram = false;  // "KRV", a version byte, "#" and a command word
    char version = 0;
    Command command = Command::Unknown;
    std::string word;  // the command word as sent
    std::vector<Item> items;
    std::string problem;

    // The value of the first item with that key, or nothing.
    const std::string* find(std::string_view key) const;
};

// Replies are read by their fixed item order: a "#" inside a value (a host name, say) does not
// start an item unless what follows is a key that may still come, so such a value stays
// whole and cannot pass itself off as an earlier field. Requests are split at every "#".
DecodedDatagram decodeDatagram(std::string_view bytes);

std::string_view commandName(Command command);

}  // namespace krvctl
