#include "tests/core/e2e/ProcessProbe.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace krvd::e2e {

namespace {

std::string proc(pid_t pid, const std::string& entry) {
    return "/proc/" + std::to_string(pid) + "/" + entry;
}

// The number after "key:" in a file of "key: value kB" lines; -1 when absent.
long kibibytesOf(const std::string& path, const std::string& key) {
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        if (line.starts_with(key + ":")) {
            return std::stol(line.substr(key.size() + 1));
        }
    }
    return -1;
}

}  // namespace

MemorySample sampleMemory(pid_t pid) {
    return {kibibytesOf(proc(pid, "status"), "VmRSS"),
            kibibytesOf(proc(pid, "smaps_rollup"), "Private_Dirty")};
}

std::vector<std::string> openDescriptors(pid_t pid) {
    std::vector<std::string> descriptors;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(proc(pid, "fd"), error)) {
        descriptors.push_back(entry.path().filename().string() + " -> " +
                              std::filesystem::read_symlink(entry.path(), error).string());
    }
    std::sort(descriptors.begin(), descriptors.end());
    return descriptors;
}

std::uint64_t ownCpuNanoseconds(pid_t pid) {
    std::ifstream file(proc(pid, "schedstat"));
    std::uint64_t onCpu = 0;
    file >> onCpu;
    return onCpu;
}

std::uint64_t childrenCpuNanoseconds(pid_t pid) {
    std::ifstream file(proc(pid, "stat"));
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // Fields after the command name, which ends at the last ")"; cutime and cstime are the
    // 16th and 17th fields of the whole line.
    const auto close = text.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string skipped;
    for (int field = 3; field < 16; ++field) {
        fields >> skipped;
    }
    std::uint64_t cutime = 0;
    std::uint64_t cstime = 0;
    fields >> cutime >> cstime;
    return (cutime + cstime) * (1000000000ULL / static_cast<std::uint64_t>(sysconf(_SC_CLK_TCK)));
}

UdpSocketState udpSocketState(pid_t pid, std::uint16_t port) {
    std::ifstream file(proc(pid, "net/udp"));
    std::string line;
    std::getline(file, line);  // header
    std::ostringstream wanted;
    wanted << ':' << std::uppercase << std::hex << port;
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode,
            references, pointer, drops;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
            timeout >> inode >> references >> pointer >> drops;
        if (!local.ends_with(wanted.str())) {
            continue;
        }
        UdpSocketState socket;
        socket.found = true;
        // tx_queue:rx_queue, both hexadecimal.
        socket.queuedBytes = std::stol(queues.substr(queues.find(':') + 1), nullptr, 16);
        socket.drops = std::stol(drops);
        return socket;
    }
    return {};
}

}  // namespace krvd::e2e
