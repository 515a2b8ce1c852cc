#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "krvctl/lan/Client.h"
#include "krvctl/values/ExitStatus.h"
#include "krvctl/values/ListenAddress.h"
#include "krvctl/web/ControllerCache.h"
#include "krvctl/web/EventLog.h"
#include "krvctl/web/HttpServer.h"
#include "krvctl/web/LanWorker.h"
#include "krvctl/web/RecordingEndpoint.h"
#include "krvctl/web/RequestGuard.h"

namespace krvctl {

struct ConsoleSettings {
    ListenAddress listen;   // as bound
    std::string interface;  // empty: the system's route for the broadcast decides
    std::string token;
    Timing timing;  // of every request to the LAN, as on the command line
    std::chrono::milliseconds refreshInterval{5000};
};

// The HTTP status for the exit status the command line would give.
int httpStatusFor(ExitStatus status);

// The web console behind its HTTP layer: every request passes the guard, is routed, and
// becomes one call of this library, run on the LAN worker; the reports come back as the JSON
// views the command line prints, and the page is served from the program itself.
class ConsoleApi {
  public:
    // The first discovery starts at once. wallClockMs may be called from any thread.
    ConsoleApi(Endpoint& lan, Clock& clock, std::function<std::uint64_t()> random,
               ConsoleSettings settings, std::function<std::int64_t()> wallClockMs);

    HttpResponse handle(const HttpRequest& request);

    EventLog& log() { return log_; }

  private:
    // A request the guard let through, to the handler of its path.
    HttpResponse route(const HttpRequest& request);
    HttpResponse session() const;
    HttpResponse controllers(int status = 200, const std::string& error = {});
    HttpResponse controller(const std::string& mac);
    HttpResponse events(const HttpRequest& request) const;
    HttpResponse discover();
    HttpResponse query(const std::string& mac);
    HttpResponse check(const std::string& mac, const std::string& body);
    HttpResponse assign(const std::string& mac, const std::string& body);
    HttpResponse clear(const std::string& mac, const std::string& body);

    // One discovery, its datagrams in the log only when the engineer asked for it.
    Discovery discoverRound(bool requested);
    // A STATUS that answered a request; on the worker, so it lands in the order it came.
    void remember(const ControllerRecord& record);
    // Runs the job on the LAN worker, recording what it sends and receives.
    bool onLan(const std::function<void()>& job);

    ConsoleSettings settings_;
    std::function<std::int64_t()> wallClockMs_;
    RequestGuard guard_;
    EventLog log_;
    RecordingEndpoint endpoint_;
    Client client_;
    std::mutex cacheMutex_;
    ControllerCache cache_;
    std::atomic<bool> discovering_ = false;
    LanWorker worker_;  // last: its thread starts with the first discovery
};

}  // namespace krvctl
