#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>

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
    int receiveBatch(int fd, std::span<ReceivedDatagram> slots) override {
        std::array<mmsghdr, kReceiveBatch> headers{};
        std::array<iovec, kReceiveBatch> vectors{};
        const std::size_t capacity = std::min(slots.size(), headers.size());
        for (std::size_t i = 0; i < capacity; ++i) {
            vectors[i] = {slots[i].bytes.data(), slots[i].bytes.size()};
            headers[i].msg_hdr.msg_iov = &vectors[i];
            headers[i].msg_hdr.msg_iovlen = 1;
            headers[i].msg_hdr.msg_name = &slots[i].sender;
            headers[i].msg_hdr.msg_namelen = sizeof slots[i].sender;
        }
        // Blocks for the first datagram only; the rest are what is queued already.
        const int received = ::recvmmsg(fd, headers.data(), static_cast<unsigned>(capacity),
                                        MSG_WAITFORONE, nullptr);
        for (int i = 0; i < received; ++i) {
            slots[static_cast<std::size_t>(i)].count = headers[static_cast<std::size_t>(i)].msg_len;
        }
        return received;
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
