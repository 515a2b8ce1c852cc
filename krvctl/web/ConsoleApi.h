#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "krvctl/lan/Client.h"
#include "krvctl/values/ExitStatus.h"
#include "krvctl/values/ListenAddress.h"
#include "krvctl/views/JsonView.h"
#include "krvctl/web/ConsoleFleet.h"
#include "krvctl/web/ControllerCache.h"
#include "krvctl/web/EventLog.h"
#include "krvctl/web/HttpServer.h"
#include "krvctl/web/LanWorker.h"
#include "krvctl/web/RecordingEndpoint.h"
#include "krvctl/web/RequestGuard.h"

namespace krvctl {

struct ConsoleSettings {
    ListenAddress listen;                 // as bound
    std::vector<std::string> interfaces;  // as given with --interface; empty: every one
    std::string token;
    Timing timing;  // of every request to the LAN, as on the command line
    std::chrono::milliseconds refreshInterval{5000};
    CacheLimits cache = {};
    EventLogLimits log = {};
    std::size_t lanQueue = LanWorker::kCapacity;
    // GET /api/controllers stays below this however many controllers are known; those that do
    // not fit are counted instead.
    std::size_t listBytes = 768 * 1024;
};

// The HTTP status for the exit status the command line would give.
int httpStatusFor(ExitStatus status);

// The web console behind its HTTP layer: every request passes the guard, is routed, and
// becomes one call of this library; what needs the LAN waits for the LAN worker while nothing
// else does. The reports come back as the JSON views the command line prints, and the page is
// served from the program itself.
class ConsoleApi final : public HttpService {
  public:
    // The first discovery starts at once. wallClockMs may be called from any thread.
    ConsoleApi(Endpoint& lan, Clock& clock, std::function<std::uint64_t()> random,
               ConsoleSettings settings, std::function<std::int64_t()> wallClockMs);

    std::optional<HttpResponse> screen(const HttpRequest& head) override;
    std::size_t bodyLimit(const HttpRequest& head, std::size_t standard) override;
    void handle(const HttpRequest& request, HttpReply reply) override;
    HttpResponse malformed(const std::string& remoteAddress, int status,
                           const std::string& problem) override;

    // What the HTTP layer gave up, for the page; nothing is shown without it.
    void showConnections(std::function<HttpCounters()> counters);

    EventLog& log() { return log_; }

  private:
    // A request the guard let through, to the handler of its path.
    void route(const HttpRequest& request, const HttpReply& reply);
    HttpResponse session() const;
    HttpResponse controllers(int status = 200, const std::string& error = {});
    HttpResponse controller(const std::string& mac);
    HttpResponse events(const HttpRequest& request);
    void discover(HttpReply reply);
    HttpResponse query(const std::string& mac);
    HttpResponse check(const std::string& mac, const std::string& body);
    void assign(const std::string& mac, const HttpRequest& request, const HttpReply& reply);
    void clear(const std::string& mac, const HttpRequest& request, const HttpReply& reply);
    // Plan and apply: route is one of the plan routes.
    void fleet(int route, const HttpRequest& request, const HttpReply& reply);

    // One discovery, its datagrams in the log only when the engineer asked for it.
    Discovery discoverRound(bool requested);
    // A STATUS that answered a request; on the worker, so it lands in the order it came.
    void remember(const ControllerRecord& record);
    // The job runs on the LAN worker, recording what it sends and receives, and its answer
    // goes to reply; when the worker has no room, reply gets 503 at once.
    void onLan(const HttpReply& reply, std::function<HttpResponse()> job);
    // On the worker, before a change goes out: 412 with the current values when the
    // controller changed since the revision the page showed.
    std::optional<HttpResponse> staleAnswer(const std::string& mac, std::uint64_t shown);
    Json entryJson(const CachedController& cached) const;

    ConsoleSettings settings_;
    std::function<std::int64_t()> wallClockMs_;
    RequestGuard guard_;
    EventLog log_;
    RecordingEndpoint endpoint_;
    Client client_;
    std::mutex cacheMutex_;
    ControllerCache cache_;
    std::atomic<bool> discovering_ = false;
    std::mutex discoverMutex_;
    std::vector<HttpReply> discoverWaiting_;  // all answered by the one discovery queued
    std::function<HttpCounters()> connections_;
    ConsoleFleet fleet_;
    LanWorker worker_;  // last: its thread starts with the first discovery
};

}  // namespace krvctl
