#include "krvctl/web/ControllerCache.h"

#include <algorithm>
#include <array>
#include <set>

#include "protocol/Wire.h"

namespace krvctl {

namespace key = krv::wire::key;

namespace {

// Items that differ in every reply: a change in them is no news.
constexpr std::array<std::string_view, 5> kVolatileKeys = {
    key::kSeqid, key::kUtcclock, key::kDisplaytime, key::kUptime, key::kLoadavg};

bool isVolatile(std::string_view name) {
    return std::find(kVolatileKeys.begin(), kVolatileKeys.end(), name) != kVolatileKeys.end();
}

std::vector<std::string> changedKeys(const ControllerRecord& before,
                                     const ControllerRecord& after) {
    std::set<std::string> names;
    for (const auto* record : {&before, &after}) {
        for (const Item& item : record->fields) {
            if (!isVolatile(item.key)) {
                names.insert(item.key);
            }
        }
    }
    std::vector<std::string> changed;
    for (const std::string& name : names) {
        if (before.reports(name) != after.reports(name) ||
            before.value(name) != after.value(name)) {
            changed.push_back(name);
        }
    }
    if (before.from != after.from) {
        changed.emplace_back("from");
    }
    return changed;
}

// What a record costs to hold, near enough: its texts and the bookkeeping around them.
std::size_t recordBytes(const ControllerRecord& record) {
    constexpr std::size_t kPerText = 32;
    std::size_t bytes = sizeof(CachedController) + record.mac.size() + record.from.size();
    for (const Item& item : record.fields) {
        bytes += item.key.size() + item.value.size() + 2 * kPerText;
    }
    return bytes;
}

}  // namespace

std::string_view markName(Mark mark) {
    switch (mark) {
        case Mark::New:
            return "new";
        case Mark::Changed:
            return "changed";
        case Mark::Vanished:
            return "vanished";
        case Mark::Steady:
            break;
    }
    return "steady";
}

std::string cacheKey(const ControllerRecord& record) {
    return record.mac.empty() ? "(none) " + record.from : record.mac;
}

ControllerCache::ControllerCache(CacheLimits limits) : limits_(limits) {}

bool ControllerCache::makeRoom(std::size_t bytes) {
    while (!controllers_.empty() &&
           (controllers_.size() >= limits_.entries || bytes_ + bytes > limits_.bytes)) {
        // The one silent the longest; those that answered the latest discovery stay.
        auto oldest = controllers_.end();
        for (auto entry = controllers_.begin(); entry != controllers_.end(); ++entry) {
            if (entry->second.missedRounds > 0 &&
                (oldest == controllers_.end() ||
                 entry->second.lastSeenMs < oldest->second.lastSeenMs)) {
                oldest = entry;
            }
        }
        if (oldest == controllers_.end()) {
            return false;
        }
        bytes_ -= oldest->second.bytes;
        controllers_.erase(oldest);
        ++drops_.evicted;
    }
    return bytes <= limits_.bytes;
}

std::optional<Mark> ControllerCache::update(const ControllerRecord& record, std::int64_t nowMs,
                                            bool startingPoint) {
    const std::string name = cacheKey(record);
    const std::size_t bytes = recordBytes(record);
    auto entry = controllers_.find(name);
    const bool added = entry == controllers_.end();
    if (added) {
        if (!makeRoom(bytes)) {
            ++drops_.turnedAway;
            return std::nullopt;
        }
        entry = controllers_.try_emplace(name).first;
        entry->second.firstSeenMs = nowMs;
    }
    CachedController& cached = entry->second;
    Mark earned = Mark::Steady;
    std::vector<std::string> changed;
    if (!added) {
        changed = changedKeys(cached.record, record);
    }
    if (added) {
        // What the console found when it started is where the engineer starts from.
        earned = startingPoint ? Mark::Steady : Mark::New;
    } else if (cached.mark == Mark::Vanished) {
        earned = Mark::New;
    } else if (!changed.empty()) {
        earned = Mark::Changed;
    }
    if (added || !changed.empty()) {
        cached.revision = nextRevision_++;
    }
    if (earned != Mark::Steady || added) {
        cached.mark = earned;
        cached.markedAtMs = nowMs;
        cached.changedKeys =
            earned == Mark::Changed ? std::move(changed) : std::vector<std::string>{};
    }
    bytes_ = bytes_ - cached.bytes + bytes;
    cached.bytes = bytes;
    cached.record = record;
    cached.lastSeenMs = nowMs;
    cached.missedRounds = 0;
    return earned;
}

void ControllerCache::forgetVanished(std::int64_t nowMs) {
    for (auto entry = controllers_.begin(); entry != controllers_.end();) {
        const CachedController& cached = entry->second;
        if (cached.mark == Mark::Vanished &&
            nowMs - cached.lastSeenMs > limits_.forgetVanishedAfterMs) {
            bytes_ -= cached.bytes;
            entry = controllers_.erase(entry);
            ++drops_.forgotten;
        } else {
            ++entry;
        }
    }
}

RoundChanges ControllerCache::applyDiscovery(const Discovery& discovery, std::int64_t nowMs) {
    const bool startingPoint = rounds_ == 0 && controllers_.empty();
    ++rounds_;
    last_.delivery = discovery.delivery;
    last_.problem = discovery.problem;
    last_.dropped = discovery.dropped;
    last_.conflicts.assign(
        discovery.conflicts.begin(),
        discovery.conflicts.begin() +
            static_cast<std::ptrdiff_t>(std::min(discovery.conflicts.size(), kConflictsKept)));
    lastAnswered_ = discovery.controllers.size();
    RoundChanges changes;
    // A query that never left says nothing about who is there.
    if (discovery.delivery == Delivery::NotSent) {
        return changes;
    }
    // Everyone is one round further from its last answer, until its answer in this round.
    for (auto& [name, cached] : controllers_) {
        ++cached.missedRounds;
    }
    // Those already known first: a stranger that needs room then finds only the silent ones.
    for (const bool known : {true, false}) {
        for (const ControllerRecord& record : discovery.controllers) {
            if (controllers_.contains(cacheKey(record)) != known) {
                continue;
            }
            const auto earned = update(record, nowMs, startingPoint);
            changes.added += earned == Mark::New ? 1 : 0;
            changes.changed += earned == Mark::Changed ? 1 : 0;
        }
    }
    for (auto& [name, cached] : controllers_) {
        if (cached.missedRounds == kRoundsBeforeVanished) {
            cached.mark = Mark::Vanished;
            cached.markedAtMs = nowMs;
            cached.changedKeys.clear();
            ++changes.vanished;
        }
    }
    forgetVanished(nowMs);
    return changes;
}

void ControllerCache::applyStatus(const ControllerRecord& record, std::int64_t nowMs) {
    update(record, nowMs, false);
}

namespace {

bool faded(const CachedController& cached, std::int64_t nowMs) {
    return cached.mark != Mark::Vanished && cached.mark != Mark::Steady &&
           nowMs - cached.markedAtMs > ControllerCache::kMarkHoldMs;
}

}  // namespace

void ControllerCache::forEach(std::int64_t nowMs,
                              const std::function<void(const CachedController&)>& visit) const {
    for (const auto& [name, cached] : controllers_) {
        if (faded(cached, nowMs)) {
            CachedController shown = cached;
            shown.mark = Mark::Steady;
            shown.changedKeys.clear();
            visit(shown);
        } else {
            visit(cached);
        }
    }
}

std::optional<CachedController> ControllerCache::shown(const std::string& key,
                                                       std::int64_t nowMs) const {
    const CachedController* cached = find(key);
    if (cached == nullptr) {
        return std::nullopt;
    }
    CachedController copy = *cached;
    if (faded(copy, nowMs)) {
        copy.mark = Mark::Steady;
        copy.changedKeys.clear();
    }
    return copy;
}

const CachedController* ControllerCache::find(const std::string& key) const {
    const auto entry = controllers_.find(key);
    return entry == controllers_.end() ? nullptr : &entry->second;
}

}  // namespace krvctl
