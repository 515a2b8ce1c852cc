// The daemon's whole datagram path in-process: a received datagram goes through the receive
// loop, the dispatcher and the command handling to the reply, against a scripted shell that is
// also the oracle. Every command line must be one of the daemon's fixed lines, or a change line
// whose values are checked IPv4 addresses or a checked clock; anything else aborts the run.
//
// Input: one byte choosing the controller (bits 0-1: imx, arm9, qvx, other; bit 2: interface
// eth0 instead of br0, so replies take the raw path), then the datagram.

#include <arpa/inet.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "krvd/core/MessageDispatcher.h"
#include "krvd/system/CommandRunner.h"
#include "tests/support/FakeInterfaceLister.h"
#include "tests/support/QuietSyslog.h"
#include "tests/support/TempDir.h"

namespace {

[[noreturn]] void violation(const char* what, const std::string& detail) {
    std::fprintf(stderr, "%s: [", what);
    std::fwrite(detail.data(), 1, detail.size(), stderr);
    std::fprintf(stderr, "]\n");
    std::abort();
}

bool isCheckedIpv4(const std::string& text) {
    in_addr address{};
    return text.find('\0') == std::string::npos && inet_pton(AF_INET, text.c_str(), &address) == 1;
}

bool allDigits(const std::string& text, std::size_t count) {
    if (text.size() != count) {
        return false;
    }
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

// "A B C" split at single spaces.
std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> result(1);
    for (const char c : text) {
        if (c == ' ') {
            result.emplace_back();
        } else {
            result.back() += c;
        }
    }
    return result;
}

const std::set<std::string>& fixedLines() {
    static const std::set<std::string> lines = {
        "trelsetup getsdk",
        "trelsetup getmacaddr",
        "trelsetup getmacaddr eth0",
        "trelsetup getipscheme",
        "trelsetup getipscheme eth0",
        "trelsetup getipaddr",
        "trelsetup getipaddr eth0",
        "route -n | grep ^0.0.0.0 | awk '{ print $2 }'",
        "ubootenv /dev/mtd1 print timeserver | cut -d\"=\" -f2",
        "trelsetup gettimeserver",
        "ubootenv /dev/mtd1 print serverip | cut -d\"=\" -f2",
        "trelsetup getsyslogserver",
        "trelsetup getnameserver",
        "hostname",
        "ntpq -pn | grep -v LOCL | grep ^*",
        "timedatectl | grep \"NTP synchronized\" | awk '{ print $3 }'",
        "ntpdc -pn |grep ^*",
        "trelsetup sdcard info usage",
        "df -h | grep mmcblk | awk '{ print$5 }'",
        "df -h | grep sdcard | awk '{ print$5 }'",
        "trelsetup getsdkversion",
        "trelsetup getmacaddr fromfuses primary",
        "trelsetup getmacaddr fromfuses secondary",
        "cat /proc/uptime",
        "cat /proc/loadavg",
        "Get $(grep HS_REALTIME_SEC_SINCE_1970_BEFORE "
        "/etc/trel/ConfigurationFiles/HardCodedHSSets.xml | "
        "sed -e 's/.*value=\"\\([^\"]*\\)\".*/\\1/')",
        "date -u +%Y%m%d%H%M%S",
        "ubootenv /dev/mtd1 del timeserver",
        "rm /etc/trelsetup.d/timeserver",
        "trelsetup settimeserver --delete",
        "rm /etc/systemd/timesyncd.conf",
        "systemctl restart systemd-timesyncd.service",
        "ubootenv /dev/mtd1 del serverip",
        "rm /etc/trelsetup.d/syslogserver",
        "trelsetup setsyslogserver --delete",
        "trelsetup setsyslogserver disabled",
        "trelsetup setnameserver --delete",
        "trelsetup setdhcp",
        "trelsetup setdhcp eth0",
    };
    return lines;
}

// The change lines: fixed words around checked values only.
bool isAllowedChange(const std::string& line) {
    const std::vector<std::string> w = words(line);
    const auto is = [&w](std::size_t i, const char* word) { return i < w.size() && w[i] == word; };
    if (w.size() == 3 && is(0, "trelsetup") &&
        (is(1, "settimeserver") || is(1, "timeserver") || is(1, "setsyslogserver") ||
         is(1, "setnameserver"))) {
        return isCheckedIpv4(w[2]);
    }
    if (w.size() == 6 && is(0, "trelsetup") && is(1, "setip")) {
        return isCheckedIpv4(w[2]) && isCheckedIpv4(w[3]) && isCheckedIpv4(w[4]) &&
               (w[5].empty() || w[5] == "eth0");
    }
    if (line.starts_with("date -u -D %Y%m%d%H%M%S -s ") && w.size() == 6) {
        return allDigits(w[5], 14);
    }
    if (w.size() == 4 && is(0, "date") && is(1, "-u") && is(2, "-s") && w[3].size() == 15) {
        return allDigits(w[3].substr(0, 12), 12) && w[3][12] == '.' &&
               allDigits(w[3].substr(13), 2);
    }
    if (w.size() == 5 && is(0, "date") && is(1, "-u") && is(2, "-s")) {
        // 'YYYY-MM-DD hh:mm:ss'
        const std::string& day = w[3];
        const std::string& time = w[4];
        return day.size() == 11 && day[0] == '\'' && allDigits(day.substr(1, 4), 4) &&
               day[5] == '-' && allDigits(day.substr(6, 2), 2) && day[8] == '-' &&
               allDigits(day.substr(9, 2), 2) && time.size() == 9 &&
               allDigits(time.substr(0, 2), 2) && time[2] == ':' &&
               allDigits(time.substr(3, 2), 2) && time[5] == ':' &&
               allDigits(time.substr(6, 2), 2) && time[8] == '\'';
    }
    return false;
}

void checkLine(const std::string& line) {
    if (fixedLines().count(line) == 0 && !isAllowedChange(line)) {
        violation("command line outside the allowed forms", line);
    }
}

class OracleShell final : public krvd::ShellRunner {
  public:
    explicit OracleShell(const char* sdk) {
        answers_ = {
            {"trelsetup getsdk", sdk},
            {"trelsetup getmacaddr", "02:00:00:4B:10:01"},
            {"trelsetup getmacaddr eth0", "02:00:00:4B:10:01"},
            {"trelsetup getipscheme", "STATIC"},
            {"trelsetup getipscheme eth0", "STATIC"},
            {"trelsetup getipaddr", "192.0.2.10"},
            {"trelsetup getipaddr eth0", "192.0.2.10"},
            {"route -n | grep ^0.0.0.0 | awk '{ print $2 }'", "192.0.2.1"},
            {"trelsetup gettimeserver", "192.0.2.123"},
            {"trelsetup getsyslogserver", "192.0.2.50"},
            {"trelsetup getnameserver", "192.0.2.53"},
            {"hostname", "ctl"},
            {"date -u +%Y%m%d%H%M%S", "20261208120000"},
        };
    }
    std::string runCommand(const std::string& commandLine, bool firstWordOnly) override {
        checkLine(commandLine);
        const auto found = answers_.find(commandLine);
        const std::string output = found == answers_.end() ? std::string() : found->second + "\n";
        return firstWordOnly ? krvd::firstWord(output) : output;
    }
    int runForStatus(const std::string& commandLine) override {
        checkLine(commandLine);
        return 0;
    }

  private:
    std::map<std::string, std::string> answers_;
};

class NoSleep final : public krvd::Sleeper {
  public:
    void sleepSeconds(unsigned) override {}
};

// The socket calls of the receive loop: one datagram per run; replies checked.
class FuzzSockets final : public krvd::SocketCalls {
  public:
    std::string pending;
    bool hasPending = false;

    int socket(int, int, int) override { return 3; }
    int setsockopt(int, int, int, const void*, socklen_t) override { return 0; }
    int bind(int, const sockaddr_in&) override { return 0; }
    int receiveBatch(int, std::span<krvd::ReceivedDatagram> slots) override {
        if (!hasPending || slots.empty()) {
            return 0;
        }
        hasPending = false;
        krvd::ReceivedDatagram& slot = slots.front();
        const std::size_t count = std::min(slot.bytes.size(), pending.size());
        std::memcpy(slot.bytes.data(), pending.data(), count);
        slot.count = static_cast<ssize_t>(count);
        slot.sender.sin_addr.s_addr = htonl(0xC0000214);
        return 1;
    }
    ssize_t sendto(int, const std::string& bytes, const sockaddr_in& destination) override {
        // Raw frames carry 28 bytes of headers before the reply.
        const bool raw = destination.sin_port == htons(7217) && bytes.size() >= 28 &&
                         static_cast<unsigned char>(bytes[0]) == 0x45;
        const std::string reply = raw ? bytes.substr(28) : bytes;
        if (raw && bytes.size() > 1500) {
            violation("raw frame larger than an Ethernet MTU", bytes.substr(28, 64));
        }
        if (!reply.starts_with("KRV2#STATUS#seqid=") && !reply.starts_with("KRV2#ACK#seqid=")) {
            violation("reply that is neither STATUS nor ACK", reply);
        }
        return static_cast<ssize_t>(bytes.size());
    }
    void close(int) override {}
};

// A stream buffer that drops everything: the echo and verdict lines of millions of runs.
class Discard final : public std::streambuf {
  protected:
    int overflow(int c) override { return c == EOF ? 0 : c; }
    std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
};

struct Controller {
    krvtest::TempDir files;
    OracleShell shell;
    krvtest::FakeInterfaceLister interfaces;
    NoSleep sleeper;
    FuzzSockets sockets;
    std::unique_ptr<krvd::MessageDispatcher> dispatcher;

    Controller(const char* sdk, bool raw) : shell(sdk) {
        files.write("krvd_interface", raw ? "eth0\n" : "br0\n");
        files.write("controller", "ctl-fuzz\n");
        interfaces.add("br0", AF_INET, "255.255.255.0");
        interfaces.add("eth0", AF_INET, "255.255.255.0");
        dispatcher = std::make_unique<krvd::MessageDispatcher>(
            7217,
            krvd::DaemonEnvironment{shell, interfaces, sleeper, sockets, files.controllerPaths()});
    }
};

Controller& controllerFor(std::uint8_t choice) {
    static krvtest::QuietSyslog quiet;
    static Discard discard;
    static bool silenced = [] {
        std::cout.rdbuf(&discard);
        std::cerr.rdbuf(&discard);
        return true;
    }();
    static_cast<void>(silenced);
    static std::array<std::unique_ptr<Controller>, 8> controllers;
    constexpr std::array<const char*, 4> kSdks = {"imx", "arm9", "qvx", "generic"};
    auto& controller = controllers[choice & 7];
    if (!controller) {
        controller = std::make_unique<Controller>(kSdks[choice & 3], (choice & 4) != 0);
    }
    return *controller;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    Controller& controller = controllerFor(data[0]);
    controller.sockets.pending.assign(reinterpret_cast<const char*>(data + 1), size - 1);
    controller.sockets.hasPending = true;
    krvd::Broadcaster& loop = controller.dispatcher->broadcaster();
    loop.receiveQueued();
    return 0;
}
