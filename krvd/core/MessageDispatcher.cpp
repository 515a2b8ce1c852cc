#include "krvd/core/MessageDispatcher.h"

#include <arpa/inet.h>

#include <iostream>

#include "krvd/protocol/CommandHandler.h"
#include "krvd/system/ChangeMark.h"
#include "krvd/system/Log.h"
#include "krvd/system/SettingsReader.h"
#include "protocol/DatagramParser.h"
#include "protocol/TextTransforms.h"
#include "protocol/Wire.h"

namespace krvd {

MessageDispatcher::MessageDispatcher(std::uint16_t port, DaemonEnvironment environment)
    : environment_(std::move(environment)),
      keepAlive_(environment_.serviceManager),
      shell_(environment_.shell, keepAlive_),
      sleeper_(environment_.sleeper, keepAlive_),
      system_{shell_, environment_.interfaces, environment_.paths},
      settings_(std::make_unique<Settings>()) {
    // A daemon ended in the middle of a change (its watchdog, a crash) says nothing itself;
    // the next one says what was cut off, once, and then goes on as usual.
    if (const auto cutOff = ChangeMark(environment_.paths.changeMarkFile).takeLeftOver()) {
        logWarning(describeCutOff(*cutOff));
    }
    // The first datagram must already find a filled record and a saved copy.
    refresh(*settings_, system_);
    const std::string interface = krv::withoutLineBreaks(interfaceName(*settings_, system_));
    broadcaster_ = std::make_unique<Broadcaster>(this, port, interface, environment_.sockets);
    broadcaster_->superviseBy(keepAlive_);
}

MessageDispatcher::~MessageDispatcher() {
    // The endpoint goes first: it calls back into this object.
    broadcaster_.reset();
    settings_.reset();
}

void MessageDispatcher::run() {
    broadcaster_->listen();
}

void MessageDispatcher::onMessage(const char* data, std::int64_t count,
                                  std::uint32_t senderAddress) {
    message_ = SetupMessage{};
    const std::string datagram(data, static_cast<std::size_t>(count));
    std::cout << datagram << '\n';
    const bool understood = handleDatagram(datagram);
    in_addr sender{};
    sender.s_addr = senderAddress;
    std::cout << '[' << inet_ntoa(sender) << "] Message "
              << (understood ? "understood" : "not understood") << "... \n\n";
    // Not flushed here: the receive loop flushes before it waits for the next datagram, and the
    // datagram's commands and pause flush before they start (ConsoleFirst.h).
}

bool MessageDispatcher::handleDatagram(const std::string& datagram) {
    const krv::SplitResult parts = krv::splitFirst(datagram, krv::wire::kItemSeparator);
    if (!krv::checkHeader(parts.head)) {
        return false;
    }
    CommandHandler handler(*settings_, system_, *broadcaster_, sleeper_);
    return handler.handleCommand(parts.tail, message_);
}

}  // namespace krvd
