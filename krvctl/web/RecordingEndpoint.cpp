#include "krvctl/web/RecordingEndpoint.h"

#include "krvctl/lan/DatagramDecoder.h"

namespace krvctl {

namespace {

constexpr const char* kBroadcastAddress = "255.255.255.255";

}  // namespace

RecordingEndpoint::RecordingEndpoint(Endpoint& inner, EventLog& log) : inner_(inner), log_(log) {}

bool RecordingEndpoint::broadcast(const std::string& bytes, std::string& problem,
                                  const std::string& interface) {
    const bool sent = inner_.broadcast(bytes, problem, interface);
    if (recording_) {
        const std::string to = interface.empty()
                                   ? kBroadcastAddress
                                   : std::string(kBroadcastAddress) + " on " + interface;
        if (sent) {
            log_.add(EventKind::Sent, to, bytes);
        } else {
            log_.add(EventKind::Note, to, "could not send: " + problem);
        }
    }
    return sent;
}

std::optional<ReceivedDatagram> RecordingEndpoint::receive(
    std::chrono::steady_clock::time_point deadline) {
    auto datagram = inner_.receive(deadline);
    if (datagram && recording_) {
        const Command command = decodeDatagram(datagram->bytes).command;
        if (command == Command::Status || command == Command::Ack) {
            log_.add(EventKind::Received,
                     datagram->interface.empty() ? datagram->from
                                                 : datagram->from + " on " + datagram->interface,
                     datagram->bytes);
        }
    }
    return datagram;
}

}  // namespace krvctl
