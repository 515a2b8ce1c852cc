#include <gtest/gtest.h>

#include <windows.h>
#include <winsock2.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "krvctl/platform/LanSocket.h"
#include "krvctl/platform/LocalSystem.h"
#include "krvctl/platform/windows/AdapterChoice.h"
#include "krvctl/platform/windows/Winsock.h"
#include "krvctl/values/ExitStatus.h"

namespace krvctl::windows {
namespace {

NetworkInterface adapter(std::string name, std::vector<std::string> addresses, bool up = true) {
    NetworkInterface entry;
    entry.name = name;
    entry.friendlyName = std::move(name);
    entry.up = up;
    entry.canBroadcast = true;
    for (std::string& address : addresses) {
        entry.ipv4.push_back({std::move(address), 24, ""});
    }
    return entry;
}

// As listAdapters gives them: named by their friendly names, their own names beside.
AdapterListing laptop() {
    NetworkInterface loopback = adapter("Loopback Pseudo-Interface 1", {"127.0.0.1"});
    loopback.loopback = true;
    loopback.canBroadcast = false;
    NetworkInterface vpn = adapter("Company VPN", {"10.8.0.5"});
    vpn.pointToPoint = true;
    vpn.canBroadcast = false;
    return {{{loopback, adapter("Ethernet", {"192.0.2.20"}),
              adapter("Ethernet 2", {"198.51.100.20", "203.0.113.20"}),
              adapter("Wi-Fi", {"10.0.0.7"}, false), vpn, adapter("USB Ethernet", {})},
             ""},
            {"{LOOP}", "{E1}", "{E2}", "{WIFI}", "{VPN}", "{USB}"}};
}

std::string addressesOf(const std::vector<AdapterAddress>& addresses) {
    std::string text;
    for (const AdapterAddress& at : addresses) {
        text += (text.empty() ? "" : " ") + at.adapter + "=" + at.address;
    }
    return text;
}

TEST(AdapterChoice, NamesAsTypedBecomeTheListingsAndEachAddressASocket) {
    struct Case {
        std::vector<std::string> requested;
        std::string addresses;  // or a piece of the usage problem
    };
    const Case cases[] = {
        // Every adapter up that reaches a LAN by broadcast, each address a socket of its own.
        {{}, "Ethernet=192.0.2.20 Ethernet 2=198.51.100.20 Ethernet 2=203.0.113.20"},
        {{"Ethernet 2"}, "Ethernet 2=198.51.100.20 Ethernet 2=203.0.113.20"},
        {{"ethernet 2"}, "Ethernet 2=198.51.100.20 Ethernet 2=203.0.113.20"},
        {{"{E1}"}, "Ethernet=192.0.2.20"},
        // The same adapter by two of its names is searched once.
        {{"{E1}", "ETHERNET", "Ethernet"}, "Ethernet=192.0.2.20"},
        {{"Ethernet 2", "Ethernet"},
         "Ethernet 2=198.51.100.20 Ethernet 2=203.0.113.20 Ethernet=192.0.2.20"},
        // Asked for by name, an adapter the search leaves out is used all the same.
        {{"Wi-Fi"}, "Wi-Fi=10.0.0.7"},
        // Named, an adapter without an address is searched with no socket: sends say why.
        {{"USB Ethernet"}, ""},
        {{"Ethernet 3"}, "there are: Loopback Pseudo-Interface 1, Ethernet, Ethernet 2, Wi-Fi"},
        // An adapter's own name is its exact GUID text only.
        {{"Ethernet", "{e1}"}, "no network interface named '{e1}'"},
    };
    const AdapterListing adapters = laptop();
    for (const Case& c : cases) {
        const InterfaceChoice choice =
            chooseInterfaces(adapters.listing, listedNames(adapters, c.requested));
        const std::string asked = c.requested.empty() ? "(all)" : c.requested.front();
        if (choice.problem.empty()) {
            EXPECT_EQ(addressesOf(addressesToBind(choice.chosen)), c.addresses) << asked;
        } else {
            EXPECT_TRUE(choice.chosen.empty()) << asked;
            EXPECT_NE(choice.problem.find(c.addresses), std::string::npos)
                << asked << ": " << choice.problem;
        }
    }
}

TEST(AdapterChoice, AnExactNameWinsOverOneDifferingInLetterCase) {
    const AdapterListing adapters = {
        {{adapter("LAN", {"192.0.2.20"}), adapter("lan", {"198.51.100.20"})}, ""}, {"{A}", "{B}"}};
    EXPECT_EQ(listedNames(adapters, {"lan", "LAN", "Lan"}),
              (std::vector<std::string>{"lan", "LAN", "LAN"}));
}

TEST(WindowsErrors, AreWordsWithTheirNumberAndANumberWhereTheSystemHasNone) {
    const std::string inUse = errorText(WSAEADDRINUSE);
    EXPECT_NE(inUse.find("(error 10048)"), std::string::npos) << inUse;
    EXPECT_GT(inUse.size(), std::string("(error 10048)").size() + 3) << inUse;
    // No line break or full stop of the system's own before the program's.
    EXPECT_EQ(inUse.find_first_of("\r\n"), std::string::npos) << inUse;
    EXPECT_EQ(errorText(0x2FFFFFFF), "error 805306367");
}

TEST(WindowsEndpoint, AnUnknownAdapterIsAUsageErrorBeforeAnySocketIsOpened) {
    const OpenedEndpoint opened = openLanEndpoint({"no such adapter 7217"});
    EXPECT_EQ(opened.endpoint, nullptr);
    EXPECT_EQ(opened.failure, kUsage);
    EXPECT_NE(opened.problem.find("'no such adapter 7217'"), std::string::npos) << opened.problem;
}

TEST(WindowsLocalSystem, DiscoveredMacsReplaceTheListUnderLocalAppData) {
    const std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                         ("krvctl-test-" + std::to_string(::GetCurrentProcessId()));
    std::filesystem::create_directories(folder);
    ASSERT_EQ(::_wputenv_s(L"LOCALAPPDATA", folder.wstring().c_str()), 0);
    rememberDiscoveredMacs({"02:00:00:4B:10:01", "02:00:00:4B:10:02"});
    rememberDiscoveredMacs({"02:00:00:4B:10:03"});
    std::ifstream list(folder / "krvctl" / "discovered-macs", std::ios::binary);
    std::stringstream content;
    content << list.rdbuf();
    EXPECT_EQ(content.str(), "02:00:00:4B:10:03\n");
    EXPECT_FALSE(std::filesystem::exists(folder / "krvctl" / "discovered-macs.new"));
    list.close();
    std::filesystem::remove_all(folder);
}

TEST(WindowsLocalSystem, FilesRoundTripBytesAndNameTheirProblem) {
    const std::filesystem::path file = std::filesystem::temp_directory_path() /
                                       ("krvctl-plan-" + std::to_string(::GetCurrentProcessId()));
    const std::string bytes =
        std::string("mac;ip\r\n\xEF\xBB\xBF", 11) + std::string(1, '\0') + "\x1A end";
    EXPECT_EQ(writeLocalFile(file.string(), bytes), "");
    const auto read = readLocalFile(file.string());
    ASSERT_TRUE(read) << read.problem();
    EXPECT_EQ(read.value(), bytes);  // no text-mode translation of CR LF or Ctrl-Z
    std::filesystem::remove(file);
    EXPECT_FALSE(readLocalFile(file.string()));
}

}  // namespace
}  // namespace krvctl::windows
