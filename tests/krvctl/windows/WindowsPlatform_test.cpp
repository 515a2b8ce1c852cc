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

namespace krvctl::windows {
namespace {

NetworkInterface adapter(std::string name, std::string friendly, std::vector<std::string> addresses,
                         bool up = true) {
    NetworkInterface entry;
    entry.name = std::move(name);
    entry.friendlyName = std::move(friendly);
    entry.up = up;
    entry.canBroadcast = true;
    for (std::string& address : addresses) {
        entry.ipv4.push_back({std::move(address), 24, ""});
    }
    return entry;
}

InterfaceListing laptop() {
    NetworkInterface loopback = adapter("{LOOP}", "Loopback Pseudo-Interface 1", {"127.0.0.1"});
    loopback.loopback = true;
    loopback.canBroadcast = false;
    NetworkInterface vpn = adapter("{VPN}", "Company VPN", {"10.8.0.5"});
    vpn.pointToPoint = true;
    vpn.canBroadcast = false;
    return {{loopback, adapter("{E1}", "Ethernet", {"192.0.2.20"}),
             adapter("{E2}", "Ethernet 2", {"198.51.100.20", "203.0.113.20"}),
             adapter("{WIFI}", "Wi-Fi", {"10.0.0.7"}, false), vpn,
             adapter("{USB}", "USB Ethernet", {})},
            ""};
}

std::string addressesOf(const AdapterChoice& choice) {
    std::string text;
    for (const AdapterAddress& at : choice.addresses) {
        text += (text.empty() ? "" : " ") + at.adapter + "=" + at.address;
    }
    return text;
}

TEST(AdapterChoice, PicksTheAddressesToSearchOrSaysWhyNone) {
    struct Case {
        std::string requested;
        int failure;
        std::string addresses;  // or a piece of the problem
    };
    const Case cases[] = {
        // Every adapter up that reaches a LAN by broadcast, each address a socket of its own.
        {"", kDone, "Ethernet=192.0.2.20 Ethernet 2=198.51.100.20 Ethernet 2=203.0.113.20"},
        {"Ethernet 2", kDone, "Ethernet 2=198.51.100.20 Ethernet 2=203.0.113.20"},
        {"ethernet 2", kDone, "Ethernet 2=198.51.100.20 Ethernet 2=203.0.113.20"},
        {"{E1}", kDone, "Ethernet=192.0.2.20"},
        // Asked for by name, an adapter the search leaves out is used all the same.
        {"Wi-Fi", kDone, "Wi-Fi=10.0.0.7"},
        {"Ethernet 3", kUsage, "adapters: \"Ethernet\", \"Ethernet 2\", \"Wi-Fi\""},
        {"{e1}", kUsage, "no network adapter named '{e1}'"},
        {"USB Ethernet", kUnavailable, "'USB Ethernet' has no IPv4 address"},
    };
    for (const Case& c : cases) {
        const AdapterChoice choice = chooseAdapterAddresses(laptop(), c.requested);
        EXPECT_EQ(choice.failure, c.failure) << c.requested;
        if (c.failure == kDone) {
            EXPECT_EQ(addressesOf(choice), c.addresses) << c.requested;
        } else {
            EXPECT_TRUE(choice.addresses.empty()) << c.requested;
            EXPECT_NE(choice.problem.find(c.addresses), std::string::npos)
                << c.requested << ": " << choice.problem;
        }
    }
}

TEST(AdapterChoice, NothingToSearchIsUnavailableAndAListingFailureIsPassedOn) {
    InterfaceListing onlyDown = {{adapter("{W}", "Wi-Fi", {"10.0.0.7"}, false)}, ""};
    const AdapterChoice none = chooseAdapterAddresses(onlyDown, "");
    EXPECT_EQ(none.failure, kUnavailable);
    EXPECT_NE(none.problem.find("no network adapter is up"), std::string::npos) << none.problem;

    const AdapterChoice broken =
        chooseAdapterAddresses({{}, "cannot list the network adapters: boom"}, "");
    EXPECT_EQ(broken.failure, kUnavailable);
    EXPECT_EQ(broken.problem, "cannot list the network adapters: boom");
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
    const OpenedEndpoint opened = openLanEndpoint("no such adapter 7217");
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
