#include "krvctl/lan/ControllerRecord.h"

#include <algorithm>

#include "krvctl/values/MacAddress.h"
#include "krvctl/values/UtcClock.h"
#include "protocol/Wire.h"

namespace krvctl {

namespace {

std::int64_t floorDiv(std::int64_t value, std::int64_t divisor) {
    return value / divisor - (value % divisor < 0 ? 1 : 0);
}

}  // namespace

std::string ControllerRecord::value(std::string_view key) const {
    const auto item =
        std::find_if(fields.begin(), fields.end(), [key](const Item& i) { return i.key == key; });
    return item == fields.end() ? std::string() : item->value;
}

bool ControllerRecord::reports(std::string_view key) const {
    return std::any_of(fields.begin(), fields.end(), [key](const Item& i) { return i.key == key; });
}

std::optional<ControllerRecord> recordFromStatus(const DecodedDatagram& status, std::string from,
                                                 std::int64_t receivedAtMs, std::string interface) {
    if (!status.isSetupDatagram || status.command != Command::Status || !status.problem.empty()) {
        return std::nullopt;
    }
    // A controller that cannot read its own MAC reports it empty; a reply with no MAC at all, or
    // one that is no MAC, comes from something else and could be mistaken for a controller.
    const std::string* mac = status.find(krv::wire::key::kMac);
    if (mac == nullptr || (!mac->empty() && !normalizeMac(*mac))) {
        return std::nullopt;
    }
    ControllerRecord record;
    record.mac = *mac;
    record.from = std::move(from);
    record.interface = std::move(interface);
    record.fields = status.items;
    record.receivedAtMs = receivedAtMs;
    if (const std::string* clock = status.find(krv::wire::key::kUtcclock)) {
        if (const auto controllerSeconds = parseUtcClock(*clock)) {
            // The controller cuts its clock to the whole second: taken from the middle of
            // that second, two clocks that agree come out +0s rather than -1s half the time.
            const std::int64_t controllerMs = controllerSeconds.value() * 1000 + 500;
            record.clockOffsetSeconds = floorDiv(controllerMs - receivedAtMs + 499, 1000);
        }
    }
    return record;
}

}  // namespace krvctl
