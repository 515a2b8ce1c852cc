#pragma once

#include <cstdint>

namespace krvd {

// Receiver of every datagram that reaches the daemon's port.
class IBroadcasterCallback {
  public:
    // data holds count bytes (1 to 512), not NUL-terminated; senderAddress is the IPv4
    // address in network byte order, exactly as received.
    virtual void onMessage(const char* data, std::int64_t count, std::uint32_t senderAddress) = 0;
    virtual ~IBroadcasterCallback() = default;
};

}  // namespace krvd
