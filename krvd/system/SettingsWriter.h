#pragma once

#include <string>

#include "krvd/settings/Settings.h"
#include "krvd/system/ShellRunner.h"

namespace krvd {

// Writes every group that differs from the saved copy, then re-applies a pending clock.
void writeSettings(Settings& settings, ShellRunner& shell);
// Sets the system clock from 14 digits YYYYMMDDhhmmss (UTC); true when a command was run.
bool setClock(Settings& settings, ShellRunner& shell, const std::string& utc);
// The UTC clock as the controller's date prints it, normally 14 digits.
std::string readClock(ShellRunner& shell);
// Each true when cleared or when the controller type has nothing to clear.
bool clearTimeServer(const Settings& settings, ShellRunner& shell);
bool clearSyslogServer(const Settings& settings, ShellRunner& shell);
bool clearNameServer(const Settings& settings, ShellRunner& shell);

}  // namespace krvd
