#include "krvctl/web/HttpServer.h"

#include <httplib.h>
#include <strings.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace krvctl {

namespace {

const std::string* lookup(const std::vector<std::pair<std::string, std::string>>& pairs,
                          std::string_view name, bool anyCase) {
    for (const auto& [key, value] : pairs) {
        const bool same = anyCase ? key.size() == name.size() &&
                                        ::strncasecmp(key.data(), name.data(), name.size()) == 0
                                  : key == name;
        if (same) {
            return &value;
        }
    }
    return nullptr;
}

// Seconds a browser's idle connection is kept; stop() waits for them to close.
constexpr time_t kKeepAliveSeconds = 2;

}  // namespace

const std::string* HttpRequest::header(std::string_view name) const {
    return lookup(headers, name, true);
}

const std::string* HttpRequest::parameter(std::string_view name) const {
    return lookup(query, name, false);
}

HttpServer::HttpServer() : server_(std::make_unique<httplib::Server>()) {
    server_->set_payload_max_length(kMaxBody);
    server_->set_keep_alive_timeout(kKeepAliveSeconds);
}

HttpServer::~HttpServer() = default;

Result<ListenAddress> HttpServer::bind(const ListenAddress& address) {
    ListenAddress bound = address;
    errno = 0;
    if (address.port == 0) {
        const int port = server_->bind_to_any_port(address.host());
        if (port > 0) {
            bound.port = static_cast<std::uint16_t>(port);
            return Result<ListenAddress>::success(bound);
        }
    } else if (server_->bind_to_port(address.host(), address.port)) {
        return Result<ListenAddress>::success(bound);
    }
    const int error = errno;
    return Result<ListenAddress>::failure(
        "cannot listen on " + address.text() +
        (error != 0 ? ": " + std::string(std::strerror(error)) : std::string()));
}

void HttpServer::serve(HttpHandler handler) {
    const auto answer = [handler = std::move(handler)](const httplib::Request& in,
                                                       httplib::Response& out) {
        HttpRequest request{in.method, in.path, {}, {}, in.body, in.remote_addr};
        request.query.assign(in.params.begin(), in.params.end());
        request.headers.assign(in.headers.begin(), in.headers.end());
        const HttpResponse response = handler(request);
        out.status = response.status;
        for (const auto& [name, value] : response.headers) {
            out.set_header(name, value);
        }
        out.set_content(response.body, response.contentType);
    };
    // Every method and path goes to the handler, which knows which ones exist.
    server_->Get(".*", answer);
    server_->Post(".*", answer);
    server_->Put(".*", answer);
    server_->Patch(".*", answer);
    server_->Delete(".*", answer);
    server_->Options(".*", answer);
    server_->listen_after_bind();
}

void HttpServer::stop() {
    // A stop that comes before the server runs would be lost, and serve() would never return.
    for (int i = 0; i < 5000 && !server_->is_running(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    server_->stop();
}

}  // namespace krvctl
