#include "krvctl/web/HttpServer.h"

#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <cerrno>

namespace krvctl {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using std::chrono::steady_clock;

namespace {

const std::string* lookup(const std::vector<std::pair<std::string, std::string>>& pairs,
                          std::string_view name, bool anyCase) {
    for (const auto& [key, value] : pairs) {
        const bool same = anyCase
                              ? beast::iequals(key, beast::string_view(name.data(), name.size()))
                              : key == name;
        if (same) {
            return &value;
        }
    }
    return nullptr;
}

std::string copy(beast::string_view view) {
    return {view.data(), view.size()};
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// %XX as the byte it stands for; in a query '+' is a space as well.
std::string decoded(std::string_view text, bool plusIsSpace) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexDigit(text[i + 1]) >= 0 &&
            hexDigit(text[i + 2]) >= 0) {
            out += static_cast<char>(hexDigit(text[i + 1]) * 16 + hexDigit(text[i + 2]));
            i += 2;
        } else {
            out += plusIsSpace && text[i] == '+' ? ' ' : text[i];
        }
    }
    return out;
}

void takeTarget(std::string_view target, HttpRequest& request) {
    const std::size_t question = target.find('?');
    request.path = decoded(target.substr(0, question), false);
    if (question == std::string_view::npos) {
        return;
    }
    std::string_view rest = target.substr(question + 1);
    while (!rest.empty()) {
        const std::size_t amp = rest.find('&');
        const std::string_view pair = rest.substr(0, amp);
        if (!pair.empty()) {
            const std::size_t equals = pair.find('=');
            request.query.emplace_back(decoded(pair.substr(0, equals), true),
                                       equals == std::string_view::npos
                                           ? std::string()
                                           : decoded(pair.substr(equals + 1), true));
        }
        rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
    }
}

struct ServerCore {
    explicit ServerCore(HttpLimits limits) : limits(limits) {}

    HttpLimits limits;
    HttpService* service = nullptr;
    std::atomic<std::uint64_t> accepted = 0;
    std::atomic<std::uint64_t> evicted = 0;
    std::atomic<std::uint64_t> turnedAway = 0;
    std::atomic<std::uint64_t> timedOut = 0;
    std::atomic<std::uint64_t> tooLarge = 0;
    std::atomic<std::size_t> open = 0;
};

// One client's connection, kept alive by the operation it waits for, or by the reply that a
// request waiting for the LAN holds.
class Connection : public std::enable_shared_from_this<Connection> {
  public:
    Connection(tcp::socket socket, ServerCore& core) : stream_(std::move(socket)), core_(core) {
        ++core_.open;
        beast::error_code ignored;
        const auto peer = stream_.socket().remote_endpoint(ignored);
        remoteAddress_ = ignored ? std::string() : peer.address().to_string();
    }
    ~Connection() { --core_.open; }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void start() { readHeader(); }

    // Waiting for a request, or part-way through reading one: what may be given up for room.
    bool reading() const { return phase_ == Phase::Reading; }
    steady_clock::time_point waitingSince() const { return waitingSince_; }

    // The pending read or write fails at once, which ends the connection.
    void close() {
        phase_ = Phase::Closed;
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.close();
    }

  private:
    enum class Phase { Reading, Answering, Writing, Closed };

    void readHeader() {
        phase_ = Phase::Reading;
        waitingSince_ = steady_clock::now();
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(core_.limits.headerBytes));
        // The path decides, once the header is read; until then a header may announce what the
        // largest path takes (the parser judges a Content-Length as soon as the header ends).
        bodyLimit_ = core_.service->largestBodyLimit(core_.limits.bodyBytes);
        parser_->body_limit(bodyLimit_);
        request_ = HttpRequest{};
        // Once for the whole request: each byte that arrives does not extend it.
        stream_.expires_after(core_.limits.requestDeadline);
        http::async_read_header(stream_, buffer_, *parser_,
                                [self = shared_from_this()](beast::error_code error, std::size_t) {
                                    self->onHeader(error);
                                });
    }

    void onHeader(beast::error_code error) {
        if (error) {
            failed(error);
            return;
        }
        const auto& head = parser_->get();
        request_.method = copy(head.method_string());
        takeTarget(std::string_view(head.target().data(), head.target().size()), request_);
        for (const auto& field : head) {
            request_.headers.emplace_back(copy(field.name_string()), copy(field.value()));
        }
        request_.remoteAddress = remoteAddress_;
        keepAlive_ = head.keep_alive();
        headOnly_ = head.method() == http::verb::head;
        if (auto refusal = core_.service->screen(request_)) {
            write(std::move(*refusal), false);
            return;
        }
        bodyLimit_ = core_.service->bodyLimit(request_, core_.limits.bodyBytes);
        if (const auto announced = parser_->content_length();
            announced && *announced > bodyLimit_) {
            failed(http::error::body_limit);
            return;
        }
        // A chunked body is judged chunk by chunk as it arrives.
        parser_->body_limit(bodyLimit_);
        if (parser_->is_done()) {
            dispatch();
            return;
        }
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](beast::error_code error, std::size_t) {
                             if (error) {
                                 self->failed(error);
                             } else {
                                 self->dispatch();
                             }
                         });
    }

    void failed(beast::error_code error) {
        if (phase_ == Phase::Closed || error == http::error::end_of_stream ||
            error == net::error::operation_aborted || error == net::error::eof ||
            error == net::error::connection_reset) {
            return;
        }
        if (error == beast::error::timeout) {
            ++core_.timedOut;
            return;
        }
        int status = 400;
        std::string problem = "the request is not HTTP/1.1: " + error.message();
        if (error == http::error::header_limit || error == http::error::buffer_overflow) {
            ++core_.tooLarge;
            status = 431;
            problem = "the request's header is larger than " +
                      std::to_string(core_.limits.headerBytes) + " bytes";
        } else if (error == http::error::body_limit) {
            ++core_.tooLarge;
            status = 413;
            problem = "the body is larger than " + std::to_string(bodyLimit_) + " bytes";
        }
        write(core_.service->malformed(remoteAddress_, status, problem), false);
    }

    void dispatch() {
        phase_ = Phase::Answering;
        // The answer may wait for the LAN; the time it takes is not the client's.
        stream_.expires_never();
        request_.body = std::move(parser_->get().body());
        parser_.reset();
        const bool keepAlive = keepAlive_;
        core_.service->handle(
            request_, [self = shared_from_this(), keepAlive](HttpResponse response) {
                net::post(self->stream_.get_executor(),
                          [self, keepAlive, response = std::move(response)]() mutable {
                              if (self->phase_ == Phase::Answering) {
                                  self->write(std::move(response), keepAlive);
                              }
                          });
            });
    }

    void write(HttpResponse response, bool keepAlive) {
        phase_ = Phase::Writing;
        auto message = std::make_shared<http::response<http::string_body>>();
        message->result(static_cast<unsigned>(response.status));
        message->set(http::field::content_type, response.contentType);
        for (const auto& [name, value] : response.headers) {
            message->insert(name, value);
        }
        const std::size_t length = response.body.size();
        message->body() = headOnly_ ? std::string() : std::move(response.body);
        message->keep_alive(keepAlive);
        message->content_length(length);
        stream_.expires_after(core_.limits.writeDeadline);
        http::async_write(
            stream_, *message,
            [self = shared_from_this(), message, keepAlive](beast::error_code error, std::size_t) {
                if (error || !keepAlive || self->phase_ == Phase::Closed) {
                    self->close();
                    return;
                }
                self->readHeader();
            });
    }

    beast::tcp_stream stream_;
    ServerCore& core_;
    std::string remoteAddress_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    HttpRequest request_;
    Phase phase_ = Phase::Reading;
    steady_clock::time_point waitingSince_ = steady_clock::now();
    bool keepAlive_ = false;
    bool headOnly_ = false;
    std::size_t bodyLimit_ = 0;  // this request's
};

}  // namespace

const std::string* HttpRequest::header(std::string_view name) const {
    return lookup(headers, name, true);
}

const std::string* HttpRequest::parameter(std::string_view name) const {
    return lookup(query, name, false);
}

// Declared in this order so that the handlers the context still holds when it goes find the
// counters they update.
struct HttpServer::State {
    explicit State(HttpLimits limits) : core(limits) {}

    void accept() {
        acceptor.async_accept([this](beast::error_code error, tcp::socket socket) {
            if (error == net::error::operation_aborted) {
                return;
            }
            if (!error) {
                admit(std::move(socket));
                accept();
                return;
            }
            // Out of descriptors, most likely: try again shortly rather than spin.
            retry.expires_after(std::chrono::milliseconds(100));
            retry.async_wait([this](beast::error_code waited) {
                if (!waited) {
                    accept();
                }
            });
        });
    }

    void admit(tcp::socket socket) {
        ++core.accepted;
        std::erase_if(connections, [](const auto& weak) { return weak.expired(); });
        if (connections.size() >= core.limits.connections) {
            std::shared_ptr<Connection> oldest;
            for (const auto& weak : connections) {
                const auto connection = weak.lock();
                if (connection && connection->reading() &&
                    (!oldest || connection->waitingSince() < oldest->waitingSince())) {
                    oldest = connection;
                }
            }
            if (!oldest) {
                ++core.turnedAway;
                beast::error_code ignored;
                socket.close(ignored);
                return;
            }
            ++core.evicted;
            oldest->close();
            std::erase_if(connections, [&](const auto& weak) { return weak.lock() == oldest; });
        }
        auto connection = std::make_shared<Connection>(std::move(socket), core);
        connections.push_back(connection);
        connection->start();
    }

    ServerCore core;
    net::io_context io{1};
    tcp::acceptor acceptor{io};
    net::steady_timer retry{io};
    std::vector<std::weak_ptr<Connection>> connections;
};

HttpServer::HttpServer(HttpLimits limits) : state_(std::make_unique<State>(limits)) {}

HttpServer::~HttpServer() = default;

Result<ListenAddress> HttpServer::bind(const ListenAddress& address) {
    beast::error_code error;
    const tcp::endpoint endpoint(net::ip::address_v4(address.address), address.port);
    tcp::acceptor& acceptor = state_->acceptor;
    acceptor.open(endpoint.protocol(), error);
    if (!error) {
        acceptor.set_option(net::socket_base::reuse_address(true), error);
    }
    if (!error) {
        acceptor.bind(endpoint, error);
    }
    if (!error) {
        acceptor.listen(net::socket_base::max_listen_connections, error);
    }
    if (error) {
        beast::error_code ignored;
        acceptor.close(ignored);
        return Result<ListenAddress>::failure("cannot listen on " + address.text() + ": " +
                                              error.message());
    }
    ListenAddress bound = address;
    bound.port = acceptor.local_endpoint().port();
    return Result<ListenAddress>::success(bound);
}

void HttpServer::serve(HttpService& service) {
    state_->core.service = &service;
    state_->accept();
    state_->io.run();
}

void HttpServer::stop() {
    state_->io.stop();
}

HttpCounters HttpServer::counters() const {
    const ServerCore& core = state_->core;
    return {core.accepted, core.evicted, core.turnedAway, core.timedOut, core.tooLarge};
}

std::size_t HttpServer::openConnections() const {
    return state_->core.open;
}

}  // namespace krvctl
