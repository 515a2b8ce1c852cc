#pragma once

// A LAN of network namespaces for running krvctl against many controllers: a hub holding the
// bridge "lan0" and the tool's address, and hosts joined to it by veth pairs. Addresses come
// from 192.0.2.0/24 only; nothing is created outside the namespaces, and all is removed again.

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/core/e2e/NetworkLab.h"

namespace krvctl::e2e {

inline constexpr const char* kToolAddress = "192.0.2.250";

class Lan {
  public:
    Lan();
    ~Lan();
    Lan(const Lan&) = delete;
    Lan& operator=(const Lan&) = delete;

    // Empty when the LAN stands; otherwise why it could not be built.
    const std::string& failure() const { return failure_; }
    const std::string& hubNamespace() const { return hub_; }

    // A host with the veth "eth0" at address/24, as a port of its own bridge "br0" when bridged.
    // Returns the host's namespace, or nothing with failure() set.
    std::optional<std::string> addHost(const std::string& address, bool bridged);

  private:
    bool ip(const std::vector<std::string>& arguments);

    std::string hub_;
    std::vector<std::string> hosts_;
    std::string failure_;
};

// The MAC of a fleet's controller number index: 02:00:00:4B:20:II.
std::string fleetMac(int index);

// count real daemons on hosts 192.0.2.10 onwards, each on its own simulated controller with
// fleetMac(i) as its MAC and ctl-i as its host name; half of them reply with hand-built raw
// frames. Returns them listening, or nothing with failure set.
std::optional<std::vector<std::unique_ptr<krvd::e2e::Daemon>>> startFleet(Lan& lan, int count,
                                                                          std::string& failure);

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

// The command line that runs the built krvctl inside the namespace, as that user when given.
std::vector<std::string> toolCommand(const std::string& networkNamespace,
                                     const std::vector<std::string>& arguments,
                                     std::optional<uid_t> asUser = std::nullopt);

// Runs the built krvctl inside the namespace and waits for it (at most timeoutSeconds, then it
// is killed). With a user id, it runs as that user.
ToolRun runTool(const std::string& networkNamespace, const std::vector<std::string>& arguments,
                std::optional<uid_t> asUser = std::nullopt, int timeoutSeconds = 60);

}  // namespace krvctl::e2e
