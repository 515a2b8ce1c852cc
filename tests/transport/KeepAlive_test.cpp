// Readiness and keep-alives to the service manager: what the Broadcaster's receive loop tells
// it, paced on a fake clock, and the receive wait that keeps an idle daemon reporting. The real
// notification socket: ServiceManager_test.cpp; under systemd itself: the image tests.
#include "krvd/transport/KeepAlive.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>

#include "krvd/transport/Broadcaster.h"
#include "tests/support/FakeServiceManager.h"
#include "tests/support/RecordingSockets.h"

namespace krvd {
namespace {

using namespace std::chrono_literals;
using krvtest::FakeServiceManager;
using krvtest::RecordingSockets;
using ::testing::ElementsAre;

TEST(KeepAlive, KeepAlivesLeaveOnlyOnceAQuarterOfTheIntervalHasPassed) {
    FakeServiceManager manager(20s);
    KeepAlive keepAlive(&manager);
    EXPECT_EQ(keepAlive.ready(), 10s);
    // Milliseconds since the previous beat, and whether that beat sends.
    const std::vector<std::pair<std::chrono::milliseconds, bool>> beats = {
        {0ms, false},   {4999ms, false}, {1ms, true},     {4000ms, false},
        {999ms, false}, {1ms, true},     {60000ms, true}, {0ms, false},
    };
    std::size_t expected = 1;
    for (const auto& [after, sends] : beats) {
        SCOPED_TRACE(after.count());
        manager.advance(after);
        keepAlive.beat();
        expected += sends ? 1 : 0;
        ASSERT_EQ(manager.notifications.size(), expected);
    }
    EXPECT_EQ(manager.notifications.front(), "READY=1");
    EXPECT_EQ(manager.notifications.back(), "WATCHDOG=1");
}

TEST(KeepAlive, EveryStepIsAnnouncedStartTimeoutExtensionsBeforeReadinessKeepAlivesAfter) {
    // A step's budget is the watchdog's interval; without a watchdog, systemd's default start
    // timeout, and once ready nothing at all.
    for (const auto& [interval, extension, running] :
         {std::tuple{20s, "EXTEND_TIMEOUT_USEC=20000000", "WATCHDOG=1"},
          {0s, "EXTEND_TIMEOUT_USEC=90000000", ""}}) {
        SCOPED_TRACE(interval.count());
        FakeServiceManager manager(interval);
        KeepAlive keepAlive(&manager);
        keepAlive.beforeStep();
        keepAlive.beforeStep();
        // The receive loop's pacing has nothing to say before readiness.
        manager.advance(1h);
        keepAlive.beat();
        EXPECT_THAT(manager.notifications, ElementsAre(extension, extension));
        keepAlive.ready();
        manager.notifications.clear();
        // Steps close together each get a keep-alive: no pacing in front of a command.
        keepAlive.beforeStep();
        manager.advance(1ms);
        keepAlive.beforeStep();
        if (interval > 0s) {
            EXPECT_THAT(manager.notifications, ElementsAre(running, running));
        } else {
            EXPECT_TRUE(manager.notifications.empty());
        }
        // A step's keep-alive counts for the loop's pacing.
        manager.advance(4999ms);
        keepAlive.beat();
        EXPECT_EQ(manager.notifications.size(), interval > 0s ? 2u : 0u);
    }
}

TEST(KeepAlive, WithoutWatchdogOrManagerOnlyReadinessIsTold) {
    FakeServiceManager manager(0s);
    KeepAlive keepAlive(&manager);
    EXPECT_EQ(keepAlive.ready(), 0s);
    manager.advance(std::chrono::hours(24));
    keepAlive.beat();
    EXPECT_THAT(manager.notifications, ElementsAre("READY=1"));

    KeepAlive unsupervised;
    EXPECT_EQ(unsupervised.ready(), 0s);
    unsupervised.beat();
    unsupervised.beforeStep();
}

TEST(BroadcasterSupervision, ReadinessLimitsTheWaitToHalfTheIntervalOnlyUnderAWatchdog) {
    for (const auto interval : {0s, 3s}) {
        SCOPED_TRACE(interval.count());
        RecordingSockets sockets;
        FakeServiceManager manager(interval);
        Broadcaster broadcaster(nullptr, 7217, "br0", sockets);
        const std::size_t before = sockets.log.size();
        KeepAlive keepAlive(&manager);
        broadcaster.superviseBy(keepAlive);
        broadcaster.announceReady();
        EXPECT_THAT(manager.notifications, ElementsAre("READY=1"));
        const std::vector<std::string> calls(sockets.log.begin() + static_cast<long>(before),
                                             sockets.log.end());
        if (interval == 0s) {
            EXPECT_TRUE(calls.empty());
        } else {
            EXPECT_THAT(calls, ElementsAre("setsockopt udp SO_RCVTIMEO"));
            EXPECT_EQ(sockets.receiveTimeout.tv_sec, 1);
            EXPECT_EQ(sockets.receiveTimeout.tv_usec, 500000);
        }
    }
}

// Each datagram takes six seconds of the fake clock, as a query's commands would.
class SlowCallback : public IBroadcasterCallback {
  public:
    explicit SlowCallback(FakeServiceManager& manager) : manager_(manager) {}
    void onMessage(const char*, std::int64_t, std::uint32_t) override {
        manager_.notify("handled");
        manager_.advance(6s);
    }

  private:
    FakeServiceManager& manager_;
};

TEST(BroadcasterSupervision, AnIdleWaitAndEverySlowDatagramOfABatchAreFollowedByAKeepAlive) {
    RecordingSockets sockets;
    FakeServiceManager manager(20s);
    SlowCallback callback(manager);
    Broadcaster broadcaster(&callback, 7217, "br0", sockets);
    KeepAlive keepAlive(&manager);
    broadcaster.superviseBy(keepAlive);
    broadcaster.announceReady();
    // The limited wait runs out (a failed receive), then three queued datagrams arrive at once.
    sockets.datagrams = {std::nullopt, "KRV2#QUERY#seqid=1", "KRV2#QUERY#seqid=2",
                         "KRV2#QUERY#seqid=3"};
    manager.advance(10s);
    EXPECT_EQ(broadcaster.receiveQueued(), 0u);
    EXPECT_EQ(broadcaster.receiveQueued(), 3u);
    EXPECT_THAT(manager.notifications,
                ElementsAre("READY=1", "WATCHDOG=1", "handled", "WATCHDOG=1", "handled",
                            "WATCHDOG=1", "handled", "WATCHDOG=1"));
}

}  // namespace
}  // namespace krvd
