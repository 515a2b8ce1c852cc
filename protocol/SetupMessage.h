#pragma once

#include <string>

namespace krv {

// The values parsed from one datagram. An empty field means the datagram did not give it.
struct SetupMessage {
    std::string mac;  // upper-cased by parseMac
    std::string ipscheme;
    std::string gateway;
    std::string syslogip;
    std::string nameserver;
    std::string ntpip;
    std::string ip;
    std::string netmask;
    std::string seqid;
    std::string utcclock;  // checked only when the clock is set

    // Nothing of the previous datagram may survive into the next one.
    void reset() { *this = SetupMessage{}; }
};

}  // namespace krv
