// krvctl doctor as the command line runs it: only eligible interfaces are opened, a named one
// that does not exist is refused before anything is sent, the statuses, and discover pointing to
// doctor when nothing answers.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/krvctl/cli/Program.h"

namespace krvctl::test {
namespace {

NetworkInterface interfaceNamed(const std::string& name, bool withAddress) {
    NetworkInterface interface {
        name, name, 2, true, false, false, true, {}
    };
    if (withAddress) {
        interface.ipv4.push_back({"192.0.2.20", 24, "192.0.2.255"});
    }
    return interface;
}

class Doctor : public Program {
  protected:
    void SetUp() override {
        facts.interfaces.interfaces = {interfaceNamed("eth0", true), interfaceNamed("eth1", false)};
        facts.broadcastRoute = {"eth0", "192.0.2.20", ""};
        facts.advice.giveStaticAddress = "ip addr add {address}/{prefix} dev {interface}";
    }
};

TEST_F(Doctor, SearchesEligibleInterfacesOnlyAndReportsWhatItFound) {
    const ToolOutput found = run({"--timeout", "1", "doctor"});
    EXPECT_EQ(found.status, kDone) << found.out;
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(openedInterfaces, std::vector<std::string>{"eth0"});
    EXPECT_NE(found.out.find("eth0  up  192.0.2.20/24  searched: 1 controller answered\n"
                             "  answered 02:00:00:4B:10:01  192.0.2.10"),
              std::string::npos)
        << found.out;
    EXPECT_NE(found.out.find("ip addr add 192.168.1.10/24 dev eth1"), std::string::npos);

    // Silence with no own QUERY heard either: the firewall is the likely cause.
    controller.silent = true;
    const ToolOutput silent = run({"--json", "--timeout", "1", "doctor"});
    EXPECT_EQ(silent.status, kUnavailable);
    const auto report = nlohmann::json::parse(silent.out);
    EXPECT_EQ(report["status"], kUnavailable);
    EXPECT_EQ(report["findings"][0]["code"], "firewall-drops");

    opened = 0;
    const ToolOutput unknown = run({"--interface", "eth9", "doctor"});
    EXPECT_EQ(unknown.status, kUsage);
    EXPECT_EQ(unknown.err, "krvctl: --interface: no network interface named 'eth9'\n");
    EXPECT_EQ(opened, 0);

    // A name in another letter case (as Windows' adapter names are typed) is the listed one.
    controller.silent = false;
    openedInterfaces.clear();
    const ToolOutput anyCase = run({"--interface", "ETH0", "--timeout", "1", "doctor"});
    EXPECT_EQ(anyCase.status, kDone) << anyCase.err;
    EXPECT_EQ(openedInterfaces, std::vector<std::string>{"eth0"});
}

TEST_F(Doctor, DiscoverPointsToDoctorWhenNothingAnswers) {
    controller.silent = true;
    const ToolOutput discover = run({"--timeout", "1", "discover"});
    EXPECT_EQ(discover.status, kNoAnswer);
    EXPECT_EQ(discover.err,
              "krvctl: no controller answered within 1.0 s\n"
              "krvctl: 'krvctl doctor' says what this machine sees and why\n");
}

}  // namespace
}  // namespace krvctl::test
