#pragma once

// Windows' sockets for this platform's implementations: started once, closed by their owner,
// their failures in the system's own words.

#include <winsock2.h>

#include <string>
#include <utility>

namespace krvctl::windows {

// The system's words for a Winsock or Win32 error number, with the number for a search.
std::string errorText(unsigned long error);
// Winsock 2.2 for the rest of the program's life; false, with the reason, when it cannot start.
bool startWinsock(std::string& problem);
// UTF-16 from the system as UTF-8, the program's text.
std::string narrowed(const wchar_t* text);

class OwnedSocket {
  public:
    OwnedSocket() = default;
    explicit OwnedSocket(SOCKET handle) : handle_(handle) {}
    ~OwnedSocket() {
        if (handle_ != INVALID_SOCKET) {
            ::closesocket(handle_);
        }
    }
    OwnedSocket(OwnedSocket&& other) noexcept
        : handle_(std::exchange(other.handle_, INVALID_SOCKET)) {}
    OwnedSocket& operator=(OwnedSocket&& other) noexcept {
        std::swap(handle_, other.handle_);
        return *this;
    }
    OwnedSocket(const OwnedSocket&) = delete;
    OwnedSocket& operator=(const OwnedSocket&) = delete;

    SOCKET get() const { return handle_; }
    bool valid() const { return handle_ != INVALID_SOCKET; }

  private:
    SOCKET handle_ = INVALID_SOCKET;
};

}  // namespace krvctl::windows
