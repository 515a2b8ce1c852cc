#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "krvctl/lan/Client.h"
#include "krvctl/lan/ControllerRecord.h"

namespace krvctl {

enum class Mark { Steady, New, Changed, Vanished };
std::string_view markName(Mark mark);

struct CachedController {
    ControllerRecord record;  // the latest STATUS
    Mark mark = Mark::Steady;
    std::vector<std::string> changedKeys;  // what the latest change touched, "from" included
    std::int64_t markedAtMs = 0;
    std::int64_t firstSeenMs = 0;
    std::int64_t lastSeenMs = 0;
    int missedRounds = 0;  // discoveries in a row it did not answer
};

// How one discovery changed the picture.
struct RoundChanges {
    int added = 0;  // new, or back after vanishing
    int changed = 0;
    int vanished = 0;
};

// What the console knows of the LAN: every controller seen since it started, with the last
// STATUS of each and whether it is new, changed or gone. Marks fade after a while, so the
// table shows what happened lately, not since the start.
class ControllerCache {
  public:
    // A controller busy reading its state can miss one discovery window; two in a row is gone.
    static constexpr int kRoundsBeforeVanished = 2;
    static constexpr std::int64_t kMarkHoldMs = 30'000;

    // A whole discovery: who answered, and who did not.
    RoundChanges applyDiscovery(const Discovery& discovery, std::int64_t nowMs);
    // One controller's STATUS from a query, or from the check after an assignment.
    void applyStatus(const ControllerRecord& record, std::int64_t nowMs);

    // Every controller, sorted by MAC; marks older than the hold read as steady.
    std::vector<CachedController> snapshot(std::int64_t nowMs) const;
    const CachedController* find(const std::string& mac) const;

    std::uint64_t rounds() const { return rounds_; }
    // What the latest discovery found and said.
    const Discovery& lastDiscovery() const { return last_; }

  private:
    // The mark the record earned, or Steady.
    Mark update(const ControllerRecord& record, std::int64_t nowMs, bool startingPoint);

    std::map<std::string, CachedController> controllers_;  // by cacheKey
    std::uint64_t rounds_ = 0;
    Discovery last_;
};

// The key a controller is known by: its MAC, or its address when it could not read its MAC.
std::string cacheKey(const ControllerRecord& record);

}  // namespace krvctl
