#include "tests/krvctl/e2e/Lan.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "tests/core/e2e/NetworkLab.h"

extern char** environ;

namespace krvctl::e2e {

using krvd::e2e::runQuietly;

namespace {

std::string slurp(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

}  // namespace

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
    return host;
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
    std::vector<std::string> argv = {"ip", "netns", "exec", networkNamespace};
    if (asUser) {
        const std::string id = std::to_string(*asUser);
        argv.insert(argv.end(), {"setpriv", "--reuid", id, "--regid", id, "--clear-groups"});
    }
    argv.push_back(KRV_BINARY_DIR "/krvctl/krvctl");
    argv.insert(argv.end(), arguments.begin(), arguments.end());

    std::string folder = (std::filesystem::temp_directory_path() / "krvctl-run-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr) {
        return {};
    }
    const std::string outPath = folder + "/out";
    const std::string errPath = folder + "/err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT, 0644);
    std::vector<char*> pointers;
    for (std::string& argument : argv) {
        pointers.push_back(argument.data());
    }
    pointers.push_back(nullptr);
    pid_t pid = -1;
    const bool started =
        posix_spawnp(&pid, pointers[0], &actions, nullptr, pointers.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    ToolRun run;
    if (started) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    run.out = slurp(outPath);
    run.err = slurp(errPath);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return run;
}

}  // namespace krvctl::e2e
