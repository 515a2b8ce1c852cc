// The frame layout and the Internet checksum, byte for byte; no sockets. The frame as it leaves
// a real interface is checked end to end in tests/core/e2e.
#include "krvd/transport/RawFrame.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "tests/support/WireBytes.h"

namespace krvd {
namespace {

std::uint16_t checksumOfHeader(const std::string& frame) {
    std::array<std::uint16_t, 10> words{};
    std::memcpy(words.data(), frame.data(), 20);
    return checksum(words.data(), 10);
}

using krvtest::byteAt;
using krvtest::wordAt;

TEST(Checksum, NoWordsGivesAllOnes) {
    const std::uint16_t word = 0x1234;
    EXPECT_EQ(checksum(&word, 0), 0xFFFF);
    EXPECT_EQ(checksum(&word, -1), 0xFFFF);
    EXPECT_EQ(checksum(nullptr, -2147483647 - 1), 0xFFFF);
}

TEST(Checksum, KnownHeaderInNetworkOrderAndZeroOverACorrectOne) {
    // 192.168.0.1 -> 192.168.0.199, UDP, total length 115: checksum 0xB861.
    std::array<unsigned char, 20> header = {0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40,
                                            0x00, 0x40, 0x11, 0x00, 0x00, 0xC0, 0xA8,
                                            0x00, 0x01, 0xC0, 0xA8, 0x00, 0xC7};
    std::array<std::uint16_t, 10> words{};
    std::memcpy(words.data(), header.data(), header.size());
    const std::uint16_t sum = checksum(words.data(), 10);
    std::memcpy(header.data() + 10, &sum, sizeof sum);
    EXPECT_EQ(header[10], 0xB8);
    EXPECT_EQ(header[11], 0x61);

    std::memcpy(words.data(), header.data(), header.size());
    EXPECT_EQ(checksum(words.data(), 10), 0);
}

TEST(Checksum, CarriesFoldBackInTwice) {
    // The first fold carries out of 16 bits again (0xFFFE + 2); the second takes it back in.
    const std::array<std::uint16_t, 4> words = {0xFFFF, 0xFFFF, 0xFFFF, 0x0001};
    EXPECT_EQ(checksum(words.data(), 4), static_cast<std::uint16_t>(~0x0001));
}

TEST(BuildRawFrame, EveryHeaderFieldOfAHundredBytePayload) {
    std::string payload(100, 'a');
    payload[50] = '\0';
    const std::string frame = buildRawFrame(payload);
    ASSERT_EQ(frame.size(), 128u);

    EXPECT_EQ(byteAt(frame, 0), 0x45u);
    EXPECT_EQ(byteAt(frame, 1), 0u);
    EXPECT_EQ(wordAt(frame, 2), 128u);
    EXPECT_EQ(wordAt(frame, 4), 54321u);
    EXPECT_EQ(wordAt(frame, 6), 0x4000u);
    EXPECT_EQ(byteAt(frame, 8), 64u);
    EXPECT_EQ(byteAt(frame, 9), 17u);
    EXPECT_EQ(wordAt(frame, 10), 0x663Cu);
    EXPECT_EQ(frame.substr(12, 4), std::string(4, '\0'));
    EXPECT_EQ(frame.substr(16, 4), std::string(4, '\xFF'));
    EXPECT_EQ(wordAt(frame, 20), 7217u);
    EXPECT_EQ(wordAt(frame, 22), 7217u);
    EXPECT_EQ(wordAt(frame, 24), 108u);
    EXPECT_EQ(wordAt(frame, 26), 0u);
    EXPECT_EQ(frame.substr(28), payload);
    EXPECT_EQ(checksumOfHeader(frame), 0);
}

TEST(BuildRawFrame, LengthsFollowThePayload) {
    struct Case {
        std::size_t payload;
        unsigned total;
        unsigned headerChecksum;
    };
    for (const Case c : {Case{0, 28, 0x66A0}, Case{1471, 1499, 0}, Case{1472, 1500, 0}}) {
        SCOPED_TRACE(c.payload);
        const std::string frame = buildRawFrame(std::string(c.payload, 'x'));
        ASSERT_EQ(frame.size(), c.total);
        EXPECT_EQ(wordAt(frame, 2), c.total);
        EXPECT_EQ(wordAt(frame, 24), c.total - 20);
        EXPECT_EQ(checksumOfHeader(frame), 0);
        if (c.headerChecksum != 0) {
            EXPECT_EQ(wordAt(frame, 10), c.headerChecksum);
        }
    }
}

}  // namespace
}  // namespace krvd
