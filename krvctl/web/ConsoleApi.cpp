#include "krvctl/web/ConsoleApi.h"

#include <charconv>

#include "krvctl/operations/NetworkGuard.h"
#include "krvctl/operations/Operations.h"
#include "krvctl/values/Assignment.h"
#include "krvctl/values/MacAddress.h"
#include "krvctl/values/Printable.h"
#include "krvctl/values/UtcClock.h"
#include "krvctl/views/JsonView.h"
#include "krvctl/web/ConsolePage.h"
#include "protocol/Wire.h"

namespace krvctl {

namespace wire = krv::wire;

namespace {

enum class Route {
    Page,
    Session,
    Controllers,
    Controller,
    Events,
    Discover,
    Query,
    Check,
    Assign,
    Clear,
    Unknown
};

struct Routed {
    Route route = Route::Unknown;
    std::string method;  // the one it takes
    std::string mac;     // as written in the path
};

constexpr std::string_view kControllersPath = "/api/controllers";

Routed routeOf(std::string_view path) {
    if (findPageFile(path) != nullptr) {
        return {Route::Page, "GET", {}};
    }
    if (path == "/api/session") {
        return {Route::Session, "GET", {}};
    }
    if (path == "/api/events") {
        return {Route::Events, "GET", {}};
    }
    if (path == "/api/discover") {
        return {Route::Discover, "POST", {}};
    }
    if (path == kControllersPath) {
        return {Route::Controllers, "GET", {}};
    }
    if (!path.starts_with(std::string(kControllersPath) + "/")) {
        return {};
    }
    const std::string_view rest = path.substr(kControllersPath.size() + 1);
    const std::size_t slash = rest.find('/');
    const std::string mac(rest.substr(0, slash));
    if (mac.empty()) {
        return {};
    }
    if (slash == std::string_view::npos) {
        return {Route::Controller, "GET", mac};
    }
    const std::string_view action = rest.substr(slash + 1);
    for (const auto& [name, route] : {std::pair{"query", Route::Query},
                                      {"check", Route::Check},
                                      {"assign", Route::Assign},
                                      {"clear", Route::Clear}}) {
        if (action == name) {
            return {route, "POST", mac};
        }
    }
    return {};
}

// Nothing the console serves may be framed, sniffed as another type or cached, and the page
// runs only its own script.
const std::vector<std::pair<std::string, std::string>> kSafetyHeaders = {
    {"Content-Security-Policy",
     "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
     "img-src 'self' data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'"},
    {"X-Frame-Options", "DENY"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
    {"Cache-Control", "no-store"},
};

HttpResponse jsonResponse(int status, const Json& body) {
    return {status, "application/json", dumpJson(body, -1), {}};
}

HttpResponse errorResponse(int status, const std::string& message, Json body = Json::object()) {
    body["error"] = message;
    return jsonResponse(status, body);
}

Json problemsJson(const std::vector<SettingProblem>& problems) {
    Json list = Json::array();
    for (const SettingProblem& problem : problems) {
        list.push_back({{"key", problem.key}, {"problem", problem.problem}});
    }
    return list;
}

std::string describe(const SettingProblem& problem) {
    return problem.key.empty() ? problem.problem : problem.key + ": " + problem.problem;
}

std::optional<Json> objectOf(const std::string& body) {
    Json json = Json::parse(body, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        return std::nullopt;
    }
    return json;
}

constexpr const char* kNotSettings = "the body is a JSON object of settings";

// {"KEY": "VALUE", ...} checked as the command line checks KEY=VALUE, in the order given; a
// member that is not text is one more problem. Nothing when the body is no JSON object.
std::optional<AssignmentCheck> checkedBody(const std::string& body) {
    const auto object = objectOf(body);
    if (!object) {
        return std::nullopt;
    }
    std::vector<Setting> settings;
    std::vector<SettingProblem> notText;
    for (const auto& [key, value] : object->items()) {
        if (value.is_string()) {
            settings.push_back({key, value.get<std::string>()});
        } else {
            notText.push_back({key, "the value is text, in quotes"});
        }
    }
    // An object of nothing but wrong members is not an empty assignment.
    AssignmentCheck checked =
        settings.empty() && !notText.empty() ? AssignmentCheck{} : checkSettings(settings);
    checked.problems.insert(checked.problems.begin(), notText.begin(), notText.end());
    return checked;
}

Json entryJson(const CachedController& cached) {
    Json json = Json::object();
    json["key"] = cacheKey(cached.record);
    json["mac"] = cached.record.mac;
    json["from"] = cached.record.from;
    json["mark"] = std::string(markName(cached.mark));
    json["changedKeys"] = cached.changedKeys;
    json["firstSeen"] = cached.firstSeenMs;
    json["lastSeen"] = cached.lastSeenMs;
    json["missedRounds"] = cached.missedRounds;
    const auto& offset = cached.record.clockOffsetSeconds;
    json["clockOffset"] = offset ? Json(formatOffset(*offset)) : Json(nullptr);
    json["clockOffsetSeconds"] = offset ? Json(*offset) : Json(nullptr);
    json["status"] = controllerJson(cached.record);
    return json;
}

std::string settingsText(const Assignment& assignment) {
    std::string text;
    for (const Setting& setting : assignment.settings) {
        text += (text.empty() ? "" : " ") + setting.key + "=" + setting.value;
    }
    return text;
}

template <std::size_t N>
Json keysJson(const std::array<std::string_view, N>& keys) {
    Json list = Json::array();
    for (const std::string_view key : keys) {
        list.push_back(std::string(key));
    }
    return list;
}

}  // namespace

int httpStatusFor(ExitStatus status) {
    switch (status) {
        case kDone:
            return 200;
        case kRefused:
            return 409;
        case kNoAnswer:
            return 504;
        case kNotTakenEffect:
            return 502;
        case kUsage:
            return 400;
        case kUnavailable:
            break;
    }
    return 503;
}

ConsoleApi::ConsoleApi(Endpoint& lan, Clock& clock, std::function<std::uint64_t()> random,
                       ConsoleSettings settings, std::function<std::int64_t()> wallClockMs)
    : settings_(std::move(settings)),
      wallClockMs_(std::move(wallClockMs)),
      guard_(settings_.listen, settings_.token),
      log_(wallClockMs_),
      endpoint_(lan, log_),
      client_(endpoint_, clock, std::move(random), settings_.timing),
      worker_([this] { discoverRound(false); }, settings_.refreshInterval) {}

HttpResponse ConsoleApi::handle(const HttpRequest& request) {
    const std::string* host = request.header("Host");
    const std::string* origin = request.header("Origin");
    const std::string* token = request.header(kTokenHeader);
    const GuardedRequest guarded{request.method, host ? *host : std::string(),
                                 origin ? std::optional<std::string>(*origin) : std::nullopt,
                                 token ? *token : ""};
    HttpResponse response;
    if (const auto refusal = guard_.refusal(guarded)) {
        log_.add(EventKind::Refused, request.remoteAddress,
                 request.method + " " + request.path + ": " + *refusal);
        response = errorResponse(403, "refused: " + printable(*refusal));
    } else {
        response = route(request);
    }
    response.headers.insert(response.headers.end(), kSafetyHeaders.begin(), kSafetyHeaders.end());
    return response;
}

HttpResponse ConsoleApi::route(const HttpRequest& request) {
    const Routed routed = routeOf(request.path);
    const std::string method = request.method == "HEAD" ? "GET" : request.method;
    if (routed.route == Route::Unknown) {
        return errorResponse(404, "no such page: " + printable(request.path));
    }
    if (method != routed.method) {
        HttpResponse response =
            errorResponse(405, printable(request.path) + " takes " + routed.method + " only");
        response.headers.emplace_back("Allow", routed.method);
        return response;
    }
    switch (routed.route) {
        case Route::Page: {
            const PageFile* file = findPageFile(request.path);
            return {200, std::string(file->contentType), std::string(file->body), {}};
        }
        case Route::Session:
            return session();
        case Route::Controllers:
            return controllers();
        case Route::Events:
            return events(request);
        case Route::Discover:
            return discover();
        default:
            break;
    }
    const auto mac = normalizeMac(routed.mac);
    if (!mac) {
        return errorResponse(400, "MAC '" + printable(routed.mac) + "': " + mac.problem());
    }
    switch (routed.route) {
        case Route::Controller:
            return controller(mac.value());
        case Route::Query:
            return query(mac.value());
        case Route::Check:
            return check(mac.value(), request.body);
        case Route::Assign:
            return assign(mac.value(), request.body);
        default:
            return clear(mac.value(), request.body);
    }
}

HttpResponse ConsoleApi::session() const {
    Json json = Json::object();
    json["token"] = settings_.token;
    json["version"] = KRV_VERSION;
    json["listen"] = settings_.listen.text();
    json["exposed"] = !settings_.listen.loopback();
    json["interface"] = settings_.interface;
    json["windowMs"] = settings_.timing.timeout.count();
    json["refreshMs"] = settings_.refreshInterval.count();
    json["pauseSeconds"] = wire::kPauseAfterAssignSeconds;
    json["assignKeys"] = keysJson(wire::kAssignKeys);
    json["clearKeys"] = keysJson(wire::kClearKeys);
    return jsonResponse(200, json);
}

HttpResponse ConsoleApi::controllers(int status, const std::string& error) {
    Json json = Json::object();
    Json list = Json::array();
    {
        const std::lock_guard lock(cacheMutex_);
        for (const CachedController& cached : cache_.snapshot(wallClockMs_())) {
            list.push_back(entryJson(cached));
        }
        const Discovery& last = cache_.lastDiscovery();
        json["rounds"] = cache_.rounds();
        json["answered"] = last.controllers.size();
        json["problem"] = last.problem;
        json["dropped"] = last.dropped;
        json["conflicts"] = last.conflicts;
    }
    json["discovering"] = discovering_.load();
    json["controllers"] = list;
    if (!error.empty()) {
        json["error"] = error;
    }
    return jsonResponse(status, json);
}

HttpResponse ConsoleApi::controller(const std::string& mac) {
    const std::lock_guard lock(cacheMutex_);
    for (const CachedController& cached : cache_.snapshot(wallClockMs_())) {
        if (cached.record.mac == mac) {
            return jsonResponse(200, entryJson(cached));
        }
    }
    return errorResponse(404, mac + " has not answered this console");
}

HttpResponse ConsoleApi::events(const HttpRequest& request) const {
    std::uint64_t after = 0;
    if (const std::string* text = request.parameter("after")) {
        const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), after);
        if (error != std::errc() || end != text->data() + text->size()) {
            return errorResponse(400, "after is the number of the last event seen");
        }
    }
    Json list = Json::array();
    for (const ConsoleEvent& event : log_.after(after)) {
        list.push_back({{"seq", event.sequence},
                        {"time", event.timeMs},
                        {"kind", std::string(eventKindName(event.kind))},
                        {"peer", event.peer},
                        {"text", event.text}});
    }
    return jsonResponse(200, {{"events", list}});
}

Discovery ConsoleApi::discoverRound(bool requested) {
    discovering_ = true;
    endpoint_.record(requested);
    Discovery found = client_.discover();
    endpoint_.record(false);
    RoundChanges changes;
    {
        const std::lock_guard lock(cacheMutex_);
        changes = cache_.applyDiscovery(found, wallClockMs_());
    }
    discovering_ = false;
    const bool news = changes.added + changes.changed + changes.vanished > 0;
    if (found.delivery == Delivery::NotSent) {
        log_.add(EventKind::Note, {}, "discovery: cannot send the query: " + found.problem);
    } else if (requested || news) {
        log_.add(EventKind::Note, {},
                 "discovery: " + std::to_string(found.controllers.size()) + " answered, " +
                     std::to_string(changes.added) + " new, " + std::to_string(changes.changed) +
                     " changed, " + std::to_string(changes.vanished) + " vanished");
    }
    for (const std::string& conflict : found.conflicts) {
        log_.add(EventKind::Note, {}, "warning: " + conflict);
    }
    return found;
}

void ConsoleApi::remember(const ControllerRecord& record) {
    const std::lock_guard lock(cacheMutex_);
    cache_.applyStatus(record, wallClockMs_());
}

bool ConsoleApi::onLan(const std::function<void()>& job) {
    return worker_.run([&] {
        endpoint_.record(true);
        job();
        endpoint_.record(false);
    });
}

HttpResponse ConsoleApi::discover() {
    Discovery found;
    if (!worker_.run([&] { found = discoverRound(true); })) {
        return errorResponse(503, "the console is stopping");
    }
    if (const auto failure = deliveryFailure(found.delivery, found.problem, "query")) {
        return controllers(httpStatusFor(failure->first), failure->second);
    }
    if (found.controllers.empty()) {
        return controllers(httpStatusFor(kNoAnswer), "no controller answered in time");
    }
    return controllers();
}

HttpResponse ConsoleApi::query(const std::string& mac) {
    QueryAnswer answer;
    if (!onLan([&] {
            answer = client_.query(mac);
            if (answer.record) {
                remember(*answer.record);
            }
        })) {
        return errorResponse(503, "the console is stopping");
    }
    if (const auto failure = deliveryFailure(answer.delivery, answer.problem, "query")) {
        return errorResponse(httpStatusFor(failure->first), failure->second);
    }
    return controller(mac);
}

HttpResponse ConsoleApi::check(const std::string& mac, const std::string& body) {
    const auto checked = checkedBody(body);
    if (!checked) {
        return errorResponse(400, kNotSettings);
    }
    std::vector<std::string> risks;
    bool known = false;
    if (checked->problems.empty()) {
        const std::lock_guard lock(cacheMutex_);
        const CachedController* current = cache_.find(mac);
        known = current != nullptr;
        risks = cutOffRisks(checked->assignment, known ? &current->record : nullptr);
    }
    return jsonResponse(200, {{"ok", checked->problems.empty() && risks.empty()},
                              {"problems", problemsJson(checked->problems)},
                              {"risks", risks},
                              {"currentKnown", known}});
}

HttpResponse ConsoleApi::assign(const std::string& mac, const std::string& body) {
    const auto checked = checkedBody(body);
    if (!checked) {
        return errorResponse(400, kNotSettings);
    }
    const std::vector<SettingProblem>& problems = checked->problems;
    if (!problems.empty()) {
        log_.add(EventKind::Note, {}, "not sent to " + mac + ": " + describe(problems.front()));
        return errorResponse(
            httpStatusFor(kUsage), describe(problems.front()),
            {{"mac", mac}, {"exit", kUsage}, {"problems", problemsJson(problems)}});
    }
    AssignReport report;
    if (!onLan([&] {
            log_.add(EventKind::Note, {},
                     "assign to " + mac + ": " + settingsText(checked->assignment));
            report = assignAndVerify(client_, mac, checked->assignment, {});
            if (report.after) {
                remember(*report.after);
            }
        })) {
        return errorResponse(503, "the console is stopping");
    }
    Json json = assignJson(mac, report);
    json["exit"] = report.status;
    json["risks"] = report.risks;
    if (report.status != kDone) {
        // The guard's own message speaks of the command line's --force, which the console
        // does not offer.
        std::string error = report.problem;
        if (!report.risks.empty()) {
            error = "refusing to assign: it would likely cut " + mac + " off the network";
        }
        json["error"] = error;
        log_.add(EventKind::Note, {}, mac + ": " + error);
    } else {
        log_.add(EventKind::Note, {}, mac + ": assignment accepted and verified");
    }
    return jsonResponse(httpStatusFor(report.status), json);
}

HttpResponse ConsoleApi::clear(const std::string& mac, const std::string& body) {
    const auto object = objectOf(body);
    if (!object || !object->contains("setting") || !(*object)["setting"].is_string()) {
        return errorResponse(400, "the body is {\"setting\": NAME}");
    }
    const auto setting = checkClearSetting((*object)["setting"].get<std::string>());
    if (!setting) {
        return errorResponse(httpStatusFor(kUsage), setting.problem(),
                             {{"mac", mac}, {"exit", kUsage}});
    }
    ClearReport report;
    if (!onLan([&] {
            log_.add(EventKind::Note, {}, "clear " + setting.value() + " of " + mac);
            report = clearAndVerify(client_, mac, setting.value(), true);
            if (report.after) {
                remember(*report.after);
            }
        })) {
        return errorResponse(503, "the console is stopping");
    }
    Json json = clearJson(mac, report);
    json["exit"] = report.status;
    if (report.status != kDone) {
        json["error"] = report.problem;
    }
    log_.add(EventKind::Note, {},
             mac + ": " + (report.status == kDone ? "cleared " + setting.value() : report.problem));
    return jsonResponse(httpStatusFor(report.status), json);
}

}  // namespace krvctl
