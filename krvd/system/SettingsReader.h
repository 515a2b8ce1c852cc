#pragma once

#include <string>

#include "krvd/settings/Settings.h"
#include "krvd/system/SystemAccess.h"

namespace krvd {

// Fills the record from the controller: about ten to seventeen probes through the shell.
void readSettings(Settings& settings, SystemAccess& system);
// readSettings, then a new saved copy.
void refresh(Settings& settings, SystemAccess& system);
// Re-reads the interface-selection file into the record and returns the selected name.
const std::string& interfaceName(Settings& settings, SystemAccess& system);
// Netmask of the selected interface as dotted quad, or an "ERROR::" text.
std::string interfaceNetmask(Settings& settings, SystemAccess& system);

}  // namespace krvd
