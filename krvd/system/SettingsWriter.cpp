#include "krvd/system/SettingsWriter.h"

#include <algorithm>
#include <cctype>

#include "krvd/system/Log.h"
#include "krvd/system/ShellWord.h"

namespace krvd {

namespace {

// One server setting: command, then its error and closing messages; later groups run anyway.
// Every value on a command line goes through shellWord: a valid dotted quad stands as it is,
// and a value that slipped past a check reaches the tool as one literal word, never as shell.
void writeGroup(ShellRunner& shell, const std::string& commandLine, const char* errorMessage,
                const char* finishedMessage) {
    logInfo(commandLine);
    if (shell.runForStatus(commandLine) != 0) {
        logError(errorMessage);
    }
    logInfo(finishedMessage);
}

// Network commands name the interface unless it is the default bridge.
std::string interfaceSuffix(const Settings& settings) {
    return settings.interface() == "br0" ? std::string() : shellWord(settings.interface());
}

void writeNetwork(const Settings& settings, ShellRunner& shell) {
    logInfo("Writing network settings");
    if (settings.ipscheme() == "STATIC") {
        if (!settings.ip().empty() && !settings.netmask().empty() && !settings.gateway().empty()) {
            // With br0 the line keeps its trailing space; the tool accepts it.
            const std::string commandLine = "trelsetup setip " + shellWord(settings.ip()) + " " +
                                            shellWord(settings.netmask()) + " " +
                                            shellWord(settings.gateway()) + " " +
                                            interfaceSuffix(settings);
            logInfo(commandLine);
            if (shell.runForStatus(commandLine) != 0) {
                logError("Error setting static IP.");
            }
            logInfo("Changed to Static IP...");
        } else {
            logError("Missing required parameters for setting static IP.");
        }
    } else if (settings.ipscheme() == "DHCP") {
        std::string commandLine = "trelsetup setdhcp";
        if (settings.interface() != "br0") {
            // Appended in two steps: GCC 12 at -O3 wrongly warns (-Wrestrict) about " " + ...
            commandLine += ' ';
            commandLine += interfaceSuffix(settings);
        }
        logInfo(commandLine);
        if (shell.runForStatus(commandLine) != 0) {
            logError("Error setting DHCP.");
        }
        logInfo("Changed to DHCP...");
    }
    logInfo("Finished writing network settings");
}

bool allDigits(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

// Clearing tools report failure with a first word beginning "ERROR".
bool cleared(const std::string& result) {
    return result.rfind("ERROR", 0) != 0;
}

}  // namespace

void writeSettings(Settings& settings, ShellRunner& shell) {
    if (settings.ntpIpChanged()) {
        const bool usesTimeserver = settings.controllertype() == Settings::kTypeOther ||
                                    settings.controllertype() == Settings::kTypeQvx;
        writeGroup(shell,
                   (usesTimeserver ? "trelsetup timeserver " : "trelsetup settimeserver ") +
                       shellWord(settings.ntpip()),
                   "Error setting ntp IP", "Finished writing ntp IP settings");
    }
    if (settings.syslogIpChanged()) {
        writeGroup(shell, "trelsetup setsyslogserver " + shellWord(settings.syslogip()),
                   "Error setting syslog IP", "Finished writing syslog IP settings");
    }
    if (settings.nameServerChanged()) {
        writeGroup(shell, "trelsetup setnameserver " + shellWord(settings.nameserver()),
                   "Error setting nameserver", "Finished writing nameserver settings");
    }
    // A syslog server change rewrites the network settings too: the tool keeps them together.
    if (settings.ipSchemeChanged() || settings.networkChanged()) {
        writeNetwork(settings, shell);
    }
    if (settings.clockPending()) {
        // setClock stores the value again; the pending clock is applied once more, then dropped.
        const std::string pending = settings.pendingclock();
        setClock(settings, shell, pending);
        settings.setPendingclock("");
    }
}

bool setClock(Settings& settings, ShellRunner& shell, const std::string& utc) {
    if (utc.size() != 14) {
        logWarning("Invalid format for UTC - length");
        return false;
    }
    if (!allDigits(utc)) {
        logWarning("Invalid format for UTC - not numbers");
        return false;
    }
    // Quoted like every other value, though only digits pass the checks above: the digits
    // stand as they are, and the qvx form keeps its quotes around the blank.
    std::string commandLine;
    switch (settings.controllertype()) {
        case Settings::kTypeOther:
        case Settings::kTypeArm9:
            commandLine = "date -u -D %Y%m%d%H%M%S -s " + shellWord(utc);
            break;
        case Settings::kTypeImx:
            commandLine = "date -u -s " + shellWord(utc.substr(0, 12) + "." + utc.substr(12, 2));
            break;
        case Settings::kTypeQvx:
            commandLine =
                "date -u -s " +
                shellWord(utc.substr(0, 4) + "-" + utc.substr(4, 2) + "-" + utc.substr(6, 2) + " " +
                          utc.substr(8, 2) + ":" + utc.substr(10, 2) + ":" + utc.substr(12, 2));
            break;
        default:
            return false;
    }
    shell.runCommand(commandLine, true);
    settings.setPendingclock(utc);
    return true;
}

std::string readClock(ShellRunner& shell) {
    return shell.runCommand("date -u +%Y%m%d%H%M%S", true);
}

bool clearTimeServer(const Settings& settings, ShellRunner& shell) {
    switch (settings.controllertype()) {
        case Settings::kTypeOther:
            return cleared(shell.runCommand("ubootenv /dev/mtd1 del timeserver", true));
        case Settings::kTypeArm9:
            return cleared(shell.runCommand("rm /etc/trelsetup.d/timeserver", true));
        case Settings::kTypeImx:
            return cleared(shell.runCommand("trelsetup settimeserver --delete", true));
        case Settings::kTypeQvx:
            // Only the restart tells whether the service runs without the server.
            shell.runCommand("rm /etc/systemd/timesyncd.conf", true);
            return cleared(shell.runCommand("systemctl restart systemd-timesyncd.service", true));
        default:
            return true;
    }
}

bool clearSyslogServer(const Settings& settings, ShellRunner& shell) {
    switch (settings.controllertype()) {
        case Settings::kTypeOther:
            return cleared(shell.runCommand("ubootenv /dev/mtd1 del serverip", true));
        case Settings::kTypeArm9:
            return cleared(shell.runCommand("rm /etc/trelsetup.d/syslogserver", true));
        case Settings::kTypeImx:
            return cleared(shell.runCommand("trelsetup setsyslogserver --delete", true));
        case Settings::kTypeQvx:
            return cleared(shell.runCommand("trelsetup setsyslogserver disabled", true));
        default:
            return true;
    }
}

bool clearNameServer(const Settings& settings, ShellRunner& shell) {
    if (settings.controllertype() == Settings::kTypeImx) {
        return cleared(shell.runCommand("trelsetup setnameserver --delete", true));
    }
    return true;
}

}  // namespace krvd
