#include "krvctl/web/EventLog.h"

#include <algorithm>

#include "krvctl/values/Printable.h"

namespace krvctl {

namespace {

std::size_t eventBytes(const ConsoleEvent& event) {
    return sizeof(ConsoleEvent) + event.peer.size() + event.text.size();
}

}  // namespace

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

EventLog::EventLog(std::function<std::int64_t()> wallClockMs, EventLogLimits limits)
    : wallClockMs_(std::move(wallClockMs)),
      limits_(limits),
      lan_{limits.events, limits.bytes, {}},
      refused_{limits.refusedEvents, limits.refusedBytes, {}} {}

void EventLog::push(Budget& budget, EventKind kind, std::string peer, std::string_view text,
                    std::int64_t nowMs) {
    std::string shown = printable(text.substr(0, limits_.textBytes));
    if (text.size() > limits_.textBytes) {
        shown += " … (cut: " + std::to_string(text.size()) + " bytes in all)";
    }
    ConsoleEvent event{++last_, nowMs, kind, printable(peer.substr(0, limits_.textBytes)),
                       std::move(shown)};
    budget.heldBytes += eventBytes(event);
    budget.held.push_back(std::move(event));
    while (budget.held.size() > budget.events || budget.heldBytes > budget.bytes) {
        budget.heldBytes -= eventBytes(budget.held.front());
        budget.held.pop_front();
        ++dropped_;
    }
}

void EventLog::add(EventKind kind, std::string peer, std::string_view text) {
    const std::int64_t nowMs = wallClockMs_();
    const std::lock_guard lock(mutex_);
    push(kind == EventKind::Refused ? refused_ : lan_, kind, std::move(peer), text, nowMs);
}

void EventLog::summarise(const RefusalWindow& window, std::int64_t nowMs) {
    if (window.more == 0) {
        return;
    }
    push(refused_, EventKind::Refused, window.peer,
         "and " + std::to_string(window.more) + " more refused in " +
             std::to_string((nowMs - window.openedMs + 999) / 1000) + " s: " + window.rule,
         nowMs);
}

void EventLog::closeWindows(std::int64_t nowMs, bool everything) {
    for (auto window = windows_.begin(); window != windows_.end();) {
        if (everything || nowMs - window->second.openedMs >= limits_.refusalWindowMs) {
            summarise(window->second, nowMs);
            window = windows_.erase(window);
        } else {
            ++window;
        }
    }
}

void EventLog::refuse(const std::string& source, std::string_view rule, std::string_view text) {
    const std::int64_t nowMs = wallClockMs_();
    const std::lock_guard lock(mutex_);
    ++refusedTotal_;
    closeWindows(nowMs, false);
    const std::string key = source + '\n' + std::string(rule);
    if (const auto open = windows_.find(key); open != windows_.end()) {
        ++open->second.more;
        return;
    }
    if (windows_.size() >= limits_.refusalSources) {
        // Many sources at once: their sums come now rather than hold memory.
        closeWindows(nowMs, true);
    }
    windows_.emplace(key, RefusalWindow{nowMs, 0, source, std::string(rule)});
    push(refused_, EventKind::Refused, source, text, nowMs);
}

std::vector<ConsoleEvent> EventLog::after(std::uint64_t sequence) {
    const std::int64_t nowMs = wallClockMs_();
    const std::lock_guard lock(mutex_);
    closeWindows(nowMs, false);
    std::vector<ConsoleEvent> newer;
    for (const Budget* budget : {&lan_, &refused_}) {
        for (const ConsoleEvent& event : budget->held) {
            if (event.sequence > sequence) {
                newer.push_back(event);
            }
        }
    }
    std::sort(newer.begin(), newer.end(),
              [](const ConsoleEvent& a, const ConsoleEvent& b) { return a.sequence < b.sequence; });
    return newer;
}

EventLogCounts EventLog::counts() const {
    const std::lock_guard lock(mutex_);
    return {lan_.held.size() + refused_.held.size(), lan_.heldBytes + refused_.heldBytes, dropped_,
            refusedTotal_};
}

}  // namespace krvctl
