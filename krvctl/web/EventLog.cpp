#include "krvctl/web/EventLog.h"

#include "krvctl/values/Printable.h"

namespace krvctl {

std::string_view eventKindName(EventKind kind) {
    switch (kind) {
        case EventKind::Sent:
            return "sent";
        case EventKind::Received:
            return "received";
        case EventKind::Refused:
            return "refused";
        case EventKind::Note:
            break;
    }
    return "note";
}

EventLog::EventLog(std::function<std::int64_t()> wallClockMs)
    : wallClockMs_(std::move(wallClockMs)) {}

void EventLog::add(EventKind kind, std::string peer, std::string_view text) {
    ConsoleEvent event{0, wallClockMs_(), kind, printable(peer), printable(text)};
    const std::lock_guard lock(mutex_);
    event.sequence = ++last_;
    events_.push_back(std::move(event));
    if (events_.size() > kCapacity) {
        events_.pop_front();
    }
}

std::vector<ConsoleEvent> EventLog::after(std::uint64_t sequence) const {
    const std::lock_guard lock(mutex_);
    std::vector<ConsoleEvent> newer;
    for (const ConsoleEvent& event : events_) {
        if (event.sequence > sequence) {
            newer.push_back(event);
        }
    }
    return newer;
}

}  // namespace krvctl
