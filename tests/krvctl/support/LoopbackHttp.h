#pragma once

// A plain HTTP/1.1 client over one TCP connection to 127.0.0.1, for tests of the console's
// server: it writes exactly the bytes it is given (slowly, malformed or endless if the test
// wants) and reads what comes back within a time limit.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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

class LoopbackClient {
  public:
    explicit LoopbackClient(std::uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_port = htons(port);
        server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ >= 0 &&
            ::connect(fd_, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~LoopbackClient() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;

    // False once the server closed the connection (or never took it).
    bool send(const std::string& bytes) {
        std::size_t done = 0;
        while (fd_ >= 0 && done < bytes.size()) {
            const ssize_t sent =
                ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (sent <= 0) {
                return false;
            }
            done += static_cast<std::size_t>(sent);
        }
        return fd_ >= 0;
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
        return fd_ < 0 || ended_;
    }

  private:
    bool readMore(std::chrono::steady_clock::time_point deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd waiting{fd_, POLLIN, 0};
        if (fd_ < 0 || left.count() <= 0 ||
            ::poll(&waiting, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        char chunk[16384];
        const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
        if (got <= 0) {
            ended_ = true;
            return false;
        }
        buffer_.append(chunk, static_cast<std::size_t>(got));
        return true;
    }

    int fd_ = -1;
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
