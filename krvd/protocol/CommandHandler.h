#pragma once

#include <string>

#include "krvd/settings/Settings.h"
#include "krvd/system/Sleeper.h"
#include "krvd/system/SystemAccess.h"
#include "krvd/transport/ReplySender.h"
#include "protocol/SetupMessage.h"

namespace krvd {

using krv::SetupMessage;

// Carries out one command of the setup protocol: QUERY, ASSIGN, CLEAR; the STATUS and ACK
// replies of other controllers are recognised and ignored. Holds references only; the caller
// keeps every part alive.
class CommandHandler {
  public:
    CommandHandler(Settings& settings, SystemAccess& system, ReplySender& replies,
                   Sleeper& sleeper);

    // commandText is the datagram after its first "#"; message must be empty on entry and is
    // filled by the parse steps. Returns whether the datagram was understood.
    bool handleCommand(const std::string& commandText, SetupMessage& message);

  private:
    bool handleQuery(const std::string& arguments, SetupMessage& message);
    bool handleAssign(const std::string& arguments, SetupMessage& message);
    bool handleClear(const std::string& arguments, SetupMessage& message);
    bool isAddressedHere(const SetupMessage& message) const;
    void applyAssignment(const SetupMessage& message, ShellRunner& shell);
    void runClear(const std::string& key, ShellRunner& shell);

    Settings& settings_;
    SystemAccess& system_;
    ReplySender& replies_;
    Sleeper& sleeper_;
};

}  // namespace krvd
