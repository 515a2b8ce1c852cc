#pragma once

// A plain HTTP/1.1 client over one TCP connection to 127.0.0.1, for tests of the console's
// server: it writes exactly the bytes it is given (slowly, malformed or endless if the test
// wants) and reads what comes back within a time limit.

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace krvctl::test {

struct HttpAnswer {
    int status = 0;
    std::string head;
    std::string body;
};

// On Boost.Asio, so that it runs wherever the console's server runs (also under Wine).
class LoopbackClient {
  public:
    explicit LoopbackClient(std::uint16_t port) : socket_(context_) {
        boost::system::error_code failed;
        socket_.connect({boost::asio::ip::address_v4::loopback(), port}, failed);
        if (failed) {
            socket_.close(failed);
        }
    }
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;

    // False once the server closed the connection (or never took it).
    bool send(const std::string& bytes) {
        if (!socket_.is_open()) {
            return false;
        }
        boost::system::error_code failed;
        boost::asio::write(socket_, boost::asio::buffer(bytes), failed);
        return !failed;
    }

    // The next whole response (its body by Content-Length, none for a HEAD), or nothing when
    // the connection ended or the time ran out first.
    std::optional<HttpAnswer> answer(std::chrono::milliseconds timeout = std::chrono::seconds(10),
                                     bool toHead = false) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::size_t headEnd = std::string::npos;
        while ((headEnd = buffer_.find("\r\n\r\n")) == std::string::npos) {
            if (!readMore(deadline)) {
                return std::nullopt;
            }
        }
        HttpAnswer answer;
        answer.head = buffer_.substr(0, headEnd + 2);
        if (answer.head.size() > 12) {
            answer.status = std::stoi(answer.head.substr(9, 3));
        }
        std::size_t length = 0;
        if (const auto at = answer.head.find("\r\nContent-Length:");
            at != std::string::npos && !toHead) {
            length = std::stoul(answer.head.substr(at + 17));
        }
        while (buffer_.size() < headEnd + 4 + length) {
            if (!readMore(deadline)) {
                return std::nullopt;
            }
        }
        answer.body = buffer_.substr(headEnd + 4, length);
        buffer_.erase(0, headEnd + 4 + length);
        return answer;
    }

    // True when the server closes the connection within the timeout (what it sent before is
    // dropped).
    bool closedByServer(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (readMore(deadline)) {
        }
        return !socket_.is_open() || ended_;
    }

  private:
    bool readMore(std::chrono::steady_clock::time_point deadline) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (!socket_.is_open() || ended_ || left <= std::chrono::steady_clock::duration::zero()) {
            return false;
        }
        bool got = false;
        bool done = false;
        socket_.async_read_some(boost::asio::buffer(chunk_),
                                [&](const boost::system::error_code& failed, std::size_t size) {
                                    done = true;
                                    if (!failed) {
                                        buffer_.append(chunk_.data(), size);
                                        got = true;
                                    } else if (failed != boost::asio::error::operation_aborted) {
                                        ended_ = true;
                                    }
                                });
        context_.restart();
        context_.run_for(left);
        if (!done) {
            // Out of time: the read is cancelled and its handler run before the next one.
            socket_.cancel();
            context_.restart();
            context_.run();
        }
        return got;
    }

    boost::asio::io_context context_;
    boost::asio::ip::tcp::socket socket_;
    std::array<char, 16384> chunk_{};
    std::string buffer_;
    bool ended_ = false;
};

// A request's bytes: the request line, Host, the headers given, and the body with its length.
inline std::string httpRequest(const std::string& method, const std::string& target,
                               const std::string& host,
                               const std::vector<std::pair<std::string, std::string>>& headers = {},
                               const std::string& body = {}) {
    std::string text = method + " " + target + " HTTP/1.1\r\nHost: " + host + "\r\n";
    for (const auto& [name, value] : headers) {
        text += name + ": " + value + "\r\n";
    }
    if (!body.empty() || method == "POST") {
        text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    }
    return text + "\r\n" + body;
}

}  // namespace krvctl::test
