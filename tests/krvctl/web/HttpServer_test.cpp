// The console's HTTP server in process, over loopback, with small limits: what a client that
// trickles, idles, or sends too much gets, and that it never holds up the others. The console
// behind it is a stand-in; its own decisions are tested in ConsoleApi_test.
#include "krvctl/web/HttpServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <utility>

#include "tests/krvctl/support/LoopbackHttp.h"

namespace krvctl {
namespace {

using namespace std::chrono_literals;
using test::httpRequest;
using test::LoopbackClient;

// Answers every request at once, or keeps the replies for the test to give; refuses on the
// header any request that carries "X-Refuse".
class StandIn final : public HttpService {
  public:
    std::optional<HttpResponse> screen(const HttpRequest& head) override {
        if (head.header("X-Refuse") != nullptr) {
            return HttpResponse{403, "text/plain", "refused", {}};
        }
        return std::nullopt;
    }
    // One path takes larger bodies, as the console's plan upload does.
    std::size_t bodyLimit(const HttpRequest& head, std::size_t standard) override {
        return head.path == "/upload" ? 4096 : standard;
    }
    std::size_t largestBodyLimit(std::size_t standard) override {
        return std::max<std::size_t>(standard, 4096);
    }
    void handle(const HttpRequest& request, HttpReply reply) override {
        const std::lock_guard lock(mutex);
        ++handled;
        if (holdReplies) {
            held.push_back(std::move(reply));
            return;
        }
        reply({200, "text/plain", request.method + " " + request.path + " " + request.body, {}});
    }
    HttpResponse malformed(const std::string&, int status, const std::string& problem) override {
        return {status, "text/plain", problem, {}};
    }

    std::mutex mutex;
    int handled = 0;
    std::atomic<bool> holdReplies = false;
    std::vector<HttpReply> held;
};

class Server : public ::testing::Test {
  protected:
    void start(HttpLimits limits) {
        server = std::make_unique<HttpServer>(limits);
        const auto bound = server->bind(parseListenAddress("127.0.0.1:0").value());
        ASSERT_TRUE(bound) << bound.problem();
        port = bound.value().port;
        host = bound.value().text();
        serving = std::thread([this] { server->serve(service); });
    }
    void TearDown() override {
        if (server) {
            server->stop();
            serving.join();
        }
    }
    std::optional<test::HttpAnswer> ask(const std::string& request) {
        LoopbackClient client(port);
        client.send(request);
        return client.answer();
    }
    // The replies held back, once `count` of them are there: empty when they are not within 2 s.
    std::vector<HttpReply> awaitHeld(std::size_t count) {
        for (int i = 0; i < 200; ++i) {
            {
                const std::lock_guard lock(service.mutex);
                if (service.held.size() >= count) {
                    return std::exchange(service.held, {});
                }
            }
            std::this_thread::sleep_for(10ms);
        }
        return {};
    }

    StandIn service;
    std::unique_ptr<HttpServer> server;
    std::thread serving;
    std::uint16_t port = 0;
    std::string host;
};

TEST_F(Server, ATrickleCannotOutlastTheRequestDeadlineNorHoldUpOthers) {
    start({.requestDeadline = 400ms});
    LoopbackClient trickle(port);
    const std::string request =
        httpRequest("GET", "/slow", host, {{"X-Pad", std::string(40, 'x')}});
    std::size_t sent = 0;
    for (; sent < request.size() && trickle.send(request.substr(sent, 1)); ++sent) {
        // Meanwhile others are answered at once: the one thread never waits for a client.
        if (sent == 2) {
            const auto other = ask(httpRequest("GET", "/other", host));
            ASSERT_TRUE(other);
            EXPECT_EQ(other->body, "GET /other ");
        }
        std::this_thread::sleep_for(50ms);
    }
    // Each byte came well within any per-read timeout, yet the request as a whole is cut off.
    EXPECT_LT(sent, request.size());
    EXPECT_TRUE(trickle.closedByServer(5s));
    EXPECT_EQ(server->counters().timedOut, 1u);
    EXPECT_EQ(service.handled, 1);
}

TEST_F(Server, TooMuchIsRefusedBeforeItIsReadAndNeverHandled) {
    start({.headerBytes = 4096, .bodyBytes = 1024});
    std::vector<std::pair<std::string, std::string>> many;
    for (int i = 0; i < 1000; ++i) {
        many.emplace_back("X-H" + std::to_string(i), "v");
    }
    const std::string chunked =
        "POST /api HTTP/1.1\r\nHost: " + host + "\r\nTransfer-Encoding: chunked\r\n\r\n";
    const std::string chunk = "200\r\n" + std::string(512, '{') + "\r\n";
    const struct {
        const char* what;
        std::string request;
        int status;
    } cases[] = {
        {"1000 headers", httpRequest("GET", "/", host, many), 431},
        {"a long header line", httpRequest("GET", "/", host, {{"X-Long", std::string(8000, 'a')}}),
         431},
        {"a body over its length", httpRequest("POST", "/api", host, {}, std::string(2000, 'b')),
         413},
        {"a body over the larger limit of its path",
         httpRequest("POST", "/upload", host, {}, std::string(5000, 'b')), 413},
        // Chunks of a size each within the limit, together over it.
        {"a chunked body without end", chunked + chunk + chunk + chunk, 413},
        // The screen answers on the header: the body announced is never waited for.
        {"a refused request",
         "POST /api HTTP/1.1\r\nHost: " + host + "\r\nX-Refuse: 1\r\nContent-Length: 1000\r\n\r\n",
         403},
    };
    for (const auto& c : cases) {
        LoopbackClient client(port);
        client.send(c.request);
        const auto answer = client.answer(5s);
        ASSERT_TRUE(answer) << c.what;
        EXPECT_EQ(answer->status, c.status) << c.what << ": " << answer->body;
        EXPECT_TRUE(client.closedByServer(5s)) << c.what;
    }
    EXPECT_EQ(service.handled, 0);
    EXPECT_EQ(server->counters().tooLarge, 5u);
    // Within the limits, the same server answers; the larger limit is that path's alone.
    EXPECT_EQ(ask(chunked + chunk + "0\r\n\r\n")->body, "POST /api " + std::string(512, '{'));
    EXPECT_EQ(ask(httpRequest("POST", "/upload", host, {}, std::string(2000, 'u')))->body,
              "POST /upload " + std::string(2000, 'u'));
}

TEST_F(Server, AFullHouseGivesUpTheConnectionWaitingLongestButNeverOneBeingAnswered) {
    start({.connections = 3});
    std::vector<std::unique_ptr<LoopbackClient>> idle;
    for (int i = 0; i < 3; ++i) {
        idle.push_back(std::make_unique<LoopbackClient>(port));
        std::this_thread::sleep_for(20ms);
    }
    // A fourth is answered; the oldest idle one makes room for it.
    ASSERT_TRUE(ask(httpRequest("GET", "/fourth", host)));
    EXPECT_TRUE(idle[0]->closedByServer(2s));
    EXPECT_EQ(server->counters().evicted, 1u);

    // Connections whose requests wait for their answers are not given up.
    service.holdReplies = true;
    for (auto& client : idle) {
        client = std::make_unique<LoopbackClient>(port);
        client->send(httpRequest("POST", "/lan", host, {}, "x"));
    }
    std::vector<HttpReply> held = awaitHeld(3);
    ASSERT_EQ(held.size(), 3u);
    LoopbackClient turnedAway(port);
    EXPECT_TRUE(turnedAway.closedByServer(2s));
    EXPECT_EQ(server->counters().turnedAway, 1u);
    for (auto& reply : held) {
        reply({200, "text/plain", "late", {}});
    }
    for (auto& client : idle) {
        const auto answer = client->answer();
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->body, "late");
    }
}

TEST_F(Server, AnswersFromAnotherThreadKeepTheConnectionAndHeadHasNoBody) {
    service.holdReplies = true;
    start({});
    LoopbackClient client(port);
    for (const char* method : {"GET", "HEAD", "GET"}) {
        SCOPED_TRACE(method);
        ASSERT_TRUE(client.send(httpRequest(method, "/a?x=1", host)));
        // As the LAN worker does: the answer comes later, from a thread of its own.
        std::vector<HttpReply> held = awaitHeld(1);
        ASSERT_EQ(held.size(), 1u);
        held.front()({200, "text/plain", "from the LAN worker", {}});
        const bool head = std::string(method) == "HEAD";
        const auto answer = client.answer(10s, head);
        ASSERT_TRUE(answer);
        EXPECT_NE(answer->head.find("Content-Length: 19"), std::string::npos) << answer->head;
        // After a HEAD nothing but its header came: the next answer reads whole.
        EXPECT_EQ(answer->body, head ? "" : "from the LAN worker");
    }
    EXPECT_EQ(server->counters().accepted, 1u);
}

}  // namespace
}  // namespace krvctl
