#pragma once

#include <string>

namespace krvd {

// Files the daemon reads directly. The daemon uses the defaults; tests point them elsewhere.
struct ControllerPaths {
    std::string controllerFile = "/var/run/controller";
    std::string housenamesFile = "/var/run/housenames";
    std::string interfaceFile = "/home/etc/trelsetup.d/krvd_interface";
};

}  // namespace krvd
