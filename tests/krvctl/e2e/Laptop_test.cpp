// krvctl as a field engineer's laptop is really set up: WiFi holding the default route, and
// two cables without one, each to a segment of its own with three real daemons on simulated
// controllers. Without --interface every command finds and reaches every controller, each
// tagged with the cable it answered on; a tunnel on the laptop is left out.
#include <gtest/gtest.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <memory>
#include <set>
#include <thread>

#include "tests/core/e2e/NetworkLab.h"
#include "tests/krvctl/e2e/Lan.h"
#include "tests/krvctl/support/LoopbackHttp.h"
#include "tests/support/TempDir.h"

namespace krvctl::e2e {
namespace {

using krvd::e2e::Daemon;
using krvd::e2e::runQuietly;
using Json = nlohmann::json;
using namespace std::chrono_literals;

struct Segment {
    std::string interface;  // the laptop's cable to it
    std::string prefix;     // of its /24
};
const std::vector<Segment> kSegments = {{"eth1", "192.0.2."}, {"eth2", "198.51.100."}};
constexpr int kPerSegment = 3;
constexpr std::uint16_t kConsolePort = 7281;

std::string laptopMac(std::size_t segment, int index) {
    return "02:00:00:4B:3" + std::to_string(segment) + ":0" + std::to_string(index);
}

// The laptop's namespace with wlan0 to a router (the default route), eth1 and eth2 to the
// bridges of two segments (static addresses, no route), and, where the kernel has ipip, a
// point-to-point tunnel with an address of its own.
class LaptopLab {
  public:
    LaptopLab() {
        base_ = "krv-lap-" + std::to_string(getpid());
        if (geteuid() != 0) {
            failure_ = "needs root to create network namespaces";
            return;
        }
        if (!addNamespace(laptop())) {
            failure_ = "ip netns add is not possible here";
            return;
        }
        for (std::size_t s = 0; s < kSegments.size() && failure_.empty(); ++s) {
            const std::string bridge = base_ + "-s" + std::to_string(s);
            const Segment& segment = kSegments[s];
            ok(addNamespace(bridge) &&
               ip({"-n", bridge, "link", "add", "lan0", "type", "bridge"}) &&
               ip({"-n", bridge, "link", "set", "lan0", "up"}) &&
               veth(laptop(), segment.interface, bridge, "up0", "lan0") &&
               ip({"-n", laptop(), "addr", "add", segment.prefix + "250/24", "dev",
                   segment.interface}));
        }
        const std::string router = base_ + "-r";
        ok(addNamespace(router) && veth(laptop(), "wlan0", router, "wlan0", "") &&
           ip({"-n", router, "addr", "add", "10.77.0.1/24", "dev", "wlan0"}) &&
           ip({"-n", laptop(), "addr", "add", "10.77.0.2/24", "dev", "wlan0"}) &&
           ip({"-n", laptop(), "route", "add", "default", "via", "10.77.0.1"}));
        tunnel_ =
            runQuietly({"ip", "-n", laptop(), "link", "add", "tnl0", "type", "ipip", "local",
                        "10.77.0.2", "remote", "10.77.0.9"}) == 0 &&
            runQuietly({"ip", "-n", laptop(), "addr", "add", "10.99.0.1/30", "dev", "tnl0"}) == 0 &&
            runQuietly({"ip", "-n", laptop(), "link", "set", "tnl0", "up"}) == 0;
    }
    ~LaptopLab() {
        for (auto name = namespaces_.rbegin(); name != namespaces_.rend(); ++name) {
            runQuietly({"ip", "netns", "del", *name});
        }
    }
    LaptopLab(const LaptopLab&) = delete;
    LaptopLab& operator=(const LaptopLab&) = delete;

    const std::string& failure() const { return failure_; }
    std::string laptop() const { return base_; }
    bool hasTunnel() const { return tunnel_; }

    // A controller's namespace with "eth0" at address/24 on the segment's bridge.
    std::optional<std::string> addController(std::size_t segment, const std::string& address) {
        const std::string host = base_ + "-c" + std::to_string(controllers_++);
        const std::string bridge = base_ + "-s" + std::to_string(segment);
        ok(addNamespace(host) &&
           veth(bridge, "c" + std::to_string(controllers_), host, "eth0", "lan0", true) &&
           ip({"-n", host, "addr", "add", address + "/24", "dev", "eth0"}));
        return failure_.empty() ? std::optional<std::string>(host) : std::nullopt;
    }

  private:
    bool addNamespace(const std::string& name) {
        if (runQuietly({"ip", "netns", "add", name}) != 0) {
            return false;
        }
        namespaces_.push_back(name);
        return ip({"-n", name, "link", "set", "lo", "up"});
    }
    // A veth pair from one namespace to another, the far end a port of bridge when named.
    bool veth(const std::string& from, const std::string& name, const std::string& to,
              const std::string& peer, const std::string& bridge, bool bridgeOnFromSide = false) {
        const std::string& bridged = bridgeOnFromSide ? from : to;
        const std::string& port = bridgeOnFromSide ? name : peer;
        return ip({"-n", from, "link", "add", name, "type", "veth", "peer", "name", peer, "netns",
                   to}) &&
               (bridge.empty() || ip({"-n", bridged, "link", "set", port, "master", bridge})) &&
               ip({"-n", from, "link", "set", name, "up"}) &&
               ip({"-n", to, "link", "set", peer, "up"});
    }
    bool ip(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "ip");
        if (runQuietly(arguments) == 0) {
            return true;
        }
        failure_ = "failed:";
        for (const std::string& argument : arguments) {
            failure_ += " " + argument;
        }
        return false;
    }
    void ok(bool done) {
        if (!done && failure_.empty()) {
            failure_ = "could not build the laptop lab";
        }
    }

    std::string base_;
    std::vector<std::string> namespaces_;
    int controllers_ = 0;
    bool tunnel_ = false;
    std::string failure_;
};

class Laptop : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!lab.failure().empty()) {
            GTEST_SKIP() << lab.failure();
        }
        for (std::size_t s = 0; s < kSegments.size(); ++s) {
            for (int i = 1; i <= kPerSegment; ++i) {
                const auto host =
                    lab.addController(s, kSegments[s].prefix + std::to_string(10 + i));
                ASSERT_TRUE(host) << lab.failure();
                Daemon::Options options;
                options.hostname = "lap-" + std::to_string(s) + std::to_string(i);
                auto daemon = std::make_unique<Daemon>(*host, "eth0", options);
                daemon->configure({"set", "mac", laptopMac(s, i)});
                ASSERT_TRUE(daemon->launch()) << daemon->failure();
                daemons.push_back(std::move(daemon));
            }
        }
        for (const auto& daemon : daemons) {
            ASSERT_TRUE(daemon->awaitListening()) << daemon->failure();
        }
        for (const Segment& segment : kSegments) {
            ASSERT_TRUE(krvd::e2e::awaitRunning(lab.laptop(), segment.interface));
        }
        ASSERT_TRUE(krvd::e2e::awaitRunning(lab.laptop(), "wlan0"));
    }

    ToolRun tool(std::vector<std::string> arguments) {
        return runTool(lab.laptop(), arguments, std::nullopt, 90);
    }
    const Daemon& daemonOf(std::size_t segment, int index) const {
        return *daemons.at(segment * kPerSegment + static_cast<std::size_t>(index - 1));
    }

    LaptopLab lab;
    std::vector<std::unique_ptr<Daemon>> daemons;  // stopped before the lab goes
    krvtest::TempDir folder;
};

TEST_F(Laptop, EveryCommandFindsAndReachesEveryControllerWithoutInterface) {
    const ToolRun discover = tool({"--json", "--timeout", "6", "discover"});
    ASSERT_EQ(discover.status, 0) << discover.err;
    std::cout << "[ laptop   ] " << discover.err;
    const Json list = Json::parse(discover.out);
    ASSERT_EQ(list.size(), kSegments.size() * kPerSegment) << discover.out;
    for (const Json& controller : list) {
        const std::string mac = controller["mac"];
        const std::string segment = mac.substr(13, 1) == "0" ? "eth1" : "eth2";
        EXPECT_EQ(controller["interface"], segment) << mac;
    }
    // The tunnel, where there is one, is left out.
    EXPECT_NE(discover.err.find(
                  "6 controllers answered: 3 on eth1, 3 on eth2 (searched eth1, eth2, wlan0)"),
              std::string::npos)
        << discover.err << (lab.hasTunnel() ? "with a tunnel" : "without a tunnel");

    const ToolRun query = tool({"--json", "--timeout", "20", "query", laptopMac(1, 2)});
    ASSERT_EQ(query.status, 0) << query.err;
    EXPECT_EQ(Json::parse(query.out)["interface"], "eth2");
    EXPECT_EQ(Json::parse(query.out)["from"], "198.51.100.12");

    const ToolRun assign =
        tool({"--timeout", "20", "assign", laptopMac(1, 2), "ntpip=198.51.100.123"});
    EXPECT_EQ(assign.status, 0) << assign.err << assign.out;
    EXPECT_NE(daemonOf(1, 2).commandRecord().find("trelsetup settimeserver"), std::string::npos);

    // A small fleet spanning both cables.
    const std::string plan =
        folder.write("fleet.csv", "mac,syslogip\n" + laptopMac(0, 1) + ",192.0.2.51\n" +
                                      laptopMac(1, 3) + ",198.51.100.51\n");
    const ToolRun planned = tool({"--timeout", "6", "plan", plan});
    EXPECT_EQ(planned.status, 4) << planned.err << planned.out;
    const ToolRun applied = tool({"--json", "--timeout", "20", "apply", "--yes", "--report",
                                  folder.file("report.csv"), plan});
    ASSERT_EQ(applied.status, 0) << applied.err << applied.out;
    const Json report = Json::parse(applied.out)["controllers"];
    ASSERT_EQ(report.size(), 2u);
    EXPECT_EQ(report[0]["interface"], "eth1");
    EXPECT_EQ(report[1]["interface"], "eth2");
    for (const auto& [segment, index] : {std::pair{0, 1}, std::pair{1, 3}}) {
        EXPECT_NE(daemonOf(segment, index).commandRecord().find("trelsetup setsyslogserver"),
                  std::string::npos)
            << segment << index;
    }
    // Nothing reached a controller that was not planned.
    EXPECT_EQ(daemonOf(0, 2).commandRecord().find("trelsetup set"), std::string::npos);
}

TEST_F(Laptop, TheConsoleListsEveryControllerAndNamesTheInterfacesItUses) {
    krvd::e2e::BackgroundProgram console;
    ASSERT_TRUE(
        console.start(toolCommand(lab.laptop(), {"--timeout", "4", "web", "--listen",
                                                 "127.0.0.1:" + std::to_string(kConsolePort)}),
                      folder.file("out"), folder.file("err")));
    const std::string host = "127.0.0.1:" + std::to_string(kConsolePort);
    const auto get = [&](const std::string& path) {
        std::optional<test::HttpAnswer> answer;
        krvd::e2e::runInNamespace(lab.laptop(), [&] {
            test::LoopbackClient client(kConsolePort);
            if (client.send(test::httpRequest("GET", path, host))) {
                answer = client.answer(5s);
            }
        });
        return answer ? Json::parse(answer->body, nullptr, false) : Json();
    };
    Json listed;
    // Bounded: the first discovery round ends within its window of 4 s.
    for (int attempt = 0; attempt < 60; ++attempt) {
        listed = get("/api/controllers");
        if (listed.is_object() && listed.value("answered", 0) == 6) {
            break;
        }
        std::this_thread::sleep_for(250ms);
    }
    ASSERT_TRUE(listed.is_object()) << krvd::e2e::readFile(folder.file("err"));
    EXPECT_EQ(listed["answered"], 6) << listed.dump();
    std::set<std::string> interfaces;
    for (const Json& entry : listed["controllers"]) {
        interfaces.insert(entry["interface"].get<std::string>());
    }
    EXPECT_EQ(interfaces, (std::set<std::string>{"eth1", "eth2"}));
    const Json session = get("/api/session");
    std::set<std::string> used;
    for (const Json& name : session["interfaces"]) {
        used.insert(name.get<std::string>());
    }
    EXPECT_EQ(used, (std::set<std::string>{"eth1", "eth2", "wlan0"}));
    console.stop();
}

}  // namespace
}  // namespace krvctl::e2e
