#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
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
    // Another number whenever the values an engineer acts on change, never the same twice in
    // one console's run: a page that shows one revision knows it shows the current values.
    std::uint64_t revision = 0;
    std::size_t bytes = 0;  // what its record holds
};

// How one discovery changed the picture.
struct RoundChanges {
    int added = 0;  // new, or back after vanishing
    int changed = 0;
    int vanished = 0;
};

struct CacheLimits {
    std::size_t entries = 1024;
    std::size_t bytes = 8 * 1024 * 1024;  // a LAN of long replies fills this before the count
    std::int64_t forgetVanishedAfterMs = 30 * 60'000;
};

// What the cache let go of since the console started, so the table never silently misleads.
struct CacheDrops {
    std::uint64_t forgotten = 0;   // vanished for longer than the limit
    std::uint64_t evicted = 0;     // made room for a new controller: silent the longest
    std::uint64_t turnedAway = 0;  // new, but every place held by one that answers
};

// What the console knows of the LAN: the controllers seen lately, with the last STATUS of each
// and whether it is new, changed or gone. Marks fade after a while, so the table shows what
// happened lately, not since the start. Bounded: whatever the LAN sends, it holds at most the
// limits' entries and bytes; a controller that answered the latest discovery is never pushed
// out by a stranger.
class ControllerCache {
  public:
    // A controller busy reading its state can miss one discovery window; two in a row is gone.
    static constexpr int kRoundsBeforeVanished = 2;
    static constexpr std::int64_t kMarkHoldMs = 30'000;

    explicit ControllerCache(CacheLimits limits = {});

    // A whole discovery: who answered, and who did not.
    RoundChanges applyDiscovery(const Discovery& discovery, std::int64_t nowMs);
    // One controller's STATUS from a query, or from the check after an assignment.
    void applyStatus(const ControllerRecord& record, std::int64_t nowMs);

    // Every controller in key order, as it is shown now; nothing is copied.
    void forEach(std::int64_t nowMs,
                 const std::function<void(const CachedController&)>& visit) const;
    // One controller by its key, as it is shown now.
    std::optional<CachedController> shown(const std::string& key, std::int64_t nowMs) const;
    const CachedController* find(const std::string& key) const;

    std::size_t size() const { return controllers_.size(); }
    std::size_t bytes() const { return bytes_; }
    const CacheLimits& limits() const { return limits_; }
    const CacheDrops& drops() const { return drops_; }
    std::uint64_t rounds() const { return rounds_; }
    // What the latest discovery said, without its controllers, and how many answered it.
    const Discovery& lastDiscovery() const { return last_; }
    std::size_t lastAnswered() const { return lastAnswered_; }

    // Conflicts of one discovery kept for the table at most.
    static constexpr std::size_t kConflictsKept = 20;

  private:
    // The mark the record earned, or Steady; nothing when there was no room for it.
    std::optional<Mark> update(const ControllerRecord& record, std::int64_t nowMs,
                               bool startingPoint);
    // Room for one more record of that size: false when only controllers that answer are left.
    bool makeRoom(std::size_t bytes);
    void forgetVanished(std::int64_t nowMs);

    CacheLimits limits_;
    std::map<std::string, CachedController> controllers_;  // by cacheKey
    std::size_t bytes_ = 0;
    std::uint64_t nextRevision_ = 1;
    std::uint64_t rounds_ = 0;
    CacheDrops drops_;
    Discovery last_;
    std::size_t lastAnswered_ = 0;
};

// The key a controller is known by: its MAC, or its address when it could not read its MAC.
std::string cacheKey(const ControllerRecord& record);

}  // namespace krvctl
