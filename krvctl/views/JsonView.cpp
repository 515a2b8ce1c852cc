#include "krvctl/views/JsonView.h"

#include "krvctl/values/UtcClock.h"
#include "protocol/Wire.h"

namespace krvctl {

namespace {

Json acceptJson(const AckAnswer& ack) {
    return ack.delivery == Delivery::Answered ? Json(ack.accepted) : Json(nullptr);
}

Json checkJson(const Check& check, const std::optional<ControllerRecord>& before) {
    Json json = Json::object();
    json["requested"] = check.requested;
    json["before"] = before ? Json(before->value(check.key)) : Json(nullptr);
    json["reported"] = check.reported;
    json["result"] = std::string(resultName(check.result));
    json["note"] = check.note;
    return json;
}

std::string isoTime(std::int64_t wallMs) {
    const std::string clock = formatUtcClock(wallMs / 1000);
    char millis[8];
    std::snprintf(millis, sizeof millis, ".%03dZ", static_cast<int>(wallMs % 1000));
    return clock.substr(0, 4) + "-" + clock.substr(4, 2) + "-" + clock.substr(6, 2) + "T" +
           clock.substr(8, 2) + ":" + clock.substr(10, 2) + ":" + clock.substr(12, 2) + millis;
}

}  // namespace

Json controllerJson(const ControllerRecord& record) {
    Json json = Json::object();
    for (const Item& item : record.fields) {
        json[item.key] = item.value;
    }
    json["from"] = record.from;
    json["interface"] = record.interface;
    return json;
}

Json discoveryJson(const std::vector<ControllerRecord>& controllers) {
    Json list = Json::array();
    for (const ControllerRecord& record : controllers) {
        list.push_back(controllerJson(record));
    }
    return list;
}

Json assignJson(const std::string& mac, const AssignReport& report) {
    Json json = Json::object();
    json["mac"] = mac;
    json["accept"] = acceptJson(report.ack);
    json["from"] = report.ack.from;
    json["verified"] = report.verified;
    Json settings = Json::object();
    for (const Check& check : report.checks) {
        settings[check.key] = checkJson(check, report.before);
    }
    json["settings"] = settings;
    if (!report.problem.empty()) {
        json["problem"] = report.problem;
    }
    return json;
}

Json clearJson(const std::string& mac, const ClearReport& report) {
    Json json = Json::object();
    json["mac"] = mac;
    json["accept"] = acceptJson(report.ack);
    json["setting"] = report.setting;
    json["from"] = report.ack.from;
    json["verified"] = report.verified;
    if (report.check) {
        const Json check = checkJson(*report.check, report.before);
        for (const auto& [name, value] : check.items()) {
            if (name != "requested") {
                json[name] = value;
            }
        }
    }
    if (!report.problem.empty()) {
        json["problem"] = report.problem;
    }
    return json;
}

Json monitorJson(const MonitoredDatagram& monitored) {
    const DecodedDatagram& decoded = monitored.decoded;
    Json json = Json::object();
    json["time"] = isoTime(monitored.receivedAtMs);
    json["from"] = monitored.datagram.from;
    json["interface"] = monitored.datagram.interface;
    json["bytes"] = monitored.datagram.bytes.size();
    if (!decoded.isSetupDatagram) {
        json["command"] = nullptr;
        json["problem"] = decoded.problem;
        json["text"] = monitored.datagram.bytes;
        return json;
    }
    json["command"] = decoded.word;
    json["version"] = std::string(1, decoded.version);
    Json items = Json::array();
    for (const Item& item : decoded.items) {
        Json entry = {{"key", item.key}};
        entry["value"] = item.hasValue ? Json(item.value) : Json(nullptr);
        items.push_back(entry);
    }
    json["items"] = items;
    if (!decoded.problem.empty()) {
        json["problem"] = decoded.problem;
    }
    return json;
}

std::string dumpJson(const Json& json, int indent) {
    return json.dump(indent, ' ', false, Json::error_handler_t::replace);
}

}  // namespace krvctl
