#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
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

// What the log holds at most. Refusals have a budget of their own, so that a flood of them
// never pushes out the record of what was sent to the LAN.
struct EventLogLimits {
    std::size_t events = 1000;
    std::size_t bytes = 768 * 1024;
    std::size_t refusedEvents = 200;
    std::size_t refusedBytes = 128 * 1024;
    std::size_t textBytes = 1024;  // of one datagram or request; the rest is cut
    // Refusals of one source for one reason: the first is shown, the rest counted and summed
    // up in one event when this much time has passed.
    std::int64_t refusalWindowMs = 10'000;
    std::size_t refusalSources = 64;  // windows open at once
};

struct EventLogCounts {
    std::size_t held = 0;
    std::size_t heldBytes = 0;
    std::uint64_t dropped = 0;  // older events no longer held
    std::uint64_t refused = 0;  // every refused request, summed up or not
};

// What the console sent and received, and what it refused, for the page's log. Holds the
// latest events only, within a count and a size; readers ask for what came after the last one
// they saw. Safe to use from any thread.
class EventLog {
  public:
    explicit EventLog(std::function<std::int64_t()> wallClockMs, EventLogLimits limits = {});

    // A datagram sent or received, or a note; a long text is cut, its full length noted.
    void add(EventKind kind, std::string peer, std::string_view text);
    // A request refused. rule names what refused it, the same for every request it stops.
    void refuse(const std::string& source, std::string_view rule, std::string_view text);
    std::vector<ConsoleEvent> after(std::uint64_t sequence);
    EventLogCounts counts() const;

  private:
    struct Budget {
        std::size_t events;
        std::size_t bytes;
        std::deque<ConsoleEvent> held;
        std::size_t heldBytes = 0;
    };
    struct RefusalWindow {
        std::int64_t openedMs = 0;
        std::uint64_t more = 0;  // refused after the first, not shown one by one
        std::string peer;
        std::string rule;
    };

    void push(Budget& budget, EventKind kind, std::string peer, std::string_view text,
              std::int64_t nowMs);
    // Ends the windows older than the limit (all when everything is true), each with its sum.
    void closeWindows(std::int64_t nowMs, bool everything);
    void summarise(const RefusalWindow& window, std::int64_t nowMs);

    std::function<std::int64_t()> wallClockMs_;
    EventLogLimits limits_;
    mutable std::mutex mutex_;
    Budget lan_;
    Budget refused_;
    std::map<std::string, RefusalWindow> windows_;  // by source and rule
    std::uint64_t last_ = 0;
    std::uint64_t dropped_ = 0;
    std::uint64_t refusedTotal_ = 0;
};

}  // namespace krvctl
