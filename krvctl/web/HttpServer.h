#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "krvctl/values/ListenAddress.h"
#include "krvctl/values/Result.h"

namespace krvctl {

struct HttpRequest {
    std::string method;
    std::string path;  // decoded, without the query
    std::vector<std::pair<std::string, std::string>> query;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::string remoteAddress;

    // The first header of that name, whatever its letter case.
    const std::string* header(std::string_view name) const;
    const std::string* parameter(std::string_view name) const;
};

struct HttpResponse {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

// Answers one request; callable once, from any thread, also long after the request came.
using HttpReply = std::function<void(HttpResponse)>;

// What the server asks of the program behind it.
class HttpService {
  public:
    virtual ~HttpService() = default;
    // Judged on the request line and header alone, before a byte of the body is read: a
    // response ends the exchange there and the connection is closed.
    virtual std::optional<HttpResponse> screen(const HttpRequest& head) = 0;
    // How large this request's body may be, judged on its header; most take the standard.
    virtual std::size_t bodyLimit(const HttpRequest&, std::size_t standard) { return standard; }
    virtual void handle(const HttpRequest& request, HttpReply reply) = 0;
    // The answer to a request the server could not take (too large, malformed).
    virtual HttpResponse malformed(const std::string& remoteAddress, int status,
                                   const std::string& problem) = 0;
};

// What one client may cost. A client that trickles, idles or sends without end is cut off by
// these, never by the patience of the others.
struct HttpLimits {
    std::size_t headerBytes = 16 * 1024;  // request line and every header line together
    std::size_t bodyBytes = 64 * 1024;    // also the sum of every chunk of a chunked body
    // From the moment the server waits for a request until its last byte: a trickle cannot
    // extend it, and an idle keep-alive connection ends with it too.
    std::chrono::milliseconds requestDeadline{10'000};
    std::chrono::milliseconds writeDeadline{10'000};
    // When every connection is taken, a new one closes the one that has waited longest for
    // its request; connections whose request is being answered are kept.
    std::size_t connections = 128;
};

struct HttpCounters {
    std::uint64_t accepted = 0;
    std::uint64_t evicted = 0;     // closed to make room for a new connection
    std::uint64_t turnedAway = 0;  // closed at once: every connection was being answered
    std::uint64_t timedOut = 0;    // closed at the request deadline
    std::uint64_t tooLarge = 0;    // header or body over its limit
};

// The HTTP layer: one thread serves every connection (Boost.Beast on Asio); every request,
// whatever its method or path, goes to one service, which decides everything else.
class HttpServer {
  public:
    explicit HttpServer(HttpLimits limits = {});
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Listens on the address; port 0 becomes a free one. The address as bound, or why not.
    Result<ListenAddress> bind(const ListenAddress& address);
    // Answers requests with the service until stop(); runs in the calling thread.
    void serve(HttpService& service);
    // From any thread, before or after serve() started.
    void stop();

    // From any thread.
    HttpCounters counters() const;
    std::size_t openConnections() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace krvctl
