#include "krvd/transport/ServiceManager.h"

#include <sys/socket.h>
#include <unistd.h>

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>

namespace krvd {
namespace {

// A whole text of decimal digits, nothing else; the value must fit.
template <typename Number>
std::optional<Number> decimal(const char* text) {
    if (text == nullptr || *text == '\0') {
        return std::nullopt;
    }
    const std::string_view digits(text);
    Number value{};
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc{} || end != digits.data() + digits.size() || digits.front() == '-' ||
        digits.front() == '+') {
        return std::nullopt;
    }
    return value;
}

// Closes the notification socket on every path out.
class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

class SystemdServiceManager final : public ServiceManager {
  public:
    std::chrono::microseconds watchdogInterval() override {
        return watchdogIntervalFrom(std::getenv("WATCHDOG_USEC"), std::getenv("WATCHDOG_PID"),
                                    ::getpid());
    }
    void notify(const std::string& state) override {
        const char* variable = std::getenv("NOTIFY_SOCKET");
        if (variable == nullptr) {
            return;
        }
        const std::optional<NotifyAddress> target = notifyAddress(variable);
        if (!target) {
            return;
        }
        // A fresh socket per notification: nothing stays open for the commands the daemon runs.
        const Descriptor socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        if (socket.get() < 0) {
            return;
        }
        // A manager that is gone must not end the daemon with SIGPIPE; a refused notification
        // changes nothing in the daemon's work.
        static_cast<void>(::sendto(socket.get(), state.data(), state.size(), MSG_NOSIGNAL,
                                   reinterpret_cast<const sockaddr*>(&target->address),
                                   target->length));
    }
    std::chrono::steady_clock::time_point now() override {
        return std::chrono::steady_clock::now();
    }
};

}  // namespace

std::optional<NotifyAddress> notifyAddress(std::string_view socketVariable) {
    NotifyAddress result;
    result.address.sun_family = AF_UNIX;
    const std::size_t room = sizeof result.address.sun_path;
    if (socketVariable.starts_with('/')) {
        // A path keeps its terminating NUL inside the address.
        if (socketVariable.size() >= room) {
            return std::nullopt;
        }
        socketVariable.copy(result.address.sun_path, socketVariable.size());
        result.length =
            static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socketVariable.size() + 1);
        return result;
    }
    if (socketVariable.starts_with('@') && socketVariable.size() > 1) {
        // An abstract name is its bytes after a leading NUL, exactly as long as given.
        if (socketVariable.size() > room) {
            return std::nullopt;
        }
        socketVariable.copy(result.address.sun_path, socketVariable.size());
        result.address.sun_path[0] = '\0';
        result.length =
            static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socketVariable.size());
        return result;
    }
    return std::nullopt;
}

std::chrono::microseconds watchdogIntervalFrom(const char* usecVariable, const char* pidVariable,
                                               pid_t self) {
    const std::optional<std::uint64_t> usec = decimal<std::uint64_t>(usecVariable);
    // systemd writes the infinite interval as the largest value.
    if (!usec || *usec == 0 || *usec == std::numeric_limits<std::uint64_t>::max() ||
        *usec > static_cast<std::uint64_t>(std::chrono::microseconds::max().count())) {
        return std::chrono::microseconds::zero();
    }
    if (pidVariable != nullptr) {
        const std::optional<pid_t> pid = decimal<pid_t>(pidVariable);
        if (!pid || *pid <= 0 || *pid != self) {
            return std::chrono::microseconds::zero();
        }
    }
    return std::chrono::microseconds(static_cast<std::chrono::microseconds::rep>(*usec));
}

ServiceManager& systemServiceManager() {
    static SystemdServiceManager manager;
    return manager;
}

}  // namespace krvd
