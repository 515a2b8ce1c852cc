#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "krvd/transport/SocketCalls.h"
#include "tests/support/EventLog.h"

namespace krvtest {

inline std::string socketOptionName(int level, int name) {
    if (level == SOL_SOCKET && name == SO_BROADCAST)
        return "SO_BROADCAST";
    if (level == SOL_SOCKET && name == SO_REUSEADDR)
        return "SO_REUSEADDR";
    if (level == SOL_SOCKET && name == SO_BINDTODEVICE)
        return "SO_BINDTODEVICE";
    if (level == IPPROTO_IP && name == IP_HDRINCL)
        return "IP_HDRINCL";
    if (level == SOL_SOCKET && name == SO_RCVTIMEO)
        return "SO_RCVTIMEO";
    return "other";
}

// Hands out descriptors from 0 upwards and logs each call as "<call> <udp|raw> [option]"
// (also on the shared timeline as "socket: ..."); a call whose entry is in failures fails
// with that errno. Receives are served from datagrams, cut to 512 bytes; with none left a
// receive returns no datagram instead of waiting.
class RecordingSockets : public krvd::SocketCalls {
  public:
    explicit RecordingSockets(EventLog* timeline = nullptr) : timeline_(timeline) {}

    std::vector<std::string> log;
    std::map<std::string, int> failures;
    std::vector<int> socketTypes;
    std::string deviceOption;
    timeval receiveTimeout{};
    std::string lastSent;
    sockaddr_in lastDestination{};
    std::deque<std::optional<std::string>> datagrams;  // nullopt: the receive fails
    in_addr_t senderAddress = 0;

    int socket(int, int type, int) override {
        socketTypes.push_back(type);
        const int fd = nextFd_++;
        kinds_[fd] = (type & SOCK_RAW) == SOCK_RAW ? "raw" : "udp";
        return record("socket", fd, "");
    }
    int setsockopt(int fd, int level, int name, const void* value, socklen_t length) override {
        if (name == SO_BINDTODEVICE) {
            deviceOption.assign(static_cast<const char*>(value), length);
        }
        if (name == SO_RCVTIMEO && length == sizeof receiveTimeout) {
            std::memcpy(&receiveTimeout, value, sizeof receiveTimeout);
        }
        return record("setsockopt", fd, std::string(" ").append(socketOptionName(level, name)));
    }
    int bind(int fd, const sockaddr_in&) override { return record("bind", fd, ""); }
    // Fills slots from the front of datagrams; a nullopt at the front fails the call (EINTR)
    // and is consumed. Logged as "receive udp".
    int receiveBatch(int fd, std::span<krvd::ReceivedDatagram> slots) override {
        add("receive " + kinds_[fd]);
        if (!datagrams.empty() && !datagrams.front()) {
            datagrams.pop_front();
            errno = EINTR;
            return -1;
        }
        int filled = 0;
        for (auto& slot : slots) {
            if (datagrams.empty() || !datagrams.front()) {
                break;
            }
            const std::string bytes = datagrams.front()->substr(0, slot.bytes.size());
            datagrams.pop_front();
            std::memcpy(slot.bytes.data(), bytes.data(), bytes.size());
            slot.count = static_cast<ssize_t>(bytes.size());
            slot.sender.sin_addr.s_addr = senderAddress;
            ++filled;
        }
        return filled;
    }
    ssize_t sendto(int fd, const std::string& bytes, const sockaddr_in& destination) override {
        lastSent = bytes;
        lastDestination = destination;
        return record("sendto", fd, "");
    }
    void close(int fd) override { add("close " + kinds_[fd]); }

  private:
    void add(const std::string& entry) {
        log.push_back(entry);
        if (timeline_ != nullptr) {
            timeline_->add("socket: " + entry);
        }
    }
    int record(const std::string& call, int fd, const std::string& detail) {
        const std::string entry = call + " " + kinds_[fd] + detail;
        add(entry);
        if (const auto failure = failures.find(entry); failure != failures.end()) {
            errno = failure->second;
            return -1;
        }
        return fd;
    }

    EventLog* timeline_;
    int nextFd_ = 0;
    std::map<int, std::string> kinds_;
};

}  // namespace krvtest
