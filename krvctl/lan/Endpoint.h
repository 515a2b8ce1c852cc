#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace krvctl {

struct ReceivedDatagram {
    std::string bytes;
    std::string from;       // the sender's IPv4 address, dotted
    std::string interface;  // the interface it arrived on; empty where that is not known
};

// The tool's side of the protocol port: broadcasts out, everything that arrives in. A laptop
// has several networks, so one endpoint searches several interfaces at once.
class Endpoint {
  public:
    virtual ~Endpoint() = default;
    // To 255.255.255.255 on the protocol port, on every searched interface, or only on
    // interface when one is named. True when it left by at least one; otherwise false, with the
    // reason.
    virtual bool broadcast(const std::string& bytes, std::string& problem,
                           const std::string& interface) = 0;
    bool broadcast(const std::string& bytes, std::string& problem) {
        return broadcast(bytes, problem, {});
    }
    // The interfaces searched now, by name; they may change while the endpoint lives, as
    // interfaces come and go.
    virtual std::vector<std::string> interfaces() const = 0;
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
