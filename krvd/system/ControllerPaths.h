#pragma once

#include <string>

namespace krvd {

// Files the daemon reads directly. The daemon uses the defaults; tests point them elsewhere.
struct ControllerPaths {
    std::string controllerFile = "/var/run/controller";
    std::string housenamesFile = "/var/run/housenames";
    std::string interfaceFile = "/home/etc/trelsetup.d/krvd_interface";
    // krvd's own: present only while a change is written. The unit keeps the runtime folder
    // across restarts of the daemon (RuntimeDirectoryPreserve).
    std::string changeMarkFile = "/run/krvd/change-in-progress";
};

}  // namespace krvd
