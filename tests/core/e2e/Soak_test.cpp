// The real krvd binary under a long mixed stream of datagrams (see Soak.h): every query for it
// is answered, every datagram that reaches it is handled, its resident memory stays flat and
// it holds the same descriptors afterwards. KRV_SOAK_DATAGRAMS changes the count (default
// 100,000), KRV_SOAK_ADDRESSED how many of them make it read its settings (default 24, about
// half a second each on the simulated controller); the figures are printed for docs/measured.md.

#include <cstdlib>

#include "tests/core/e2e/EndToEndFixture.h"
#include "tests/core/e2e/Soak.h"

namespace krvd::e2e {
namespace {

using Soak = EndToEnd;

TEST_F(Soak, MixedDatagramsAreAllHandledWithFlatMemoryAndNoDescriptorLeak) {
    bringUp(NetworkLab::Side::Bridge);
    if (!ready()) {
        return;
    }
    SoakPlan plan;
    if (const char* count = std::getenv("KRV_SOAK_DATAGRAMS")) {
        plan.datagrams = std::strtoul(count, nullptr, 10);
    }
    if (const char* count = std::getenv("KRV_SOAK_ADDRESSED")) {
        plan.addressedHere = std::strtoul(count, nullptr, 10);
    }
    if (plan.datagrams != SoakPlan{}.datagrams || plan.addressedHere != SoakPlan{}.addressedHere) {
        // A longer run by hand: about a millisecond a datagram at worst, two seconds a read.
        plan.timeLimit = std::chrono::seconds(plan.datagrams / 1000 + 2 * plan.addressedHere);
    }
    const SoakFigures figures = runSoak(*peer, *daemon, plan);
    std::cout << describe(figures);

    ASSERT_TRUE(figures.finishedInTime) << describe(figures);
    EXPECT_EQ(figures.drops, 0);
    EXPECT_EQ(figures.unanswered, std::vector<std::string>{});
    EXPECT_EQ(figures.verdicts, figures.sentNonEmpty);
    EXPECT_EQ(figures.descriptorsAfter, figures.descriptorsBefore);
#if !defined(__SANITIZE_ADDRESS__)  // ASan's quarantine keeps freed memory resident
    // Flat: after the first tenth has touched every path, the rest adds no more than a page
    // or two of allocator slack.
    EXPECT_LE(figures.end.residentKiB, figures.warm.residentKiB + 64);
    EXPECT_LE(figures.end.privateDirtyKiB, figures.warm.privateDirtyKiB + 64);
#endif
}

}  // namespace
}  // namespace krvd::e2e
