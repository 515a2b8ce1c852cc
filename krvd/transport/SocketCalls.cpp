#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include "krvd/transport/SocketCalls.h"
#include "krvd/transport/StopSignals.h"

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
        return ::recvfrom(fd, buffer, size, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&sender),
                          &length);
    }
    void waitReadable(int fd) override {
        // Stop signals are held back from the check to the wait, and let through only inside
        // it: one that arrives in between still ends the wait instead of going unnoticed.
        const sigset_t stops = stopSignalSet();
        sigset_t previous;
        pthread_sigmask(SIG_BLOCK, &stops, &previous);
        if (pendingStopSignal() == 0) {
            sigset_t during = previous;
            for (int signal = 1; signal < NSIG; ++signal) {
                if (sigismember(&stops, signal) == 1) {
                    sigdelset(&during, signal);
                }
            }
            pollfd entry{fd, POLLIN, 0};
            ::ppoll(&entry, 1, nullptr, &during);
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
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
