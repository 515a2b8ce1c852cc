#include <unistd.h>

#include "krvd/transport/SocketCalls.h"

namespace krvd {
namespace {

const sockaddr* asSockaddr(const sockaddr_in& address) {
    return reinterpret_cast<const sockaddr*>(&address);
}

class SystemSocketCalls final : public SocketCalls {
  public:
    int socket(int domain, int type, int protocol) override {
        return ::socket(domain, type, protocol);
    }
    int setsockopt(int fd, int level, int name, const void* value, socklen_t length) override {
        return ::setsockopt(fd, level, name, value, length);
    }
    int bind(int fd, const sockaddr_in& address) override {
        return ::bind(fd, asSockaddr(address), sizeof address);
    }
    ssize_t recvfrom(int fd, char* buffer, std::size_t size, sockaddr_in& sender) override {
        socklen_t length = sizeof sender;
        return ::recvfrom(fd, buffer, size, 0, reinterpret_cast<sockaddr*>(&sender), &length);
    }
    ssize_t sendto(int fd, const std::string& bytes, const sockaddr_in& destination) override {
        return ::sendto(fd, bytes.data(), bytes.size(), 0, asSockaddr(destination),
                        sizeof destination);
    }
    void close(int fd) override { ::close(fd); }
};

}  // namespace

SocketCalls& systemSocketCalls() {
    static SystemSocketCalls calls;
    return calls;
}

}  // namespace krvd
