#include "krvd/transport/RawFrame.h"

#include <array>
#include <cstring>

namespace krvd {
namespace {

constexpr std::size_t kIpHeaderSize = 20;
constexpr std::uint16_t kIdentification = 54321;
constexpr std::uint16_t kDontFragment = 0x4000;
constexpr std::uint8_t kTimeToLive = 64;
constexpr std::uint8_t kProtocolUdp = 17;

void putBigEndian16(std::string& frame, std::size_t offset, std::uint16_t value) {
    frame[offset] = static_cast<char>(value >> 8);
    frame[offset + 1] = static_cast<char>(value & 0xFF);
}

}  // namespace

std::uint16_t checksum(const std::uint16_t* words, std::int32_t count) {
    if (count < 1) {
        return 0xFFFF;
    }
    std::uint64_t sum = 0;
    for (std::int32_t i = 0; i < count; ++i) {
        sum += words[i];
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    sum += sum >> 16;
    return static_cast<std::uint16_t>(~sum);
}

std::string buildRawFrame(const std::string& payload) {
    std::string frame(kRawHeaderSize, '\0');
    frame[0] = 0x45;  // version 4, five header words
    putBigEndian16(frame, 2, static_cast<std::uint16_t>(payload.size() + kRawHeaderSize));
    putBigEndian16(frame, 4, kIdentification);
    putBigEndian16(frame, 6, kDontFragment);
    frame[8] = static_cast<char>(kTimeToLive);
    frame[9] = static_cast<char>(kProtocolUdp);
    for (std::size_t i = 16; i < 20; ++i) {
        frame[i] = static_cast<char>(0xFF);
    }
    putBigEndian16(frame, 20, kRawFramePort);
    putBigEndian16(frame, 22, kRawFramePort);
    putBigEndian16(frame, 24, static_cast<std::uint16_t>(payload.size() + 8));

    // Copied out into words to keep the summing free of alignment and aliasing concerns.
    std::array<std::uint16_t, kIpHeaderSize / 2> header{};
    std::memcpy(header.data(), frame.data(), kIpHeaderSize);
    const std::uint16_t sum = checksum(header.data(), static_cast<std::int32_t>(header.size()));
    std::memcpy(frame.data() + 10, &sum, sizeof sum);

    frame += payload;
    return frame;
}

}  // namespace krvd
