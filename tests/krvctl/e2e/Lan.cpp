#include "tests/krvctl/e2e/Lan.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

namespace krvctl::e2e {

using krvd::e2e::runQuietly;

Lan::Lan() {
    hub_ = "krv-lan-" + std::to_string(getpid());
    if (geteuid() != 0) {
        failure_ = "needs root to create network namespaces";
        hub_.clear();
        return;
    }
    if (runQuietly({"ip", "netns", "add", hub_}) != 0) {
        failure_ = "ip netns add is not possible here";
        hub_.clear();
        return;
    }
    const bool ok =
        ip({"-n", hub_, "link", "set", "lo", "up"}) &&
        ip({"-n", hub_, "link", "add", "lan0", "type", "bridge"}) &&
        ip({"-n", hub_, "addr", "add", std::string(kToolAddress) + "/24", "dev", "lan0"}) &&
        ip({"-n", hub_, "link", "set", "lan0", "up"}) &&
        ip({"-n", hub_, "route", "add", "default", "via", "192.0.2.1", "dev", "lan0"});
    if (!ok && failure_.empty()) {
        failure_ = "could not build the hub";
    }
}

Lan::~Lan() {
    // Deleting a namespace removes its interfaces, the veth pairs included.
    for (const std::string& name : hosts_) {
        runQuietly({"ip", "netns", "del", name});
    }
    if (!hub_.empty()) {
        runQuietly({"ip", "netns", "del", hub_});
    }
}

std::optional<std::string> Lan::addHost(const std::string& address, bool bridged) {
    const std::string index = std::to_string(hosts_.size());
    const std::string host = hub_ + "-h" + index;
    const std::string port = "h" + index;
    if (runQuietly({"ip", "netns", "add", host}) != 0) {
        failure_ = "ip netns add " + host + " failed";
        return std::nullopt;
    }
    hosts_.push_back(host);
    const std::string side = bridged ? "br0" : "eth0";
    bool ok = ip({"-n", hub_, "link", "add", port, "type", "veth", "peer", "name", "eth0", "netns",
                  host}) &&
              ip({"-n", hub_, "link", "set", port, "master", "lan0"}) &&
              ip({"-n", hub_, "link", "set", port, "up"}) &&
              ip({"-n", host, "link", "set", "lo", "up"});
    if (ok && bridged) {
        ok = ip({"-n", host, "link", "add", "br0", "type", "bridge"}) &&
             ip({"-n", host, "link", "set", "eth0", "master", "br0"}) &&
             ip({"-n", host, "link", "set", "br0", "up"});
    }
    ok = ok && ip({"-n", host, "link", "set", "eth0", "up"}) &&
         ip({"-n", host, "addr", "add", address + "/24", "dev", side}) &&
         ip({"-n", host, "route", "add", "default", "via", "192.0.2.1"});
    if (!ok) {
        return std::nullopt;
    }
    // The hub's bridge runs once its first port does; the tool searches only what runs.
    if (!krvd::e2e::awaitRunning(hub_, "lan0")) {
        failure_ = "the hub's bridge lan0 did not come up";
        return std::nullopt;
    }
    return host;
}

std::string fleetMac(int index) {
    char mac[18];
    std::snprintf(mac, sizeof mac, "02:00:00:4B:20:%02X", index);
    return mac;
}

std::optional<std::vector<std::unique_ptr<krvd::e2e::Daemon>>> startFleet(Lan& lan, int count,
                                                                          std::string& failure) {
    using krvd::e2e::Daemon;
    std::vector<std::unique_ptr<Daemon>> daemons;
    for (int i = 0; i < count; ++i) {
        const bool bridged = i % 2 == 0;
        const auto host = lan.addHost("192.0.2." + std::to_string(10 + i), bridged);
        if (!host) {
            failure = lan.failure();
            return std::nullopt;
        }
        Daemon::Options options;
        options.hostname = "ctl-" + std::to_string(i);
        auto daemon = std::make_unique<Daemon>(*host, bridged ? "br0" : "eth0", options);
        daemon->configure({"set", "mac", fleetMac(i)});
        if (!daemon->launch()) {
            failure = daemon->failure();
            return std::nullopt;
        }
        daemons.push_back(std::move(daemon));
    }
    // Launched all before waiting for any: each takes seconds to read its state.
    for (const auto& daemon : daemons) {
        if (!daemon->awaitListening()) {
            failure = daemon->failure();
            return std::nullopt;
        }
    }
    return daemons;
}

bool Lan::ip(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {"ip"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    if (runQuietly(argv) == 0) {
        return true;
    }
    failure_ = "failed:";
    for (const std::string& argument : argv) {
        failure_ += " " + argument;
    }
    return false;
}

ToolRun runTool(const std::string& networkNamespace, const std::vector<std::string>& arguments,
                std::optional<uid_t> asUser, int timeoutSeconds) {
    std::string folder = (std::filesystem::temp_directory_path() / "krvctl-run-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr) {
        return {};
    }
    ToolRun run;
    krvd::e2e::BackgroundProgram tool;
    // What discover leaves for the shell's completion stays in the run's folder, not this
    // machine's home.
    std::vector<std::string> command = toolCommand(networkNamespace, arguments, asUser);
    command.insert(command.end() - static_cast<std::ptrdiff_t>(arguments.size()) - 1,
                   {"env", "XDG_CACHE_HOME=" + folder});
    if (tool.start(command, folder + "/out", folder + "/err")) {
        // A tool that outlives its time is killed and counts as failed.
        run.status = tool.waitForExit(std::chrono::seconds(timeoutSeconds)).value_or(-1);
    }
    tool.stop();
    run.out = krvd::e2e::readFile(folder + "/out");
    run.err = krvd::e2e::readFile(folder + "/err");
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return run;
}

std::vector<std::string> toolCommand(const std::string& networkNamespace,
                                     const std::vector<std::string>& arguments,
                                     std::optional<uid_t> asUser) {
    std::vector<std::string> argv = {"ip", "netns", "exec", networkNamespace};
    if (asUser) {
        const std::string id = std::to_string(*asUser);
        argv.insert(argv.end(), {"setpriv", "--reuid", id, "--regid", id, "--clear-groups"});
    }
    argv.push_back(KRV_BINARY_DIR "/krvctl/krvctl");
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return argv;
}

}  // namespace krvctl::e2e
