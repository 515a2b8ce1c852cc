#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "krvd/core/ConsoleFirst.h"
#include "krvd/core/DaemonEnvironment.h"
#include "krvd/settings/Settings.h"
#include "krvd/system/SystemAccess.h"
#include "krvd/transport/Broadcaster.h"
#include "krvd/transport/IBroadcasterCallback.h"
#include "protocol/SetupMessage.h"

namespace krvd {

using krv::SetupMessage;

// The daemon's central object: owns the endpoint and the settings record, and turns each
// received datagram into a handled command with an echo and a verdict on standard output.
class MessageDispatcher final : public IBroadcasterCallback {
  public:
    // Reads the settings (the start-up read), selects the interface and opens the endpoint;
    // ends the process with status 1 when the endpoint cannot be opened.
    MessageDispatcher(std::uint16_t port, DaemonEnvironment environment);
    ~MessageDispatcher() override;
    MessageDispatcher(const MessageDispatcher&) = delete;
    MessageDispatcher& operator=(const MessageDispatcher&) = delete;

    // Receives and handles datagrams forever.
    [[noreturn]] void run();

    void onMessage(const char* data, std::int64_t count, std::uint32_t senderAddress) override;
    // Checks the head and hands the command on; true when the datagram was understood.
    bool handleDatagram(const std::string& datagram);

    const Settings& settings() const { return *settings_; }
    const SetupMessage& currentMessage() const { return message_; }
    Broadcaster& broadcaster() { return *broadcaster_; }

  private:
    DaemonEnvironment environment_;
    // Shared by the receive loop and the seams in front of each command; declared before both.
    KeepAlive keepAlive_;
    ConsoleFirstShell shell_;
    ConsoleFirstSleeper sleeper_;
    SystemAccess system_;
    SetupMessage message_;
    std::unique_ptr<Broadcaster> broadcaster_;
    std::unique_ptr<Settings> settings_;
};

}  // namespace krvd
