// What arrives on the protocol port, taken apart: replies by their fixed item order, requests
// item by item, and everything else kept as it came. Hostile and broken datagrams included.
#include "krvctl/lan/DatagramDecoder.h"

#include <gtest/gtest.h>

#include "krvctl/lan/ControllerRecord.h"
#include "krvctl/lan/ReplyMatching.h"
#include "tests/krvctl/support/FakeNetwork.h"

namespace krvctl {
namespace {

using namespace std::string_literals;
using test::statusText;

TEST(DatagramDecoder, StatusItemsInOrder) {
    const auto decoded = decodeDatagram(statusText(
        "5", "02:00:00:4B:10:01", {{"ip", "192.0.2.10"}, {"hostname", "ctl"}}, "20261208120003"));
    ASSERT_TRUE(decoded.isSetupDatagram);
    EXPECT_EQ(decoded.command, Command::Status);
    EXPECT_EQ(decoded.version, '2');
    EXPECT_EQ(decoded.problem, "");
    std::vector<std::string> keys;
    for (const Item& item : decoded.items) {
        keys.push_back(item.key);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"seqid", "mac", "ip", "hostname", "utcclock",
                                              "displaytime"}));

    const auto record = recordFromStatus(decoded, "192.0.2.10", test::kStartWallMs + 999);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->mac, "02:00:00:4B:10:01");
    EXPECT_EQ(record->value("hostname"), "ctl");
    EXPECT_EQ(record->clockOffsetSeconds, 3);
    // The same whole second on both sides reads as agreement, wherever in it the reply came.
    const auto same = decodeDatagram(statusText("5", "02:00:00:4B:10:01", {}, "20261208120000"));
    EXPECT_EQ(recordFromStatus(same, "", test::kStartWallMs + 999)->clockOffsetSeconds, 0);
    EXPECT_EQ(recordFromStatus(same, "", test::kStartWallMs)->clockOffsetSeconds, 0);
    EXPECT_FALSE(record->reports("ntpip"));
}

TEST(DatagramDecoder, AValueHoldingHashOrEqualsStaysWhole) {
    // A host name "lab#7", and one crafted to pass for an earlier field: both stay the host
    // name's value. A controller text holding "=" keeps it.
    const auto decoded = decodeDatagram(statusText(
        "5", "02:00:00:4B:10:01",
        {{"ip", "192.0.2.10"}, {"hostname", "lab#7#ip=6.6.6.6"}, {"controller", "a=b#c"}}));
    EXPECT_EQ(*decoded.find("hostname"), "lab#7#ip=6.6.6.6");
    EXPECT_EQ(*decoded.find("ip"), "192.0.2.10");
    EXPECT_EQ(*decoded.find("controller"), "a=b#c");
    EXPECT_EQ(decoded.problem, "");
}

TEST(DatagramDecoder, BrokenAndForeignDatagramsAreKeptApart) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "no KRV head"},
        {"hello", "no KRV head"},
        {"KRV2", "no KRV head"},
        {"KRV22#STATUS#seqid=1", "no KRV head"},
        {"krv2#STATUS#seqid=1", "no KRV head"},
        {"KRV2#status#seqid=1", "unknown command word"},
        {"KRV2#STATUS#mac=02:00:00:4B:10:01#seqid=1", "does not begin with its seqid"},
        {"KRV2#STATUS#ip=1.2.3.4", "does not begin with its seqid"},
        {"KRV2#ACK#accept=yes", "does not begin with its seqid"},
        {"\x00\xff\x1b[2J"s, "no KRV head"},
    };
    for (const auto& [bytes, problem] : cases) {
        const auto decoded = decodeDatagram(bytes);
        EXPECT_NE(decoded.problem.find(problem), std::string::npos) << bytes;
        EXPECT_FALSE(recordFromStatus(decoded, "192.0.2.9", 0)) << bytes;
    }
}

TEST(DatagramDecoder, RequestsAreSplitItemByItem) {
    const auto clear = decodeDatagram("KRV2#CLEAR#seqid=7#mac=02:00:00:4B:10:01#ntpip");
    EXPECT_EQ(clear.command, Command::Clear);
    ASSERT_EQ(clear.items.size(), 3u);
    EXPECT_EQ(clear.items[2].key, "ntpip");
    EXPECT_FALSE(clear.items[2].hasValue);

    const auto query = decodeDatagram("KRV0#QUERY");
    EXPECT_TRUE(query.isSetupDatagram);
    EXPECT_EQ(query.version, '0');
    EXPECT_TRUE(query.items.empty());
}

TEST(DatagramDecoder, OversizeAndBinaryRepliesDecodeWithoutHarm) {
    std::string huge =
        statusText("5", "02:00:00:4B:10:01", {{"hostname", std::string(60000, 'x')}});
    const auto decoded = decodeDatagram(huge);
    EXPECT_EQ(decoded.find("hostname")->size(), 60000u);
    std::string binary = statusText("5", "02:00:00:4B:10:01", {{"hostname", "\x00\x01\xfe#\xff"s}});
    EXPECT_EQ(*decodeDatagram(binary).find("hostname"), "\x00\x01\xfe#\xff"s);
}

TEST(ReplyFilter, OnlyThisRequestsAnswersCount) {
    const ReplyFilter ack{Command::Ack, "ab12", "02:00:00:4B:10:01"};
    EXPECT_TRUE(ack.accepts(decodeDatagram("KRV2#ACK#seqid=ab12#mac=02:00:00:4B:10:01#accept=no")));
    for (const char* other : {
             "KRV2#ACK#seqid=ab13#mac=02:00:00:4B:10:01#accept=yes",     // another request
             "KRV2#ACK#seqid=ab12#mac=02:00:00:4B:10:02#accept=yes",     // another controller
             "KRV2#ACK#seqid=ab12#accept=yes",                           // no MAC at all
             "KRV2#ACK#seqid=ab12#mac=02:00:00:4B:10:01#accept=maybe",   // not an answer
             "KRV2#ACK#seqid=ab12#mac=02:00:00:4B:10:01#accept=yes#x",   // accept not plain
             "KRV1#ACK#seqid=ab12#mac=02:00:00:4B:10:01#accept=yes",     // other version
             "KRV2#STATUS#seqid=ab12#mac=02:00:00:4B:10:01#utcclock=1",  // not an ACK
             "KRV2#ASSIGN#seqid=ab12#mac=02:00:00:4B:10:01#ip=1.2.3.4",  // our own request
         }) {
        EXPECT_FALSE(ack.accepts(decodeDatagram(other))) << other;
    }
    const ReplyFilter anyStatus{Command::Status, "ab12", ""};
    EXPECT_TRUE(anyStatus.accepts(decodeDatagram(test::statusText("ab12", "", {}))));
}

TEST(ControllerSet, EachMacOnceAndDuplicatesReported) {
    ControllerSet set;
    const auto record = [](std::string mac, std::string from, std::string ip) {
        ControllerRecord r;
        r.mac = std::move(mac);
        r.from = std::move(from);
        r.fields = {{"mac", r.mac, true}, {"ip", std::move(ip), true}};
        return r;
    };
    EXPECT_TRUE(set.add(record("02:00:00:00:00:02", "192.0.2.12", "192.0.2.12")));
    EXPECT_TRUE(set.add(record("02:00:00:00:00:01", "192.0.2.100", "192.0.2.100")));
    EXPECT_FALSE(set.add(record("02:00:00:00:00:02", "192.0.2.12", "192.0.2.12")));  // a retry
    EXPECT_FALSE(set.add(record("02:00:00:00:00:02", "192.0.2.99", "192.0.2.99")));  // a clone
    // Two controllers that cannot read their MAC stay two, apart from every other.
    EXPECT_TRUE(set.add(record("", "192.0.2.30", "")));
    EXPECT_TRUE(set.add(record("", "192.0.2.31", "")));
    const auto sorted = set.sorted();
    ASSERT_EQ(sorted.size(), 4u);
    EXPECT_EQ(sorted[0].from, "192.0.2.12");  // by address, numerically
    EXPECT_EQ(sorted[1].from, "192.0.2.100");
    EXPECT_EQ(sorted[2].mac, "");
    EXPECT_EQ(
        set.conflicts(),
        (std::vector<std::string>{"MAC 02:00:00:00:00:02 answered from 192.0.2.12, 192.0.2.99"}));
}

}  // namespace
}  // namespace krvctl
