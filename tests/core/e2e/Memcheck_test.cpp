// The real krvd binary under valgrind's memcheck, end to end: queries, an accepted and a refused
// assignment, a clear, other controllers' replies and junk, then a stop. Memcheck must report no
// error and nothing definitely lost. Skips where valgrind is missing, and in the sanitizer
// build, which valgrind cannot run.

#include <unistd.h>

#include <fstream>
#include <iterator>

#include "tests/core/e2e/EndToEndFixture.h"
#include "tests/support/TempDir.h"

namespace krvd::e2e {
namespace {

using Memcheck = EndToEnd;

TEST_F(Memcheck, AFullSessionEndsWithoutErrorsOrDefinitelyLostMemory) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "valgrind cannot run a build with AddressSanitizer";
#else
    if (access("/usr/bin/valgrind", X_OK) != 0) {
        GTEST_SKIP() << "valgrind is not installed (package valgrind)";
    }
    krvtest::TempDir dir;
    const std::string log = dir.file("memcheck.log");
    bringUp(NetworkLab::Side::Bridge,
            {.wrapper = {"/usr/bin/valgrind", "--log-file=" + log, "--leak-check=full",
                         "--show-leak-kinds=definite", "--errors-for-leak-kinds=definite"}});
    if (!ready()) {
        return;
    }
    const std::string mac = kDeviceMac;
    ASSERT_TRUE(ask("KRV2#QUERY#seqid=1", "KRV2#STATUS#seqid=1#"));
    ASSERT_TRUE(ask("KRV2#ASSIGN#seqid=2#mac=" + mac +
                        "#ntpip=192.0.2.77#utcclock=20261224183000#ipscheme=STATIC",
                    "KRV2#ACK#seqid=2#"));
    ASSERT_TRUE(ask("KRV2#CLEAR#seqid=3#mac=" + mac + "#syslogip", "KRV2#ACK#seqid=3#", 15s));
    ASSERT_TRUE(ask("KRV2#ASSIGN#seqid=4#mac=" + mac + "#ipscheme=static", "KRV2#ACK#seqid=4#"));
    for (const std::string& datagram :
         {std::string("KRV2#STATUS#seqid=9#mac=02:00:00:00:00:99"), std::string("A"),
          std::string("KRV2#QUERY#seqid=5#mac=02:00:00:00:00:99"), std::string(600, 'x'),
          std::string("KRV1\0\xff#\x80", 8)}) {
        ASSERT_TRUE(peer->broadcast(datagram));
    }
    ASSERT_TRUE(ask("KRV2#QUERY#seqid=6#mac=" + mac, "KRV2#STATUS#seqid=6#"));
    ASSERT_TRUE(daemon->stop(30s));

    std::ifstream file(log);
    const std::string report((std::istreambuf_iterator<char>(file)),
                             std::istreambuf_iterator<char>());
    EXPECT_NE(report.find("ERROR SUMMARY: 0 errors"), std::string::npos) << report;
    EXPECT_NE(report.find("HEAP SUMMARY"), std::string::npos) << report;
    const auto lost = report.find("definitely lost: ");
    if (lost != std::string::npos) {
        EXPECT_TRUE(report.substr(lost).starts_with("definitely lost: 0 bytes")) << report;
    }
#endif
}

}  // namespace
}  // namespace krvd::e2e
