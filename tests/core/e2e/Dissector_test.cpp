// The capture dissector (wireshark/krv.lua) on a real exchange: krvd in its lab answers a
// QUERY, a CLEAR and an ASSIGN through its UDP socket, and in a plain-interface lab a QUERY
// with a hand-built raw frame; junk and requests the daemon refuses or ignores (a forbidden
// byte in a seqid, version 3, an unknown command, a bad MAC, a bad scheme, a setting CLEAR
// cannot remove) go unanswered. The capture taken on the tool's side is read back with
// tshark: every named field of every frame must show what crossed the wire, and exactly the
// refused datagrams carry an expert warning. The capture stays in the build folder.

#include <unistd.h>

#include <gtest/gtest.h>
#include <array>
#include <cstdio>
#include <map>
#include <memory>
#include <sstream>

#include "protocol/Wire.h"
#include "tests/core/e2e/NetworkLab.h"

namespace krvd::e2e {
namespace {

using namespace std::chrono_literals;

constexpr const char* kDeviceMac = "02:00:00:4B:10:01";  // the simulated controller's default
constexpr const char* kCapturePath = KRV_BINARY_DIR "/tests/krv-exchange.pcap";

// The named fields compared for every frame: the head, the command, and one per item key.
std::vector<std::string> fieldNames() {
    std::vector<std::string> names = {"krv.magic", "krv.version", "krv.command", "krv.clear"};
    for (const auto key : krv::wire::kStatusKeys) {
        names.push_back("krv." + std::string(key));
    }
    names.push_back("krv." + std::string(krv::wire::key::kAccept));
    return names;
}

// What each named field must show for a datagram of this exchange (items are plain
// "key=value"; a CLEAR ends with the setting's name).
std::map<std::string, std::string> expectedFields(const std::string& datagram) {
    std::map<std::string, std::string> fields;
    std::vector<std::string> parts;
    std::istringstream stream(datagram);
    for (std::string part; std::getline(stream, part, '#');) {
        parts.push_back(part);
    }
    fields["krv.magic"] = datagram.substr(0, 3);
    if (parts[0].size() != 4) {
        return fields;
    }
    fields["krv.version"] = parts[0].substr(3);
    fields["krv.command"] = parts[1];
    for (std::size_t i = 2; i < parts.size(); ++i) {
        const auto equals = parts[i].find('=');
        if (equals == std::string::npos) {
            fields["krv.clear"] = parts[i];
        } else {
            fields["krv." + parts[i].substr(0, equals)] = parts[i].substr(equals + 1);
        }
    }
    return fields;
}

std::string outputOf(const std::string& commandLine) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(commandLine.c_str(), "r"), pclose);
    std::string output;
    if (!pipe) {
        return output;
    }
    std::array<char, 4096> buffer;
    while (const std::size_t count = fread(buffer.data(), 1, buffer.size(), pipe.get())) {
        output.append(buffer.data(), count);
    }
    return output;
}

std::vector<std::string> splitLines(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    std::string piece;
    std::istringstream stream(text);
    while (std::getline(stream, piece, separator)) {
        pieces.push_back(piece);
    }
    return pieces;
}

// One lab with its daemon, the tool's socket and a recorder on the tool's side.
struct Exchange {
    explicit Exchange(NetworkLab::Side side) : lab(side) {
        if (!lab.failure().empty()) {
            return;
        }
        recorder = std::make_unique<PacketRecorder>(lab);
        peer = std::make_unique<Peer>(lab);
        daemon = std::make_unique<Daemon>(lab, Daemon::Options{});
    }
    bool up() { return recorder->failure().empty() && peer->failure().empty() && daemon->start(); }
    // Sends a request, waits for the reply that starts with prefix and keeps both in order.
    void ask(const std::string& request, const std::string& prefix) {
        send(request);
        const auto reply = peer->receive(prefix, 10s);
        ASSERT_TRUE(reply) << "no reply to " << request;
        crossed.push_back(reply->text);
    }
    void send(const std::string& datagram) {
        ASSERT_TRUE(peer->broadcast(datagram));
        crossed.push_back(datagram);
    }

    NetworkLab lab;
    std::unique_ptr<PacketRecorder> recorder;
    std::unique_ptr<Peer> peer;
    std::unique_ptr<Daemon> daemon;
    std::vector<std::string> crossed;  // every setup datagram on the wire, in order
};

TEST(Dissector, NamesEveryFieldOfARealExchangeAndFlagsWhatTheDaemonIgnores) {
    if (runQuietly({"tshark", "--version"}) != 0) {
        GTEST_SKIP() << "tshark is not installed";
    }
    const std::string mac = kDeviceMac;
    std::vector<CapturedFrame> frames;
    std::vector<std::string> crossed;
    std::vector<std::string> ignored;  // datagrams the daemon does not act on
    {
        Exchange bridge(NetworkLab::Side::Bridge);
        if (!bridge.lab.failure().empty()) {
            GTEST_SKIP() << bridge.lab.failure();
        }
        ASSERT_TRUE(bridge.up()) << bridge.daemon->failure();
        bridge.ask("KRV2#QUERY#seqid=cap-1", "KRV2#STATUS");
        bridge.ask("KRV2#CLEAR#seqid=cap-2#mac=" + mac + "#syslogip", "KRV2#ACK");
        const std::string other = "#mac=02:00:00:00:00:99";
        ignored = {"A",
                   "KRV2#QUERY#seqid=cap;3",
                   "KRV3#QUERY#seqid=cap-v3",
                   "KRV2#query#seqid=cap-lc",
                   "KRV2#QUERY#seqid=cap-m#mac=0g:11:22:33:44:55",
                   "KRV2#ASSIGN#seqid=cap-s" + other + "#ipscheme=static",
                   "KRV2#CLEAR#seqid=cap-c" + other + "#hostname"};
        for (const auto& datagram : ignored) {
            bridge.send(datagram);
        }
        // Last: the daemon pauses after it, and nothing else has to wait.
        bridge.ask("KRV2#ASSIGN#seqid=cap-4#mac=" + mac + "#ntpip=192.0.2.77#syslogip=192.0.2.51",
                   "KRV2#ACK");
        frames = bridge.recorder->take();
        crossed = bridge.crossed;
    }
    {
        Exchange plain(NetworkLab::Side::Plain);
        ASSERT_TRUE(plain.up()) << plain.daemon->failure();
        plain.ask("KRV2#QUERY#seqid=cap-5", "KRV2#STATUS");
        const auto raw = plain.recorder->take();
        frames.insert(frames.end(), raw.begin(), raw.end());
        crossed.insert(crossed.end(), plain.crossed.begin(), plain.crossed.end());
    }
    ASSERT_TRUE(writePcap(kCapturePath, frames));

    const auto names = fieldNames();
    std::string command = "tshark -n -r " + std::string(kCapturePath) +
                          " -X lua_script:" KRV_SOURCE_DIR
                          "/wireshark/krv.lua -Y krv"
                          " -T fields -E separator=/t -E occurrence=a";
    for (const auto& name : names) {
        command += " -e " + name;
    }
    command += " -e _ws.expert.message";
    const auto rows = splitLines(outputOf(command), '\n');

    ASSERT_EQ(rows.size(), crossed.size()) << outputOf(command);
    for (std::size_t row = 0; row < rows.size(); ++row) {
        SCOPED_TRACE(crossed[row]);
        const auto columns = splitLines(rows[row] + "\t", '\t');
        ASSERT_EQ(columns.size(), names.size() + 1) << rows[row];
        auto expected = expectedFields(crossed[row]);
        for (std::size_t i = 0; i < names.size(); ++i) {
            EXPECT_EQ(columns[i], expected[names[i]]) << names[i];
        }
        const bool isIgnored =
            std::find(ignored.begin(), ignored.end(), crossed[row]) != ignored.end();
        EXPECT_EQ(columns.back().empty(), !isIgnored) << "expert: " << columns.back();
    }
}

}  // namespace
}  // namespace krvd::e2e
