#include "krvctl/platform/SystemFacts.h"

// Winsock's headers before the IP helper's and windows.h, which build on them.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <iphlpapi.h>
#include <windows.h>

#include <tlhelp32.h>
// Windows' COM headers make "interface" a macro; here it is the route's field.
#undef interface

#include <cstddef>
#include <cstring>
#include <map>

#include "krvctl/platform/windows/Winsock.h"
#include "protocol/Wire.h"

namespace krvctl {

namespace {

class OwnedHandle {
  public:
    explicit OwnedHandle(HANDLE handle) : handle_(handle) {}
    ~OwnedHandle() {
        if (valid()) {
            ::CloseHandle(handle_);
        }
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }

  private:
    HANDLE handle_;
};

sockaddr_in portAddress(std::uint16_t port, ULONG address) {
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_port = htons(port);
    socketAddress.sin_addr.s_addr = address;
    return socketAddress;
}

// Every process's executable name by id. The snapshot names other users' processes too, where
// opening them would need an administrator.
std::map<DWORD, std::string> processNames() {
    std::map<DWORD, std::string> names;
    const OwnedHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.valid()) {
        return names;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    // Bounded: a snapshot is finite, but a broken one must not hold the diagnosis up.
    int looked = 0;
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more && looked < 1'000'000;
         more = ::Process32NextW(snapshot.get(), &entry), ++looked) {
        names[entry.th32ProcessID] = windows::narrowed(entry.szExeFile);
    }
    return names;
}

// The rows of one of Windows' UDP tables with their owners; empty with why when unreadable.
template <typename Table>
std::vector<std::byte> udpTable(ULONG family, std::string& why) {
    std::vector<std::byte> buffer;
    DWORD size = 0;
    DWORD result = ERROR_INSUFFICIENT_BUFFER;
    // Sockets may come and go between the calls.
    for (int attempt = 0; attempt < 4 && result == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
        buffer.resize(size + sizeof(Table));
        size = static_cast<DWORD>(buffer.size());
        result = ::GetExtendedUdpTable(buffer.data(), &size, FALSE, family, UDP_TABLE_OWNER_PID, 0);
    }
    if (result != NO_ERROR) {
        why = "cannot read the UDP table: " + windows::errorText(result);
        buffer.clear();
    }
    return buffer;
}

std::uint16_t portOf(DWORD tablePort) {
    return ntohs(static_cast<u_short>(tablePort & 0xFFFF));
}

// Binds the port as krvctl does and lets go again at once.
bool portRefusesSharing(std::uint16_t port) {
    windows::OwnedSocket probe(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    const BOOL on = TRUE;
    if (!probe.valid() || ::setsockopt(probe.get(), SOL_SOCKET, SO_REUSEADDR,
                                       reinterpret_cast<const char*>(&on), sizeof on) != 0) {
        return false;
    }
    const sockaddr_in any = portAddress(port, htonl(INADDR_ANY));
    if (::bind(probe.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any) == 0) {
        return false;
    }
    const int error = ::WSAGetLastError();
    // WSAEACCES: a holder that asked for the port exclusively (SO_EXCLUSIVEADDRUSE).
    return error == WSAEADDRINUSE || error == WSAEACCES;
}

}  // namespace

BroadcastRoute findBroadcastRoute(const std::vector<NetworkInterface>& interfaces) {
    BroadcastRoute route;
    std::string problem;
    if (!windows::startWinsock(problem)) {
        route.problem = problem;
        return route;
    }
    windows::OwnedSocket probe(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    const BOOL on = TRUE;
    if (!probe.valid() || ::setsockopt(probe.get(), SOL_SOCKET, SO_BROADCAST,
                                       reinterpret_cast<const char*>(&on), sizeof on) != 0) {
        route.problem = windows::errorText(::WSAGetLastError());
        return route;
    }
    // A connected datagram socket asks the routing table and sends nothing.
    const sockaddr_in everyone = portAddress(krv::wire::kPort, htonl(INADDR_BROADCAST));
    if (::connect(probe.get(), reinterpret_cast<const sockaddr*>(&everyone), sizeof everyone) !=
        0) {
        route.problem = windows::errorText(::WSAGetLastError());
        return route;
    }
    sockaddr_in source{};
    int length = sizeof source;
    if (::getsockname(probe.get(), reinterpret_cast<sockaddr*>(&source), &length) != 0) {
        route.problem = windows::errorText(::WSAGetLastError());
        return route;
    }
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &source.sin_addr, text, sizeof text);
    route.sourceAddress = text;
    for (const NetworkInterface& adapter : interfaces) {
        for (const InterfaceAddress& address : adapter.ipv4) {
            if (address.address == route.sourceAddress && route.interface.empty()) {
                route.interface = adapter.name;
            }
        }
    }
    return route;
}

PortFacts findPortHolders(std::uint16_t port) {
    PortFacts facts;
    if (!windows::startWinsock(facts.problem)) {
        return facts;
    }
    facts.refusesSharing = portRefusesSharing(port);
    const DWORD self = ::GetCurrentProcessId();
    std::map<DWORD, std::string> names;
    const auto add = [&](DWORD pid, std::string address) {
        if (pid == self) {
            return;
        }
        if (names.empty()) {
            names = processNames();
        }
        PortHolder holder;
        holder.pid = pid;
        const auto name = names.find(pid);
        holder.program = name != names.end() ? name->second : "";
        holder.address = std::move(address);
        facts.holders.push_back(std::move(holder));
    };
    const std::vector<std::byte> v4 = udpTable<MIB_UDPTABLE_OWNER_PID>(AF_INET, facts.problem);
    if (!v4.empty()) {
        const auto* table = reinterpret_cast<const MIB_UDPTABLE_OWNER_PID*>(v4.data());
        for (DWORD i = 0; i < table->dwNumEntries; ++i) {
            const MIB_UDPROW_OWNER_PID& row = table->table[i];
            if (portOf(row.dwLocalPort) != port) {
                continue;
            }
            in_addr address{};
            address.s_addr = row.dwLocalAddr;
            char text[INET_ADDRSTRLEN] = {};
            ::inet_ntop(AF_INET, &address, text, sizeof text);
            add(row.dwOwningPid, text);
        }
    }
    std::string v6Problem;
    const std::vector<std::byte> v6 = udpTable<MIB_UDP6TABLE_OWNER_PID>(AF_INET6, v6Problem);
    if (!v6.empty()) {
        const auto* table = reinterpret_cast<const MIB_UDP6TABLE_OWNER_PID*>(v6.data());
        for (DWORD i = 0; i < table->dwNumEntries; ++i) {
            const MIB_UDP6ROW_OWNER_PID& row = table->table[i];
            if (portOf(row.dwLocalPort) != port) {
                continue;
            }
            in6_addr address{};
            static_assert(sizeof address.s6_addr == sizeof row.ucLocalAddr);
            std::memcpy(address.s6_addr, row.ucLocalAddr, sizeof row.ucLocalAddr);
            char text[INET6_ADDRSTRLEN] = {};
            ::inet_ntop(AF_INET6, &address, text, sizeof text);
            add(row.dwOwningPid, text);
        }
    }
    return facts;
}

FirewallFacts readFirewallRules() {
    FirewallFacts facts;
    // Reading Windows Defender Firewall's rules needs its COM interface and, for every rule, an
    // administrator; the diagnosis tests the way in instead and says how to look.
    facts.whyNotRead =
        "Windows Defender Firewall's rules are not read here; in a Command Prompt run as "
        "administrator, 'netsh advfirewall firewall show rule name=all' lists them";
    return facts;
}

PlatformAdvice platformAdvice() {
    PlatformAdvice advice;
    advice.bringUp =
        "netsh interface set interface name=\"{interface}\" admin=enabled (as "
        "administrator), and check its cable";
    advice.giveStaticAddress =
        "netsh interface ipv4 set address name=\"{interface}\" static {address} {netmask} (as "
        "administrator)";
    advice.allowInbound =
        "netsh advfirewall firewall add rule name=\"krvctl\" dir=in action=allow protocol=UDP "
        "localport={port} (as administrator)";
    advice.showFirewallRules = "netsh advfirewall firewall show rule name=all | findstr {port}";
    advice.showPortHolders =
        "netstat -ano -p udp | findstr :{port} (then tasklist /fi \"PID eq ID\" for a name)";
    return advice;
}

SystemFacts gatherSystemFacts(std::uint16_t port) {
    SystemFacts facts;
    facts.interfaces = listNetworkInterfaces();
    facts.broadcastRoute = findBroadcastRoute(facts.interfaces.interfaces);
    facts.port = findPortHolders(port);
    facts.firewall = readFirewallRules();
    facts.advice = platformAdvice();
    return facts;
}

}  // namespace krvctl
