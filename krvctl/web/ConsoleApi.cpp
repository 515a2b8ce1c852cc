#include "krvctl/web/ConsoleApi.h"

#include <charconv>
#include <set>

#include "krvctl/fleet/PlanExport.h"
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
    PlanExport,
    PlanOpen,
    PlanApply,
    PlanProgress,
    PlanStop,
    PlanReport,
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
    for (const auto& [fleetPath, route, method] :
         {std::tuple{"/api/plan/export.csv", Route::PlanExport, "GET"},
          {"/api/plan", Route::PlanOpen, "POST"},
          {"/api/plan/apply", Route::PlanApply, "POST"},
          {"/api/plan/progress", Route::PlanProgress, "GET"},
          {"/api/plan/stop", Route::PlanStop, "POST"},
          {"/api/plan/report.csv", Route::PlanReport, "GET"}}) {
        if (path == fleetPath) {
            return {route, method, {}};
        }
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

// A body that should be a JSON object: the object, or nothing and the key given twice if that
// was the fault. A repeated key is refused rather than letting the last one win unseen, as
// the command line refuses it.
struct ParsedBody {
    std::optional<Json> object;
    std::string repeatedKey;
};

ParsedBody parseBody(const std::string& body) {
    std::vector<std::set<std::string>> open;
    std::string repeated;
    const Json::parser_callback_t notice = [&](int, Json::parse_event_t event, Json& parsed) {
        if (event == Json::parse_event_t::object_start) {
            open.emplace_back();
        } else if (event == Json::parse_event_t::object_end && !open.empty()) {
            open.pop_back();
        } else if (event == Json::parse_event_t::key && !open.empty() && repeated.empty() &&
                   !open.back().insert(parsed.get<std::string>()).second) {
            repeated = parsed.get<std::string>();
        }
        return true;
    };
    Json json = Json::parse(body, notice, false);
    if (!repeated.empty()) {
        return {std::nullopt, printable(repeated)};
    }
    if (json.is_discarded() || !json.is_object()) {
        return {};
    }
    return {std::move(json), {}};
}

constexpr const char* kNotSettings = "the body is a JSON object of settings";

// The answer to a body that is no usable JSON object: what it should be, or the key repeated.
HttpResponse badBody(const ParsedBody& parsed, const std::string& expected) {
    if (parsed.repeatedKey.empty()) {
        return errorResponse(400, expected);
    }
    const std::string problem = parsed.repeatedKey + " is given twice";
    return errorResponse(
        400, problem,
        {{"problems", Json::array({{{"key", parsed.repeatedKey}, {"problem", problem}}})}});
}

// {"KEY": "VALUE", ...} checked as the command line checks KEY=VALUE, in the order given; a
// member that is not text is one more problem.
AssignmentCheck checkedSettings(const Json& object) {
    std::vector<Setting> settings;
    std::vector<SettingProblem> notText;
    for (const auto& [key, value] : object.items()) {
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

// A change's body and the revision of the controller the page showed, if it said.
struct ChangeRequest {
    Json body;
    std::optional<std::uint64_t> shown;
};

// The answer that refuses the request, or nothing with change filled in. The revision comes
// as an If-Match entity tag: "17", W/"17" or 17.
std::optional<HttpResponse> readChange(const HttpRequest& request, const std::string& expected,
                                       ChangeRequest& change) {
    ParsedBody parsed = parseBody(request.body);
    if (!parsed.object) {
        return badBody(parsed, expected);
    }
    change.body = std::move(*parsed.object);
    const std::string* header = request.header("If-Match");
    if (header == nullptr) {
        return std::nullopt;
    }
    std::string_view text = *header;
    if (text.starts_with("W/")) {
        text.remove_prefix(2);
    }
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        text = text.substr(1, text.size() - 2);
    }
    std::uint64_t revision = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), revision);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return errorResponse(400, "If-Match holds the revision the page showed, in quotes");
    }
    change.shown = revision;
    return std::nullopt;
}

std::string etagOf(std::uint64_t revision) {
    std::string tag = std::to_string(revision);
    tag.insert(tag.begin(), '"');
    tag += '"';
    return tag;
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
      log_(wallClockMs_, settings_.log),
      endpoint_(lan, log_),
      client_(endpoint_, clock, std::move(random), settings_.timing),
      cache_(settings_.cache),
      fleet_([this] { return discoverRound(true); }),
      worker_([this] { discoverRound(false); }, settings_.refreshInterval, settings_.lanQueue) {
    endpoint_.interruptWhen([this] { return fleet_.stopRequested(); });
}

std::size_t ConsoleApi::bodyLimit(const HttpRequest& head, std::size_t standard) {
    return head.path == "/api/plan" ? std::max(standard, kPlanUploadBytes) : standard;
}

void ConsoleApi::showConnections(std::function<HttpCounters()> counters) {
    connections_ = std::move(counters);
}

namespace {

HttpResponse safe(HttpResponse response) {
    response.headers.insert(response.headers.end(), kSafetyHeaders.begin(), kSafetyHeaders.end());
    return response;
}

}  // namespace

std::optional<HttpResponse> ConsoleApi::screen(const HttpRequest& head) {
    const std::string* host = head.header("Host");
    const std::string* origin = head.header("Origin");
    const std::string* token = head.header(kTokenHeader);
    const GuardedRequest guarded{head.method, host ? *host : std::string(),
                                 origin ? std::optional<std::string>(*origin) : std::nullopt,
                                 token ? *token : ""};
    const auto refusal = guard_.refusal(guarded);
    if (!refusal) {
        return std::nullopt;
    }
    log_.refuse(head.remoteAddress, refusal->rule,
                head.method + " " + head.path + ": " + refusal->text);
    return safe(errorResponse(403, "refused: " + printable(refusal->text)));
}

void ConsoleApi::handle(const HttpRequest& request, HttpReply reply) {
    // The server screens the header already; a caller without a server gets the same guard.
    if (auto refused = screen(request)) {
        reply(std::move(*refused));
        return;
    }
    route(request,
          [reply = std::move(reply)](HttpResponse response) { reply(safe(std::move(response))); });
}

HttpResponse ConsoleApi::malformed(const std::string& remoteAddress, int status,
                                   const std::string& problem) {
    log_.refuse(remoteAddress, "HTTP " + std::to_string(status), problem);
    return safe(errorResponse(status, problem));
}

void ConsoleApi::route(const HttpRequest& request, const HttpReply& reply) {
    const Routed routed = routeOf(request.path);
    const std::string method = request.method == "HEAD" ? "GET" : request.method;
    if (routed.route == Route::Unknown) {
        reply(errorResponse(404, "no such page: " + printable(request.path)));
        return;
    }
    if (method != routed.method) {
        HttpResponse response =
            errorResponse(405, printable(request.path) + " takes " + routed.method + " only");
        response.headers.emplace_back("Allow", routed.method);
        reply(std::move(response));
        return;
    }
    switch (routed.route) {
        case Route::Page: {
            const PageFile* file = findPageFile(request.path);
            reply({200, std::string(file->contentType), std::string(file->body), {}});
            return;
        }
        case Route::Session:
            reply(session());
            return;
        case Route::Controllers:
            reply(controllers());
            return;
        case Route::Events:
            reply(events(request));
            return;
        case Route::Discover:
            discover(reply);
            return;
        case Route::PlanExport:
        case Route::PlanOpen:
        case Route::PlanApply:
        case Route::PlanProgress:
        case Route::PlanStop:
        case Route::PlanReport:
            fleet(static_cast<int>(routed.route), request, reply);
            return;
        default:
            break;
    }
    const auto mac = normalizeMac(routed.mac);
    if (!mac) {
        reply(errorResponse(400, "MAC '" + printable(routed.mac) + "': " + mac.problem()));
        return;
    }
    switch (routed.route) {
        case Route::Controller:
            reply(controller(mac.value()));
            return;
        case Route::Query:
            onLan(reply, [this, mac = mac.value()] { return query(mac); });
            return;
        case Route::Check:
            reply(check(mac.value(), request.body));
            return;
        case Route::Assign:
            assign(mac.value(), request, reply);
            return;
        default:
            clear(mac.value(), request, reply);
            return;
    }
}

HttpResponse ConsoleApi::session() const {
    Json json = Json::object();
    json["token"] = settings_.token;
    json["version"] = KRV_VERSION;
    json["listen"] = settings_.listen.text();
    json["exposed"] = !settings_.listen.loopback();
    // "interface" as before: what --interface named, comma-separated; "interfaces": what is
    // searched now, which follows interfaces that come and go.
    std::string named;
    for (const std::string& interface : settings_.interfaces) {
        named += (named.empty() ? "" : ",") + interface;
    }
    json["interface"] = named;
    json["interfaces"] = endpoint_.interfaces();
    json["windowMs"] = settings_.timing.timeout.count();
    json["refreshMs"] = settings_.refreshInterval.count();
    json["pauseSeconds"] = wire::kPauseAfterAssignSeconds;
    json["assignKeys"] = keysJson(wire::kAssignKeys);
    json["clearKeys"] = keysJson(wire::kClearKeys);
    return jsonResponse(200, json);
}

Json ConsoleApi::entryJson(const CachedController& cached) const {
    Json json = Json::object();
    json["key"] = cacheKey(cached.record);
    json["mac"] = cached.record.mac;
    json["from"] = cached.record.from;
    json["interface"] = cached.record.interface;
    json["mark"] = std::string(markName(cached.mark));
    json["changedKeys"] = cached.changedKeys;
    json["firstSeen"] = cached.firstSeenMs;
    json["lastSeen"] = cached.lastSeenMs;
    json["missedRounds"] = cached.missedRounds;
    json["revision"] = cached.revision;
    const auto& offset = cached.record.clockOffsetSeconds;
    json["clockOffset"] = offset ? Json(formatOffset(*offset)) : Json(nullptr);
    json["clockOffsetSeconds"] = offset ? Json(*offset) : Json(nullptr);
    json["status"] = controllerJson(cached.record);
    return json;
}

HttpResponse ConsoleApi::controllers(int status, const std::string& error) {
    Json json = Json::object();
    Json list = Json::array();
    {
        const std::lock_guard lock(cacheMutex_);
        const Discovery& last = cache_.lastDiscovery();
        json["rounds"] = cache_.rounds();
        json["answered"] = cache_.lastAnswered();
        json["problem"] = last.problem;
        json["dropped"] = last.dropped;
        json["conflicts"] = last.conflicts;
        // Those still there first, so that a LAN of strangers cannot crowd them out of the list.
        std::size_t bytes = 0;
        std::size_t omitted = 0;
        for (const bool vanished : {false, true}) {
            cache_.forEach(wallClockMs_(), [&](const CachedController& cached) {
                if ((cached.mark == Mark::Vanished) != vanished) {
                    return;
                }
                Json entry = entryJson(cached);
                const std::size_t size = dumpJson(entry, -1).size();
                if (bytes + size > settings_.listBytes) {
                    ++omitted;
                    return;
                }
                bytes += size;
                list.push_back(std::move(entry));
            });
        }
        const CacheDrops& drops = cache_.drops();
        json["known"] = cache_.size();
        json["listed"] = list.size();
        json["omitted"] = omitted;
        json["capacity"] = cache_.limits().entries;
        json["forgotten"] = drops.forgotten;
        json["evicted"] = drops.evicted;
        json["turnedAway"] = drops.turnedAway;
    }
    json["discovering"] = discovering_.load();
    json["controllers"] = std::move(list);
    if (!error.empty()) {
        json["error"] = error;
    }
    return jsonResponse(status, json);
}

HttpResponse ConsoleApi::controller(const std::string& mac) {
    const std::lock_guard lock(cacheMutex_);
    const auto cached = cache_.shown(mac, wallClockMs_());
    if (!cached) {
        return errorResponse(404, mac + " has not answered this console");
    }
    HttpResponse response = jsonResponse(200, entryJson(*cached));
    response.headers.emplace_back("ETag", etagOf(cached->revision));
    return response;
}

HttpResponse ConsoleApi::events(const HttpRequest& request) {
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
    const EventLogCounts counts = log_.counts();
    Json json = {{"events", std::move(list)},
                 {"held", counts.held},
                 {"heldBytes", counts.heldBytes},
                 {"dropped", counts.dropped},
                 {"refused", counts.refused}};
    if (connections_) {
        const HttpCounters http = connections_();
        json["connections"] = {{"evicted", http.evicted},
                               {"turnedAway", http.turnedAway},
                               {"timedOut", http.timedOut},
                               {"tooLarge", http.tooLarge}};
    }
    return jsonResponse(200, json);
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
    const std::size_t shown = std::min(found.conflicts.size(), ControllerCache::kConflictsKept);
    for (std::size_t i = 0; i < shown; ++i) {
        log_.add(EventKind::Note, {}, "warning: " + found.conflicts[i]);
    }
    return found;
}

void ConsoleApi::remember(const ControllerRecord& record) {
    const std::lock_guard lock(cacheMutex_);
    cache_.applyStatus(record, wallClockMs_());
}

namespace {

// The answer when the worker took no job.
HttpResponse workerRefusal(LanWorker::Queued queued, std::size_t capacity) {
    if (queued == LanWorker::Queued::Stopped) {
        return errorResponse(503, "the console is stopping");
    }
    HttpResponse busy = errorResponse(503, "the console is busy: " + std::to_string(capacity) +
                                               " requests wait for the LAN already; try again "
                                               "shortly");
    busy.headers.emplace_back("Retry-After", "5");
    return busy;
}

}  // namespace

void ConsoleApi::onLan(const HttpReply& reply, std::function<HttpResponse()> job) {
    const auto queued = worker_.submit([this, reply, job = std::move(job)] {
        endpoint_.record(true);
        HttpResponse response = job();
        endpoint_.record(false);
        reply(std::move(response));
    });
    if (queued != LanWorker::Queued::Yes) {
        reply(workerRefusal(queued, settings_.lanQueue));
    }
}

void ConsoleApi::discover(HttpReply reply) {
    {
        const std::lock_guard lock(discoverMutex_);
        discoverWaiting_.push_back(std::move(reply));
        // A discovery waits already: its answer serves this request as well.
        if (discoverWaiting_.size() > 1) {
            return;
        }
    }
    const auto answerWaiting = [this](const HttpResponse& response) {
        std::vector<HttpReply> waiting;
        {
            const std::lock_guard lock(discoverMutex_);
            waiting.swap(discoverWaiting_);
        }
        for (const HttpReply& each : waiting) {
            each(response);
        }
    };
    const auto queued = worker_.submit([this] {
        // Those who come while it runs want a discovery that starts after them: the next one.
        std::vector<HttpReply> waiting;
        {
            const std::lock_guard lock(discoverMutex_);
            waiting.swap(discoverWaiting_);
        }
        const Discovery found = discoverRound(true);
        HttpResponse response = controllers();
        if (const auto failure = deliveryFailure(found.delivery, found.problem, "query")) {
            response = controllers(httpStatusFor(failure->first), failure->second);
        } else if (found.controllers.empty()) {
            response = controllers(httpStatusFor(kNoAnswer), "no controller answered in time");
        }
        for (const HttpReply& each : waiting) {
            each(response);
        }
    });
    if (queued != LanWorker::Queued::Yes) {
        answerWaiting(workerRefusal(queued, settings_.lanQueue));
    }
}

HttpResponse ConsoleApi::query(const std::string& mac) {
    const QueryAnswer answer = client_.query(mac);
    if (answer.record) {
        remember(*answer.record);
    }
    if (const auto failure = deliveryFailure(answer.delivery, answer.problem, "query")) {
        return errorResponse(httpStatusFor(failure->first), failure->second);
    }
    return controller(mac);
}

HttpResponse ConsoleApi::check(const std::string& mac, const std::string& body) {
    const ParsedBody parsed = parseBody(body);
    if (!parsed.object) {
        return badBody(parsed, kNotSettings);
    }
    const AssignmentCheck checked = checkedSettings(*parsed.object);
    std::vector<std::string> risks;
    bool known = false;
    if (checked.problems.empty()) {
        const std::lock_guard lock(cacheMutex_);
        const CachedController* current = cache_.find(mac);
        known = current != nullptr;
        risks = cutOffRisks(checked.assignment, known ? &current->record : nullptr);
    }
    return jsonResponse(200, {{"ok", checked.problems.empty() && risks.empty()},
                              {"problems", problemsJson(checked.problems)},
                              {"risks", risks},
                              {"currentKnown", known}});
}

std::optional<HttpResponse> ConsoleApi::staleAnswer(const std::string& mac, std::uint64_t shown) {
    // What the console last saw may itself be old: another tool changes controllers too.
    const QueryAnswer fresh = client_.query(mac);
    if (fresh.record) {
        remember(*fresh.record);
    }
    const std::lock_guard lock(cacheMutex_);
    const auto current = cache_.shown(mac, wallClockMs_());
    if (current && current->revision == shown) {
        return std::nullopt;
    }
    const std::string error = mac +
                              " has changed since the page showed it; nothing was sent: "
                              "check its values and send again";
    log_.add(EventKind::Note, {}, "not sent to " + mac + ": changed since the page showed it");
    HttpResponse response = errorResponse(
        412, error, {{"mac", mac}, {"current", current ? entryJson(*current) : Json()}});
    if (current) {
        response.headers.emplace_back("ETag", etagOf(current->revision));
    }
    return response;
}

void ConsoleApi::assign(const std::string& mac, const HttpRequest& request,
                        const HttpReply& reply) {
    ChangeRequest change;
    if (auto refused = readChange(request, kNotSettings, change)) {
        reply(std::move(*refused));
        return;
    }
    AssignmentCheck checked = checkedSettings(change.body);
    const std::vector<SettingProblem>& problems = checked.problems;
    if (!problems.empty()) {
        log_.add(EventKind::Note, {}, "not sent to " + mac + ": " + describe(problems.front()));
        reply(
            errorResponse(httpStatusFor(kUsage), describe(problems.front()),
                          {{"mac", mac}, {"exit", kUsage}, {"problems", problemsJson(problems)}}));
        return;
    }
    onLan(reply, [this, mac, shown = change.shown, assignment = std::move(checked.assignment)] {
        if (shown) {
            if (auto stale = staleAnswer(mac, *shown)) {
                return *stale;
            }
        }
        log_.add(EventKind::Note, {}, "assign to " + mac + ": " + settingsText(assignment));
        const AssignReport report = assignAndVerify(client_, mac, assignment, {});
        if (report.after) {
            remember(*report.after);
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
    });
}

void ConsoleApi::clear(const std::string& mac, const HttpRequest& request, const HttpReply& reply) {
    constexpr const char* kClearBody = "the body is {\"setting\": NAME}";
    ChangeRequest change;
    if (auto refused = readChange(request, kClearBody, change)) {
        reply(std::move(*refused));
        return;
    }
    const Json& json = change.body;
    if (!json.contains("setting") || !json["setting"].is_string()) {
        reply(errorResponse(400, kClearBody));
        return;
    }
    const auto setting = checkClearSetting(json["setting"].get<std::string>());
    if (!setting) {
        reply(errorResponse(httpStatusFor(kUsage), setting.problem(),
                            {{"mac", mac}, {"exit", kUsage}}));
        return;
    }
    onLan(reply, [this, mac, shown = change.shown, setting = setting.value()] {
        if (shown) {
            if (auto stale = staleAnswer(mac, *shown)) {
                return *stale;
            }
        }
        log_.add(EventKind::Note, {}, "clear " + setting + " of " + mac);
        const ClearReport report = clearAndVerify(client_, mac, setting, true);
        if (report.after) {
            remember(*report.after);
        }
        Json answer = clearJson(mac, report);
        answer["exit"] = report.status;
        if (report.status != kDone) {
            answer["error"] = report.problem;
        }
        log_.add(EventKind::Note, {},
                 mac + ": " + (report.status == kDone ? "cleared " + setting : report.problem));
        return jsonResponse(httpStatusFor(report.status), answer);
    });
}

namespace {

HttpResponse csvDownload(std::string body, const std::string& fileName) {
    HttpResponse response{200, "text/csv; charset=utf-8", std::move(body), {}};
    response.headers.emplace_back("Content-Disposition",
                                  "attachment; filename=\"" + fileName + "\"");
    return response;
}

// A plan file's name as the page gives it, kept only for its ending and the problems' prefix.
std::string uploadName(const HttpRequest& request) {
    const std::string* name = request.parameter("name");
    std::string kept = name == nullptr || name->empty() ? "plan.csv" : printable(*name);
    return kept.size() > 200 ? kept.substr(kept.size() - 200) : kept;
}

}  // namespace

void ConsoleApi::fleet(int route, const HttpRequest& request, const HttpReply& reply) {
    switch (static_cast<Route>(route)) {
        case Route::PlanExport: {
            // What the table shows as on the LAN now: the vanished ones are not exported.
            std::vector<ControllerRecord> records;
            {
                const std::lock_guard lock(cacheMutex_);
                cache_.forEach(wallClockMs_(), [&](const CachedController& cached) {
                    if (cached.mark != Mark::Vanished) {
                        records.push_back(cached.record);
                    }
                });
            }
            reply(csvDownload(exportPlan(records).csv, "controllers.csv"));
            return;
        }
        case Route::PlanOpen:
            onLan(reply, [this, name = uploadName(request), bytes = request.body] {
                const ConsoleFleet::Answer answer = fleet_.open(name, bytes);
                log_.add(EventKind::Note, {},
                         "plan " + name + " opened: " +
                             (answer.status == 200
                                  ? std::to_string(answer.body["pending"].get<std::size_t>()) +
                                        " to change"
                                  : answer.body["error"].get<std::string>()));
                return jsonResponse(answer.status, answer.body);
            });
            return;
        case Route::PlanApply: {
            const ParsedBody parsed = parseBody(request.body);
            const Json& body = parsed.object ? *parsed.object : Json::object();
            if (!parsed.object || !body.contains("id") || !body["id"].is_number_unsigned()) {
                reply(errorResponse(400,
                                    "the body is {\"id\": PLAN, \"force\": false, "
                                    "\"parallel\": 8}"));
                return;
            }
            const bool force = body.value("force", false);
            const std::size_t parallel = body.value("parallel", std::size_t{8});
            if (auto refused =
                    fleet_.reserveApply(body["id"].get<std::uint64_t>(), force, parallel)) {
                reply(jsonResponse(refused->status, refused->body));
                return;
            }
            const auto queued = worker_.submit([this] {
                log_.add(EventKind::Note, {}, "apply: started");
                endpoint_.record(true);
                fleet_.apply(client_);
                endpoint_.record(false);
                const Json state = fleet_.progress();
                log_.add(EventKind::Note, {},
                         "apply: " + state["phase"].get<std::string>() + "; " +
                             state["line"].get<std::string>());
                // The table shows what the apply left behind.
                discoverRound(false);
            });
            if (queued != LanWorker::Queued::Yes) {
                fleet_.abandonReservation();
                reply(workerRefusal(queued, settings_.lanQueue));
                return;
            }
            reply(jsonResponse(202, fleet_.progress()));
            return;
        }
        case Route::PlanProgress:
            reply(jsonResponse(200, fleet_.progress()));
            return;
        case Route::PlanStop:
            fleet_.stop();
            log_.add(EventKind::Note, {}, "apply: stop asked for");
            reply(jsonResponse(200, fleet_.progress()));
            return;
        default: {
            auto csv = fleet_.reportCsv();
            reply(csv ? csvDownload(std::move(*csv), "report.csv")
                      : errorResponse(404, "no apply has ended yet"));
            return;
        }
    }
}

}  // namespace krvctl
