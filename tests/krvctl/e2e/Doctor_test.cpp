// krvctl doctor for real, in namespaces: an nftables rule dropping the port in the tool's
// namespace is named as the likely cause, and without it the controller on the segment is
// listed; a cable with no address gets the advice; a holder of the port that does not share it
// is named, as root by program and pid, as an ordinary user as one that only root can name.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "tests/core/e2e/EndToEndFixture.h"
#include "tests/krvctl/e2e/Lan.h"

namespace krvctl::e2e {
namespace {

using krvd::e2e::awaitRunning;
using krvd::e2e::NetworkLab;
using krvd::e2e::runQuietly;
using Json = nlohmann::json;

constexpr uid_t kNobody = 65534;

// The finding of that code about that interface ("" for the machine), or null.
Json findingOf(const Json& report, const std::string& code, const std::string& interface) {
    for (const Json& finding : report["findings"]) {
        if (finding["code"] == code && finding["interface"] == interface) {
            return finding;
        }
    }
    return nullptr;
}

Json interfaceOf(const Json& report, const std::string& name) {
    for (const Json& interface : report["interfaces"]) {
        if (interface["name"] == name) {
            return interface;
        }
    }
    return nullptr;
}

bool inNamespace(const std::string& ns, std::vector<std::string> command) {
    command.insert(command.begin(), {"ip", "netns", "exec", ns});
    return runQuietly(command) == 0;
}

class Doctor : public krvd::e2e::EndToEnd {};

TEST_F(Doctor, AFirewallDroppingThePortIsNamedAndWithoutItTheControllerIsListed) {
    if (runQuietly({"nft", "--version"}) != 0) {
        GTEST_SKIP() << "no nft (package nftables)";
    }
    bringUp(NetworkLab::Side::Bridge);
    if (!ready()) {
        return;
    }
    // The lab's own listener would count as another holder of the port.
    peer.reset();
    const std::string ns = lab->peerNamespace();
    ASSERT_TRUE(
        inNamespace(ns, {"nft", "add", "table", "inet", "t"}) &&
        inNamespace(ns, {"nft", "add", "chain", "inet", "t", "in",
                         "{ type filter hook input priority 0; }"}) &&
        inNamespace(ns, {"nft", "add", "rule", "inet", "t", "in", "udp", "dport", "7217", "drop"}));
    const ToolRun dropped = runTool(ns, {"--timeout", "1", "doctor"});
    EXPECT_EQ(dropped.status, 69) << dropped.err;
    EXPECT_NE(dropped.out.find("problem  The tool's own QUERY did not come back on peer0"),
              std::string::npos)
        << dropped.out;
    EXPECT_NE(dropped.out.find("firewall likely drops inbound UDP 7217 on peer0"),
              std::string::npos);
    // Read as root, the rule itself is quoted.
    EXPECT_NE(dropped.out.find("[udp dport 7217 drop]"), std::string::npos);
    EXPECT_NE(dropped.out.find("peer0  up  192.0.2.20/24  searched: no answer"), std::string::npos);

    ASSERT_TRUE(inNamespace(ns, {"nft", "delete", "table", "inet", "t"}));
    // A window wide enough for a controller that reads its state slowly on a busy machine.
    const ToolRun open = runTool(ns, {"--json", "--timeout", "5", "doctor"});
    EXPECT_EQ(open.status, 0) << open.err << open.out;
    const Json report = Json::parse(open.out);
    EXPECT_TRUE(findingOf(report, "firewall-drops", "peer0").is_null()) << report.dump(2);
    const Json peer0 = interfaceOf(report, "peer0");
    ASSERT_FALSE(peer0.is_null());
    EXPECT_EQ(peer0["search"]["ownQueryCameBack"], true);
    ASSERT_EQ(peer0["search"]["controllers"].size(), 1u) << report.dump(2);
    EXPECT_EQ(peer0["search"]["controllers"][0]["mac"], krvd::e2e::kDeviceMac);
    EXPECT_EQ(peer0["search"]["controllers"][0]["from"], krvd::e2e::kControllerAddress);
    EXPECT_EQ(report["broadcastRoute"]["interface"], "peer0");
    EXPECT_EQ(interfaceOf(report, "lo")["coverage"], "loopback");
}

// A socket on the port without SO_REUSEADDR, inside the namespace; closed with the object.
class UnsharedHolder {
  public:
    explicit UnsharedHolder(const std::string& ns) {
        krvd::e2e::runInNamespace(ns, [this] {
            fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(7217);
            if (fd_ >= 0 &&
                ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
                ::close(fd_);
                fd_ = -1;
            }
        });
    }
    ~UnsharedHolder() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    UnsharedHolder(const UnsharedHolder&) = delete;
    UnsharedHolder& operator=(const UnsharedHolder&) = delete;
    bool holds() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

TEST(DoctorWithoutController, ACableWithoutAddressAndAnUnsharedPortAreNamedWithAdvice) {
    NetworkLab lab(NetworkLab::Side::Plain);
    if (!lab.failure().empty()) {
        GTEST_SKIP() << lab.failure();
    }
    const std::string ns = lab.peerNamespace();
    ASSERT_TRUE(inNamespace(ns, {"ip", "link", "add", "cable0", "type", "veth", "peer", "name",
                                 "cable1"}) &&
                inNamespace(ns, {"ip", "link", "set", "cable1", "up"}) &&
                inNamespace(ns, {"ip", "link", "set", "cable0", "up"}));
    ASSERT_TRUE(awaitRunning(ns, "cable0"));
    const UnsharedHolder holder(ns);
    ASSERT_TRUE(holder.holds());

    const ToolRun run = runTool(ns, {"--timeout", "1", "doctor"});
    EXPECT_EQ(run.status, 69) << run.err;
    EXPECT_NE(run.out.find("cable0  up  no IPv4  not searched: no IPv4 address\n"
                           "  warning  cable0 is up but has no IPv4 address: no DHCP server "
                           "answered on that cable."),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("sudo ip addr add 192.168.1.10/24 dev cable0"), std::string::npos);
    // The port's holder by name and pid: this test program.
    const std::string named = "(pid " + std::to_string(::getpid()) +
                              ") on 0.0.0.0, which does "
                              "not share it";
    EXPECT_NE(run.out.find(named), std::string::npos) << run.out;

    // An ordinary user cannot look into root's processes: the holder is counted, not named.
    const std::string nobody = std::to_string(kNobody);
    if (runQuietly({"setpriv", "--reuid", nobody, "--regid", nobody, "--clear-groups", "test", "-x",
                    KRV_BINARY_DIR "/krvctl/krvctl"}) != 0) {
        GTEST_SKIP() << "the build folder cannot be reached by user " << nobody;
    }
    const ToolRun unprivileged = runTool(ns, {"--json", "--timeout", "1", "doctor"}, kNobody);
    EXPECT_EQ(unprivileged.status, 69) << unprivileged.err;
    const Json report = Json::parse(unprivileged.out);
    const Json held = findingOf(report, "port-held", "");
    ASSERT_FALSE(held.is_null()) << report.dump(2);
    EXPECT_NE(held["seen"].get<std::string>().find("a process of user 0 that only root can name"),
              std::string::npos)
        << held;
    EXPECT_NE(held["next"].get<std::string>().find("sudo ss -ulpn 'sport = :7217'"),
              std::string::npos);
}

}  // namespace
}  // namespace krvctl::e2e
