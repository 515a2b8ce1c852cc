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

Mark ControllerCache::update(const ControllerRecord& record, std::int64_t nowMs,
                             bool startingPoint) {
    const auto [entry, added] = controllers_.try_emplace(cacheKey(record));
    CachedController& cached = entry->second;
    Mark earned = Mark::Steady;
    std::vector<std::string> changed;
    if (added) {
        cached.firstSeenMs = nowMs;
        // What the console found when it started is where the engineer starts from.
        earned = startingPoint ? Mark::Steady : Mark::New;
    } else if (cached.mark == Mark::Vanished) {
        earned = Mark::New;
    } else if (changed = changedKeys(cached.record, record); !changed.empty()) {
        earned = Mark::Changed;
    }
    if (earned != Mark::Steady || added) {
        cached.mark = earned;
        cached.markedAtMs = nowMs;
        cached.changedKeys = std::move(changed);
    }
    cached.record = record;
    cached.lastSeenMs = nowMs;
    cached.missedRounds = 0;
    return earned;
}

RoundChanges ControllerCache::applyDiscovery(const Discovery& discovery, std::int64_t nowMs) {
    const bool startingPoint = rounds_ == 0 && controllers_.empty();
    ++rounds_;
    last_ = discovery;
    RoundChanges changes;
    // A query that never left says nothing about who is there.
    if (discovery.delivery == Delivery::NotSent) {
        return changes;
    }
    std::set<std::string> answered;
    for (const ControllerRecord& record : discovery.controllers) {
        const Mark earned = update(record, nowMs, startingPoint);
        changes.added += earned == Mark::New ? 1 : 0;
        changes.changed += earned == Mark::Changed ? 1 : 0;
        answered.insert(cacheKey(record));
    }
    for (auto& [name, cached] : controllers_) {
        if (!answered.contains(name) && ++cached.missedRounds == kRoundsBeforeVanished) {
            cached.mark = Mark::Vanished;
            cached.markedAtMs = nowMs;
            cached.changedKeys.clear();
            ++changes.vanished;
        }
    }
    return changes;
}

void ControllerCache::applyStatus(const ControllerRecord& record, std::int64_t nowMs) {
    update(record, nowMs, false);
}

std::vector<CachedController> ControllerCache::snapshot(std::int64_t nowMs) const {
    std::vector<CachedController> list;
    list.reserve(controllers_.size());
    for (const auto& [name, cached] : controllers_) {
        list.push_back(cached);
        CachedController& shown = list.back();
        if (shown.mark != Mark::Vanished && nowMs - shown.markedAtMs > kMarkHoldMs) {
            shown.mark = Mark::Steady;
            shown.changedKeys.clear();
        }
    }
    return list;
}

const CachedController* ControllerCache::find(const std::string& mac) const {
    const auto entry = controllers_.find(mac);
    return entry == controllers_.end() ? nullptr : &entry->second;
}

}  // namespace krvctl
