#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace krvctl {

enum class EventKind { Sent, Received, Note, Refused };
std::string_view eventKindName(EventKind kind);

struct ConsoleEvent {
    std::uint64_t sequence = 0;  // from 1, one more for each event
    std::int64_t timeMs = 0;     // this machine's wall clock
    EventKind kind = EventKind::Note;
    std::string peer;  // the address a datagram went to or came from, or a browser's
    std::string text;  // printable
};

// What the console sent and received, and what it refused, for the page's log. Holds the
// latest events only; readers ask for what came after the last one they saw. Safe to use
// from any thread.
class EventLog {
  public:
    static constexpr std::size_t kCapacity = 1000;

    explicit EventLog(std::function<std::int64_t()> wallClockMs);

    void add(EventKind kind, std::string peer, std::string_view text);
    std::vector<ConsoleEvent> after(std::uint64_t sequence) const;

  private:
    std::function<std::int64_t()> wallClockMs_;
    mutable std::mutex mutex_;
    std::deque<ConsoleEvent> events_;
    std::uint64_t last_ = 0;
};

}  // namespace krvctl
