#include "krvd/system/SettingsReader.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>

#include "krvd/system/Log.h"
#include "krvd/system/ShellWord.h"
#include "protocol/Wire.h"

namespace krvd {

namespace {

constexpr std::size_t kMaxInterfaceNameLength = 9;

// Tools report failure by printing "ERROR::" somewhere in their answer.
bool usable(const std::string& result) {
    return result.find("ERROR::") == std::string::npos;
}

std::string firstWordOf(SystemAccess& system, const std::string& commandLine) {
    return system.shell.runCommand(commandLine, true);
}

// The three per-interface queries name the interface unless it is the default bridge.
std::string withInterface(const std::string& command, const Settings& settings) {
    if (settings.interface() == "br0") {
        return command;
    }
    return command + " " + shellWord(settings.interface());
}

std::optional<std::string> readFirstLine(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file.is_open()) {
        return std::nullopt;
    }
    std::string line;
    std::getline(file, line);
    return line;
}

std::optional<std::string> readWholeFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file.is_open()) {
        return std::nullopt;
    }
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::int32_t controllerTypeOf(const std::string& sdkWord) {
    if (sdkWord == "arm9") {
        return Settings::kTypeArm9;
    }
    if (sdkWord == "imx") {
        return Settings::kTypeImx;
    }
    if (sdkWord == "qvx") {
        return Settings::kTypeQvx;
    }
    return Settings::kTypeOther;
}

bool isPublicResolver(const std::string& address) {
    const auto& resolvers = krv::wire::kUnreportedNameservers;
    return std::find(resolvers.begin(), resolvers.end(), address) != resolvers.end();
}

void readTimeSync(Settings& settings, SystemAccess& system) {
    settings.setNtpsync("no");
    std::string result;
    switch (settings.controllertype()) {
        case Settings::kTypeImx:
            result = firstWordOf(system, "ntpq -pn | grep -v LOCL | grep ^*");
            break;
        case Settings::kTypeQvx:
            // timedatectl answers yes or no itself; its answer is taken as it comes.
            settings.setNtpsync(firstWordOf(
                system, "timedatectl | grep \"NTP synchronized\" | awk '{ print $3 }'"));
            return;
        default:
            result = firstWordOf(system, "ntpdc -pn |grep ^*");
            break;
    }
    if (usable(result) && !result.empty()) {
        settings.setNtpsync("yes");
    }
}

void readSdUsage(Settings& settings, SystemAccess& system) {
    settings.setSdusage("n/a");
    std::string usage;
    switch (settings.controllertype()) {
        case Settings::kTypeImx:
            usage = firstWordOf(system, "trelsetup sdcard info usage");
            if (usage.find("No") != std::string::npos) {
                usage = "n/a";
            }
            break;
        case Settings::kTypeQvx:
            return;
        case Settings::kTypeArm9:
            usage = firstWordOf(system, "df -h | grep mmcblk | awk '{ print$5 }'");
            break;
        default:
            usage = firstWordOf(system, "df -h | grep sdcard | awk '{ print$5 }'");
            break;
    }
    if (usable(usage) && !usage.empty()) {
        settings.setSdusage(usage);
    }
}

// The display keeps its clock as seconds since 1970 in a device variable; shown as local time.
std::optional<std::string> displayTimeFrom(const std::string& answer) {
    const char* start = answer.c_str();
    char* end = nullptr;
    errno = 0;
    const long long seconds = std::strtoll(start, &end, 10);
    if (end == start || errno == ERANGE) {
        return std::nullopt;
    }
    const std::time_t instant = static_cast<std::time_t>(seconds);
    std::tm local{};
    if (localtime_r(&instant, &local) == nullptr) {
        return std::nullopt;
    }
    std::array<char, 64> text{};
    const std::size_t length = std::strftime(text.data(), text.size(), "%Y%m%d%H%M%S", &local);
    return std::string(text.data(), length);
}

void readImxExtras(Settings& settings, SystemAccess& system) {
    std::string result = firstWordOf(system, "trelsetup getsdkversion");
    if (usable(result)) {
        settings.setSdkversion(result);
    }
    result = firstWordOf(system, "trelsetup getmacaddr fromfuses primary");
    if (usable(result)) {
        settings.setMac1(result);
    }
    result = firstWordOf(system, "trelsetup getmacaddr fromfuses secondary");
    if (usable(result)) {
        settings.setMac2(result);
    }
    settings.setUptime(system.shell.runCommand("cat /proc/uptime", false));
    settings.setLoadavg(system.shell.runCommand("cat /proc/loadavg", false));
    try {
        const std::string answer = firstWordOf(system,
                                               "Get $(grep HS_REALTIME_SEC_SINCE_1970_BEFORE "
                                               "/etc/trel/ConfigurationFiles/HardCodedHSSets.xml | "
                                               "sed -e 's/.*value=\"\\([^\"]*\\)\".*/\\1/')");
        if (const auto displayTime = displayTimeFrom(answer)) {
            settings.setDisplaytime(*displayTime);
        }
    } catch (...) {
        // The display clock is informational; the rest of the read must not depend on it.
    }
}

}  // namespace

void readSettings(Settings& settings, SystemAccess& system) {
    settings.setControllertype(Settings::kTypeUnknown);
    const std::string sdk = firstWordOf(system, "trelsetup getsdk");
    if (usable(sdk)) {
        settings.setControllertype(controllerTypeOf(sdk));
    }
    logInfo("Detected controller type: " + std::to_string(settings.controllertype()));

    std::string result = firstWordOf(system, withInterface("trelsetup getmacaddr", settings));
    if (usable(result)) {
        settings.setMac(result);
    }
    result = firstWordOf(system, withInterface("trelsetup getipscheme", settings));
    if (usable(result)) {
        settings.setIpscheme(result);
    }
    result = interfaceNetmask(settings, system);
    if (usable(result)) {
        settings.setNetmask(result);
    }
    result = firstWordOf(system, withInterface("trelsetup getipaddr", settings));
    if (usable(result)) {
        settings.setIp(result);
    }
    result = firstWordOf(system, "route -n | grep ^0.0.0.0 | awk '{ print $2 }'");
    if (usable(result)) {
        settings.setGateway(result);
    }

    const bool other = settings.controllertype() == Settings::kTypeOther;
    result = firstWordOf(system, other ? "ubootenv /dev/mtd1 print timeserver | cut -d\"=\" -f2"
                                       : "trelsetup gettimeserver");
    if (usable(result)) {
        // Deliberately unchecked: an empty answer means the server was removed.
        settings.setNtpipUnchecked(result);
    }
    result = firstWordOf(system, other ? "ubootenv /dev/mtd1 print serverip | cut -d\"=\" -f2"
                                       : "trelsetup getsyslogserver");
    if (usable(result)) {
        settings.setSyslogipUnchecked(result);
    }
    if (settings.controllertype() == Settings::kTypeImx) {
        result = firstWordOf(system, "trelsetup getnameserver");
        if (usable(result) && !isPublicResolver(result)) {
            settings.setNameserverUnchecked(result);
        }
    }
    result = firstWordOf(system, "hostname");
    if (usable(result)) {
        settings.setHostname(result);
    }
    if (const auto controller = readFirstLine(system.paths.controllerFile)) {
        settings.setController(*controller);
    }
    if (const auto housenames = readFirstLine(system.paths.housenamesFile)) {
        settings.setHousenames(*housenames);
    }

    readTimeSync(settings, system);
    readSdUsage(settings, system);

    settings.setSdkversion("");
    settings.setMac1("");
    settings.setMac2("");
    settings.setUptime("");
    settings.setLoadavg("");
    settings.setDisplaytime("");
    if (settings.controllertype() == Settings::kTypeImx) {
        readImxExtras(settings, system);
    }
    logInfo("Finished reading network settings");
}

void refresh(Settings& settings, SystemAccess& system) {
    readSettings(settings, system);
    settings.takeSnapshot();
}

const std::string& interfaceName(Settings& settings, SystemAccess& system) {
    if (auto content = readWholeFile(system.paths.interfaceFile)) {
        std::erase(*content, '\n');
        settings.setInterface(*content);
        std::cout << "KRVD using interface: " << *content << '\n' << std::flush;
    }
    if (settings.interface().empty() || settings.interface().size() > kMaxInterfaceNameLength) {
        settings.setInterface("br0");
    }
    return settings.interface();
}

std::string interfaceNetmask(Settings& settings, SystemAccess& system) {
    const std::string name = interfaceName(settings, system);
    const auto addresses = system.interfaces.listAddresses();
    if (!addresses) {
        return "ERROR::getifaddrs failed";
    }
    for (const auto& entry : *addresses) {
        // Four bytes, terminating NUL included: "eth0" also matches "eth0.5", "br0" only "br0".
        if (entry.hasAddress && entry.family == AF_INET &&
            std::strncmp(entry.name.c_str(), name.c_str(), 4) == 0) {
            if (!entry.netmask) {
                return "ERROR::interface has no netmask";
            }
            char text[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &*entry.netmask, text, sizeof text);
            return text;
        }
    }
    return "ERROR::interface not found";
}

}  // namespace krvd
