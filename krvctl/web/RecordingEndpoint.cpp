#include "krvctl/web/RecordingEndpoint.h"

#include "krvctl/lan/DatagramDecoder.h"

namespace krvctl {

namespace {

constexpr const char* kBroadcastAddress = "255.255.255.255";

}  // namespace

RecordingEndpoint::RecordingEndpoint(Endpoint& inner, EventLog& log) : inner_(inner), log_(log) {}

bool RecordingEndpoint::broadcast(const std::string& bytes, std::string& problem) {
    const bool sent = inner_.broadcast(bytes, problem);
    if (recording_) {
        if (sent) {
            log_.add(EventKind::Sent, kBroadcastAddress, bytes);
        } else {
            log_.add(EventKind::Note, kBroadcastAddress, "could not send: " + problem);
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
            log_.add(EventKind::Received, datagram->from, datagram->bytes);
        }
    }
    return datagram;
}

}  // namespace krvctl
