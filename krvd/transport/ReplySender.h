#pragma once

#include <string>

namespace krvd {

// Where the command handling hands its finished replies; the Broadcaster in the daemon.
class ReplySender {
  public:
    virtual ~ReplySender() = default;
    // Broadcasts the whole text; the caller never learns whether it left.
    virtual void send(const std::string& text) = 0;
};

}  // namespace krvd
