// The web console's API against an in-memory LAN, without a socket: the guard before anything
// else, the routes, and each report of the library with the HTTP status its exit status maps to.
#include "krvctl/web/ConsoleApi.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <future>
#include <semaphore>
#include <thread>

#include "tests/krvctl/support/FakeController.h"

namespace krvctl {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

constexpr const char* kToken = "0123456789abcdef0123456789abcdef";
constexpr const char* kHost = "127.0.0.1:7280";
constexpr const char* kOwnPage = "http://127.0.0.1:7280";
constexpr const char* kMac = "02:00:00:4B:10:01";

struct Answer {
    int status = 0;
    Json json;
    HttpResponse response;
};

class Console : public ::testing::Test {
  protected:
    // Started once the controllers are set up: its first discovery runs at once, on its worker.
    void start(std::function<void(ConsoleSettings&)> adjust = {}) {
        ConsoleSettings settings{parseListenAddress(kHost).value(),
                                 {"eth1"},
                                 kToken,
                                 Timing{3000ms, 2},
                                 std::chrono::hours(1)};
        if (adjust) {
            adjust(settings);
        }
        console = std::make_unique<ConsoleApi>(endpoint, clock, test::countingRandom(), settings,
                                               [this] { return now.load(); });
    }

    using Headers = std::vector<std::pair<std::string, std::string>>;
    static Headers pageHeaders(Headers more = {}) {
        Headers headers = {{"Host", kHost}, {"Origin", kOwnPage}, {kTokenHeader, kToken}};
        headers.insert(headers.end(), more.begin(), more.end());
        return headers;
    }

    // Handed to the console at once; answered whenever the console answers.
    std::future<Answer> dispatch(const std::string& method, const std::string& path,
                                 const std::string& body, Headers headers) {
        HttpRequest request{method, path, {}, std::move(headers), body, "127.0.0.1"};
        if (const auto question = path.find('?'); question != std::string::npos) {
            request.path = path.substr(0, question);
            const std::string query = path.substr(question + 1);
            const auto equals = query.find('=');
            request.query.emplace_back(query.substr(0, equals), query.substr(equals + 1));
        }
        auto replied = std::make_shared<std::promise<HttpResponse>>();
        console->handle(
            request, [replied](HttpResponse response) { replied->set_value(std::move(response)); });
        return std::async(std::launch::deferred, [replied] {
            Answer answer;
            answer.response = replied->get_future().get();
            answer.status = answer.response.status;
            if (answer.response.contentType == "application/json") {
                answer.json = Json::parse(answer.response.body);
            }
            return answer;
        });
    }
    Answer send(const std::string& method, const std::string& path, const std::string& body = "",
                Headers headers = pageHeaders()) {
        return dispatch(method, path, body, std::move(headers)).get();
    }
    Answer post(const std::string& path, const Json& body = Json::object()) {
        return send("POST", path, body.dump());
    }
    // The words of every request sent so far; the console is idle once an answer came back.
    std::vector<std::string> sentWords() const {
        std::vector<std::string> words;
        for (const auto& sent : endpoint.sent()) {
            words.push_back(decodeDatagram(sent.bytes).word);
        }
        return words;
    }

    test::FakeClock clock;
    test::FakeFleet fleet{clock};
    // Set, it holds the LAN worker inside its next broadcast, as a long assignment would, until
    // let go.
    std::atomic<bool> holdNext = false;
    std::binary_semaphore holding{0};
    std::binary_semaphore letGo{0};
    test::FakeEndpoint endpoint{clock, [this](const std::string& request, test::FakeEndpoint& lan) {
                                    if (holdNext.exchange(false)) {
                                        holding.release();
                                        letGo.try_acquire_for(10s);
                                    }
                                    fleet.responder()(request, lan);
                                }};
    test::FakeController& controller = fleet.add({});
    std::atomic<std::int64_t> now{test::kStartWallMs};
    std::unique_ptr<ConsoleApi> console;
};

std::string header(const HttpResponse& response, const std::string& name) {
    for (const auto& [key, value] : response.headers) {
        if (key == name) {
            return value;
        }
    }
    return "<absent>";
}

TEST_F(Console, ServesItsPageAndSession) {
    start();
    const Answer page = send("GET", "/", "", {{"Host", kHost}});
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.response.contentType, "text/html; charset=utf-8");
    EXPECT_NE(page.response.body.find("/console.js"), std::string::npos);
    EXPECT_NE(header(page.response, "Content-Security-Policy").find("frame-ancestors 'none'"),
              std::string::npos);
    EXPECT_EQ(send("GET", "/console.js").response.contentType, "text/javascript; charset=utf-8");

    const Answer session = send("GET", "/api/session");
    EXPECT_EQ(session.json["token"], kToken);
    EXPECT_EQ(session.json["exposed"], false);
    EXPECT_EQ(session.json["interface"], "eth1");
    EXPECT_EQ(session.json["assignKeys"].size(), 8u);
    EXPECT_EQ(session.json["clearKeys"], Json({"ntpip", "syslogip", "nameserver"}));

    const Answer missing = send("GET", "/api/nothing");
    EXPECT_EQ(missing.status, 404);
    EXPECT_EQ(missing.json["error"], "no such page: /api/nothing");
    const Answer wrongMethod = send("GET", std::string("/api/controllers/") + kMac + "/assign");
    EXPECT_EQ(wrongMethod.status, 405);
    EXPECT_EQ(header(wrongMethod.response, "Allow"), "POST");
    EXPECT_EQ(send("DELETE", "/api/controllers").status, 405);
}

TEST_F(Console, TheGuardRefusesBeforeAnythingIsSent) {
    start();
    ASSERT_EQ(post("/api/discover").status, 200);
    const std::size_t sentBefore = endpoint.sent().size();
    const std::string assign = std::string("/api/controllers/") + kMac + "/assign";
    const std::string body = R"({"ntpip": "192.0.2.66"})";
    const std::vector<std::vector<std::pair<std::string, std::string>>> hostile = {
        {{"Host", kHost}, {"Origin", "http://127.0.0.1:7281"}, {kTokenHeader, kToken}},
        {{"Host", kHost}, {"Origin", kOwnPage}},
        {{"Host", kHost}, {"Origin", kOwnPage}, {kTokenHeader, "guess"}},
        {{"Host", "rebound.attacker.example:7280"}, {kTokenHeader, kToken}},
        {{kTokenHeader, kToken}},
    };
    for (const auto& headers : hostile) {
        const Answer refused = send("POST", assign, body, headers);
        EXPECT_EQ(refused.status, 403) << refused.response.body;
        EXPECT_TRUE(refused.json["error"].get<std::string>().starts_with("refused: "));
    }
    // Reading is refused to another site too, and so is the token itself.
    EXPECT_EQ(
        send("GET", "/api/session", "", {{"Host", kHost}, {"Origin", "http://x.example"}}).status,
        403);
    EXPECT_EQ(endpoint.sent().size(), sentBefore);
    EXPECT_EQ(controller.values["ntpip"], "192.0.2.123");

    // Every refusal is counted; one source refused by one rule is shown once, then summed up.
    const Answer log = send("GET", "/api/events");
    std::size_t refusals = 0;
    for (const Json& event : log.json["events"]) {
        refusals += event["kind"] == "refused" ? 1 : 0;
    }
    EXPECT_EQ(refusals, 3u) << log.json.dump(1);  // Origin, token and Host
    EXPECT_EQ(log.json["refused"], hostile.size() + 1);
    now += 10'000;
    std::string summaries;
    const Answer later = send("GET", "/api/events");
    for (const Json& event : later.json["events"]) {
        if (event["kind"] == "refused" && event["text"].get<std::string>().starts_with("and ")) {
            summaries += event["text"].get<std::string>() + "\n";
        }
    }
    EXPECT_NE(summaries.find("and 1 more refused in 10 s: Origin"), std::string::npos) << summaries;
    EXPECT_NE(summaries.find("and 1 more refused in 10 s: token"), std::string::npos) << summaries;
    EXPECT_NE(summaries.find("and 1 more refused in 10 s: Host"), std::string::npos) << summaries;
}

TEST_F(Console, AssignReportsKeyByKeyWithTheStatusOfItsExit) {
    start();
    const std::string path = std::string("/api/controllers/") + "02-00-00-4b-10-01" + "/assign";
    const Answer done = post(path, {{"ntpip", "192.0.2.124"}, {"utcclock", "now"}});
    EXPECT_EQ(done.status, 200) << done.response.body;
    EXPECT_EQ(done.json["mac"], kMac);
    EXPECT_EQ(done.json["accept"], true);
    EXPECT_EQ(done.json["verified"], true);
    EXPECT_EQ(done.json["exit"], 0);
    EXPECT_EQ(done.json["settings"]["ntpip"]["before"], "192.0.2.123");
    EXPECT_EQ(done.json["settings"]["ntpip"]["result"], "ok");
    EXPECT_EQ(done.json["settings"]["utcclock"]["result"], "ok");
    EXPECT_FALSE(done.json.contains("error"));

    // The table shows the value the check after the pause read, marked as changed.
    const Answer table = send("GET", "/api/controllers");
    ASSERT_EQ(table.json["controllers"].size(), 1u);
    const Json& row = table.json["controllers"][0];
    EXPECT_EQ(row["status"]["ntpip"], "192.0.2.124");
    EXPECT_EQ(row["mark"], "changed");
    EXPECT_EQ(row["changedKeys"], Json({"ntpip"}));
    EXPECT_EQ(row["clockOffset"], "+0s");

    // The log holds the exchange itself: the request, the ACK and the checks on each side.
    const Answer events = send("GET", "/api/events");
    std::string log;
    for (const Json& event : events.json["events"]) {
        log += event["kind"].get<std::string>() + " " + event["text"].get<std::string>() + "\n";
    }
    EXPECT_NE(log.find("sent KRV2#ASSIGN#seqid="), std::string::npos) << log;
    EXPECT_NE(log.find("#mac=02:00:00:4B:10:01#accept=yes\n"), std::string::npos) << log;
    EXPECT_NE(log.find("note 02:00:00:4B:10:01: assignment accepted and verified"),
              std::string::npos);
    // The periodic discovery stays out of the log unless something changed.
    EXPECT_EQ(log.find("discovery:"), std::string::npos) << log;

    controller.ignoredKeys = {"syslogip"};
    const Answer ignored = post(path, {{"syslogip", "192.0.2.51"}});
    EXPECT_EQ(ignored.status, 502);
    EXPECT_EQ(ignored.json["exit"], 3);
    EXPECT_EQ(ignored.json["settings"]["syslogip"]["result"], "failed");
    EXPECT_NE(ignored.json["error"].get<std::string>().find("not every value"), std::string::npos);

    controller.accepts = false;
    const Answer refused = post(path, {{"ntpip", "192.0.2.9"}});
    EXPECT_EQ(refused.status, 409);
    EXPECT_EQ(refused.json["accept"], false);

    controller.silent = true;
    const Answer silent = post(path, {{"ntpip", "192.0.2.9"}});
    EXPECT_EQ(silent.status, 504);
    EXPECT_EQ(silent.json["exit"], 2);
    EXPECT_EQ(silent.json["accept"], nullptr);
}

TEST_F(Console, ValuesAreCheckedByTheLibraryAndBadOnesNeverSent) {
    start();
    ASSERT_EQ(post("/api/discover").status, 200);
    const std::string base = std::string("/api/controllers/") + kMac;
    const Json bad = {{"ntpip", "192.0.2.300"},
                      {"ipscheme", "static"},
                      {"utcclock", "20260230120000"},
                      {"hostname", "x"},
                      {"gateway", 7}};
    const Answer check = post(base + "/check", bad);
    EXPECT_EQ(check.status, 200);
    EXPECT_EQ(check.json["ok"], false);
    std::map<std::string, std::string> problems;
    for (const Json& problem : check.json["problems"]) {
        problems[problem["key"]] = problem["problem"];
    }
    EXPECT_EQ(problems.size(), 4u);
    EXPECT_NE(problems["ntpip"].find("300 is above 255"), std::string::npos) << problems["ntpip"];
    EXPECT_NE(problems["utcclock"].find("day 30"), std::string::npos) << problems["utcclock"];
    EXPECT_NE(problems["hostname"].find("no such setting"), std::string::npos);
    EXPECT_EQ(problems["gateway"], "the value is text, in quotes");

    const std::size_t sentBefore = endpoint.sent().size();
    const Answer assign = post(base + "/assign", bad);
    EXPECT_EQ(assign.status, 400);
    EXPECT_EQ(assign.json["exit"], 64);
    EXPECT_EQ(assign.json["problems"].size(), 4u);
    EXPECT_EQ(post(base + "/assign", Json::object()).status, 400);
    EXPECT_EQ(post(base + "/check", {{"gateway", 7}}).json["problems"].size(), 1u);
    EXPECT_EQ(send("POST", base + "/assign", "ntpip=1.2.3.4").status, 400);
    EXPECT_EQ(send("POST", base + "/assign", "\"192.0.2.1\"").status, 400);
    // A key given twice is named, for every body, and nothing goes out.
    for (const auto& [action, body] :
         {std::pair{"/assign", R"({"ntpip": "192.0.2.5", "ntpip": "192.0.2.6"})"},
          {"/check", R"({"ntpip": "192.0.2.5", "ntpip": "192.0.2.6"})"},
          {"/clear", R"({"setting": "ntpip", "setting": "syslogip"})"}}) {
        const Answer twice = send("POST", base + action, body);
        EXPECT_EQ(twice.status, 400) << action;
        const std::string key = std::string(action) == "/clear" ? "setting" : "ntpip";
        EXPECT_EQ(twice.json["error"], key + " is given twice") << action;
        EXPECT_EQ(twice.json["problems"][0]["key"], key) << action;
    }
    EXPECT_EQ(endpoint.sent().size(), sentBefore);

    // The guard judges against the values the console last saw, before anything is sent.
    const Answer risky = post(base + "/check", {{"gateway", "10.9.9.1"}});
    EXPECT_EQ(risky.json["ok"], false);
    EXPECT_EQ(risky.json["currentKnown"], true);
    ASSERT_EQ(risky.json["risks"].size(), 1u);
    EXPECT_NE(risky.json["risks"][0].get<std::string>().find("outside the subnet"),
              std::string::npos);
    const Answer fine = post(base + "/check", {{"ntpip", "192.0.2.1"}, {"ipscheme", "dhcp"}});
    EXPECT_EQ(fine.json["ok"], true) << fine.response.body;
    EXPECT_EQ(endpoint.sent().size(), sentBefore);

    // The real assignment queries first, and the guard refuses with the reasons.
    const Answer guarded = post(base + "/assign", {{"gateway", "10.9.9.1"}});
    EXPECT_EQ(guarded.status, 400);
    EXPECT_EQ(guarded.json["risks"].size(), 1u);
    EXPECT_EQ(guarded.json["error"],
              "refusing to assign: it would likely cut 02:00:00:4B:10:01 off the network");
    EXPECT_EQ(sentWords().back(), "QUERY");

    const Answer badMac = post("/api/controllers/02:00:00:4b:10/assign", {{"ntpip", "1.2.3.4"}});
    EXPECT_EQ(badMac.status, 400);
    EXPECT_NE(badMac.json["error"].get<std::string>().find("MAC '02:00:00:4b:10'"),
              std::string::npos);
}

TEST_F(Console, ClearQueryAndDiscoverHaveTheirStatusesToo) {
    start();
    const std::string base = std::string("/api/controllers/") + kMac;
    const Answer cleared = post(base + "/clear", {{"setting", "ntpip"}});
    EXPECT_EQ(cleared.status, 200) << cleared.response.body;
    EXPECT_EQ(cleared.json["result"], "ok");
    EXPECT_EQ(cleared.json["before"], "192.0.2.123");
    EXPECT_EQ(controller.values.count("ntpip"), 0u);
    EXPECT_EQ(post(base + "/clear", {{"setting", "hostname"}}).status, 400);
    EXPECT_EQ(post(base + "/clear", {{"name", "ntpip"}}).status, 400);

    const Answer queried = post(base + "/query");
    EXPECT_EQ(queried.status, 200);
    EXPECT_EQ(queried.json["status"]["from"], "192.0.2.10");
    EXPECT_FALSE(queried.json["status"].contains("ntpip"));
    EXPECT_EQ(send("GET", base).json["mac"], kMac);
    EXPECT_EQ(send("GET", "/api/controllers/02:00:00:00:00:99").status, 404);

    const Answer events = send("GET", "/api/events");
    const auto last = events.json["events"].back()["seq"].get<std::uint64_t>();
    EXPECT_TRUE(send("GET", "/api/events?after=" + std::to_string(last)).json["events"].empty());
    EXPECT_EQ(send("GET", "/api/events?after=x").status, 400);

    controller.silent = true;
    EXPECT_EQ(post(base + "/query").status, 504);
    const Answer nobody = post("/api/discover");
    EXPECT_EQ(nobody.status, 504);
    EXPECT_EQ(nobody.json["controllers"].size(), 1u);  // still known, not yet gone

    endpoint.failBroadcasts("no route to 255.255.255.255");
    const Answer unsent = post("/api/discover");
    EXPECT_EQ(unsent.status, 503);
    EXPECT_NE(unsent.json["error"].get<std::string>().find("no route"), std::string::npos);
}

TEST_F(Console, LanWorkIsQueuedWithinItsBoundAndWaitingDiscoveriesShareOneRound) {
    start([](ConsoleSettings& settings) { settings.lanQueue = 2; });
    ASSERT_EQ(post("/api/discover").status, 200);
    const std::string query = std::string("/api/controllers/") + kMac + "/query";
    holdNext = true;
    auto running = dispatch("POST", query, "", pageHeaders());
    ASSERT_TRUE(holding.try_acquire_for(10s));
    const std::size_t sentBefore = endpoint.sent().size();

    // Nobody waits for the LAN to be handed a job: the console answers what it can meanwhile.
    std::vector<std::future<Answer>> discoveries;
    for (int i = 0; i < 5; ++i) {
        discoveries.push_back(dispatch("POST", "/api/discover", "", pageHeaders()));
    }
    EXPECT_EQ(send("GET", "/api/controllers").status, 200);
    auto queued = dispatch("POST", query, "", pageHeaders());
    const Answer full = send("POST", query);
    EXPECT_EQ(full.status, 503);
    EXPECT_NE(full.json["error"].get<std::string>().find("busy"), std::string::npos);
    EXPECT_EQ(header(full.response, "Retry-After"), "5");

    letGo.release();
    EXPECT_EQ(running.get().status, 200);
    EXPECT_EQ(queued.get().status, 200);
    for (auto& discovery : discoveries) {
        const Answer answered = discovery.get();
        EXPECT_EQ(answered.status, 200);
        EXPECT_EQ(answered.json["controllers"].size(), 1u);
    }
    std::size_t roundsSent = 0;
    for (std::size_t i = sentBefore; i < endpoint.sent().size(); ++i) {
        const std::string& bytes = endpoint.sent()[i].bytes;
        roundsSent +=
            bytes.find("#QUERY#") != std::string::npos && bytes.find("#mac=") == std::string::npos;
    }
    EXPECT_EQ(roundsSent, 1u);
}

TEST_F(Console, AChangeOnValuesThePageNoLongerShowsIsStoppedBeforeItGoesOut) {
    start();
    ASSERT_EQ(post("/api/discover").status, 200);
    const std::string base = std::string("/api/controllers/") + kMac;
    const Answer shown = send("GET", base);
    const auto revision = shown.json["revision"].get<std::uint64_t>();
    EXPECT_EQ(header(shown.response, "ETag"), "\"" + std::to_string(revision) + "\"");
    const std::string etag = header(shown.response, "ETag");

    // Another tool changes the controller; the console has not seen it yet.
    controller.values["ntpip"] = "192.0.2.99";
    const Json settings = {{"syslogip", "192.0.2.51"}};
    const Answer stale =
        send("POST", base + "/assign", settings.dump(), pageHeaders({{"If-Match", etag}}));
    EXPECT_EQ(stale.status, 412) << stale.response.body;
    EXPECT_EQ(stale.json["current"]["status"]["ntpip"], "192.0.2.99");
    EXPECT_NE(stale.json["current"]["revision"], revision);
    EXPECT_EQ(sentWords().back(), "QUERY");
    EXPECT_EQ(controller.values["syslogip"], "192.0.2.50");
    EXPECT_EQ(
        send("POST", base + "/clear", R"({"setting": "ntpip"})", pageHeaders({{"If-Match", etag}}))
            .status,
        412);

    // Sent again on the values now shown, it goes out; without the header as it always did.
    const std::string current = header(stale.response, "ETag");
    const Answer fresh =
        send("POST", base + "/assign", settings.dump(), pageHeaders({{"If-Match", current}}));
    EXPECT_EQ(fresh.status, 200) << fresh.response.body;
    EXPECT_EQ(controller.values["syslogip"], "192.0.2.51");
    EXPECT_EQ(post(base + "/assign", {{"syslogip", "192.0.2.52"}}).status, 200);
    EXPECT_EQ(
        send("POST", base + "/assign", settings.dump(), pageHeaders({{"If-Match", "x"}})).status,
        400);
}

TEST_F(Console, TheListStaysWithinItsSizeAndSaysWhatItLeftOut) {
    for (int i = 2; i <= 6; ++i) {
        test::FakeController other;
        other.mac = "02:00:00:4B:10:0" + std::to_string(i);
        other.from = "192.0.2.1" + std::to_string(i);
        fleet.add(other);
    }
    start([](ConsoleSettings& settings) {
        settings.listBytes = 2000;
        settings.cache.entries = 4;
    });
    const Answer list = post("/api/discover");
    EXPECT_LE(list.response.body.size(), 2000u + 1000u);
    EXPECT_EQ(list.json["known"], 4);
    // Two in each of the two discoveries: every place is held by one that answers.
    EXPECT_EQ(list.json["turnedAway"], 4);
    EXPECT_EQ(list.json["capacity"], 4);
    EXPECT_GE(list.json["listed"].get<int>(), 1);
    EXPECT_EQ(list.json["listed"].get<int>() + list.json["omitted"].get<int>(), 4);
    EXPECT_EQ(list.json["controllers"].size(), list.json["listed"].get<std::size_t>());
}

TEST(HttpStatus, FollowsTheExitStatus) {
    EXPECT_EQ(httpStatusFor(kDone), 200);
    EXPECT_EQ(httpStatusFor(kRefused), 409);
    EXPECT_EQ(httpStatusFor(kNoAnswer), 504);
    EXPECT_EQ(httpStatusFor(kNotTakenEffect), 502);
    EXPECT_EQ(httpStatusFor(kUsage), 400);
    EXPECT_EQ(httpStatusFor(kUnavailable), 503);
}

TEST_F(Console, APlanIsOpenedAppliedAndReportedOneApplyAtATime) {
    start();
    ASSERT_EQ(post("/api/discover").status, 200);
    const Answer exported = send("GET", "/api/plan/export.csv");
    EXPECT_NE(exported.response.body.find(std::string("\n") + kMac + ","), std::string::npos)
        << exported.response.body;

    const auto openPlan = [&](const std::string& name, const std::string& bytes) {
        return send("POST", "/api/plan?name=" + name, bytes);
    };
    const Answer refused = openPlan("bad.csv", "mac;ntpip\n02:00:00:4B:10:01;10100100101\n");
    ASSERT_EQ(refused.status, 200);
    EXPECT_TRUE(refused.json["blocked"]);
    EXPECT_NE(refused.json["text"].get<std::string>().find("bad.csv:2: ntpip"), std::string::npos);
    EXPECT_EQ(post("/api/plan/apply", {{"id", refused.json["id"]}}).status, 400);

    const Answer opened =
        openPlan("site.csv", "mac;ntpip;site\r\n02:00:00:4B:10:01;192.0.2.124;=x\r\n");
    ASSERT_EQ(opened.status, 200);
    EXPECT_EQ(opened.json["pending"], 1);
    EXPECT_EQ(post("/api/plan/apply", {{"id", refused.json["id"]}}).status,
              409);  // not the open one

    // Held in its fresh discovery: a second apply, from another tab, is refused meanwhile.
    holdNext = true;
    EXPECT_EQ(post("/api/plan/apply", {{"id", opened.json["id"]}, {"parallel", 4}}).status, 202);
    ASSERT_TRUE(holding.try_acquire_for(5s));
    EXPECT_EQ(post("/api/plan/apply", {{"id", opened.json["id"]}}).status, 409);
    letGo.release();
    Json progress;
    for (int polls = 0; polls < 500; ++polls) {
        progress = send("GET", "/api/plan/progress").json;
        if (progress["phase"] == "done") {
            break;
        }
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(progress["phase"], "done") << progress.dump();
    EXPECT_EQ(progress["report"]["controllers"][0]["result"], "ok");
    EXPECT_EQ(controller.values["ntpip"], "192.0.2.124");
    // In the plan's separator, the label guarded against becoming a formula.
    EXPECT_EQ(send("GET", "/api/plan/report.csv").response.body,
              "line;mac;site;result;ntpip;problem\n2;02:00:00:4B:10:01;'=x;ok;ok;\n");
}

}  // namespace
}  // namespace krvctl
