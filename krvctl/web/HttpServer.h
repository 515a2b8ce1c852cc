#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "krvctl/values/ListenAddress.h"
#include "krvctl/values/Result.h"

namespace httplib {
class Server;
}

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

using HttpHandler = std::function<HttpResponse(const HttpRequest&)>;

// The HTTP layer: a server from the cpp-httplib library that hands every request, whatever
// its method or path, to one handler. Everything the console decides is in that handler.
class HttpServer {
  public:
    // Bodies above this are refused before the handler sees them.
    static constexpr std::size_t kMaxBody = 64 * 1024;

    HttpServer();
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Listens on the address; port 0 becomes a free one. The address as bound, or why not.
    Result<ListenAddress> bind(const ListenAddress& address);
    // Answers requests with the handler until stop(); runs in the calling thread.
    void serve(HttpHandler handler);
    // From any thread, once serve() has been called.
    void stop();

  private:
    std::unique_ptr<httplib::Server> server_;
};

}  // namespace krvctl
