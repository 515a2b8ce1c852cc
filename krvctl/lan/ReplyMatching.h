#pragma once

#include <map>
#include <string>
#include <vector>

#include "krvctl/lan/ControllerRecord.h"
#include "krvctl/lan/DatagramDecoder.h"

namespace krvctl {

// Which replies answer one request. Every reply is a broadcast, so the tool also hears its
// own requests, other tools' traffic and the answers to them.
struct ReplyFilter {
    Command command = Command::Status;
    std::string seqid;
    std::string mac;  // empty: any controller may answer

    bool accepts(const DecodedDatagram& reply) const;
};

// The controllers found by one discovery, each MAC once. A controller that could not read its
// own MAC is kept apart by sender address, so it can neither hide nor merge into another.
class ControllerSet {
  public:
    // False when this controller is already known (a retry's answer, or a duplicate MAC).
    bool add(ControllerRecord record);

    // Sorted by IP address, then MAC.
    std::vector<ControllerRecord> sorted() const;
    std::size_t size() const { return records_.size(); }
    // One line per MAC that answered from more than one address or on more than one interface:
    // a cloned SD card, say.
    std::vector<std::string> conflicts() const;
    // The MACs of those lines.
    std::vector<std::string> conflictedMacs() const;
    // For each of those MACs, the interfaces it answered on when more than one, else none.
    std::vector<std::vector<std::string>> conflictedInterfaces() const;

  private:
    std::map<std::string, ControllerRecord> records_;
    struct Sender {
        std::string from;
        std::string interface;
        bool operator==(const Sender&) const = default;
    };
    // Each MAC's other senders are as many as the addresses and interfaces of one LAN.
    std::map<std::string, std::vector<Sender>> otherSenders_;
};

}  // namespace krvctl
