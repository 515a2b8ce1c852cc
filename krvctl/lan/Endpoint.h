#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace krvctl {

struct ReceivedDatagram {
    std::string bytes;
    std::string from;  // the sender's IPv4 address, dotted
};

// The tool's side of the protocol port: broadcasts out, everything that arrives in.
class Endpoint {
  public:
    virtual ~Endpoint() = default;
    // To 255.255.255.255 on the protocol port. False, with the reason, when it did not leave.
    virtual bool broadcast(const std::string& bytes, std::string& problem) = 0;
    // The next datagram arriving before the deadline; nothing when the deadline passes first or
    // the wait was interrupted (see interrupted()).
    virtual std::optional<ReceivedDatagram> receive(
        std::chrono::steady_clock::time_point deadline) = 0;
    // Datagrams the system dropped because they arrived faster than they were read.
    virtual std::uint64_t dropped() const = 0;
    // True once the user asked the program to stop (Ctrl-C).
    virtual bool interrupted() const = 0;
};

struct OpenedEndpoint {
    std::unique_ptr<Endpoint> endpoint;  // null when it could not be opened
    int failure = 0;                     // the exit status then
    std::string problem;
};

// Time as the tool sees it; tests run it forward at will.
class Clock {
  public:
    virtual ~Clock() = default;
    virtual std::chrono::steady_clock::time_point now() = 0;
    // This machine's wall clock, milliseconds since 1970-01-01 UTC.
    virtual std::int64_t wallMilliseconds() = 0;
    virtual void sleepUntil(std::chrono::steady_clock::time_point until) = 0;
};

}  // namespace krvctl
