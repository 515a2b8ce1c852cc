// The console's picture of the LAN across discoveries: what counts as new, changed and gone,
// and how long a mark stays.
#include "krvctl/web/ControllerCache.h"

#include <gtest/gtest.h>

namespace krvctl {
namespace {

ControllerRecord controller(const std::string& mac, const std::string& ntpip,
                            const std::string& clock = "20261208120000",
                            const std::string& from = "192.0.2.10") {
    ControllerRecord record;
    record.mac = mac;
    record.from = from;
    record.fields = {{"seqid", "1"},        {"mac", mac},      {"ip", from},
                     {"ntpip", ntpip},      {"uptime", clock}, {"utcclock", clock},
                     {"displaytime", clock}};
    return record;
}

Discovery found(std::vector<ControllerRecord> controllers) {
    Discovery discovery;
    discovery.delivery = controllers.empty() ? Delivery::Silent : Delivery::Answered;
    discovery.controllers = std::move(controllers);
    return discovery;
}

Mark markOf(const ControllerCache& cache, const std::string& mac, std::int64_t nowMs) {
    const auto shown = cache.shown(mac, nowMs);
    if (!shown) {
        ADD_FAILURE() << mac << " is not in the cache";
        return Mark::Steady;
    }
    return shown->mark;
}

constexpr const char* kA = "02:00:00:4B:10:01";
constexpr const char* kB = "02:00:00:4B:10:02";

TEST(ControllerCache, MarksWhatIsNewChangedAndGone) {
    ControllerCache cache;
    // What the console finds at its start is where the engineer starts from.
    const RoundChanges first = cache.applyDiscovery(found({controller(kA, "192.0.2.123")}), 1000);
    EXPECT_EQ(first.added, 0);
    EXPECT_EQ(markOf(cache, kA, 1000), Mark::Steady);

    // Only the clock, uptime and seqid moved: no news. B is new.
    const RoundChanges second = cache.applyDiscovery(
        found({controller(kA, "192.0.2.123", "20261208120009"), controller(kB, "192.0.2.123")}),
        9000);
    EXPECT_EQ(second.added, 1);
    EXPECT_EQ(second.changed, 0);
    EXPECT_EQ(markOf(cache, kA, 9000), Mark::Steady);
    EXPECT_EQ(markOf(cache, kB, 9000), Mark::New);

    // A set another way, from another address; B misses one round only: busy, not gone.
    const RoundChanges third =
        cache.applyDiscovery(found({controller(kA, "192.0.2.9", "x", "192.0.2.77")}), 17000);
    EXPECT_EQ(third.changed, 1);
    EXPECT_EQ(third.vanished, 0);
    const auto a = cache.shown(kA, 17000);
    const auto b = cache.shown(kB, 17000);
    EXPECT_EQ(a->mark, Mark::Changed);
    EXPECT_EQ(a->changedKeys, (std::vector<std::string>{"ip", "ntpip", "from"}));
    EXPECT_EQ(b->mark, Mark::New);
    EXPECT_EQ(b->missedRounds, 1);

    // A query that never left says nothing about B; the second silent round does.
    Discovery unsent;
    unsent.delivery = Delivery::NotSent;
    EXPECT_EQ(cache.applyDiscovery(unsent, 20000).vanished, 0);
    EXPECT_EQ(cache.applyDiscovery(found({controller(kA, "192.0.2.9", "x", "192.0.2.77")}), 25000)
                  .vanished,
              1);
    EXPECT_EQ(markOf(cache, kB, 25000), Mark::Vanished);
    EXPECT_EQ(cache.size(), 2u);

    // Back again is news; a vanished mark stays however long it takes.
    EXPECT_EQ(markOf(cache, kB, 25000 + 10 * ControllerCache::kMarkHoldMs), Mark::Vanished);
    EXPECT_EQ(cache.applyDiscovery(found({controller(kB, "192.0.2.123")}), 30000).added, 1);
    EXPECT_EQ(markOf(cache, kB, 30000), Mark::New);
    EXPECT_EQ(cache.rounds(), 6u);
}

TEST(ControllerCache, MarksFadeAndSingleAnswersCountToo) {
    ControllerCache cache;
    cache.applyDiscovery(found({controller(kA, "192.0.2.123")}), 0);
    // The check after an assignment shows the change at once.
    cache.applyStatus(controller(kA, "192.0.2.124"), 5000);
    EXPECT_EQ(markOf(cache, kA, 5000), Mark::Changed);
    EXPECT_EQ(markOf(cache, kA, 5000 + ControllerCache::kMarkHoldMs), Mark::Changed);
    const auto faded = cache.shown(kA, 5001 + ControllerCache::kMarkHoldMs);
    EXPECT_EQ(faded->mark, Mark::Steady);
    EXPECT_TRUE(faded->changedKeys.empty());
    // An unchanged answer keeps the mark it had.
    cache.applyStatus(controller(kA, "192.0.2.124", "y"), 6000);
    EXPECT_EQ(markOf(cache, kA, 6000), Mark::Changed);

    // A controller that could not read its MAC is kept by its address, apart from the rest.
    ControllerRecord nameless = controller("", "192.0.2.123", "z", "192.0.2.66");
    cache.applyDiscovery(found({controller(kA, "192.0.2.124"), nameless}), 7000);
    ASSERT_NE(cache.find("(none) 192.0.2.66"), nullptr);
    EXPECT_EQ(cache.find("(none) 192.0.2.66")->mark, Mark::New);
    EXPECT_EQ(cache.find(kB), nullptr);
}

std::string strangerMac(int index) {
    return "02:00:00:4B:99:" + std::string(1, "0123456789"[index / 10]) + "0123456789"[index % 10];
}

TEST(ControllerCache, StrangersTakeTheRoomOfTheSilentNeverOfThoseThatAnswer) {
    ControllerCache cache({.entries = 4});
    cache.applyDiscovery(found({controller(kA, "1"), controller(kB, "1")}), 0);
    cache.applyDiscovery(found({controller(kA, "1"), controller(kB, "1"),
                                controller(strangerMac(1), "1"), controller(strangerMac(2), "1")}),
                         8000);
    // The two strangers of the round before fell silent; three new ones come.
    cache.applyDiscovery(
        found({controller(strangerMac(3), "1"), controller(strangerMac(4), "1"),
               controller(strangerMac(5), "1"), controller(kA, "1"), controller(kB, "1")}),
        16000);
    EXPECT_EQ(cache.size(), 4u);
    EXPECT_NE(cache.find(kA), nullptr);
    EXPECT_NE(cache.find(kB), nullptr);
    EXPECT_EQ(cache.find(strangerMac(1)), nullptr);
    EXPECT_EQ(cache.drops().evicted, 2u);
    EXPECT_EQ(cache.drops().turnedAway, 1u);

    // A controller that is silent and gone is given up first, then the one silent longest.
    cache.applyDiscovery(found({controller(kA, "1")}), 24000);
    cache.applyDiscovery(found({controller(kA, "1")}), 32000);
    cache.applyStatus(controller(strangerMac(6), "1"), 33000);
    EXPECT_EQ(cache.size(), 4u);
    EXPECT_EQ(cache.drops().evicted, 3u);
    EXPECT_NE(cache.find(kA), nullptr);
    EXPECT_NE(cache.find(strangerMac(6)), nullptr);
}

TEST(ControllerCache, TheVanishedAreForgottenAndLongRepliesCountByTheirSize) {
    ControllerCache cache({.entries = 100, .bytes = 20'000, .forgetVanishedAfterMs = 60'000});
    cache.applyDiscovery(found({controller(kA, "1"), controller(kB, "1")}), 0);
    cache.applyDiscovery(found({controller(kA, "1")}), 8000);
    cache.applyDiscovery(found({controller(kA, "1")}), 16000);
    EXPECT_EQ(markOf(cache, kB, 16000), Mark::Vanished);
    cache.applyDiscovery(found({controller(kA, "1")}), 60'000);
    EXPECT_NE(cache.find(kB), nullptr);
    cache.applyDiscovery(found({controller(kA, "1")}), 61'000);
    EXPECT_EQ(cache.find(kB), nullptr);
    EXPECT_EQ(cache.drops().forgotten, 1u);

    // Replies of 8 KB: the bytes fill before the count does.
    std::vector<ControllerRecord> long_;
    for (int i = 0; i < 4; ++i) {
        long_.push_back(controller(strangerMac(i), std::string(8000, 'x')));
    }
    cache.applyDiscovery(found(long_), 70'000);
    EXPECT_LE(cache.bytes(), 20'000u);
    EXPECT_EQ(cache.size(), 2u);
    EXPECT_EQ(cache.drops().turnedAway, 2u);
    EXPECT_EQ(cache.find(kA), nullptr) << "kA was silent in that round: it made room";
}

TEST(ControllerCache, TheRevisionMovesOnlyWhenWhatAnEngineerActsOnChanges) {
    ControllerCache cache;
    cache.applyDiscovery(found({controller(kA, "192.0.2.1"), controller(kB, "192.0.2.1")}), 0);
    const std::uint64_t first = cache.find(kA)->revision;
    EXPECT_NE(first, cache.find(kB)->revision);
    cache.applyStatus(controller(kA, "192.0.2.1", "20261208120009"), 1000);
    EXPECT_EQ(cache.find(kA)->revision, first);
    cache.applyStatus(controller(kA, "192.0.2.2"), 2000);
    const std::uint64_t second = cache.find(kA)->revision;
    EXPECT_GT(second, first);
    cache.applyStatus(controller(kA, "192.0.2.1"), 3000);
    EXPECT_GT(cache.find(kA)->revision, second) << "back to old values is a change too";
}

}  // namespace
}  // namespace krvctl
