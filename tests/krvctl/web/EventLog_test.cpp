// The console's event log: bounded by count and bytes, long datagrams cut with their length,
// and refusals counted and summed up apart from the record of what went to the LAN.
#include "krvctl/web/EventLog.h"

#include <gtest/gtest.h>

#include <atomic>

namespace krvctl {
namespace {

std::size_t countOf(const std::vector<ConsoleEvent>& events, EventKind kind) {
    return static_cast<std::size_t>(std::count_if(
        events.begin(), events.end(), [kind](const ConsoleEvent& e) { return e.kind == kind; }));
}

TEST(EventLog, HoldsWithinItsCountTheOldestGoingFirst) {
    EventLog log([] { return std::int64_t{0}; }, {.events = 50, .bytes = 1024 * 1024});
    for (int i = 1; i <= 120; ++i) {
        log.add(EventKind::Sent, "255.255.255.255", "KRV2#QUERY#seqid=" + std::to_string(i));
    }
    EXPECT_EQ(log.counts().held, 50u);
    EXPECT_EQ(log.counts().dropped, 70u);
    const auto events = log.after(0);
    ASSERT_EQ(events.size(), 50u);
    EXPECT_EQ(events.front().sequence, 71u);
    EXPECT_EQ(events.back().text, "KRV2#QUERY#seqid=120");
}

TEST(EventLog, HoldsWithinItsBytesAndCutsLongDatagramsWithTheirLength) {
    std::atomic<std::int64_t> now = 0;
    EventLog log([&] { return now.load(); }, {.events = 1000, .bytes = 64 * 1024});
    const std::string reply =
        "KRV2#STATUS#seqid=1#mac=02:00:00:4B:10:01#hostname=" + std::string(16 * 1024, 'h');
    for (int i = 0; i < 100; ++i) {
        log.add(EventKind::Received, "192.0.2.10", reply);
    }
    const EventLogCounts counts = log.counts();
    EXPECT_LE(counts.heldBytes, 64u * 1024);
    EXPECT_EQ(counts.held + counts.dropped, 100u);
    EXPECT_GT(counts.held, 10u) << "each is held cut, not whole";
    const auto events = log.after(0);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().sequence, 100u);
    EXPECT_TRUE(events.back().text.starts_with("KRV2#STATUS#seqid=1#mac=02:00:00:4B:10:01"));
    EXPECT_TRUE(events.back().text.ends_with("hhh … (cut: " + std::to_string(reply.size()) +
                                             " bytes in all)"))
        << events.back().text.substr(1000);
    EXPECT_LT(events.back().text.size(), 1100u);
}

TEST(EventLog, RefusalsAreSummedUpAndNeverPushOutWhatWentToTheLan) {
    std::atomic<std::int64_t> now = 0;
    EventLog log([&] { return now.load(); },
                 {.refusedEvents = 20, .refusalWindowMs = 10'000, .refusalSources = 4});
    log.add(EventKind::Sent, "255.255.255.255", "KRV2#ASSIGN#seqid=1#mac=02:00:00:4B:10:01");
    log.add(EventKind::Received, "192.0.2.10", "KRV2#ACK#seqid=1#mac=02:00:00:4B:10:01");
    for (int i = 0; i < 1100; ++i) {
        log.refuse("127.0.0.1", "Origin", "GET /api/session: another site");
    }
    auto events = log.after(0);
    EXPECT_EQ(events.size(), 3u);
    EXPECT_EQ(log.counts().refused, 1100u);

    // The sum comes when the window ends, also for a reader who only asks.
    now = 10'000;
    events = log.after(3);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, EventKind::Refused);
    EXPECT_EQ(events[0].text, "and 1099 more refused in 10 s: Origin");

    // A crowd of sources and rules fills the refusals' own budget only.
    for (int i = 0; i < 500; ++i) {
        log.refuse("10.0.0." + std::to_string(i % 50), "rule " + std::to_string(i % 7), "refused");
    }
    events = log.after(0);
    EXPECT_EQ(countOf(events, EventKind::Sent), 1u);
    EXPECT_EQ(countOf(events, EventKind::Received), 1u);
    EXPECT_LE(countOf(events, EventKind::Refused), 20u);
    EXPECT_EQ(log.counts().refused, 1600u);
}

}  // namespace
}  // namespace krvctl
