// What the web console lets in: the listen address it is given, and the guard that every
// request passes before anything else looks at it.
#include <gtest/gtest.h>

#include "krvctl/values/ListenAddress.h"
#include "krvctl/web/RequestGuard.h"

namespace krvctl {
namespace {

constexpr const char* kGuardToken = "00112233445566778899aabbccddeeff";

TEST(ListenAddress, StrictAddressAndPort) {
    const auto loopback = parseListenAddress("127.0.0.1:7280");
    ASSERT_TRUE(loopback) << loopback.problem();
    EXPECT_EQ(loopback.value().text(), "127.0.0.1:7280");
    EXPECT_TRUE(loopback.value().loopback());
    EXPECT_TRUE(parseListenAddress("127.8.9.10:1").value().loopback());
    const auto lan = parseListenAddress("192.0.2.250:0");
    ASSERT_TRUE(lan);
    EXPECT_FALSE(lan.value().loopback());
    EXPECT_EQ(lan.value().port, 0);
    EXPECT_TRUE(parseListenAddress("0.0.0.0:80").value().anyAddress());
    for (const char* text :
         {"", "127.0.0.1", "127.0.0.1:", ":7280", "localhost:7280", "127.0.0.1:65536",
          "127.0.0.1:-1", "127.0.0.1:72a0", "[::1]:7280", "127.0.0.01:7280", "127.0.0.1:7280 "}) {
        EXPECT_FALSE(parseListenAddress(text)) << text;
    }
    EXPECT_NE(parseListenAddress("1.2.3.4").problem().find("ADDRESS:PORT"), std::string::npos);
}

struct Case {
    const char* method;
    const char* host;
    std::optional<std::string> origin;
    const char* token;
    const char* refusal;  // a part of the reason, or nullptr when it passes
};

void expectVerdicts(const RequestGuard& guard, const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        const auto refusal = guard.refusal({c.method, c.host, c.origin, c.token});
        const std::string what = std::string(c.method) + " Host " + c.host + " Origin " +
                                 c.origin.value_or("-") + " token " + c.token;
        if (c.refusal == nullptr) {
            EXPECT_FALSE(refusal) << what << ": " << refusal->text;
        } else {
            ASSERT_TRUE(refusal) << what;
            EXPECT_NE(refusal->text.find(c.refusal), std::string::npos)
                << what << ": " << refusal->text;
        }
    }
}

TEST(RequestGuard, OnLoopbackOnlyTheConsolesOwnAddressAndPage) {
    const RequestGuard guard(parseListenAddress("127.0.0.1:7280").value(), kGuardToken);
    expectVerdicts(
        guard,
        {
            {"GET", "127.0.0.1:7280", std::nullopt, "", nullptr},
            {"GET", "localhost:7280", "http://localhost:7280", "", nullptr},
            {"GET", "LocalHost:7280", std::nullopt, "", nullptr},
            {"POST", "127.0.0.1:7280", "http://127.0.0.1:7280", kGuardToken, nullptr},
            // Scripts send no Origin; the token is what they need.
            {"POST", "127.0.0.1:7280", std::nullopt, kGuardToken, nullptr},
            // A name a stranger's DNS answers with 127.0.0.1: DNS rebinding.
            {"GET", "console.attacker.example:7280", std::nullopt, "", "Host header"},
            {"POST", "console.attacker.example:7280", "http://console.attacker.example:7280",
             kGuardToken, "Host header"},
            {"GET", "127.0.0.1:7281", std::nullopt, "", "Host header"},
            {"GET", "127.0.0.1", std::nullopt, "", "Host header"},
            {"GET", "", std::nullopt, "", "Host header"},
            {"GET", "127.0.0.2:7280", std::nullopt, "", "Host header"},
            // Another site's page: refused even with the token, reads included.
            {"POST", "127.0.0.1:7280", "http://127.0.0.1:7281", kGuardToken, "another site"},
            {"POST", "127.0.0.1:7280", "https://127.0.0.1:7280", kGuardToken, "another site"},
            {"POST", "127.0.0.1:7280", "null", kGuardToken, "another site"},
            {"GET", "127.0.0.1:7280", "http://attacker.example", "", "another site"},
            // The page's own origin under the other name of loopback is still another site.
            {"POST", "127.0.0.1:7280", "http://localhost:7280", kGuardToken, "another site"},
            {"POST", "127.0.0.1:7280", "http://127.0.0.1:7280", "", "token is missing"},
            {"POST", "127.0.0.1:7280", "http://127.0.0.1:7280", "00112233445566778899aabbccddeefe",
             "token is wrong"},
            {"POST", "127.0.0.1:7280", "http://127.0.0.1:7280", "00112233", "token is wrong"},
            {"PUT", "127.0.0.1:7280", "http://127.0.0.1:7280", "", "token is missing"},
        });
}

TEST(RequestGuard, ElsewhereAddressesWrittenOutButNoNames) {
    const RequestGuard lan(parseListenAddress("192.0.2.250:7280").value(), kGuardToken);
    expectVerdicts(lan, {
                            {"GET", "192.0.2.250:7280", std::nullopt, "", nullptr},
                            {"GET", "localhost:7280", std::nullopt, "", "Host header"},
                            {"GET", "192.0.2.251:7280", std::nullopt, "", "Host header"},
                        });
    // Every address of the machine, so any of them written out, on the port; never a name.
    const RequestGuard any(parseListenAddress("0.0.0.0:80").value(), kGuardToken);
    expectVerdicts(any, {
                            {"GET", "192.0.2.250:80", std::nullopt, "", nullptr},
                            {"GET", "0.0.0.0", std::nullopt, "", nullptr},
                            {"GET", "10.1.2.3:80", "http://10.1.2.3:80", "", nullptr},
                            {"GET", "controller-hall.example:80", std::nullopt, "", "Host header"},
                            {"GET", "192.0.2.250:81", std::nullopt, "", "Host header"},
                        });
}

TEST(RequestGuard, TokensAreFreshAndLongEnough) {
    const std::string first = freshConsoleToken();
    EXPECT_EQ(first.size(), 32u);
    EXPECT_EQ(first.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(first, freshConsoleToken());
}

}  // namespace
}  // namespace krvctl
